"""A session keeps, per tool name, its slot and whether its calls need their arguments: the
decisions must be those of a session that knows nothing yet, whatever names came first, in
whichever session, through whichever method (check, peek, resumed bytes, str subclasses)."""

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
