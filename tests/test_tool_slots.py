"""A session keeps, per tool name, its slot and whether its calls need their arguments: the
decisions must be those of a session that knows nothing yet, whatever names came first, in
whichever session, through whichever method (check, peek, resumed bytes, str subclasses)."""

import json

import pytest

from ostik import Guard

# Arguments matter to some tools only: an argument rule of `shell`, an ask
# with a condition on `deploy`, a value flow to `send_email`; `read` has none.
POLICY = """\
version: "1"
tools:
  arg_constraints:
    shell:
      command: {not_matches: 'rm\\s+-rf'}
labels:
  inbox: [read]
flows:
  - {from: inbox, to: send_email, min_length: 8}
ask:
  - tool: deploy
    args: {env: prod}
"""

ARGS = {"command": "rm -rf /", "env": "prod", "to": "someone@example.com"}


class Name(str):
    """A tool name that is not a plain str."""


def judged(d):
    return d.verdict, d.step, d.blocked_by, d.reason, d.message


def fresh_verdict(guard, done, tool, args):
    """The decision of `tool` after `done` in a session that saw only those calls."""
    session = guard.session()
    for t, a in done:
        session.check(t, a)
    return judged(session.peek(tool, args))


@pytest.fixture
def guard(tmp_path):
    path = tmp_path / "policy.yaml"
    path.write_text(POLICY)
    return Guard.from_file(str(path))


@pytest.mark.parametrize("order", [["read", "shell", "deploy"], ["deploy", "shell", "read"], ["shell", "read", "deploy"]])
def test_arguments_are_read_for_the_tools_whose_rules_read_them(guard, order):
    session = guard.session()
    done = []
    for tool in order + order:
        expected = fresh_verdict(guard, done, tool, ARGS)
        assert judged(session.peek(tool, ARGS)) == expected
        # The same name as another object, and as a str subclass, decide alike.
        assert judged(session.peek("".join(tool), ARGS)) == judged(session.peek(Name(tool), ARGS)) == expected
        decision = session.check(tool, ARGS)
        assert judged(decision) == expected
        if decision.allowed:
            done.append((tool, ARGS))
    assert [d.verdict for d in (session.peek(t, ARGS) for t in ["read", "shell", "deploy"])] == [
        "allowed", "blocked", "ask"]


def test_a_resumed_session_does_not_take_the_slots_of_another(guard):
    first = guard.session()
    for tool in ["shell", "deploy", "read"]:
        first.check(tool, {"command": "ls"})
    other = guard.session()
    for tool in ["read", "deploy", "shell"]:
        other.check(tool, {"command": "ls"})
    # `first` has met its names in another order: the resumed session starts
    # from the bytes, not from the names either session met.
    resumed = guard.resume(other.to_bytes())
    for tool in ["shell", "read", "deploy", "shell"]:
        assert judged(resumed.check(tool, ARGS)) == judged(other.check(tool, ARGS))
        assert judged(first.peek(tool, ARGS)) == fresh_verdict(guard, [(t, {"command": "ls"}) for t in ["shell", "deploy", "read"]],
                                                       tool, ARGS)


def test_a_tool_whose_arguments_matter_is_refused_for_bad_arguments_after_many_names(guard):
    session = guard.session()
    for i in range(5000):  # past the names a session keeps
        assert session.check(f"tool_{i}", {"command": "rm -rf /"})
    assert not session.check("shell", ARGS)
    assert session.check("shell", {"command": "ls"})
    assert session.check("deploy", ARGS).verdict == "ask"


LIMITS = """\
version: "1"
sequences:
""" + "".join(f"  - {{type: max_calls, tool: t{i}, max: {i % 3 + 1}}}\n" for i in range(80))


def test_sessions_keep_their_own_slots_of_the_same_name_objects(tmp_path):
    """Each session remembers the str objects of the names it met with its own slots:
    the same objects met in another order by another session, more of them than a
    session remembers, and evicted ones met again decide as a fresh session would."""
    path = tmp_path / "limits.yaml"
    path.write_text(LIMITS)
    guard = Guard.from_file(str(path))
    names = [f"t{i}" for i in range(80)]
    forward, backward = guard.session(), guard.session()
    runs = {forward: names * 5, backward: names[::-1] * 5}
    for session, order in runs.items():
        for tool in order:
            session.check(tool)
    for session, order in runs.items():
        # Each name's calls beyond its limit were refused, by that name's rule.
        for i, tool in enumerate(names):
            d = session.peek(tool)
            assert not d and d.blocked_by == guard.rule_ids[i], (tool, d)
            assert session.peek(Name(tool)).blocked_by == d.blocked_by
        assert session.steps == sum(i % 3 + 1 for i in range(80))
    # A name met as a new object (not the one remembered) is the same name.
    assert not forward.check("".join(["t", "0"])) and forward.check("t80")


def test_whether_arguments_are_read_is_each_sessions_own(guard):
    """A session that keeps its calls reads the arguments of every tool; one that does
    not, only of the tools whose rules read them: the same name objects, met by both in
    turn, must not carry one session's answer into the other."""
    names = ["read", "write", "list"]
    plain, keeping = guard.session(), guard.session(keep=True)
    for _ in range(3):
        for tool in names:
            assert plain.check(tool, {"path": tool}) and keeping.check(tool, {"path": tool})
    steps = json.loads(keeping.explain())["steps"]
    assert [(s["tool"], s["args"]) for s in steps] == [(t, {"path": t}) for t in names * 3]
