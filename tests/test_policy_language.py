"""The whole policy language of a guard: ask entries, limits, tool-name patterns."""

import asyncio
import json
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import ostik
from ostik.formats.trace_files import read_trace_file

HEAD = "version: '1'\n"

LANGUAGE = HEAD + """\
tools:
  deny: [force_push]
aliases:
  mail: [send_email, send_sms]
ask:
  - tool: git_push
  - tool: shell
    args: {command: {matches: '^sudo\\b'}}
  - tool: [mail, "mcp__slack__*"]
    after: read_email
  - tool: force_push
limits:
  - {tool: web_search, max: 2, per: 60s}
  - {tool: "mcp__*__list_?", max: 1}
  - {repeat: 3}
"""


class Clock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


@pytest.fixture
def guard(write_policy):
    return ostik.Guard.from_file(write_policy(LANGUAGE))


def test_policy_from_file_reads_only_the_specified_language(write_policy):
    path = write_policy(LANGUAGE)
    with pytest.raises(ValueError, match=r"^unknown field `ask`, expected one of `version`, `name`, "
                                         r"`metadata`, `tools`, `sequences`, `aliases`, `on_error` at line 6 column 1$"):
        ostik.Policy.from_file(path)
    guard = ostik.Guard.from_file(path)
    assert [(e["rule_id"], e["rule_type"]) for e in guard.entries] == [
        ("ask_git_push", "ask"), ("ask_shell", "ask"), ("ask_mail_mcp__slack__*", "ask"), ("ask_force_push", "ask"),
        ("limit_web_search_2_per_60s", "limit"), ("limit_mcp__*__list_?_1", "limit"), ("repeat_3", "repeat")]


@pytest.mark.parametrize("section, message", [
    ("ask:\n  - {tool: a, when: b}\n",
     "ask[0]: unknown field `when`, expected one of `tool`, `args`, `after` at line 3 column 15"),
    ("ask:\n  - {args: {}}\n", "ask[0]: missing field `tool` at line 3 column 5"),
    ("ask:\n  - {tool: []}\n",
     "ask[0].tool: invalid length 0, expected a tool name or a non-empty list of names at line 3 column 12"),
    ("ask:\n  - {tool: a, args: [x]}\n",
     "ask[0].args: invalid type: sequence, expected a map of argument names to constraints at line 3 column 21"),
    ("ask: {tool: a}\n", "ask: invalid type: map, expected a sequence at line 2 column 6"),
    ("limits:\n  - {tool: a}\n", "limits[0]: missing field `max` or `repeat` at line 3 column 5"),
    ("limits:\n  - {max: 1, repeat: 2}\n",
     "limits[0]: `max` and `repeat` cannot be given together (one limit each) at line 3 column 5"),
    ("limits:\n  - {repeat: 3, per: 1m}\n",
     "limits[0]: `per` needs `max` (at most `max` calls in any `per`) at line 3 column 5"),
    ("limits:\n  - {repeat: 1}\n",
     "limits[0].repeat: invalid value: integer `1`, expected an integer of at least 2 at line 3 column 14"),
    ("limits:\n  - {max: -1}\n",
     "limits[0].max: invalid value: integer `-1`, expected a non-negative integer at line 3 column 11"),
    ("limits:\n  - {max: many}\n",
     "limits[0].max: invalid type: string \"many\", expected a non-negative integer at line 3 column 11"),
    ("limits:\n  - {max: 1, per: 60x}\n",
     "limits[0].per: invalid value: string \"60x\", expected a duration such as `30s`, `5m` or `1h` at line 3 "
     "column 19"),
    ("limits:\n  - {max: 1, per: 0s}\n",
     "limits[0].per: invalid value: string \"0s\", expected a duration such as `30s`, `5m` or `1h` at line 3 "
     "column 19"),
    ("ask:\n  - tool: shell\n    args: {command: {matchs: x}}\n",
     "ask[0].args.command: unknown operator `matchs`, expected one of `equals`, `one_of`, `not_one_of`, "
     "`contains`, `not_contains`, `matches`, `not_matches`, `min`, `max`, `max_length` at line 4 column 22"),
])
def test_badly_written_entries_are_refused_with_their_place(write_policy, section, message):
    path = write_policy(HEAD + section)
    with pytest.raises(ValueError) as caught:
        ostik.Guard.from_file(path)
    assert str(caught.value) == message
    # Every command reads the same language, with the same message.
    from ostik.cli.common import UnusableInput, load_guard_file
    with pytest.raises(UnusableInput, match="^" + path):
        load_guard_file(path)


@pytest.mark.parametrize("pattern, tool, matches", [
    ("mcp__slack__*", "mcp__slack__post", True),
    ("mcp__slack__*", "mcp__slack__", True),
    ("mcp__slack__*", "mcp__Slack__post", False),  # case-sensitive
    ("mcp__slack__*", "x_mcp__slack__post", False),  # the whole name
    ("git_?ush", "git_push", True),
    ("git_?ush", "git_push2", False),
    ("*_file", "read_file", True),
    ("a*b*c", "aXbYbZc", True),
    ("a*b*c", "aXbYbZ", False),
    ("*", "", True),
])
def test_tool_name_patterns(write_policy, pattern, tool, matches):
    guard = ostik.Guard.from_file(write_policy(HEAD + f"ask:\n  - tool: {json.dumps(pattern)}\n"))
    assert guard.session().check(tool).needs_approval is matches


def test_an_ask_waits_for_approval_and_is_resolved_once(guard, tmp_path):
    path = tmp_path / "run.jsonl"
    session = guard.session(path, clock=Clock())
    asked = session.check("git_push", {"branch": "main"}, call_id="c1")
    assert (asked.verdict, asked.allowed, asked.needs_approval, asked.blocked_by) == ("ask", False, True,
                                                                                     "ask_git_push")
    assert asked.reason == "'git_push' needs a person's approval before it runs"
    assert asked.message == "Calling 'git_push' needs a person's approval."
    assert not asked
    assert session.pending == ["c1"] and session.steps == 0 and path.read_text() == ""  # it has not run
    assert session.check("git_push", {"branch": "main"}, call_id="c1") == asked  # still waiting
    approved = session.approve("c1")
    assert approved.allowed and approved.call_id == "c1" and session.steps == 1 and session.pending == []
    assert session.check("git_push", {"branch": "main"}, call_id="c1") == approved
    with pytest.raises(ValueError, match="call_id 'c1' is not waiting for approval"):
        session.approve("c1")
    with pytest.raises(ValueError, match="was already decided for another call"):
        session.check("git_push", {"branch": "dev"}, call_id="c1")

    second = session.check("git_push")
    assert second.call_id == "ask-1"  # one is made when none was given
    denied = session.deny(second.call_id, reason="not on Fridays")
    assert (denied.verdict, denied.blocked_by) == ("blocked", "ask_git_push")
    assert denied.reason == "'git_push' was denied approval: not on Fridays"
    assert denied.message == "A person denied the call of 'git_push': not on Fridays."
    assert session.refused == 1 and session.steps == 1
    lines = [json.loads(line) for line in path.read_text().splitlines()]
    assert lines == [
        {"approved": True, "args": {"branch": "main"},
         "ask": {"reason": "'git_push' needs a person's approval before it runs", "rule_id": "ask_git_push"},
         "tool": "git_push", "ts": 0.0},
        {"approved": False, "ask": {"reason": "'git_push' needs a person's approval before it runs",
                                    "rule_id": "ask_git_push"},
         "denial": "not on Fridays", "tool": "git_push", "ts": 0.0},
    ]
    # Replayed: the approved call ran, the denied one was refused by its entry.
    trace = read_trace_file(str(path)).traces[0]
    assert [step["tool"] for step in trace.steps] == ["git_push"]
    assert [(r.tool, r.rule_id, r.reason) for r in trace.refused] == [
        ("git_push", "ask_git_push", "'git_push' was denied approval: not on Fridays")]
    judgement = guard.judge(trace.steps)
    assert judgement.passed and judgement.asked_steps == 1
    assert [d.verdict for d in judgement.decisions] == ["ask"]


@pytest.mark.parametrize("tool, args, verdict, blocked_by", [
    ("force_push", None, "blocked", "deny_list"),  # a block beats an ask
    ("shell", {"command": "ls"}, "allowed", None),
    ("shell", {"command": "sudo rm"}, "ask", "ask_shell"),
    ("shell", {"cmd": "sudo rm"}, "allowed", None),  # no such argument: the condition is not met
    ("shell", None, "allowed", None),
    ("send_email", None, "allowed", None),  # read_email has not run
    ("git_pull", None, "allowed", None),
])
def test_what_an_ask_entry_applies_to(guard, tool, args, verdict, blocked_by):
    decision = guard.session().check(tool, args)
    assert (decision.verdict, decision.blocked_by) == (verdict, blocked_by)


def test_after_needs_the_trigger_to_have_run(guard):
    session = guard.session()
    assert session.check("send_sms").allowed
    assert session.check("mcp__slack__post").allowed
    assert session.check("read_email").allowed
    for tool in ("send_sms", "send_email", "mcp__slack__post"):
        decision = session.check(tool)
        assert decision.needs_approval and decision.blocked_by == "ask_mail_mcp__slack__*"
        assert decision.reason == f"'{tool}' needs a person's approval before it runs ('read_email' has run in this session)"


def test_ask_ids_are_made_unique(write_policy):
    guard = ostik.Guard.from_file(write_policy(HEAD + "ask:\n  - tool: Push\n  - tool: push\n  - tool: PUSH\n"))
    assert [e["rule_id"] for e in guard.entries] == ["ask_push", "ask_push_2", "ask_push_3"]


def test_approvals_survive_to_bytes_and_resume(guard, tmp_path):
    clock = Clock()
    session = guard.session(clock=clock)
    session.check("read_email")
    session.check("web_search", {"q": 1})
    waiting = session.check("shell", {"command": "sudo ls"}, call_id="s")
    other = session.check("git_push", call_id="g")
    data = session.to_bytes()
    resumed = guard.resume(data, tmp_path / "after.jsonl", clock=clock)
    assert resumed.pending == ["s", "g"]
    assert resumed.check("shell", {"command": "sudo ls"}, call_id="s") == waiting
    assert resumed.approve("s").allowed and resumed.steps == 3
    assert resumed.deny("g").reason == "'git_push' was denied approval"
    assert json.loads((tmp_path / "after.jsonl").read_text().splitlines()[0])["args"] == {"command": "sudo ls"}
    # The limits' state and the after condition came along.
    assert resumed.check("send_email").needs_approval
    assert resumed.check("web_search", {"q": 2}).allowed
    assert resumed.check("web_search", {"q": 3}).blocked_by == "limit_web_search_2_per_60s"
    again = guard.resume(data)
    assert again.pending == ["s", "g"] and again.approve("g").allowed
    damaged = bytearray(data)
    damaged[-12] ^= 1
    with pytest.raises(ValueError, match="invalid Session bytes"):
        guard.resume(bytes(damaged))


def test_limits_with_an_injected_clock(guard):
    clock = Clock()
    session = guard.session(clock=clock)
    assert session.check("web_search", {"q": 1}).allowed
    clock.now = 30
    assert session.check("web_search", {"q": 2}).allowed
    clock.now = 59.5
    refused = session.check("web_search", {"q": 3})
    assert refused.blocked_by == "limit_web_search_2_per_60s"
    assert refused.reason == "'web_search' was called 2 times in the last 60 s (at most 2)"
    assert refused.failures[0].context == {"count": 2, "max": 2, "per_seconds": 60.0}
    clock.now = 60.5  # the first call has left the window; the refused one never counted
    assert session.check("web_search", {"q": 4}).allowed
    assert session.check("web_search", {"q": 5}).blocked_by == "limit_web_search_2_per_60s"
    clock.now = 1000
    assert session.check("mcp__github__list_x").allowed
    limited = session.check("mcp__jira__list_y")
    assert limited.reason == "'mcp__*__list_?' was called 1 time in the session (at most 1)"
    assert session.check("mcp__jira__list_yy").allowed  # `?` is one character


def test_repeat_refuses_the_nth_equal_call_in_a_row(guard):
    session = guard.session()
    assert session.check("ls", {"p": "."}).allowed
    assert session.check("ls", {"p": "."}).allowed
    third = session.check("ls", {"p": "."})
    assert third.blocked_by == "repeat_3"
    assert third.reason == "'ls' was called 2 times in a row with the same arguments (at most 2)"
    assert session.check("ls", {"p": "."}).blocked_by == "repeat_3"  # refused calls do not reset the run
    assert session.check("ls", {"p": ".."}).allowed
    assert session.check("ls", {"p": "."}).allowed


def test_observe_mode_records_asks_and_nothing_waits(guard, tmp_path):
    path = tmp_path / "seen.jsonl"
    session = guard.session(path, mode="observe", clock=Clock())
    decision = session.check("git_push")
    assert decision.needs_approval and session.steps == 1 and session.pending == []
    assert json.loads(path.read_text()) == {
        "ask": {"reason": "'git_push' needs a person's approval before it runs", "rule_id": "ask_git_push"},
        "tool": "git_push", "ts": 0.0}


def test_wrappers_ask_the_approver(guard):
    asked = []

    def approver(decision):
        asked.append(decision.tool)
        return decision.tool == "git_push"

    session = guard.session(approver=approver)

    @session.tool
    def git_push(branch="main"):
        return "pushed"

    @session.tool(name="shell")
    def run(command):
        return "ran"

    assert git_push() == "pushed"
    with pytest.raises(ostik.PolicyViolation) as caught:
        run("sudo ls")
    assert caught.value.decision.verdict == "blocked" and caught.value.decision.blocked_by == "ask_shell"
    assert asked == ["git_push", "shell"] and session.steps == 1

    async def async_approver(decision):
        return True

    async_session = guard.session(approver=async_approver)

    @async_session.tool
    async def git_push_async(branch="main"):
        return "pushed"

    @async_session.tool(name="git_push")
    def plain_push():
        return "pushed"

    assert asyncio.run(git_push_async()) == "pushed"  # a different tool name: allowed
    assert plain_push() == "pushed"  # no loop running: the approver runs to completion

    without = guard.session()

    @without.tool
    def git_push_unapproved():
        return "pushed"

    plain = without.guarded(lambda: "pushed", name="git_push")
    with pytest.raises(ostik.PolicyViolation, match=r"needs approval \(ask_git_push\)") as caught:
        plain()
    assert caught.value.decision.needs_approval


def test_replayed_windows_use_recorded_times(guard):
    steps = [{"tool": "web_search", "args": {"q": i}, "ts": t} for i, t in enumerate([0, 10, 20, 100])]
    judgement = guard.judge(steps)
    assert [d.verdict for d in judgement.decisions] == ["allowed", "allowed", "blocked", "allowed"]
    assert not judgement.windows_unjudged
    untimed = guard.judge([{"tool": "web_search", "args": {"q": i}} for i in range(3)])
    assert untimed.passed and untimed.windows_unjudged


def test_coverage_counts_each_entry(guard):
    traces = [[{"tool": "git_push"}, {"tool": "ls"}, {"tool": "ls"}, {"tool": "ls"}],
              [{"tool": "shell", "args": {"command": "ls"}}]]
    counts = {e["rule_id"]: (e["reached"], e["triggered"]) for e in guard.entry_coverage(traces)}
    assert counts == {"ask_git_push": (1, 1), "ask_shell": (1, 0), "ask_mail_mcp__slack__*": (0, 0),
                      "ask_force_push": (0, 0), "limit_web_search_2_per_60s": (0, 0),
                      "limit_mcp__*__list_?_1": (0, 0), "repeat_3": (5, 1)}


def test_accumulators_accept_a_guard(guard):
    accumulator = ostik.CoverageAccumulator(guard)
    accumulator.add([{"tool": "git_push"}])
    assert accumulator.traces == 1
    audit = ostik.AuditAccumulator(guard)
    audit.add([{"tool": "force_push"}])
    assert audit.summary()["blocked_by"] == {"deny_list": 1}


NAMES = st.sampled_from(["a", "b", "c", "read", "write"])
STEPS = st.lists(st.fixed_dictionaries({"tool": NAMES, "args": st.dictionaries(st.sampled_from(["x", "y"]),
                                                                                st.integers(0, 3))}),
                 max_size=12)
SPECIFIED = HEAD + """\
tools:
  deny: [c]
  arg_constraints: {write: {x: {max: 2}}}
sequences:
  - [max_calls, read, 3]
  - [before, read, write]
"""


@settings(max_examples=60, deadline=None)
@given(STEPS)
def test_empty_ask_and_limits_decide_exactly_as_before(tmp_path_factory, steps):
    directory = tmp_path_factory.mktemp("p")
    (directory / "a.yaml").write_text(SPECIFIED)
    (directory / "b.yaml").write_text(SPECIFIED + "ask: []\nlimits: []\n")
    before = ostik.Guard(ostik.Policy.from_file(str(directory / "a.yaml")))
    whole = ostik.Guard.from_file(str(directory / "b.yaml"))
    assert [d for d in whole.judge(steps).decisions] == [d for d in before.judge(steps).decisions]
    first, second = before.session(), whole.session()
    for step in steps:
        assert first.check(step["tool"], step["args"]) == second.check(step["tool"], step["args"])
    assert first.to_bytes() == second.to_bytes()


def test_the_commands_read_the_whole_language(write_policy, tmp_path):
    import subprocess
    import sys

    path = write_policy(LANGUAGE)
    trace = tmp_path / "run.jsonl"
    trace.write_text('{"tool":"git_push"}\n' + "".join(
        f'{{"tool":"web_search","args":{{"q":{i}}},"ts":{i}}}\n' for i in range(3)))
    def run(*args):
        return subprocess.run([sys.executable, "-m", "ostik", *args], capture_output=True, text=True, timeout=120)
    explained = run("explain", path, str(trace))
    assert explained.returncode == 1, explained.stderr
    assert "ask_git_push: 'git_push' needs a person's approval before it runs" in explained.stdout
    assert "limit_web_search_2_per_60s: 'web_search' was called 2 times in the last 60 s (at most 2)" in explained.stdout
    tested = run("test", path, str(trace))
    assert tested.returncode == 1 and "limit_web_search_2_per_60s" in tested.stdout
    assert run("check", "--strict", path).returncode == 0
    untimed = tmp_path / "untimed.jsonl"
    untimed.write_text('{"tool":"web_search","args":{"q":1}}\n' * 2 + '{"tool":"web_search","args":{"q":2}}\n')
    quiet = run("explain", path, str(untimed))
    assert quiet.returncode == 0 and quiet.stderr.count("limits over a window of time were not applied") == 1


# --- every command judges the entries, never counting them as passed -------------------------------------------------

ENTRY_POLICY = """version: "1"
tools:
  allow: [read_file]
limits:
  - {tool: read_file, max: 1}
"""


@pytest.mark.parametrize("command, status", [
    (["test", "-q", "{policy}", "{trace}"], 1),  # the quiet count judges the limit as the full run does
    (["diff", "{policy}", "{policy}", "{trace}"], 0),  # judged alike under both: nothing changes
    (["report", "{policy}", "--compare", "{policy}", "{trace}", "-o", "{page}"], 0),  # as diff: nothing newly fails
])
def test_commands_that_cannot_judge_entries_never_pass_them(tmp_path, command, status):
    policy = tmp_path / "p.yaml"
    policy.write_text(ENTRY_POLICY)
    trace = tmp_path / "t.jsonl"
    trace.write_text('{"tool": "read_file"}\n{"tool": "read_file"}\n')
    argv = [part.format(policy=policy, trace=trace, page=tmp_path / "page.html") for part in command]
    result = subprocess.run([sys.executable, "-m", "ostik", *argv], capture_output=True, text=True, timeout=120)
    assert result.returncode == status, result.stderr
    assert "ask or limits entries" not in result.stderr


def test_accumulators_judge_a_policy_with_entries(tmp_path):
    from ostik._engine import AuditAccumulator

    policy = tmp_path / "p.yaml"
    policy.write_text(ENTRY_POLICY)
    audit = AuditAccumulator(ostik.Guard.from_file(str(policy)).policy)
    audit.add([{"tool": "read_file"}, {"tool": "read_file"}])
    assert audit.summary()["blocked_by"] == {"limit_read_file_1": 1}


# A repeat run's calls: the same dict mutated back and forth, other tools
# between, peeks of tools the session never saw, a call approved after it asked.
REPEAT_CALLS = [("ls", "."), ("ls", "."), ("peek", "cat"), ("ls", "."), ("ls", ".."), ("ls", ".."),
                ("git_push", None), ("git_push", None), ("peek", "ls"), ("ls", ".."), ("ls", ".."), ("ls", "..")]


@pytest.mark.parametrize("cut", range(len(REPEAT_CALLS) + 1))
def test_repeat_runs_survive_to_bytes_and_resume(guard, cut):
    def run(session, calls, args):
        seen = []
        for tool, value in calls:
            if tool == "peek":
                d = session.peek(value, args)
            elif value is None:
                d = session.check(tool)
                if d.needs_approval:
                    d = session.approve(d.call_id)
            else:
                args["p"] = value  # the same dict, judged by its contents at the call
                d = session.check(tool, args)
            seen.append((d.verdict, d.blocked_by, d.reason))
        return seen

    whole = guard.session()
    expected = run(whole, REPEAT_CALLS, {})
    assert ("blocked", "repeat_3", "'ls' was called 2 times in a row with the same arguments (at most 2)") in expected
    first = guard.session()
    args = {}
    seen = run(first, REPEAT_CALLS[:cut], args)
    resumed = guard.resume(first.to_bytes())
    assert resumed.to_bytes() == first.to_bytes()
    seen += run(resumed, REPEAT_CALLS[cut:], args)
    assert seen == expected
    assert resumed.to_bytes() == whole.to_bytes()


REPEATS = HEAD + """\
limits:
  - {tool: "t*", max: 1000}
  - {repeat: 3}
"""


@pytest.fixture(scope="module")
def repeats_guard(tmp_path_factory):
    path = tmp_path_factory.mktemp("repeats") / "policy.yaml"
    path.write_text(REPEATS)
    return ostik.Guard.from_file(str(path))


def _outcome(decision):
    return decision.verdict, decision.blocked_by, decision.reason


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["ta", "tb", "u", "t\u00e9"]),
                          st.sampled_from(["none", "ab", "ba", "mutated", "shared"])), max_size=14))
def test_repeat_streaks_agree_with_a_session_resumed_at_every_call(repeats_guard, calls):
    # A live session compares the last tool by its slot; one resumed from its
    # bytes before every call knows the last tool only by name. Both see the
    # same calls, given the same dict objects (mutated in between) and dicts
    # of the same members in other orders; peeks see what checks would.
    guard = repeats_guard
    live = guard.session()
    resumed = guard.session()
    shared = {"k": 1}
    for tool, kind in calls:
        if kind == "mutated":
            shared["k"] += 1
        args = {"none": None, "ab": {"a": 1, "b": "x"}, "ba": {"b": "x", "a": 1}}.get(kind, shared)
        resumed = guard.resume(resumed.to_bytes())
        assert _outcome(live.peek(tool, args)) == _outcome(resumed.peek(tool, args))
        assert _outcome(live.check(tool, args)) == _outcome(resumed.check(tool, args))
        assert live.to_bytes() == resumed.to_bytes()


@pytest.mark.parametrize("trace", [False, True])
def test_the_steady_clock_times_the_calls_a_window_counts(guard, tmp_path, trace):
    # Without a clock of the caller's, only calls that some windowed limit
    # meets (or that a trace file records) read the steady clock.
    session = guard.session(tmp_path / "t.jsonl") if trace else guard.session()
    for _ in range(2):
        assert session.check("web_search", {"q": 1}).allowed
        assert session.check("ls", {"p": 1}).allowed
    assert session.check("web_search", {"q": 2}).reason == "'web_search' was called 2 times in the last 60 s (at most 2)"
    resumed = guard.resume(session.to_bytes())
    assert resumed.check("web_search", {"q": 3}).blocked_by == "limit_web_search_2_per_60s"
    if trace:
        assert all("ts" in json.loads(line) for line in (tmp_path / "t.jsonl").read_text().splitlines())
