"""Enforcing and observing sessions: refused calls that never ran, call ids, sessions carried as bytes,
messages for the model, the trace file's refused and unjudged lines, and the wrappers in both modes."""

import json
import logging
import pathlib
import pickle

import pytest
from hypothesis import given
from hypothesis import strategies as st
from test_properties import ARGUMENT_POLICIES, CALLS, POLICIES, SETTINGS, failure_entry, load
from test_properties import write_policy  # noqa: F401 - one policy file for all examples

import ostik
from ostik import Guard, PolicyViolation, TraceExplainer

# --- the three runs a new user tried ------------------------------------------------

RUNS_POLICY = """\
version: "1"
name: runs
tools:
  allow: [read_file, run_tests, git_commit, edit_file, search]
sequences:
  - {type: max_calls, tool: read_file, max: 2}
  - {type: before, first: run_tests, then: git_commit}
  - {type: after, trigger: edit_file, then: run_tests, within: 2}
"""


@pytest.fixture
def runs_guard(write_policy):
    return Guard(ostik.Policy.from_file(write_policy(RUNS_POLICY)))


def verdicts(session, tools):
    return [(d.verdict, d.step, d.blocked_by) for d in (session.check(t) for t in tools)]


def test_one_refusal_does_not_end_the_run(runs_guard):
    session = runs_guard.session()
    assert verdicts(session, ["read_file", "read_file", "read_file", "run_tests", "git_commit", "read_file"]) == [
        ("allowed", 0, None), ("allowed", 1, None), ("blocked", 2, "max_calls_read_file_2"),
        ("allowed", 2, None), ("allowed", 3, None), ("blocked", 4, "max_calls_read_file_2")]
    assert (session.steps, session.refused) == (4, 2)
    # Observing, it goes as a recorded trace does: the refusal counts and ends the run.
    observed = runs_guard.session(mode="observe")
    assert [d.blocked_by for d in (observed.check(t) for t in ["read_file"] * 3 + ["run_tests", "git_commit"])] == [
        None, None] + ["max_calls_read_file_2"] * 3


def test_a_refused_call_satisfies_nothing(write_policy):
    guard = Guard(ostik.Policy.from_file(write_policy(
        "version: '1'\ntools: {deny: [run_tests]}\nsequences: [{type: before, first: run_tests, then: git_commit}]\n")))
    session = guard.session()
    assert session.check("run_tests").blocked_by == "deny_list"
    assert session.check("git_commit").blocked_by == "before_run_tests_then_git_commit"
    observed = guard.session(mode="observe")
    observed.check("run_tests")
    assert observed.check("git_commit").blocked_by is None  # the recorded trace's view: run_tests happened


def test_a_missed_after_window_refuses_the_call_that_misses_it(runs_guard):
    session = runs_guard.session()
    assert verdicts(session, ["edit_file", "search"]) == [("allowed", 0, None), ("allowed", 1, None)]
    due = session.check("search")  # the window's last position: only run_tests (or edit_file) may come
    assert (due.verdict, due.step, due.blocked_by) == ("blocked", 2, "after_edit_file_then_run_tests")
    assert due.reason == "'run_tests' must be called now: required within 2 calls after 'edit_file' (triggered at 0)"
    assert due.message == "'run_tests' must be called now: it is required within 2 calls after 'edit_file'."
    assert due.failures[0].context == {"then": "run_tests", "trigger": "edit_file", "within": 2}
    assert session.check("run_tests").allowed  # the catch-up call is not "too late"
    assert verdicts(session, ["search", "search", "git_commit"]) == [
        ("allowed", 3, None), ("allowed", 4, None), ("allowed", 5, None)]
    assert session.finish() == []
    # The trigger re-opens the window at its last position.
    again = runs_guard.session()
    assert [d.allowed for d in (again.check(t) for t in ["edit_file", "search", "edit_file", "search"])] == [True] * 4
    assert again.check("search").blocked_by == "after_edit_file_then_run_tests"


# --- enforcing against the judgement of the executed calls, as properties ------------

def matches(policy, tool, name):
    aliases = policy.get("aliases", {})
    return tool in aliases[name] if name in aliases else tool == name


def steps_of(calls):
    return [{"tool": t} if a is None else {"tool": t, "args": a} for t, a in calls]


def expected_failures(policy, p, guard, executed, call):
    """The last step of guard.judge(executed + [call]), with the after windows that the call would let pass."""
    steps = steps_of(executed + [call])
    judged = [failure_entry(f) for f in guard.judge(steps).decisions[-1].failures]
    rules = policy["sequences"]
    entries = json.loads(TraceExplainer(p).explain(steps))["steps"][-1]["rules_evaluated"]
    # The explainer's entries: the tool check when it failed, every rule, then the end of the trace.
    gated = 1 if entries and entries[0]["rule_type"] in ("deny", "allow") else 0
    by_rule = entries[gated:gated + len(rules)]
    rule_failures = [f for f in judged if f["rule_type"] not in ("deny", "allow", "require_args", "arg_constraint",
                                                                  "on_error")]
    out = judged[:len(judged) - len(rule_failures)]
    taken = iter(rule_failures)
    for rule, entry in zip(rules, by_rule):
        if (rule["type"] == "after" and entry["explanation"] == f"Pending: '{rule['then']}' needed within 0 more calls"
                and not matches(policy, call[0], rule["trigger"])):
            within = rule.get("within", 1)
            out.append({**entry, "passed": False, "explanation": (
                f"'{rule['then']}' must be called now: required within {within} calls after '{rule['trigger']}' "
                f"(triggered at {len(executed) - within})")})
        elif not entry["passed"]:
            out.append(next(taken))
    return out


@SETTINGS
@given(policy=POLICIES | ARGUMENT_POLICIES, calls=CALLS)
def test_enforcing_decides_as_the_judgement_of_the_executed_calls(write_policy, policy, calls):
    p = load(write_policy, policy)
    guard = Guard(p)
    session = guard.session(keep=True)
    executed = []
    for tool, args in calls:
        expected = expected_failures(policy, p, guard, executed, (tool, args))
        assert session.peek(tool, args) == (decision := session.check(tool, args))
        assert [failure_entry(f) for f in decision.failures] == expected
        assert (decision.step, decision.allowed, decision.message == "") == (len(executed), not expected, not expected)
        if decision.allowed:
            executed.append((tool, args))
    assert (session.steps, session.refused) == (len(executed), len(calls) - len(executed))
    assert session.finish() == guard.judge(steps_of(executed)).end_failures
    if executed:
        replay = guard.session(keep=True, mode="observe")
        for tool, args in executed:
            assert replay.check(tool, args).allowed
        assert session.explain() == replay.explain()


@SETTINGS
@given(policy=POLICIES | ARGUMENT_POLICIES, calls=CALLS, mode=st.sampled_from(["enforce", "observe"]))
def test_a_resumed_session_decides_as_the_uninterrupted_one(write_policy, policy, calls, mode):
    guard = Guard(load(write_policy, policy))
    session = guard.session(mode=mode)
    cuts = []
    decisions = []
    for i, (tool, args) in enumerate(calls):
        cuts.append(session.to_bytes())
        decisions.append(session.check(tool, args, call_id=f"c{i}" if i % 2 else None))
    end = session.to_bytes()
    for cut, data in enumerate(cuts):
        resumed = guard.resume(data)
        assert resumed.mode == mode
        for i in range(cut, len(calls)):
            tool, args = calls[i]
            assert resumed.check(tool, args, call_id=f"c{i}" if i % 2 else None) == decisions[i]
        assert (resumed.finish(), resumed.steps, resumed.refused, resumed.to_bytes()) == (
            session.finish(), session.steps, session.refused, end)


IDS = st.sampled_from(["a", "b", "c", "tool_use_01é", None])


@SETTINGS
@given(policy=POLICIES, calls=st.lists(st.tuples(st.sampled_from(["read", "write", "rm", "x"]),
                                                  st.sampled_from([None, {"p": 1}, {"p": 2}]), IDS), max_size=10))
def test_a_call_id_gives_its_decision_again(write_policy, policy, calls):
    guard = Guard(load(write_policy, policy))
    session, twin = guard.session(), guard.session()
    decided = {}
    for tool, args, call_id in calls:
        before = session.to_bytes()
        if call_id in decided and decided[call_id][:2] != (tool, args):
            with pytest.raises(ValueError, match=f"^call_id {call_id!r} was already decided for another call"):
                session.check(tool, args, call_id=call_id)
            with pytest.raises(ValueError):
                session.peek(tool, args, call_id=call_id)
            assert session.to_bytes() == before
            continue
        decision = session.check(tool, args, call_id=call_id)
        assert decision.call_id == call_id
        if call_id in decided:
            assert decision == decided[call_id][2] and session.to_bytes() == before  # judged and counted nothing
            assert session.peek(tool, args, call_id=call_id) == decision
        else:
            assert (decision.verdict, decision.failures, decision.step) == (
                (expected := twin.check(tool, args)).verdict, expected.failures, expected.step)
            if call_id is not None:
                decided[call_id] = (tool, args, decision)


def test_call_ids_are_remembered_up_to_the_bound(runs_guard):
    session = runs_guard.session()
    first = session.check("search", call_id="first")
    for i in range(4095):
        session.check("search", call_id=f"id{i}")
    assert session.check("search", call_id="first") == first and session.steps == 4096
    session.check("search", call_id="one more")  # the oldest id goes
    assert session.check("search", call_id="first").step == 4097
    assert session.peek("search", call_id="new").call_id == "new"
    assert session.check("search", call_id="new").step == 4098  # peek remembered nothing
    assert len(session.to_bytes()) < 200_000


# --- bytes ---------------------------------------------------------------------------

def test_bad_bytes_are_refused(runs_guard, write_policy):
    session = runs_guard.session()
    session.check("edit_file", {"path": "a"}, call_id="x")
    data = session.to_bytes()
    other = Guard(ostik.Policy.from_file(write_policy(RUNS_POLICY.replace("max: 2", "max: 3"))))
    damaged = bytearray(data)
    damaged[-9] ^= 1
    for bad, why in [(b"", "not a session's bytes"), (data[:4], "truncated"), (data[:-1], "damaged"),
                     (data[:4] + b"\x09" + data[5:], "unsupported format version 9"),
                     (bytes(damaged), "damaged \\(checksum mismatch\\)"),
                     (ostik.policy_bytes(runs_guard_policy(write_policy)), "not a session's bytes")]:
        with pytest.raises(ValueError, match=f"^invalid Session bytes: {why}"):
            runs_guard.resume(bad)
    with pytest.raises(ValueError, match="^invalid Session bytes: made with another policy$"):
        other.resume(data)
    assert runs_guard.resume(memoryview(data)).to_bytes() == data
    with pytest.raises(TypeError, match="^argument 'data': 'str' object cannot be converted to 'bytes'$"):
        runs_guard.resume("data")


def runs_guard_policy(write_policy):
    return ostik.Policy.from_file(write_policy(RUNS_POLICY))


def test_resume_appends_to_its_trace_file_and_bad_bytes_leave_no_file(runs_guard, tmp_path):
    first = tmp_path / "run.jsonl"
    session = runs_guard.session(first)
    session.check("read_file")
    resumed = runs_guard.resume(session.to_bytes(), trace_file=first)
    resumed.check("run_tests", {"k": [1]})
    assert first.read_text() == '{"tool":"read_file"}\n{"args":{"k":[1]},"tool":"run_tests"}\n'
    with pytest.raises(ValueError):
        runs_guard.resume(b"OSKS", trace_file=tmp_path / "never.jsonl")
    assert not (tmp_path / "never.jsonl").exists()


# --- the trace file --------------------------------------------------------------------

def test_refused_and_unjudged_calls_in_the_trace_file(write_policy, tmp_path):
    guard = Guard(ostik.Policy.from_file(write_policy(RUNS_POLICY.replace('name: runs', 'name: runs\non_error: allow'))))
    path = tmp_path / "run.jsonl"
    session = guard.session(pathlib.Path(path))  # any os.PathLike
    session.check("read_file", {"path": "a"})
    session.check("drop_db", {"all": True})
    session.check("drop_db")

    @session.tool
    def search(when):
        return "searched"

    assert search(object()) == "searched"
    assert [json.loads(line) for line in path.read_text().splitlines()] == [
        {"args": {"path": "a"}, "tool": "read_file"},
        {"args": {"all": True}, "refused": {"reason": "Tool 'drop_db' is not in allow list", "rule_id": "allow_list"},
         "tool": "drop_db"},
        {"refused": {"reason": "Tool 'drop_db' is not in allow list", "rule_id": "allow_list"}, "tool": "drop_db"},
        {"tool": "search", "unjudged": "Invalid tool call format: argument 'when': unsupported type object"}]
    assert (session.steps, session.refused) == (1, 2)


def test_a_failed_write_of_a_refused_call_leaves_the_session_as_it_was(runs_guard):
    session = runs_guard.session("/dev/full")
    before = session.to_bytes()
    for call in [lambda: session.check("drop_db"), lambda: session.check("read_file", call_id="k")]:
        with pytest.raises(RuntimeError, match=r"^Failed to flush: No space left on device"):
            call()
        assert session.to_bytes() == before and (session.steps, session.refused) == (0, 0)


# --- modes and bad input -----------------------------------------------------------------

@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda g: g.session(mode="shadow"), ValueError, "argument 'mode': expected \"enforce\" or \"observe\", got 'shadow'"),
    (lambda g: g.session(mode=1), TypeError, "argument 'mode': 'int' object cannot be converted to 'str'"),
    (lambda g: g.session(None, False, "observe"), TypeError,
     "Guard.session() takes from 0 to 2 positional arguments but 3 were given"),
    (lambda g: g.session(trace_file=3), TypeError, "argument 'trace_file': 'int' object cannot be converted to 'str'"),
    (lambda g: g.resume(), TypeError, "Guard.resume() missing 1 required positional argument: 'data'"),
    (lambda g: g.session().check("a", None, "id"), TypeError,
     "Session.check() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda g: g.session().check("a", call_id=7), TypeError,
     "argument 'call_id': 'int' object cannot be converted to 'str'"),
    (lambda g: g.session().peek("a", call_id=b"7"), TypeError,
     "argument 'call_id': 'bytes' object cannot be converted to 'str'"),
    (lambda g: g.session().to_bytes(1), TypeError, "Session.to_bytes() takes 0 positional arguments but 1 was given"),
])
def test_bad_arguments(runs_guard, call, error, message):
    with pytest.raises(error) as info:
        call(runs_guard)
    assert str(info.value) == message


def test_mode_is_read_back_and_pickles_keep_the_new_fields(runs_guard):
    assert [runs_guard.session(mode=m).mode for m in ("enforce", "observe")] == ["enforce", "observe"]
    assert runs_guard.session().mode == "enforce"
    session = runs_guard.session()
    d = session.check("drop_db", call_id="call_1")
    assert repr(d) == ("Decision(verdict='blocked', step=0, tool='drop_db', blocked_by='allow_list', "
                       "reason=\"Tool 'drop_db' is not in allow list\", call_id='call_1')")
    back = pickle.loads(pickle.dumps(d))
    assert (back, back.call_id, back.message) == (d, "call_1", "'drop_db' is not one of the tools allowed in this run.")
    assert str(PolicyViolation(d)) == "blocked by allow_list: Tool 'drop_db' is not in allow list"
    assert session.check("read_file").call_id is None


# --- messages ---------------------------------------------------------------------------

MESSAGE_POLICY = """\
version: "1"
tools:
  deny: [force_push]
  require_args: {shell: [command]}
  arg_constraints:
    shell:
      command: {not_matches: 'rm\\s+-rf', max_length: 30}
      cwd: {one_of: [src, tests]}
      timeout: {min: 1, max: 600}
      env: ci
      note: {contains: [ok, fine], not_contains: "!"}
      tags: {max_length: 1}
aliases:
  readers: [read_file, list_dir]
sequences:
  - {type: max_calls, tool: read_file, max: 2}
  - {type: before, first: run_tests, then: git_commit}
  - {type: never_after, trigger: deploy, forbidden: edit_file}
  - {type: sequence, tools: [plan, build, ship], strict: true}
  - {type: sequence, tools: [lint, test]}
  - {type: blocklist, pattern: sudo}
  - {type: eventually, tool: readers, within: 1}
"""


@pytest.mark.parametrize(("calls", "message"), [
    (["list_dir", ("read_file", {}), ("read_file", {}), ("read_file", {})],
     "'read_file' may be called at most 2 times in this run and has been called 2 times; do not call it again."),
    (["list_dir", "git_commit"], "'git_commit' needs 'run_tests' to be called first."),
    (["list_dir", "force_push"], "'force_push' is not allowed."),
    (["list_dir", ("shell", {"command": "rm  -rf /"})], "Argument 'command' of 'shell' must not match 'rm\\s+-rf'."),
    (["list_dir", ("shell", {})], "'shell' must be called with the argument 'command'."),
    (["list_dir", ("shell", {"command": "x" * 31})], "Argument 'command' of 'shell' must be a text of at most 30 characters."),
    (["list_dir", ("shell", {"command": "ls", "cwd": "/"})], "Argument 'cwd' of 'shell' must be one of 'src', 'tests'."),
    (["list_dir", ("shell", {"command": "ls", "timeout": 0})], "Argument 'timeout' of 'shell' must be a number of at least 1."),
    (["list_dir", ("shell", {"command": "ls", "env": "prod"})], "Argument 'env' of 'shell' must be 'ci'."),
    (["list_dir", ("shell", {"command": "ls", "note": "bad"})], "Argument 'note' of 'shell' must contain one of 'ok', 'fine'."),
    (["list_dir", ("shell", {"command": "ls", "note": "ok!"})], "Argument 'note' of 'shell' must not contain '!'."),
    (["list_dir", ("shell", {"command": "ls", "tags": [1, 2]})], "Argument 'tags' of 'shell' must have at most 1 item."),
    (["list_dir", "deploy", "edit_file"], "'edit_file' is not allowed after 'deploy' has been called."),
    (["list_dir", "plan", "ship"], "'build' must be called next, not 'ship'."),
    (["list_dir", "test"], "'lint' must be called before 'test'."),
    (["list_dir", "run_sudo"], "'run_sudo' matches the blocked pattern 'sudo' and is not allowed."),
    (["search", "search"], "'readers' must be called now: it was required within the first 1 calls."),
])
def test_a_message_for_the_model(write_policy, calls, message):
    session = Guard(ostik.Policy.from_file(write_policy(MESSAGE_POLICY))).session()
    decisions = [session.check(*(c if isinstance(c, tuple) else (c,))) for c in calls]
    assert [d.message for d in decisions[:-1]] == [""] * (len(calls) - 1)
    assert decisions[-1].message == message
    assert decisions[-1].blocked_by not in message
    judged = Guard(ostik.Policy.from_file(write_policy(MESSAGE_POLICY))).judge(
        [{"tool": c[0], "args": c[1]} if isinstance(c, tuple) else {"tool": c} for c in calls])
    assert judged.decisions[-1].message == message


# --- wrappers -------------------------------------------------------------------------------

def test_a_decorated_method_is_bound_per_instance_without_self(runs_guard):
    session = runs_guard.session(keep=True)

    class Agent:
        def __init__(self, root):
            self.root = root

        @session.tool
        def read_file(self, path, encoding="utf-8"):
            return f"{self.root}/{path}"

        @session.tool("run_tests")
        async def tests(self, target):
            return f"{self.root} {target}"

    a, b = Agent("a"), Agent("b")
    assert a.read_file("x.py") == "a/x.py" and b.read_file(path="y.py") == "b/y.py"
    import asyncio
    assert asyncio.iscoroutinefunction(a.tests) and asyncio.run(a.tests("all")) == "a all"
    assert Agent.read_file.__name__ == "read_file" and a.read_file.__doc__ is None
    with pytest.raises(PolicyViolation, match="^blocked by max_calls_read_file_2"):
        a.read_file("z.py")
    assert [s["args"] for s in json.loads(session.explain())["steps"]] == [
        {"path": "x.py", "encoding": "utf-8"}, {"path": "y.py", "encoding": "utf-8"}, {"target": "all"}]


def test_observing_wrappers_run_everything_and_log_what_they_would_refuse(runs_guard, caplog, tmp_path):
    session = runs_guard.session(tmp_path / "t.jsonl", mode="observe")
    ran = []

    @session.tool
    def drop_db():
        ran.append("drop_db")

    @session.tool
    def search(query):
        ran.append(query)

    with caplog.at_level(logging.WARNING, logger="ostik"):
        drop_db()
        search(object())
        search("q")
    assert len(ran) == 3 and (session.steps, session.refused) == (2, 1)
    assert [r.name for r in caplog.records] == ["ostik", "ostik"]
    assert "'drop_db' would be blocked by allow_list: Tool 'drop_db' is not in allow list" in caplog.records[0].message
    assert "'search' ran unjudged" in caplog.records[1].message
    assert json.loads((tmp_path / "t.jsonl").read_text().splitlines()[1])["unjudged"].startswith("Invalid tool call")
