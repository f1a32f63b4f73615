"""Ask and limits entries judged by the accumulators, the commands built on them, and the times
that windowed limits are judged by: every count held to Guard.judge's verdicts."""

import json
import pickle
import subprocess
import sys

import pytest

import ostik
from ostik import AuditAccumulator, CoverageAccumulator, DiffAccumulator, Guard, policy_bytes

HEAD = """version: "1"
tools:
  allow: [read, git_push, web_search, shell, login]
sequences:
  - {type: max_calls, tool: read, max: 5}
"""

POLICIES = {
    "ask": HEAD + "ask:\n  - tool: git_push\n",
    "ask after": HEAD + "ask:\n  - {tool: git_push, after: login}\n",
    "ask on args": HEAD + "ask:\n  - tool: shell\n    args: {command: {matches: '^sudo'}}\n",
    "session limit": HEAD + "limits:\n  - {tool: web_search, max: 2}\n",
    "window": HEAD + "limits:\n  - {tool: web_search, max: 2, per: 60s}\n",
    "repeat": HEAD + "limits:\n  - {repeat: 2}\n",
    "every kind": HEAD + "ask:\n  - tool: git_push\nlimits:\n  - {tool: '*', max: 6}\n"
                         "  - {tool: web_search, max: 1, per: 10s}\n  - {repeat: 3}\n",
}


def step(tool, ts=None, **args):
    made = {"tool": tool}
    if args:
        made["args"] = args
    if ts is not None:
        made["ts"] = ts
    return made


TRACES = [
    [],
    [step("login", 0), step("git_push", 1), step("git_push", 2)],
    [step("git_push", 0), step("login", 5), step("git_push", 9)],
    [step("web_search", 0, q=1), step("web_search", 30, q=2), step("web_search", 59, q=3), step("web_search", 200, q=4)],
    [step("web_search", q=1), step("web_search", q=1), step("web_search", q=1)],  # no times
    [step("shell", 0, command="sudo ls"), step("shell", 1, command="ls"), step("read", 2), step("read", 3)],
    [step("web_search", 5, q=1), step("web_search", 1, q=2), step("web_search", 3, q=3)],  # out of order
]


@pytest.fixture(params=sorted(POLICIES))
def guard(request, write_policy):
    return Guard.from_file(write_policy(POLICIES[request.param]))


def test_the_audit_counts_what_guard_judge_decides(guard):
    audit = AuditAccumulator(guard, keep=100)
    audit.add_many(TRACES, list(range(len(TRACES))))
    judged = [guard.judge(trace) for trace in TRACES]
    summary = audit.summary()
    assert summary["failed_traces"] == sum(not j.passed for j in judged)
    assert summary["blocked_steps"] == sum(j.blocked_steps for j in judged)
    assert summary["asked_steps"] == sum(j.asked_steps for j in judged)
    assert summary["untimed_traces"] == sum(j.windows_unjudged for j in judged)
    blocked_by: dict[str, int] = {}
    for judgement in judged:
        for decision in judgement.decisions:
            if decision.verdict == "blocked":
                blocked_by[decision.blocked_by] = blocked_by.get(decision.blocked_by, 0) + 1
    assert summary["blocked_by"] == blocked_by
    assert [f["ref"] for f in summary["failing"]] == [i for i, j in enumerate(judged) if not j.passed]
    # One trace at a time, or in pieces merged, counts alike; bytes and pickles carry the counts.
    one_by_one = AuditAccumulator(guard.policy)
    for i, trace in enumerate(TRACES):
        one_by_one.add(trace, i)
    assert one_by_one.summary() == summary
    back = AuditAccumulator.from_bytes(guard, audit.to_bytes())
    assert back.summary() == summary and pickle.loads(pickle.dumps(audit)).summary() == summary


def test_entry_coverage_accumulates_as_the_guard_counts(guard):
    pieces = [CoverageAccumulator(guard) for _ in range(3)]
    for i, trace in enumerate(TRACES):
        pieces[i % 3].add(trace)
    merged = pieces[0]
    merged.merge(pieces[1])
    merged.merge(CoverageAccumulator.from_bytes(guard, pieces[2].to_bytes()))
    assert merged.entry_coverage() == guard.entry_coverage(TRACES)
    whole = CoverageAccumulator(guard)
    whole.add_many(TRACES)
    assert whole.entry_coverage() == guard.entry_coverage(TRACES)


@pytest.mark.parametrize("cls, magic, plain, with_entries", [
    (AuditAccumulator, b"OSKA", 1, 2),
    (CoverageAccumulator, b"OSKC", 2, 3),
])
def test_bytes_stay_versioned(write_policy, cls, magic, plain, with_entries):
    plain_policy = ostik.Policy.from_file(write_policy(HEAD))
    entries = Guard.from_file(write_policy(POLICIES["every kind"]))
    assert cls(plain_policy).to_bytes()[:5] == magic + bytes([plain])
    data = cls(entries).to_bytes()
    assert data[:5] == magic + bytes([with_entries])
    # Bytes of one kind are not read as the other's.
    with pytest.raises(ValueError, match=f"unsupported format version {with_entries}"):
        cls.from_bytes(plain_policy, data[:4] + bytes([with_entries]) + data[5:])


def test_a_plain_policys_accumulators_keep_their_bytes(write_policy):
    """Old bytes of a policy without entries still load: nothing in them changed."""
    policy = ostik.Policy.from_file(write_policy(HEAD))
    audit = AuditAccumulator(policy)
    audit.add([step("read")] * 6, "t")
    expected = (b"OSKA\x01", b"\x01\x01\x06\x01")  # version 1; one trace, one failed, six steps, one blocked
    data = audit.to_bytes()
    assert data.startswith(expected[0]) and expected[1] in data
    assert set(audit.summary()) >= {"asked_steps", "untimed_traces"} and audit.summary()["asked_steps"] == 0


# --- diffs ---------------------------------------------------------------------------------------------------------

ADDED_ASK = HEAD + "ask:\n  - tool: git_push\n"


@pytest.mark.parametrize("old, new, old_verdict, new_verdict, counts", [
    (HEAD, ADDED_ASK, None, "ask", {"newly_asked_steps": 2, "no_longer_asked_steps": 0}),
    (ADDED_ASK, HEAD, "ask", None, {"newly_asked_steps": 0, "no_longer_asked_steps": 2}),
    (ADDED_ASK, HEAD.replace("git_push, ", ""), "ask", "blocked", {"newly_blocked_steps": 2}),
    (HEAD, HEAD + "limits:\n  - {tool: git_push, max: 1}\n", None, "blocked", {"newly_blocked_steps": 1}),
])
def test_a_diff_tells_asks_apart_from_blocks(write_policy, old, new, old_verdict, new_verdict, counts):
    trace = [step("login"), step("git_push"), step("git_push")]
    acc = DiffAccumulator(Guard.from_file(write_policy(old)), Guard.from_file(write_policy(new)))
    acc.add(trace, "t")
    summary = acc.summary()
    for key, value in counts.items():
        assert summary[key] == value, key
    (changed,) = summary["changed"]
    change = changed["changes"][0]
    verdict = lambda d: None if d is None else d["verdict"]  # noqa: E731
    assert (verdict(change["old"]), verdict(change["new"])) == (old_verdict, new_verdict)
    # An ask fails nothing: a recorded step ran.
    assert changed["old_passed"] == (old_verdict != "blocked") and changed["new_passed"] == (new_verdict != "blocked")
    assert summary["changed_steps"] == sum(1 + len(c["later_steps"]) for c in changed["changes"])
    listing = acc.listing("t")[0]
    if "ask" in (old_verdict, new_verdict):
        assert "asked by ask_git_push: 'git_push' needs a person's approval" in listing
        by_rule = summary["by_rule"]["ask_git_push"]
        assert (by_rule["newly_asks"], by_rule["no_longer_asks"]) == ((2, 0) if new_verdict == "ask" else (0, 2))
    back = DiffAccumulator.from_bytes(acc.__reduce__()[1][0], acc.__reduce__()[1][1], acc.to_bytes())
    assert back.summary() == summary


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "ostik", *map(str, args)], capture_output=True, text=True,
                          timeout=300, cwd=cwd)


def lines(*steps):
    return "".join(json.dumps(s) + "\n" for s in steps)


@pytest.fixture
def files(tmp_path, write_policy):
    old = write_policy(HEAD, "old.yaml")
    new = write_policy(HEAD + "ask:\n  - tool: git_push\nlimits:\n  - {tool: web_search, max: 1, per: 60s}\n",
                       "new.yaml")
    traces = tmp_path / "traces"
    traces.mkdir()
    (traces / "a.jsonl").write_text(lines(step("login", 0), step("git_push", 1)))
    (traces / "b.jsonl").write_text(lines(step("web_search", 0, q=1), step("web_search", 10, q=2)))
    (traces / "c.jsonl").write_text(lines(step("web_search", q=1), step("web_search", q=2)))  # no times
    (traces / "d.jsonl").write_text(lines(step("read")) + json.dumps(
        {"tool": "shell", "refused": {"rule_id": "deny_list", "reason": "no"}}) + "\n")
    return old, new, traces


@pytest.mark.parametrize("jobs", [1, 2])
def test_ostik_diff_judges_entries(files, jobs):
    old, new, traces = files
    result = run("diff", "--json", "-j", jobs, old, new, traces)
    assert result.returncode == 1, result.stderr  # b newly fails at its window
    *changed, summary = [json.loads(line) for line in result.stdout.splitlines()]
    assert summary["newly_failing"] == 1 and summary["newly_asked_steps"] == 1 and summary["untimed_traces"] == 1
    assert {trace["file"].rsplit("/", 1)[1] for trace in changed} == {"a.jsonl", "b.jsonl"}
    assert result.stderr.count("limits over a window of time were not applied") == 1
    text = run("diff", "-j", jobs, old, new, traces)
    assert "allowed → asked by ask_git_push" in text.stdout
    assert "1 newly asked, 0 no longer asked" in text.stdout
    assert summary["refused_attempts"] == 1 and "1 refused attempt in the trace files" in text.stdout
    page = run("report", old, "--compare", new, traces, "-o", traces.parent / "page.html")
    assert page.returncode == 1, page.stderr
    assert "asked by" in (traces.parent / "page.html").read_text()


@pytest.mark.parametrize("quiet", [True, False])
def test_ostik_test_judges_entries_alike_quiet_or_not(files, quiet):
    _, new, traces = files
    result = run("test", *(["-q"] if quiet else []), "-j", 2, new, traces)
    assert result.returncode == 1, result.stderr
    assert "1 failed" in result.stdout.splitlines()[-1]
    assert result.stderr.count("limits over a window of time were not applied") == 1


def test_coverage_and_the_report_page_count_entries(files):
    old, new, traces = files
    shown = run("coverage", new, traces)
    assert shown.returncode == 0, shown.stderr
    assert "ask and limit entries: 2 of 2 reached, 2 triggered" in shown.stdout
    report = json.loads(run("coverage", "--json", new, traces).stdout)
    assert [(e["rule_id"], e["reached"], e["triggered"]) for e in report["entries"]] == [
        ("ask_git_push", 1, 1), ("limit_web_search_1_per_60s", 4, 1)]
    assert "entries" not in json.loads(run("coverage", "--json", old, traces).stdout)
    page = traces.parent / "report.html"
    assert run("report", new, traces, "-o", page).returncode == 1
    assert "Ask and limit entries" in page.read_text() and "limit_web_search_1_per_60s" in page.read_text()


def test_explain_json_reports_the_entries(files, tmp_path):
    old, new, traces = files
    trace = tmp_path / "one.jsonl"
    trace.write_text(lines(step("git_push", 0), {**step("git_push", 1), "approved": True},
                           step("web_search", 2, q=1), step("web_search", 3, q=2), step("web_search", q=3)))
    result = run("explain", "--json", new, trace)
    assert result.returncode == 1
    report = json.loads(result.stdout)
    assert report["steps"]  # the steps' report comes first, as without entries
    assert [(a["step"], a.get("approved")) for a in report["asks"]] == [(0, None), (1, True)]
    assert [(limit["step"], limit["rule_id"]) for limit in report["limits"]] == [(3, "limit_web_search_1_per_60s")]
    assert report["windows_unjudged"] is True
    assert {e["rule_id"]: e["triggered"] for e in report["entries"]} == {"ask_git_push": 2,
                                                                         "limit_web_search_1_per_60s": 1}
    plain = json.loads(run("explain", "--json", old, trace).stdout)
    assert set(plain) == set(report) - {"entries", "asks", "limits", "windows_unjudged"}


# --- the transcripts' own times ------------------------------------------------------------------------------------

def claude_code(times):
    return "".join(json.dumps({"type": "assistant", "uuid": f"u{i}", "timestamp": ts, "message": {
        "role": "assistant", "content": [{"type": "tool_use", "id": f"t{i}", "name": "web_search",
                                          "input": {"q": i}}]}}) + "\n" for i, ts in enumerate(times))


def codex(times):
    return "".join(json.dumps({"timestamp": ts, "type": "response_item", "payload": {
        "type": "function_call", "name": "web_search", "arguments": json.dumps({"q": i}), "call_id": f"c{i}"}})
        + "\n" for i, ts in enumerate(times))


def otel(times):
    spans = [{"traceId": "ab" * 16, "spanId": f"{i:016x}", "name": "execute_tool web_search",
              "startTimeUnixNano": str(ns), "endTimeUnixNano": str(ns + 1000),
              "attributes": [{"key": "gen_ai.operation.name", "value": {"stringValue": "execute_tool"}},
                             {"key": "gen_ai.tool.name", "value": {"stringValue": "web_search"}}]}
             for i, ns in enumerate(times)]
    return json.dumps({"resourceSpans": [{"scopeSpans": [{"spans": spans}]}]})


@pytest.mark.parametrize("fmt, make, close, apart, expected_ts", [
    ("claude-code", claude_code, ["2025-06-02T18:46:00.000Z", "2025-06-02T18:46:30.500Z"],
     ["2025-06-02T18:46:00.000Z", "2025-06-02T18:48:00.000Z"], 1748889960.0),
    ("codex", codex, ["2025-06-02T18:46:00Z", "2025-06-02T18:46:59Z"],
     ["2025-06-02T18:46:00Z", "2025-06-02T18:47:00Z"], 1748889960.0),
    ("otel", otel, [10**18, 10**18 + 59 * 10**9], [10**18, 10**18 + 60 * 10**9], 1e9),
])
def test_windows_are_judged_by_the_transcripts_times(tmp_path, write_policy, fmt, make, close, apart, expected_ts):
    from ostik.formats import read_file

    policy = write_policy(HEAD + "limits:\n  - {tool: web_search, max: 1, per: 60s}\n")
    guard = Guard.from_file(policy)
    verdicts = {}
    for name, times in (("close", close), ("apart", apart)):
        path = tmp_path / f"{name}.{'json' if fmt == 'otel' else 'jsonl'}"
        path.write_text(make(times))
        (trace,) = read_file(str(path), fmt).traces
        assert trace.steps[0]["ts"] == pytest.approx(expected_ts)
        judgement = guard.judge(trace.steps)
        assert not judgement.windows_unjudged
        verdicts[name] = judgement.passed
        result = run("test", "--format", fmt, policy, path)
        assert result.returncode == (0 if judgement.passed else 1), result.stdout + result.stderr
        assert "not applied" not in result.stderr
    assert verdicts == {"close": False, "apart": True}


@pytest.mark.parametrize("timestamp", [None, "yesterday", "2025-06-02T18:46:00", 17])
def test_a_transcript_without_usable_times_leaves_windows_unjudged(tmp_path, write_policy, timestamp):
    from ostik.formats import read_file

    path = tmp_path / "s.jsonl"
    path.write_text(claude_code([timestamp, timestamp]))
    (trace,) = read_file(str(path), "claude-code").traces
    assert all("ts" not in s for s in trace.steps)
    policy = write_policy(HEAD + "limits:\n  - {tool: web_search, max: 1, per: 60s}\n")
    result = run("test", "--format", "claude-code", policy, path, path)
    assert result.returncode == 0 and result.stderr.count("limits over a window of time were not applied") == 1


# --- suggested limits ----------------------------------------------------------------------------------------------

def test_suggest_writes_limits_from_observed_rates(tmp_path):
    traces = tmp_path / "good"
    traces.mkdir()
    # Bursts of at most 3 searches a minute, 6 in a trace; reads have no times.
    for n in range(3):
        start = n * 1000
        burst = [step("web_search", start + t, q=t) for t in (0, 10, 20, 100, 110, 120)]
        (traces / f"{n}.jsonl").write_text(lines(*burst, {"tool": "read"}))
    out = tmp_path / "policy.yaml"
    result = run("suggest", traces, "-o", out)
    assert result.returncode == 0, result.stderr
    text = out.read_text()
    assert "limits:\n  # held in 3 of 3 traces that call 'web_search'; at most 3 calls in any 60 s\n" \
           '  - {tool: "web_search", max: 3, per: 60s}\n' in text
    assert text.count("per: 60s") == 1  # reads have no times: no rate to suggest
    assert run("check", "--strict", out).returncode == 0
    assert run("test", out, traces).returncode == 0
    # Deterministic; where a minute holds as many calls as a whole trace, max_calls says it all.
    assert run("suggest", traces).stdout == text
    (traces / "fast.jsonl").write_text(lines(*(step("web_search", t, q=t) for t in range(6))))
    again = run("suggest", traces)
    assert "per: 60s" not in again.stdout


@pytest.mark.parametrize(("kinds", "heading"), [
    (["ask", "limit", "repeat"], "ask and limit entries"),
    (["flow", "flow"], "flow entries"),
    (["ask", "flow"], "ask, limit and flow entries"),
])
def test_the_coverage_heading_names_the_kinds_of_entries(kinds, heading):
    from ostik.reports.text import Style, entry_coverage_lines

    entries = [{"rule_id": f"e{i}", "rule_type": kind, "tools": ["t"], "reached": 1, "triggered": 0}
               for i, kind in enumerate(kinds)]
    first = next(entry_coverage_lines(entries, Style(False)))
    assert first == f"{heading}: {len(kinds)} of {len(kinds)} reached, 0 triggered"
