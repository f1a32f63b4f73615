"""Guard, Session, Decision, RuleFailure and the wrappers: judging calls as they happen."""

import asyncio
import datetime
import gc
import json
import pathlib
import pickle
import signal
import subprocess
import sys
import threading

import pytest

import ostik
from ostik import Decision, Guard, Judgement, PolicyViolation, RuleFailure, Session, TraceExplainer

POLICY = """\
version: "1"
name: guard-test
on_error: {on_error}
tools:
  allow: [read_file, list_dir, edit_file, run_tests, git_commit, search]
  deny: [force_push]
aliases:
  inspect: [read_file, list_dir]
sequences:
  - {{type: require, tool: run_tests}}
  - {{type: before, first: inspect, then: edit_file}}
  - {{type: max_calls, tool: edit_file, max: 2}}
  - {{type: after, trigger: edit_file, then: run_tests, within: 2}}
  - {{type: never_after, trigger: git_commit, forbidden: edit_file}}
  - {{type: blocklist, pattern: exec}}
"""


@pytest.fixture
def policy(write_policy):
    return ostik.Policy.from_file(write_policy(POLICY.format(on_error="block")))


@pytest.fixture
def guard(policy):
    return Guard(policy)


def explained_steps(policy, calls):
    steps = [{"tool": t} if a is None else {"tool": t, "args": a} for t, a in calls]
    return json.loads(TraceExplainer(policy).explain(steps))


def failed_entries(report_step, n_rules):
    """The failed entries of a step's own checks (not the end-of-trace ones)."""
    evals = report_step["rules_evaluated"]
    own = n_rules + (evals[0]["rule_type"] in ("deny", "allow") if evals else 0)
    return [e for e in evals[:own] if not e["passed"]]


def as_entry(failure):
    entry = {"rule_id": failure.rule_id, "rule_type": failure.rule_type, "passed": False,
             "explanation": failure.explanation}
    if failure.context is not None:
        entry["context"] = failure.context
    return entry


# --- decisions ---------------------------------------------------------------

def test_allowed_and_blocked_decisions(guard):
    session = guard.session()
    ok = session.check("read_file", {"path": "a.py"})
    assert (ok.allowed, ok.verdict, ok.step, ok.tool, ok.blocked_by, ok.reason, ok.failures) == (
        True, "allowed", 0, "read_file", None, "", [])
    assert bool(ok) is True
    assert repr(ok) == "Decision(verdict='allowed', step=0, tool='read_file')"

    bad = session.check("force_exec")  # not allowed, and matches the blocklist
    assert (bad.allowed, bad.verdict, bad.step, bad.tool, bad.blocked_by) == (
        False, "blocked", 1, "force_exec", "allow_list")
    assert bad.reason == "Tool 'force_exec' is not in allow list"
    assert not bad
    assert [f.rule_id for f in bad.failures] == ["allow_list", "blocklist_exec"]
    assert repr(bad) == ("Decision(verdict='blocked', step=1, tool='force_exec', blocked_by='allow_list', "
                         "reason=\"Tool 'force_exec' is not in allow list\")")
    first = bad.failures[0]
    assert (first.rule_type, first.context) == ("allow", None)
    assert repr(first) == ("RuleFailure(rule_id='allow_list', rule_type='allow', "
                           "explanation=\"Tool 'force_exec' is not in allow list\", context=None)")
    # The refused call never ran: it counts as refused, not as a step.
    assert (session.steps, session.refused, session.mode) == (1, 1, "enforce")


def test_a_sequence_rule_blocks_with_its_context(guard):
    session = guard.session()
    d = session.check("edit_file")
    assert d.blocked_by == "before_inspect_then_edit_file"
    assert d.failures[0].context == {"first": "inspect", "first_seen": False, "is_then_call": True,
                                     "then": "edit_file"}


def test_decisions_and_failures_are_values(guard):
    session = guard.session(mode="observe")
    d = session.check("edit_file")
    assert d == guard.session().check("edit_file")
    assert hash(d) == hash(guard.session().check("edit_file"))
    assert d != session.check("edit_file")  # another step
    other_tool = guard.session().check("force_push")
    assert (other_tool.step, other_tool.verdict) == (d.step, "blocked")
    assert d != other_tool and d.failures != other_tool.failures
    assert guard.session().check("run_tests") != guard.session().check("search")  # both allowed at step 0
    assert d.failures == d.failures and d.failures[0] == d.failures[0]
    assert len({d.failures[0], d.failures[0]}) == 1
    assert (d == "blocked") is False
    # Reading a field gives a fresh object: changing it changes nothing.
    d.failures.clear()
    d.failures[0].context["first_seen"] = True
    assert d.failures[0].context["first_seen"] is False
    for obj, name in [(d, "allowed"), (d, "tool"), (d, "failures"), (d.failures[0], "context"), (session, "steps")]:
        with pytest.raises(AttributeError):
            setattr(obj, name, None)
    with pytest.raises(AttributeError):
        d.extra = 1


def test_decisions_failures_and_violations_pickle(guard):
    session = guard.session()
    decisions = [session.check("read_file"), session.check("edit_file"), session.check("force_push"),
                 guard.judge([{"tool": "edit_file"}, {"tool": "list_dir"}]).decisions[0]]  # made on first need
    for d in decisions:
        back = pickle.loads(pickle.dumps(d))
        assert back == d and repr(back) == repr(d) and back.failures == d.failures
        assert [f.context for f in back.failures] == [f.context for f in d.failures]
    violation = pickle.loads(pickle.dumps(PolicyViolation(decisions[2])))
    assert (str(violation), violation.decision) == (str(PolicyViolation(decisions[2])), decisions[2])
    # Raised in a worker process and sent back (both ways pickled; a fresh
    # interpreter, since this one may have threads).
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("forkserver")) as pool, \
            pytest.raises(PolicyViolation) as raised:
        pool.submit(exec, "raise PolicyViolation(decision)",
                    {"PolicyViolation": PolicyViolation, "decision": decisions[1]}).result()
    assert raised.value.decision == decisions[1]


@pytest.mark.parametrize(("cls", "state", "error"), [
    (Decision, ("maybe", 0, "t", ()), ValueError),
    (Decision, ("blocked", 0, "t", ()), ValueError),          # blocked by nothing
    (Decision, ("allowed", -1, "t", ()), OverflowError),
    (Decision, ("allowed", 0, "t", ("x",)), TypeError),
    (RuleFailure, ("id", "deny", "why", ["not", "a", "dict"]), TypeError),
    (RuleFailure, ("id", "deny", "why", {"k": object()}), ValueError),
    (RuleFailure, ("id", 5, "why", None), TypeError),
])
def test_restoring_a_damaged_state_fails_cleanly(cls, state, error):
    with pytest.raises(error):
        cls._restore(*state)


@pytest.mark.parametrize("cls", [Guard, Session, Decision, RuleFailure, Judgement])
def test_types_are_final(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", [Session, Decision, RuleFailure, Judgement])
def test_only_the_guard_makes_the_others(cls):
    with pytest.raises(TypeError):
        cls()


def test_exported_names():
    assert ostik._engine.__all__[:5] == ["Guard", "Session", "Decision", "RuleFailure", "Judgement"]
    assert {"Guard", "Session", "Decision", "RuleFailure", "Judgement", "PolicyViolation"} <= set(ostik.__all__)
    assert issubclass(PolicyViolation, Exception)


# --- the run's state: check, peek, finish, explain ---------------------------

def test_peek_judges_without_entering(guard):
    session = guard.session()
    assert session.peek("never_seen_before").blocked_by == "allow_list"
    session.check("read_file")
    for tool in ["edit_file", "run_tests", "edit_file", "edit_file"]:
        peeked = session.peek(tool, {"x": 1})
        assert session.peek(tool) == peeked
        assert session.check(tool) == peeked
    assert (session.steps, session.refused) == (4, 1)  # the third edit_file was refused
    assert session.peek("edit_file").blocked_by == "max_calls_edit_file_2"


def test_finish_on_an_empty_run_fails_require_unlike_explain(guard, policy):
    assert [(f.rule_id, f.explanation) for f in guard.session().finish()] == [
        ("require_run_tests", "Required tool 'run_tests' never called")]
    assert json.loads(TraceExplainer(policy).explain([]))["blocking_rules"] == []


@pytest.mark.parametrize("calls", [
    [("edit_file", None)],
    [("read_file", None), ("edit_file", {"p": 1}), ("run_tests", None)],
    [("list_dir", None), ("edit_file", None), ("search", None), ("search", None), ("search", None)],
])
def test_finish_and_decisions_match_explain(guard, policy, calls):
    session = guard.session(keep=True, mode="observe")
    decisions = [session.check(tool, args) for tool, args in calls]
    report = explained_steps(policy, calls)
    for d, step in zip(decisions, report["steps"]):
        assert d.verdict == step["verdict"]
        assert [as_entry(f) for f in d.failures] == failed_entries(step, 6)
    last = report["steps"][-1]["rules_evaluated"]
    end = last[len(last) - len(session.finish()):]
    assert [as_entry(f) for f in session.finish()] == end
    assert session.explain() == TraceExplainer(policy).explain(
        [{"tool": t} if a is None else {"tool": t, "args": a} for t, a in calls])


def test_explain_needs_kept_calls(guard):
    session = guard.session()
    session.check("read_file")
    with pytest.raises(RuntimeError, match="^Session.explain\\(\\) needs the session's calls: "
                                           "create the session with keep=True$"):
        session.explain()


def test_sessions_of_one_guard_are_independent(guard):
    a, b = guard.session(), guard.session()
    a.check("git_commit")
    assert b.check("edit_file").blocked_by == "before_inspect_then_edit_file"
    b.check("read_file")
    assert [f.rule_id for f in a.check("edit_file").failures] == [
        "before_inspect_then_edit_file", "never_after_git_commit_forbidden_edit_file"]
    assert b.check("edit_file").allowed
    assert (a.steps, b.steps) == (1, 2)


def test_a_session_outlives_its_guard_and_policy(write_policy):
    policy = ostik.Policy.from_file(write_policy(POLICY.format(on_error="block")))
    session = Guard(policy).session(keep=True)
    del policy
    gc.collect()
    assert session.check("force_push").blocked_by == "deny_list"
    assert json.loads(session.explain())["policy_name"] == "guard-test"


def test_one_session_from_eight_threads(guard, policy):
    session = guard.session(keep=True, mode="observe")
    decisions = []
    barrier = threading.Barrier(8)

    def agent(n):
        barrier.wait()
        mine = [session.check(["read_file", "edit_file", "run_tests", "search"][(n + i) % 4], {"i": i})
                for i in range(300)]
        decisions.extend(mine)

    threads = [threading.Thread(target=agent, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert session.steps == 2400
    assert sorted(d.step for d in decisions) == list(range(2400))
    # The kept calls are the calls in the order they were judged, and their
    # explanation gives every decision again.
    report = json.loads(session.explain())
    by_step = {d.step: d for d in decisions}
    assert [by_step[s["index"]].verdict for s in report["steps"]] == [s["verdict"] for s in report["steps"]]


# --- trace files -------------------------------------------------------------

def test_the_trace_file_reproduces_the_verdicts(guard, write_policy, tmp_path):
    path = tmp_path / "run.jsonl"
    session = guard.session(str(path), keep=True, mode="observe")
    session.check("read_file", {"path": "a.py", "lines": [1, 2.5]})
    session.peek("force_push")
    session.check("edit_file")
    with pytest.raises(ValueError):
        session.check("search", {"when": datetime.date(2024, 1, 1)})
    session.check("force_push", None)
    assert path.read_text() == ('{"args":{"lines":[1,2.5],"path":"a.py"},"tool":"read_file"}\n'
                                '{"tool":"edit_file"}\n{"tool":"force_push"}\n')
    shown = subprocess.run(
        [sys.executable, "-m", "ostik", "explain", "--json", write_policy(POLICY.format(on_error="block")),
         str(path)], capture_output=True, text=True, timeout=120)
    assert shown.stdout.strip() == session.explain()


def test_an_unopenable_trace_file(guard, tmp_path):
    with pytest.raises(RuntimeError, match=r"^Failed to open trace file: No such file or directory \(os error 2\)$"):
        guard.session(str(tmp_path / "missing" / "run.jsonl"))


def test_a_failed_write_enters_nothing(guard):
    session = guard.session("/dev/full", keep=True)
    with pytest.raises(RuntimeError, match=r"^Failed to flush: No space left on device \(os error 28\)$"):
        session.check("read_file")
    assert session.steps == 0
    # Still usable: judged from the same state, and failing the same way.
    assert session.peek("edit_file").blocked_by == "before_inspect_then_edit_file"
    with pytest.raises(RuntimeError, match="^Failed to flush: "):
        session.check("edit_file")
    assert json.loads(session.explain())["total_steps"] == 0


# --- bad input -----------------------------------------------------------------

class Opaque:
    pass


def nested(depth):
    x = []
    for _ in range(depth):
        x = [x]
    return x


@pytest.mark.parametrize(("call", "message"), [
    (lambda s: s.check(), "Session.check() missing 1 required positional argument: 'tool'"),
    (lambda s: s.peek(), "Session.peek() missing 1 required positional argument: 'tool'"),
    (lambda s: s.check(7), "argument 'tool': 'int' object cannot be converted to 'str'"),
    (lambda s: s.check(None), "argument 'tool': 'NoneType' object cannot be converted to 'str'"),
    (lambda s: s.check("a", None, 1), "Session.check() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda s: s.check("a", arg={}), "Session.check() got an unexpected keyword argument 'arg'"),
    (lambda s: s.finish(1), "Session.finish() takes 0 positional arguments but 1 was given"),
    (lambda s: s.guarded(), "Session.guarded() missing 1 required positional argument: 'fn'"),
    (lambda s: s.guarded(3), "argument 'fn': 'int' object cannot be converted to 'Callable'"),
    (lambda s: s.guarded(print, name=b"p"), "argument 'name': 'bytes' object cannot be converted to 'str'"),
    (lambda s: s.tool("a", name="b"), "Session.tool() got a tool name twice: as 'fn' and as 'name'"),
])
def test_session_type_errors(guard, call, message):
    session = guard.session()
    with pytest.raises(TypeError) as info:
        call(session)
    assert str(info.value) == message
    assert session.steps == 0


@pytest.mark.parametrize(("args", "text"), [
    ({"when": datetime.datetime(2024, 1, 1)}, "argument 'when': unsupported type datetime"),
    ({"opts": {"at": [1, datetime.date(2024, 1, 1)]}}, "argument 'opts': at opts.at[1], unsupported type date"),
    ([Opaque()], "unsupported type Opaque"),
    (b"raw", "invalid type: byte array, expected any valid JSON value"),
    ({1: "x"}, "unexpected type: 'int' object cannot be converted to 'str'"),
    ({"n": 2**64}, "argument 'n': the integer 18446744073709551616 does not fit 64 bits"),
    ({"n": -2**63 - 1}, "argument 'n': the integer -9223372036854775809 does not fit 64 bits"),
    ({"n": 2**300}, "argument 'n': an integer of 301 bits does not fit 64 bits"),
    (nested(5000), "recursion limit exceeded"),
])
def test_unconvertible_args(guard, tmp_path, args, text):
    path = tmp_path / "run.jsonl"
    session = guard.session(str(path))
    for method in (session.check, session.peek):
        with pytest.raises(ValueError) as info:
            method("read_file", args)
        assert str(info.value) == "Invalid tool call format: " + text
    assert session.steps == 0 and path.read_text() == ""
    assert session.check("read_file", {"ok": [1]}).step == 0


@pytest.mark.parametrize(("call", "message"), [
    (lambda p: Guard(), "Guard.__new__() missing 1 required positional argument: 'policy'"),
    (lambda p: Guard("policy.yaml"), "argument 'policy': 'str' object cannot be converted to 'Policy'"),
    (lambda p: Guard(p).session(b"t.jsonl"), "argument 'trace_file': 'bytes' object cannot be converted to 'str'"),
    (lambda p: Guard(p).session(pathlib.PurePath(b"t.jsonl".decode()).as_posix().encode()),
     "argument 'trace_file': 'bytes' object cannot be converted to 'str'"),
    (lambda p: Guard(p).session(keep=1), "argument 'keep': 'int' object cannot be converted to 'bool'"),
    (lambda p: Guard(p).session(None, False, 3), "Guard.session() takes from 0 to 2 positional arguments but 3 were given"),
])
def test_guard_type_errors(policy, call, message):
    with pytest.raises(TypeError) as info:
        call(policy)
    assert str(info.value) == message


def test_on_error_setting(write_policy):
    for setting in ("block", "allow"):
        assert Guard(ostik.Policy.from_file(write_policy(POLICY.format(on_error=setting)))).on_error == setting


# --- whole traces: judge --------------------------------------------------------

BLOCKED_RUN = [("edit_file", {"path": "a.py"}), ("read_file", None), ("force_exec", None), ("edit_file", None),
               ("edit_file", None), ("edit_file", None), ("run_tests", [1])]


def steps_of(calls):
    return [{"tool": t} if a is None else {"tool": t, "args": a} for t, a in calls]


def test_judge_gives_the_decisions_and_end_of_a_fresh_session(guard, policy):
    session = guard.session(mode="observe")
    checked = [session.check(tool, args) for tool, args in BLOCKED_RUN]
    judgement = guard.judge(steps_of(BLOCKED_RUN))
    assert judgement.decisions == checked
    assert [d.tool for d in judgement.decisions] == [tool for tool, _ in BLOCKED_RUN]
    assert judgement.end_failures == session.finish()
    assert (judgement.passed, bool(judgement), judgement.steps, judgement.blocked_steps, judgement.first_block) == (
        False, False, 7, 6, 0)
    report = json.loads(TraceExplainer(policy).explain(steps_of(BLOCKED_RUN)))
    rules = ["before_inspect_then_edit_file", "allow_list", "after_edit_file_then_run_tests", "max_calls_edit_file_2"]
    assert judgement.blocking_rules == report["blocking_rules"] == rules
    assert repr(judgement) == ("Judgement(passed=False, steps=7, blocked_steps=6, first_block=0, "
                               f"blocking_rules={rules!r})")
    assert session.steps == 7  # judging used a session of its own


@pytest.mark.parametrize(("calls", "passed", "end", "blocking"), [
    ([("read_file", None), ("edit_file", None), ("run_tests", None)], True, [], []),
    # No step blocked, but the trace ends before the required call: the end decides.
    ([("read_file", None), ("search", None)], False, ["require_run_tests"], ["require_run_tests"]),
    ([("read_file", None), ("run_tests", None), ("edit_file", None)], False, ["after_edit_file_then_run_tests"],
     ["after_edit_file_then_run_tests"]),
    # An empty trace called nothing it requires, unlike its (empty) report says.
    ([], False, ["require_run_tests"], ["require_run_tests"]),
])
def test_what_passes(guard, calls, passed, end, blocking):
    judgement = guard.judge(steps_of(calls))
    assert (judgement.passed, judgement.blocked_steps, judgement.first_block) == (passed, 0, None)
    assert [f.rule_id for f in judgement.end_failures] == end
    assert judgement.blocking_rules == blocking


def test_an_empty_trace_passes_without_require_rules(write_policy):
    guard = Guard(ostik.Policy.from_file(write_policy("version: '1'\nsequences: [[max_calls, a, 1], [after, a, b]]\n")))
    judgement = guard.judge(())
    assert (judgement.passed, judgement.steps, judgement.decisions, judgement.end_failures,
            judgement.blocking_rules) == (True, 0, [], [], [])


def test_judge_reads_the_other_step_keys(guard):
    judgement = guard.judge([{"name": "read_file", "arguments": {"p": 1}}, {"tool_name": "edit_file", "x": object()},
                             {}, {"tool": None, "tool_name": "run_tests"}])
    assert [d.tool for d in judgement.decisions] == ["read_file", "edit_file", "unknown", "run_tests"]
    assert judgement.decisions[2].blocked_by == "allow_list"


def test_a_judgement_is_immutable_and_outlives_its_guard(write_policy):
    guard = Guard(ostik.Policy.from_file(write_policy(POLICY.format(on_error="block"))))
    judgement = guard.judge(steps_of(BLOCKED_RUN))
    del guard
    gc.collect()
    judgement.decisions.clear()
    judgement.end_failures.append(None)
    judgement.blocking_rules.pop()
    assert len(judgement.decisions) == 7 and judgement.end_failures == []
    assert len(judgement.blocking_rules) == 4
    assert judgement.decisions[4].reason == "'edit_file' exceeded max calls (3 > 2)"
    for name in ("passed", "steps", "decisions", "blocking_rules"):
        with pytest.raises(AttributeError):
            setattr(judgement, name, None)


def test_judged_decisions_read_like_checked_ones_after_their_judgement_is_gone(guard):
    session = guard.session(mode="observe")
    checked = [session.check(tool, args) for tool, args in BLOCKED_RUN]
    decisions = guard.judge(steps_of(BLOCKED_RUN)).decisions
    failures = decisions[2].failures
    gc.collect()
    # Each field read first, before anything else made its texts.
    assert [d.blocked_by for d in decisions] == [d.blocked_by for d in checked]
    assert [f.rule_type for f in failures] == ["allow", "blocklist"]
    assert [f.context for f in failures] == [f.context for f in checked[2].failures]
    assert [repr(f) for f in failures] == [repr(f) for f in checked[2].failures]
    assert [hash(f) for f in failures] == [hash(f) for f in checked[2].failures]
    assert [(repr(d), hash(d), d.reason) for d in decisions] == [(repr(d), hash(d), d.reason) for d in checked]
    assert {decisions[4], checked[4]} == {checked[4]}


class Steps:
    """A sequence that is not a list, yielding one bad step."""

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError
        return {"tool": "read_file"} if i == 0 else {"tool": ["x"]}


# What explain refuses, and the words judge says it in (None: explain's own).
@pytest.mark.parametrize(("trace", "message"), [
    ("read_file", None), ({"tool": "read_file"}, None), (iter([{"tool": "a"}]), None), (7, None), (None, None),
    ([{"tool": "a"}, "step"], "a step must be a mapping, not str"),
    ([{"tool": 3}], '"tool" must be str, not int'),
    ([{"name": ["x"]}], '"name" must be str, not list'),
    ([{"tool": "a", "name": "b"}], 'duplicate field `tool`: both "tool" and "name" give the tool\'s name '
                                   "(only one may, unless the other is null)"),
    ([{"params": 1, "arguments": 2}], 'duplicate field `params`: both "params" and "arguments" give the '
                                      "arguments (only one may, unless the other is null)"),
    ([{"args": {1: 2}}], "unexpected type: 'int' object cannot be converted to 'str'"),
    ([{"tool": "a", "args": {"when": datetime.date(2024, 1, 1)}}], "argument 'when': unsupported type date"),
    (Steps(), '"tool" must be str, not list'),
    ([{"tool": "a", "args": nested(5000)}], "recursion limit exceeded"),
])
def test_judge_refuses_what_explain_refuses(guard, policy, trace, message):
    with pytest.raises((TypeError, ValueError)) as explained:
        TraceExplainer(policy).explain(trace)
    with pytest.raises(explained.type) as judged:
        guard.judge(trace)
    if message is None:
        assert str(judged.value) == str(explained.value).replace("'traces'", "'trace'")
    else:
        assert explained.type is ValueError
        assert str(judged.value) == "Invalid tool call format: " + message


@pytest.mark.parametrize(("call", "message"), [
    (lambda g: g.judge(), "Guard.judge() missing 1 required positional argument: 'trace'"),
    (lambda g: g.judge([], []), "Guard.judge() takes 1 positional argument but 2 were given"),
    (lambda g: g.judge(steps=[]), "Guard.judge() got an unexpected keyword argument 'steps'"),
])
def test_judge_argument_errors(guard, call, message):
    with pytest.raises(TypeError) as info:
        call(guard)
    assert str(info.value) == message


# --- wrappers ----------------------------------------------------------------------

def test_decorated_tools_are_checked_before_they_run(guard):
    session = guard.session(keep=True)
    ran = []

    @session.tool
    def read_file(path, encoding="utf-8", *rest, **options):
        """Reads a file."""
        ran.append(path)
        return path.upper()

    @session.tool("edit_file")
    def edit(path, patch):
        ran.append(patch)

    assert (read_file.__name__, read_file.__doc__) == ("read_file", "Reads a file.")
    assert read_file("a.py", "latin-1", 1, 2, mode="r") == "A.PY"
    assert edit("a.py", patch="-x") is None
    assert ran == ["a.py", "-x"]
    args = [s.get("args") for s in json.loads(session.explain())["steps"]]
    assert args == [{"path": "a.py", "encoding": "latin-1", "rest": [1, 2], "options": {"mode": "r"}},
                    {"path": "a.py", "patch": "-x"}]

    @session.tool(name="git_commit")
    def commit():
        ran.append("commit")

    commit()
    with pytest.raises(PolicyViolation) as info:
        edit("a.py", "-y")
    assert str(info.value) == ("blocked by never_after_git_commit_forbidden_edit_file: "
                               "'edit_file' forbidden after 'git_commit' (triggered at index 2)")
    assert info.value.decision.step == 3 and info.value.decision.blocked_by.startswith("never_after")
    assert ran == ["a.py", "-x", "commit"] and (session.steps, session.refused) == (3, 1)


def test_guarded_defaults_and_failures(guard):
    session = guard.session()

    def search(query, limit=10):
        raise LookupError(query)

    wrapped = session.guarded(search)
    with pytest.raises(LookupError):
        wrapped("q")  # the call was allowed, so it counts, and its own error passes through
    assert session.steps == 1
    with pytest.raises(TypeError):
        wrapped(limit=3)  # does not fit the signature: not judged
    assert session.steps == 1
    named = session.guarded(lambda: "x", name="run_tests")
    assert named() == "x" and session.steps == 2


def test_async_tools(guard):
    session = guard.session()

    @session.tool
    async def run_tests(target):
        await asyncio.sleep(0)
        return f"ran {target}"

    @session.tool
    async def force_push():
        raise AssertionError("must not run")

    assert asyncio.iscoroutinefunction(run_tests)
    assert asyncio.run(run_tests("all")) == "ran all"
    with pytest.raises(PolicyViolation, match="^blocked by deny_list: Tool 'force_push' is in deny list$"):
        asyncio.run(force_push())
    assert (session.steps, session.refused) == (1, 1)


@pytest.mark.parametrize("setting", ["block", "allow"])
def test_on_error_decides_about_calls_that_cannot_be_judged(write_policy, setting):
    session = Guard(ostik.Policy.from_file(write_policy(POLICY.format(on_error=setting)))).session()

    @session.tool
    def read_file(path):
        return "read"

    session.check("search")
    if setting == "allow":
        assert read_file(Opaque()) == "read"
    else:
        with pytest.raises(PolicyViolation) as info:
            read_file(Opaque())
        d = info.value.decision
        assert (d.verdict, d.step, d.tool, d.blocked_by) == ("blocked", 1, "read_file", "on_error")
        assert d.reason == "Invalid tool call format: argument 'path': unsupported type Opaque"
        assert str(info.value) == "blocked by on_error: Invalid tool call format: argument 'path': unsupported type Opaque"
        assert [(f.rule_id, f.rule_type) for f in d.failures] == [("on_error", "on_error")]
    assert session.steps == 1  # never counted


# --- ostik's own reading of steps --------------------------------------------------------------------------


@pytest.mark.parametrize(("step", "tool"), [
    ({"tool": None, "name": "rm"}, "rm"),
    ({"name": "rm", "tool": None}, "rm"),
    ({"tool": "rm", "name": None}, "rm"),
    ({"tool": None, "tool_name": "rm"}, "rm"),
    ({"tool": None, "name": None}, "unknown"),
])
def test_a_null_tool_beside_a_name_reads_as_the_name(guard, policy, step, tool):
    assert [d.tool for d in guard.judge([step]).decisions] == [tool]
    audit = ostik.AuditAccumulator(policy)
    audit.add([step])
    coverage = ostik.CoverageAccumulator(policy)
    coverage.add([step])
    assert coverage.steps == 1


def test_null_arguments_beside_arguments_read_as_the_arguments(write_policy):
    guard = Guard(ostik.Policy.from_file(write_policy(
        "version: '1'\ntools:\n  arg_constraints: {t: {x: {max: 1}}}\n")))
    assert guard.judge([{"tool": "t", "params": None, "arguments": {"x": 5}}]).decisions[0].blocked_by == "arg_t_x"
    assert guard.judge([{"tool": "t", "arguments": {"x": 5}, "params": None}]).decisions[0].blocked_by == "arg_t_x"


class Alarm(Exception):
    pass


class StartsTheAlarm(dict):
    """A step that, when read, sets a timer whose signal interrupts what reads the steps after it."""

    def keys(self):
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        return super().keys()


class Reached(dict):
    """The last step: reading it records that the loop ran to its end."""

    reached = False

    def keys(self):
        Reached.reached = True
        return super().keys()


def _raise_alarm(signum, frame):
    raise Alarm


@pytest.mark.parametrize("loop", [
    lambda g, p, t: g.judge(t),
    lambda g, p, t: g.argument_coverage([t]),
    lambda g, p, t: ostik.AuditAccumulator(p).add(t),
    lambda g, p, t: ostik.AuditAccumulator(p).add_many([t]),
    lambda g, p, t: ostik.CoverageAccumulator(p).add(t),
    lambda g, p, t: ostik.CoverageAccumulator(p).add_many([t]),
], ids=["judge", "argument_coverage", "audit add", "audit add_many", "coverage add", "coverage add_many"])
def test_a_signal_ends_a_long_loop_over_steps(guard, policy, loop):
    # Millions of plain steps run no Python code: only the loop itself can let the handler run.
    trace = [StartsTheAlarm(tool="a")] + [{"tool": "read_file", "args": {"path": "x"}}] * 3_000_000 + [
        Reached(tool="b")]
    previous = signal.signal(signal.SIGALRM, _raise_alarm)
    Reached.reached = False
    try:
        with pytest.raises(Alarm):
            loop(guard, policy, trace)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert not Reached.reached
