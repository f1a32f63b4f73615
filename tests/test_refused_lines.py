"""Trace files of a live guard: the calls it refused and those that ran unjudged are no steps.

Every reader (ostik.formats, explain, test, report, coverage) reads them beside
the steps, never as steps; they are shown where they happened and counted."""

import json
import os
import subprocess
import sys
import warnings
import xml.etree.ElementTree as ET

import pytest
from report_pages import read_page

import ostik
import ostik.formats

# max_calls read_file 2; before run_tests then git_commit.
POLICY = """\
version: "1"
name: refusals
tools:
  allow: [read_file, run_tests, git_commit]
sequences:
  - type: max_calls
    tool: read_file
    max: 2
  - type: before
    first: run_tests
    then: git_commit
on_error: {on_error}
"""
MAX_CALLS = "max_calls_read_file_2"
EXCEEDED = "'read_file' exceeded max calls (3 > 2)"

# What an enforce session writes for the first run of its documentation: the
# third read_file refused, the run going on.
SESSION_LINES = [
    {"tool": "read_file", "args": {"path": "a.py"}},
    {"tool": "read_file", "args": {"path": "b.py"}},
    {"tool": "read_file", "args": {"path": "c.py"}, "refused": {"rule_id": MAX_CALLS, "reason": EXCEEDED}},
    {"tool": "run_tests"},
    {"tool": "git_commit", "args": {"message": "x"}},
    {"tool": "read_file", "refused": {"rule_id": MAX_CALLS, "reason": EXCEEDED}},
]
STEPS = [line for line in SESSION_LINES if "refused" not in line]


def write_lines(path, lines):
    path.write_text("".join(json.dumps(line) + "\n" for line in lines))
    return path


@pytest.fixture
def policy(write_policy):
    return write_policy(POLICY.format(on_error="block"))


@pytest.fixture
def session_file(tmp_path):
    return write_lines(tmp_path / "session.jsonl", SESSION_LINES)


def run(*args):
    env = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "GITHUB_ACTIONS")}
    return subprocess.run([sys.executable, "-m", "ostik", *map(str, args)], capture_output=True, text=True,
                          env=env, timeout=120)


# --- reading ---------------------------------------------------------------------------------------------------------

def test_read_returns_the_steps_and_read_file_keeps_the_refused_beside_them(session_file):
    assert ostik.formats.read(session_file) == [STEPS]
    assert ostik.formats.read(session_file, "ostik") == [STEPS]
    (trace,) = ostik.formats.read_file(str(session_file)).traces
    assert trace.steps == STEPS
    assert trace.step_lines == [1, 2, 4, 5]  # the lines of the steps, not of the refused calls
    assert [(a.tool, a.rule_id, a.reason, a.before, a.line, a.has_args) for a in trace.refused] == [
        ("read_file", MAX_CALLS, EXCEEDED, 2, 3, True), ("read_file", MAX_CALLS, EXCEEDED, 4, 6, False)]
    assert trace.refused[0].args == {"path": "c.py"}
    assert trace.unjudged == []


@pytest.mark.parametrize("shape", ["json document", "array line", "mixed lines"])
def test_refused_calls_are_no_steps_in_every_shape_of_trace_file(tmp_path, shape):
    if shape == "json document":
        path = tmp_path / "t.json"
        path.write_text(json.dumps(SESSION_LINES))
    elif shape == "array line":
        path = write_lines(tmp_path / "t.jsonl", [SESSION_LINES])
    else:
        path = write_lines(tmp_path / "t.jsonl", [*SESSION_LINES, [{"tool": "run_tests"}]])
    traces = ostik.formats.read_file(str(path)).traces
    assert traces[0].steps == STEPS
    assert [a.before for a in traces[0].refused] == [2, 4]
    if shape == "mixed lines":
        assert traces[1].steps == [{"tool": "run_tests"}] and traces[1].refused == []


def test_an_unjudged_call_is_no_step_either(tmp_path):
    path = write_lines(tmp_path / "t.jsonl", [{"tool": "run_tests"},
                                              {"tool": "git_commit", "unjudged": "unsupported type: 'object'"},
                                              {"tool": "git_commit"}])
    (trace,) = ostik.formats.read_file(str(path)).traces
    assert trace.steps == [{"tool": "run_tests"}, {"tool": "git_commit"}]
    assert [(c.tool, c.reason, c.before, c.line) for c in trace.unjudged] == [
        ("git_commit", "unsupported type: 'object'", 1, 2)]


@pytest.mark.parametrize("line, message", [
    ({"tool": "x", "refused": "max_calls"}, 'line 1: refused: expected an object with "rule_id" and "reason", '
                                            "found a string"),
    ({"tool": "x", "refused": {"reason": "r"}}, "line 1: refused.rule_id: expected a string, missing"),
    ({"tool": "x", "refused": {"rule_id": "r", "reason": 3}}, "line 1: refused.reason: expected a string, found a number"),
    ({"refused": {"rule_id": "r", "reason": "r"}}, "line 1: in no format ostik reads"),  # no tool: not a record of steps
    ({"tool": "x", "unjudged": None}, "line 1: unjudged: expected a string"),
    ({"tool": "x", "unjudged": "why", "refused": {"rule_id": "r", "reason": "r"}}, "line 1: a call is either refused "
                                                                                   "or unjudged, not both"),
])
def test_a_refused_or_unjudged_line_that_is_not_what_a_guard_writes_is_located(tmp_path, line, message):
    # After a step, so that the file is one of steps whatever its second line holds.
    path = write_lines(tmp_path / "t.jsonl", [{"tool": "read_file"}, line])
    with pytest.raises(ostik.formats.TraceFormatError, match="^" + str(path).replace(".", r"\.") + ": ") as error:
        ostik.formats.read_file(str(path))
    assert message.replace("line 1:", "line 2:") in str(error.value)
    result = run("test", "-j", "1", os.devnull, path)  # unusable input, not a crash
    assert result.returncode == 2


# --- explain -----------------------------------------------------------------------------------------------------------

def test_explain_judges_the_steps_and_shows_the_refused_calls_where_they_happened(policy, session_file):
    result = run("explain", policy, session_file)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "0  read_file   allowed",
        "1  read_file   allowed",
        f"   read_file   refused live  {MAX_CALLS}: {EXCEEDED}",
        "2  run_tests   allowed",
        "3  git_commit  allowed",
        f"   read_file   refused live  {MAX_CALLS}: {EXCEEDED}",
        "PASS: 4 steps, none blocked; 2 refused attempts",
    ]
    verbose = run("explain", "-v", policy, session_file).stdout.splitlines()
    assert verbose.index(f"   read_file   refused live  {MAX_CALLS}: {EXCEEDED}") < verbose.index("2  run_tests   allowed")


def test_explain_json_is_the_report_of_the_steps_alone(policy, session_file, tmp_path):
    result = run("explain", "--json", policy, session_file)
    assert result.returncode == 0
    steps_only = write_lines(tmp_path / "steps.jsonl", STEPS)
    assert result.stdout == run("explain", "--json", policy, steps_only).stdout
    assert "2 refused attempts" in result.stderr


@pytest.mark.parametrize("on_error, status, summary", [
    ("allow", 0, "PASS: 2 steps, none blocked; 1 call ran unjudged"),
    ("block", 1, "FAIL: 2 steps, none blocked; 1 call ran unjudged (the policy's on_error is block); "
                 "blocking rules: on_error"),
])
def test_an_unjudged_call_is_shown_and_fails_the_trace_unless_on_error_allows_it(write_policy, tmp_path, on_error,
                                                                                 status, summary):
    policy = write_policy(POLICY.format(on_error=on_error))
    path = write_lines(tmp_path / "t.jsonl", [{"tool": "run_tests"}, {"tool": "git_commit", "unjudged": "bad args"},
                                              {"tool": "git_commit"}])
    result = run("explain", policy, path)
    assert result.returncode == status
    assert result.stdout.splitlines() == ["0  run_tests   allowed", "   git_commit  ran unjudged  bad args",
                                          "1  git_commit  allowed", summary]
    assert ("ran unjudged" in result.stderr) == (on_error == "allow")  # never passed over in silence


# --- test ----------------------------------------------------------------------------------------------------------------

def test_ostik_test_passes_an_enforce_sessions_file_and_counts_its_refused_attempts(policy, session_file):
    for quiet in ([], ["-q"]):
        result = run("test", "-j", "1", *quiet, policy, session_file)
        assert result.returncode == 0, result.stdout + result.stderr
        assert result.stdout.splitlines()[-1].startswith("1 trace, 0 failed, 4 steps, 0 blocked steps, "
                                                         "2 refused attempts, in ")
    verbose = run("test", "-v", policy, session_file).stdout.splitlines()[0]
    assert verbose == f"PASS {session_file}: 4 steps; 2 refused attempts"


def test_ostik_test_json_counts_the_refused_and_unjudged_calls(policy, session_file, tmp_path):
    other = write_lines(tmp_path / "other.jsonl", [{"tool": "run_tests"}, {"tool": "x", "unjudged": "bad"}])
    result = run("test", "--json", policy, session_file, other)
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    assert [(t["refused_attempts"], t["unjudged_calls"], t["passed"]) for t in lines[:-1]] == [
        (2, 0, True), (0, 1, False)]
    assert (lines[-1]["refused_attempts"], lines[-1]["unjudged_calls"], lines[-1]["failed"]) == (2, 1, 1)
    assert lines[1]["blocking_rules"] == []  # the steps blocked nothing: on_error failed the trace
    assert result.returncode == 1


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_ostik_diff_shows_each_changed_traces_refused_and_unjudged_calls_as_ostik_test_does(
        policy, write_policy, session_file, tmp_path, jobs):
    # One read allowed: the second read of each file is newly blocked.
    tighter = write_policy(POLICY.format(on_error="allow").replace("max: 2", "max: 1"), "tighter.yaml")
    other = write_lines(tmp_path / "other.jsonl", [{"tool": "read_file"}, {"tool": "read_file"},
                                                   {"tool": "x", "unjudged": "bad"}])
    plain = write_lines(tmp_path / "plain.jsonl", [{"tool": "read_file"}, {"tool": "read_file"}])
    files = [session_file, other, plain]
    tested = {line.split(": ")[0].removeprefix("FAIL "): line for line in
              run("test", "-j", jobs, tighter, *files).stdout.splitlines()[:-1]}
    listed = run("diff", "-j", jobs, policy, tighter, *files)
    assert listed.returncode == 1, listed.stderr
    headers = {line.split(": ")[0]: line for line in listed.stdout.splitlines() if " → " in line and
               not line.startswith(" ")}
    assert set(headers) == set(tested) == set(map(str, files))
    for file, counts in [(session_file, "; 2 refused attempts)"), (other, "; 1 call ran unjudged)"), (plain, ")")]:
        # The same count of calls that are no steps, at the end of the trace's line, as `ostik test` gives it.
        assert headers[str(file)].endswith(f" change{counts}") and tested[str(file)].endswith(counts)
    xml = tmp_path / "diff.xml"
    as_json = run("diff", "-j", jobs, "--json", "--junit-xml", xml, policy, tighter, *files)
    *changed, summary = map(json.loads, as_json.stdout.splitlines())
    assert [(c["file"], c["refused_attempts"], c["unjudged_calls"]) for c in changed] == [
        (str(session_file), 2, 0), (str(other), 0, 1), (str(plain), 0, 0)]
    assert (summary["refused_attempts"], summary["unjudged_calls"]) == (2, 1)
    assert "2 refused attempts" in xml.read_text()


@pytest.mark.parametrize("quiet", [False, True])
def test_fail_on_refused_fails_the_traces_with_refused_attempts(policy, session_file, tmp_path, quiet):
    clean = write_lines(tmp_path / "clean.jsonl", STEPS)
    # Refused, and failing anyway: counted as one failure, not two.
    blocked = write_lines(tmp_path / "blocked.jsonl", [{"tool": "git_commit"}, SESSION_LINES[2]])
    args = ["test", "-j", "1", "--fail-on-refused", *(["-q"] if quiet else []), policy, session_file, clean, blocked]
    result = run(*args)
    assert result.returncode == 1
    assert result.stdout.splitlines()[-1].startswith("3 traces, 2 failed, 9 steps, 1 blocked step, "
                                                     "3 refused attempts, in ")
    if not quiet:
        assert result.stdout.splitlines()[0] == (
            f"FAIL {session_file}: refused live before step 2 read_file: {MAX_CALLS}: {EXCEEDED}, and 1 later time "
            "(4 steps, none blocked; 2 refused attempts)")
    assert run("test", "--fail-on-refused", policy, clean).returncode == 0


def test_ostik_test_q_fails_an_unjudged_call_under_on_error_block(policy, write_policy, tmp_path):
    path = write_lines(tmp_path / "t.jsonl", [{"tool": "run_tests"}, {"tool": "x", "unjudged": "bad"}])
    blocked = run("test", "-q", "-j", "1", policy, path)
    assert blocked.returncode == 1 and blocked.stdout.startswith("1 trace, 1 failed, 1 step, 0 blocked steps, "
                                                                 "1 unjudged call, in ")
    allowed = run("test", "-q", "-j", "1", write_policy(POLICY.format(on_error="allow")), path)
    assert allowed.returncode == 0 and "1 call ran unjudged" in allowed.stderr


def test_junit_xml_gives_the_refusal_that_failed_a_trace(policy, session_file, tmp_path):
    from junitparser import Failure, JUnitXml

    xml = tmp_path / "out.xml"
    assert run("test", "--fail-on-refused", "--junit-xml", xml, policy, session_file).returncode == 1
    (suite,) = JUnitXml.fromfile(str(xml))
    (case,) = suite
    (failure,) = case.result
    assert isinstance(failure, Failure) and failure.type == MAX_CALLS
    assert failure.message.startswith("refused live before step 2 read_file: ")
    assert ET.parse(xml).find(".//testcase").get("line") == "3"  # the refused line


# --- report and coverage ----------------------------------------------------------------------------------------------

def test_the_report_page_lists_the_refused_and_unjudged_calls(write_policy, session_file, tmp_path):
    policy = write_policy(POLICY.format(on_error="allow"))
    other = write_lines(tmp_path / "other.jsonl", [{"tool": "run_tests"}, {"tool": "git_commit", "unjudged": "bad"}])
    output = tmp_path / "report.html"
    result = run("report", policy, session_file, other, "-o", output)
    assert result.returncode == 0, result.stderr
    assert "2 refused attempts, 1 unjudged call" in result.stderr
    page = read_page(output)
    assert page.counts["refused attempts"] == 2 and page.counts["unjudged calls"] == 1
    data = page.data
    first, second = data["traces"]
    assert first["steps"] == 4 and first["passed"] and second["passed"]
    refused = first["refused"]
    assert [(refused[i], data["tools"][refused[i + 1]], data["reasons"][refused[i + 2]], data["reasons"][refused[i + 3]])
            for i in range(0, len(refused), 4)] == [(2, "read_file", MAX_CALLS, EXCEEDED), (4, "read_file", MAX_CALLS,
                                                                                           EXCEEDED)]
    assert [data["tools"][second["unjudged"][1]], data["reasons"][second["unjudged"][2]]] == ["git_commit", "bad"]
    assert data["unjudgedFails"] is False


def test_coverage_ignores_the_refused_calls(policy, session_file, tmp_path):
    result = run("coverage", "--json", policy, session_file)
    steps_only = write_lines(tmp_path / "steps.jsonl", STEPS)
    assert json.loads(result.stdout) == json.loads(run("coverage", "--json", policy, steps_only).stdout)
    # Only refused: the coverage of no call at all (the refused read_file is not called).
    refused_only = write_lines(tmp_path / "refused.jsonl", [SESSION_LINES[2]])
    report = json.loads(run("coverage", "--json", policy, refused_only).stdout)
    assert report["tool_coverage"]["tools_seen_in_traces"] == 0


def test_reading_issues_no_warning_for_refused_lines(session_file):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ostik.formats.read(session_file)


def test_an_enforce_sessions_own_file_is_judged_as_the_session_judged_it(policy, tmp_path):
    guard = ostik.Guard(ostik.Policy.from_file(policy))
    path = tmp_path / "live.jsonl"
    session = guard.session(str(path))
    decisions = [session.check(tool, args) for tool, args in [
        ("read_file", {"path": "a"}), ("git_commit", None), ("read_file", None), ("read_file", {"path": "c"}),
        ("run_tests", None), ("git_commit", None), ("read_file", None)]]
    assert [d.allowed for d in decisions] == [True, False, True, False, True, True, False]
    (trace,) = ostik.formats.read_file(str(path)).traces
    assert [step["tool"] for step in trace.steps] == ["read_file", "read_file", "run_tests", "git_commit"]
    assert [(a.tool, a.rule_id, a.before) for a in trace.refused] == [
        (d.tool, d.blocked_by, d.step) for d in decisions if not d.allowed]
    judgement = guard.judge(trace.steps)
    assert judgement.passed and [f.rule_id for f in judgement.end_failures] == [f.rule_id for f in session.finish()]
    result = run("test", "--json", policy, path)
    assert result.returncode == 0
    assert json.loads(result.stdout.splitlines()[-1])["refused_attempts"] == 3


def test_a_wrapped_tools_unjudged_call_is_read_back_as_one(write_policy, tmp_path):
    policy = write_policy(POLICY.format(on_error="allow"))
    guard = ostik.Guard(ostik.Policy.from_file(policy))
    path = tmp_path / "live.jsonl"
    session = guard.session(str(path))

    @session.tool
    def run_tests(target):
        return "ran"

    assert run_tests(object()) == "ran"  # an argument with no JSON form: run unjudged, as on_error allows
    assert run_tests("all") == "ran"
    (trace,) = ostik.formats.read_file(str(path)).traces
    assert trace.steps == [{"tool": "run_tests", "args": {"target": "all"}}]
    assert [(c.tool, c.before) for c in trace.unjudged] == [("run_tests", 0)]
    result = run("explain", policy, path)
    assert result.returncode == 0 and "   run_tests  ran unjudged  " in result.stdout


# --- diff judges what test judges ----------------------------------------------------------------------------------

def judged_by_test(policy, files):
    """Each file's trace as `ostik test --json` judges it: passed or not, and the failed count."""
    *traces, summary = map(json.loads, run("test", "--json", "-j", "1", policy, *files).stdout.splitlines())
    return {t["file"]: t["passed"] for t in traces}, summary["failed"]


@pytest.mark.parametrize("old_on_error, new_on_error", [("block", "block"), ("block", "allow"), ("allow", "block"),
                                                        ("allow", "allow")])
def test_ostik_diff_fails_a_trace_for_its_unjudged_calls_as_ostik_test_does(write_policy, tmp_path, old_on_error,
                                                                            new_on_error):
    old = write_policy(POLICY.format(on_error=old_on_error), "old.yaml")
    new = write_policy(POLICY.format(on_error=new_on_error).replace("max: 2", "max: 1"), "new.yaml")
    unjudged = {"tool": "x", "unjudged": "bad"}
    files = [write_lines(tmp_path / "steps_pass.jsonl", [{"tool": "run_tests"}, unjudged]),
             write_lines(tmp_path / "newly_blocked.jsonl", [{"tool": "read_file"}, {"tool": "read_file"}, unjudged]),
             write_lines(tmp_path / "plain.jsonl", [{"tool": "read_file"}, {"tool": "read_file"}])]
    old_passed, old_failed = judged_by_test(old, files)
    new_passed, new_failed = judged_by_test(new, files)
    # A trace changes when its outcome does, or its steps' decisions do (the last two's second read).
    expected = {str(f): (old_passed[str(f)], new_passed[str(f)]) for f in files
                if old_passed[str(f)] != new_passed[str(f)] or f.name != "steps_pass.jsonl"}
    newly_failing = sum(old and not new for old, new in expected.values())
    for jobs in ("1", "2"):
        as_json = run("diff", "--json", "-j", jobs, old, new, *files)
        *changed, summary = map(json.loads, as_json.stdout.splitlines())
        assert {c["file"]: (c["old_passed"], c["new_passed"]) for c in changed} == expected
        assert (summary["old_failed_traces"], summary["new_failed_traces"]) == (old_failed, new_failed)
        assert (summary["changed_traces"], summary["newly_failing"]) == (len(expected), newly_failing)
        assert as_json.returncode == (1 if newly_failing else 0)
        for quiet in ([], ["-q"]):
            listed = run("diff", "-j", jobs, *quiet, old, new, *files)
            assert listed.returncode == as_json.returncode
            assert (f"failing traces: {old_failed} under the old policy, {new_failed} under the new"
                    in listed.stdout.splitlines())
            assert any(line.startswith(f"{len(expected)} of 3 traces change: ") for line in listed.stdout.splitlines())
        listed = run("diff", "-j", jobs, old, new, *files)
        headers = {line.split(": ")[0]: line.split(": ")[1] for line in listed.stdout.splitlines()
                   if " → " in line and not line.startswith(" ")}
        outcome = {True: "pass", False: "fail"}
        assert {f: v.split(" (")[0] for f, v in headers.items()} == {
            f: f"{outcome[old]} → {outcome[new]}" for f, (old, new) in expected.items()}
    if old_on_error == new_on_error == "allow":  # nothing fails for the unjudged call: the listing of the steps alone
        assert "ran unjudged: the trace fails" not in listed.stdout
    else:
        assert "1 call ran unjudged: the trace fails under " in listed.stdout


def test_ostik_diff_names_a_sessions_trace_as_ostik_test_does(policy, write_policy, tmp_path):
    tighter = write_policy(POLICY.format(on_error="block").replace("max: 2", "max: 1"), "tighter.yaml")
    shared = write_lines(tmp_path / "shared.jsonl", [
        {"session": "a", "tool": "read_file"}, {"session": "b", "tool": "run_tests"},
        {"session": "a", "tool": "read_file"}, {"session": "b", "tool": "read_file"},
        {"session": "b", "tool": "read_file"}, {"session": "b", "tool": "x", "unjudged": "bad"}])
    tested = [line.removeprefix("FAIL ").split(": step ")[0]
              for line in run("test", tighter, shared).stdout.splitlines()[:-1]]
    assert tested == [f'{shared}:1: session "a"', f'{shared}:2: session "b"']
    listed = run("diff", policy, tighter, shared)
    headers = [line for line in listed.stdout.splitlines() if " → " in line and not line.startswith(" ")]
    assert [h.split(": pass → ")[0].split(": fail → ")[0] for h in headers] == tested
    assert headers[1].endswith(" change; 1 call ran unjudged)")
    *changed, _ = map(json.loads, run("diff", "--json", policy, tighter, shared).stdout.splitlines())
    assert [(c["file"], c["line"], c["place"]) for c in changed] == [
        (str(shared), 1, 'session "a"'), (str(shared), 2, 'session "b"')]
