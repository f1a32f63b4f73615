"""A long run's later calls are decided as its first ones: once rules settle (an eventually
or before rule whose tool was called, a completed sequence), a session judges fewer rules per
call and tells in one pass that the others pass. A rule that passed that way all along must
still fail on the call that breaks it: a max_calls total reached through an alias, a name's own
limit, an after window at its deadline, a never_after rule armed late, a blocklisted name. An
observing session is checked against the explanation report of the same calls, which judges
every rule at every step; a resumed one against the uninterrupted run; the Decisions a session
hands out must each keep their own call's fields."""

import json

import pytest

from ostik import Guard

POLICY = """\
version: "1"
aliases:
  pair: [a, b]
sequences:
  - {type: eventually, tool: a, within: 3}
  - {type: before, first: a, then: b}
  - {type: sequence, tools: [a, b]}
  - {type: max_calls, tool: pair, max: 40}
  - {type: max_calls, tool: c, max: 30}
  - {type: after, trigger: t, then: x, within: 2}
  - {type: never_after, trigger: d, forbidden: f}
  - {type: blocklist, pattern: zz}
"""

# Rounds that settle the first three rules, then the calls that break the others one by one.
SETTLE = ["a", "b", "c", "f"] * 8
BREAK = (["t", "x", "t", "y", "y", "y", "x"]   # a window answered, then one missed at its deadline
         + ["a", "b"] * 13 + ["c"]             # the pair's total past 40: any call fails it
         + ["c"] * 22                          # c's own limit
         + ["f", "d", "f", "zzz", "f"])        # never_after armed late; a blocklisted name
CALLS = SETTLE + BREAK


@pytest.fixture
def guard(tmp_path):
    path = tmp_path / "policy.yaml"
    path.write_text(POLICY)
    return Guard.from_file(str(path))


def failed(decision):
    return [f.rule_id for f in decision.failures]


def test_an_observing_run_decides_every_call_as_its_explanation(guard):
    session = guard.session(keep=True, mode="observe")
    decisions = [session.check(tool, {"n": i}) for i, tool in enumerate(CALLS)]
    report = json.loads(session.explain())
    for i, (d, step) in enumerate(zip(decisions, report["steps"], strict=True)):
        expected = [r["rule_id"] for r in step["rules_evaluated"] if not r["passed"]]
        assert (d.verdict, failed(d)) == (step["verdict"], expected), (i, CALLS[i])
    # Each kind of rule did fail, after a long settled stretch.
    broken = {rule for d in decisions[len(SETTLE):] for rule in failed(d)}
    assert len(broken) == 5, broken


def test_an_enforcing_run_refuses_the_calls_that_break_a_rule(guard):
    session = guard.session()
    calls = (SETTLE + ["t", "x", "t", "y", "y", "y", "x"] + ["c"] * 23 + ["f", "d", "f", "zzz", "f"]
             + ["a", "b"] * 13 + ["g"])
    verdicts = {}
    for tool in calls:
        verdicts.setdefault(tool, []).append(session.check(tool).verdict)
    # The window's last position refuses anything but its `then`; c stops at 30 calls;
    # f is refused once d was called; the blocklisted name always; past the pair's total
    # of 40 (each name within it) a call of another tool.
    assert verdicts["y"] == ["allowed", "blocked", "blocked"]
    assert verdicts["c"] == ["allowed"] * 30 + ["blocked"]
    assert verdicts["f"] == ["allowed"] * 9 + ["blocked", "blocked"]
    assert verdicts["zzz"] == ["blocked"]
    assert set(verdicts["a"] + verdicts["b"]) == {"allowed"} and verdicts["g"] == ["blocked"]


@pytest.mark.parametrize("cut", [len(SETTLE) // 2, len(SETTLE), len(SETTLE) + 9, len(CALLS) - 4])
@pytest.mark.parametrize("mode", ["enforce", "observe"])
def test_a_resumed_run_decides_as_the_uninterrupted_one(guard, cut, mode):
    whole, first = guard.session(mode=mode), guard.session(mode=mode)
    for tool in CALLS[:cut]:
        whole.check(tool)
        first.check(tool)
    resumed = guard.resume(first.to_bytes())
    for tool in CALLS[cut:]:
        a, b = whole.check(tool), resumed.check(tool)
        assert (a.verdict, a.step, failed(a)) == (b.verdict, b.step, failed(b)), tool
    assert whole.to_bytes() == resumed.to_bytes()


def test_decisions_kept_and_dropped_keep_their_own_fields(guard):
    session = guard.session(mode="observe")
    kept = []
    for i, tool in enumerate(CALLS * 3):
        d = session.check(tool, call_id=f"id-{i}")
        if i % 7 == 0:
            kept.append((d, i, tool))
        # Most are dropped at once, and their memory is used again.
        session.check(tool)
    for d, i, tool in kept:
        assert (d.tool, d.call_id, d.step) == (tool, f"id-{i}", 2 * i)
