"""`ostik test` end to end, through the installed console script: output, exit status, JSON,
JUnit XML (read back by junitparser) and GitHub Actions annotations."""

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from junitparser import Error, Failure, JUnitXml

import ostik as ostik_module
from ostik.runs.judging import judge_paths

ROOT = Path(__file__).resolve().parents[1]
POLICY = str(ROOT / "examples" / "policy.yaml")
TRACES = ROOT / "examples" / "traces"
SCRIPT = Path(sys.executable).with_name("ostik")

pytestmark = pytest.mark.skipif(not SCRIPT.exists(), reason="console script not installed beside the interpreter")

SUMMARY = re.compile(r"^(\d+) traces?, (\d+) failed, (\d+) steps?, (\d+) blocked steps?, in \d+\.\d\d s$")

# The bundled traces, as `ostik test` reports those that fail.
BLOCKED_LINE = ("FAIL {d}/blocked.jsonl: step 0 edit_file: before_inspect_then_edit_file: 'edit_file' requires "
                "'inspect' first (4 of 5 steps blocked; 2 end-of-trace checks failed)")
LATE_LINE = ("FAIL {d}/late_tests.jsonl: step 7 list_dir: after_edit_file_then_run_tests: 'run_tests' required "
             "within 4 calls after 'edit_file' (triggered at 2), and at 3 later steps (4 of 11 steps blocked)")
SESSION_LINE = ("FAIL {d}/sessions.jsonl:2: end of trace: require_run_tests: Required tool 'run_tests' never called "
                "(3 steps, none blocked; 1 end-of-trace check failed)")


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "GITHUB_ACTIONS", "GITHUB_WORKSPACE")}
    env.update(extra)
    return env


def ostik(*args, input=None, env=None, cwd=None):
    return subprocess.run([str(SCRIPT), *map(str, args)], input=input, capture_output=True, text=True,
                          env=env or clean_env(), cwd=cwd, timeout=120)


def summary_of(stdout):
    match = SUMMARY.match(stdout.splitlines()[-1])
    assert match, stdout
    return tuple(int(n) for n in match.groups())


@pytest.fixture
def tree(tmp_path):
    """The bundled traces spread over nested folders, with a file that is no trace file."""
    root = tmp_path / "traces"
    (root / "a" / "deep").mkdir(parents=True)
    shutil.copy(TRACES / "blocked.jsonl", root / "a" / "deep")
    shutil.copy(TRACES / "good.jsonl", root / "a")
    shutil.copy(TRACES / "hotfix.json", root)
    shutil.copy(TRACES / "late_tests.jsonl", root / "a" / "deep")
    shutil.copy(TRACES / "sessions.jsonl", root)
    (root / "notes.txt").write_text("not a trace")
    return root


def write(path, *lines):
    path.write_text("".join(line + "\n" for line in lines))
    return str(path)


# --- what it prints and how it exits ---------------------------------------------------------------


def test_every_trace_under_the_paths_is_judged(tree):
    result = ostik("test", POLICY, tree)
    assert (result.returncode, result.stderr) == (1, "")
    lines = result.stdout.splitlines()
    # Files in each folder first, then its subfolders, by name.
    assert lines[:-1] == [SESSION_LINE.format(d=tree), BLOCKED_LINE.format(d=tree / "a" / "deep"),
                          LATE_LINE.format(d=tree / "a" / "deep")]
    assert summary_of(result.stdout) == (6, 3, 36, 8)


def test_verbose_adds_the_passing_traces_and_quiet_prints_the_summary_only(tree):
    verbose = ostik("test", "-v", POLICY, tree / "sessions.jsonl", tree / "a" / "good.jsonl")
    assert verbose.stdout.splitlines()[:-1] == [
        f"PASS {tree}/sessions.jsonl:1: 6 steps", SESSION_LINE.format(d=tree), f"PASS {tree}/a/good.jsonl: 6 steps"]
    quiet = ostik("test", "--quiet", POLICY, tree)
    assert quiet.returncode == 1
    assert len(quiet.stdout.splitlines()) == 1 and summary_of(quiet.stdout) == (6, 3, 36, 8)
    assert ostik("test", "-v", "-q", POLICY, tree).returncode == 2  # one or the other


def test_all_passing_exits_0(tree):
    result = ostik("test", POLICY, tree / "a" / "good.jsonl", tree / "hotfix.json")
    assert (result.returncode, len(result.stdout.splitlines())) == (0, 1)
    assert summary_of(result.stdout) == (2, 0, 11, 0)


@pytest.mark.parametrize(("policy", "status", "first_line"), [
    ("version: '1'\nsequences: [[require, run_tests], [max_calls, a, 1]]\n", 1,
     "FAIL {trace}: end of trace: require_run_tests: Required tool 'run_tests' never called "
     "(0 steps, none blocked; 1 end-of-trace check failed)"),
    ("version: '1'\nsequences: [[max_calls, a, 1], [after, a, b]]\n", 0, None),
])
def test_an_empty_trace_fails_only_a_policy_with_require_rules(tmp_path, write_policy, policy, status, first_line):
    trace = write(tmp_path / "nothing.jsonl")
    result = ostik("test", write_policy(policy), trace)
    assert result.returncode == status
    if first_line:
        assert result.stdout.splitlines()[0] == first_line.format(trace=trace)
    assert summary_of(result.stdout)[:2] == (1, 1 if status else 0)


def test_unusable_files_are_reported_and_the_others_still_judged(tree, tmp_path):
    bad_json = write(tree / "a" / "broken.jsonl", '{"tool":"read_file"}', '{"tool": read_file}')
    bad_step = write(tree / "bad_step.jsonl", '{"tool":"read_file"}', '{"tool":"x"}', '{"tool":["x"]}')
    empty = tmp_path / "empty_folder"
    empty.mkdir()
    result = ostik("test", POLICY, tree, empty, tmp_path / "absent.jsonl")
    assert result.returncode == 2
    assert sorted(result.stderr.splitlines()) == sorted([
        f"{empty}: no .jsonl or .json files in this directory or below",
        f"{bad_json}: line 2: not valid JSON: Expecting value (column 10)",
        f'{bad_step}: line 3: Invalid tool call format: "tool" must be str, not list',
        f"{tmp_path / 'absent.jsonl'}: No such file or directory",
    ])
    assert summary_of(result.stdout) == (6, 3, 36, 8)
    assert BLOCKED_LINE.format(d=tree / "a" / "deep") in result.stdout.splitlines()


def test_standard_input(tree):
    result = ostik("test", POLICY, "-", tree / "a" / "good.jsonl", input=(TRACES / "blocked.jsonl").read_text())
    assert result.returncode == 1
    assert result.stdout.splitlines()[0].startswith("FAIL <stdin>: step 0 edit_file: before_inspect_then_edit_file")
    assert summary_of(result.stdout) == (2, 1, 11, 4)


def test_more_jobs_give_the_same_results(tmp_path):
    for i in range(24):
        source = ["good.jsonl", "blocked.jsonl", "sessions.jsonl", "late_tests.jsonl"][i % 4]
        shutil.copy(TRACES / source, tmp_path / f"run{i:02}.jsonl")
    write(tmp_path / "zz_broken.jsonl", "{")
    results = [ostik("test", "-v", "-j", jobs, POLICY, tmp_path) for jobs in (1, 2, 5)]
    assert {r.returncode for r in results} == {2}
    assert len({r.stdout.rsplit("\n", 2)[0] for r in results}) == 1
    assert {r.stderr for r in results} == {f"{tmp_path / 'zz_broken.jsonl'}: line 1: not valid JSON: Expecting "
                                           "property name enclosed in double quotes (column 2)\n"}
    assert summary_of(results[0].stdout) == (30, 18, 186, 48)


@pytest.mark.parametrize("jobs", ["0", "-2", "two"])
def test_jobs_must_be_a_positive_number(jobs):
    result = ostik("test", "-j", jobs, POLICY, TRACES)
    assert result.returncode == 2 and "-j/--jobs" in result.stderr


def test_a_changed_policy_in_the_workers_is_reported(tmp_path, write_policy):
    # The workers load the policy themselves; one that no longer loads makes every file unusable.
    for i in range(4):
        shutil.copy(TRACES / "good.jsonl", tmp_path / f"t{i}.jsonl")
    policy = write_policy("version: '1'\n")
    guard = ostik_module.Guard(ostik_module.Policy.from_file(policy))
    Path(policy).write_text("version: [\n")
    results = list(judge_paths(guard, policy, sorted(str(p) for p in tmp_path.glob("*.jsonl")), "auto", 2))
    assert [r.traces for r in results] == [()] * 4
    assert all(r.error.startswith(f"{policy}: ") for r in results)


def test_transcripts_are_judged_as_their_ostik_traces(tmp_path):
    # Each transcript judges as the ostik trace file made from it; the format
    # found is told on stderr, and --format names it.
    data = ROOT / "tests" / "data" / "formats"
    transcript = data / "openai-chat.json"
    detected = ostik("test", "-v", POLICY, transcript, data / "openai-chat.ostik.jsonl")
    assert detected.stderr == f"{transcript}: detected format openai-chat\n"
    own, translated = [line.split(": ", 1)[1] for line in detected.stdout.splitlines()[:2]]
    assert own == translated
    named = ostik("test", "--format", "openai-chat", POLICY, transcript)
    assert (named.stderr, named.stdout.splitlines()[:-1]) == ("", detected.stdout.splitlines()[:1])
    wrong = ostik("test", "--format", "mcp", POLICY, transcript, TRACES / "good.jsonl")
    assert wrong.returncode == 2 and wrong.stderr.startswith(f"{transcript}: no record of the file is in format mcp: "
                                                             "this record looks like openai-chat")


def test_steps_that_name_no_tool_are_warned_about(tmp_path):
    trace = write(tmp_path / "t.jsonl", '{"tool":"read_file"}', '{"function":"edit_file"}', '{"args":{}}')
    # Told from the content, such a file is in no format: its records are not all steps.
    refused = ostik("test", POLICY, trace)
    assert refused.returncode == 2
    assert f"{trace}: line 2: in no format ostik reads: " in refused.stderr
    result = ostik("test", "--format", "ostik", POLICY, trace)
    assert result.stderr == (f"warning: {trace}: 2 of 3 steps name no tool and are judged as calls of 'unknown'; "
                             "is the file in another format? (see --format)\n")


def test_a_worker_that_dies_leaves_files_unjudged_and_the_run_ends(tmp_path):
    # Run in a fresh interpreter: only a process without other threads forks
    # its workers, and only forked workers inherit the patched judge_file.
    paths = []
    for i in range(6):
        shutil.copy(TRACES / "good.jsonl", tmp_path / f"t{i}.jsonl")
        paths.append(str(tmp_path / f"t{i}.jsonl"))
    script = f"""
import json, os, sys
import ostik
from ostik.runs import judging as test_run
judge_file = test_run.judge_file
def dying(guard, path, trace_format, *options):
    if path.endswith("t3.jsonl"):
        os._exit(3)  # as a crash would end it
    return judge_file(guard, path, trace_format, *options)
test_run.judge_file = dying
guard = ostik.Guard(ostik.Policy.from_file({str(POLICY)!r}))
results = list(test_run.judge_paths(guard, {str(POLICY)!r}, {paths!r}, "auto", 2))
print(json.dumps([[r.path, r.error, len(r.traces)] for r in results]))
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    results = json.loads(done.stdout)
    assert [path for path, _, _ in results] == paths
    assert results[3][1] == f"{paths[3]}: not judged: a worker process ended unexpectedly"
    assert all(error is None and traces == 1 or "not judged" in error for _, error, traces in results)


# --- --json -------------------------------------------------------------------------------------------


def test_json_gives_one_object_per_trace_then_the_summary(tree):
    result = ostik("test", "--json", POLICY, tree / "sessions.jsonl", tree / "a" / "deep" / "blocked.jsonl")
    assert (result.returncode, result.stderr) == (1, "")
    *traces, summary = [json.loads(line) for line in result.stdout.splitlines()]
    assert [list(t) for t in traces] == [["file", "line", "passed", "steps", "blocked_steps", "blocking_rules",
                                          "first_block", "refused_attempts", "unjudged_calls", "asked_steps"]] * 3
    assert traces[0] == {"file": str(tree / "sessions.jsonl"), "line": 1, "passed": True, "steps": 6,
                         "blocked_steps": 0, "blocking_rules": [], "first_block": None, "refused_attempts": 0,
                         "unjudged_calls": 0, "asked_steps": 0}
    assert traces[1] == {"file": str(tree / "sessions.jsonl"), "line": 2, "passed": False, "steps": 3,
                         "blocked_steps": 0, "blocking_rules": ["require_run_tests"], "first_block": None,
                         "refused_attempts": 0, "unjudged_calls": 0, "asked_steps": 0}
    assert traces[2]["line"] is None and traces[2]["blocked_steps"] == 4
    assert traces[2]["first_block"] == {"step": 0, "tool": "edit_file", "rule": "before_inspect_then_edit_file",
                                        "reason": "'edit_file' requires 'inspect' first"}
    assert traces[2]["blocking_rules"][-2:] == ["require_run_tests", "after_edit_file_then_run_tests"]
    assert set(summary) == {"traces", "failed", "steps", "blocked_steps", "refused_attempts", "unjudged_calls",
                            "asked_steps", "unusable", "seconds"}
    assert (summary["traces"], summary["failed"], summary["steps"], summary["blocked_steps"],
            summary["unusable"]) == (3, 2, 14, 4, 0)


def test_json_counts_unusable_inputs(tmp_path):
    write(tmp_path / "bad.jsonl", "[1,")
    result = ostik("test", "--json", POLICY, tmp_path, TRACES / "good.jsonl")
    assert result.returncode == 2
    assert json.loads(result.stdout.splitlines()[-1])["unusable"] == 1


# --- --junit-xml ---------------------------------------------------------------------------------------


def test_junit_xml_has_a_suite_per_file_and_a_case_per_trace(tree, tmp_path):
    write(tree / "broken.jsonl", "{")
    report = tmp_path / "out" / "junit.xml"
    report.parent.mkdir()
    result = ostik("test", "--junit-xml", report, POLICY, tree)
    assert result.returncode == 2
    xml = JUnitXml.fromfile(str(report))
    suites = {suite.name: suite for suite in xml}
    assert sorted(suites) == sorted(str(p) for p in [
        tree / "broken.jsonl", tree / "hotfix.json", tree / "sessions.jsonl", tree / "a" / "good.jsonl",
        tree / "a" / "deep" / "blocked.jsonl", tree / "a" / "deep" / "late_tests.jsonl"])
    sessions = suites[str(tree / "sessions.jsonl")]
    assert (sessions.tests, sessions.failures, sessions.errors) == (2, 1, 0)
    cases = {case.name: case for case in sessions}
    assert set(cases) == {"line 1", "line 2"}
    assert cases["line 1"].is_passed and cases["line 1"].classname == str(tree / "sessions.jsonl")
    (failure,) = cases["line 2"].result
    assert isinstance(failure, Failure)
    assert failure.type == "require_run_tests"
    assert failure.message == "end of trace: require_run_tests: Required tool 'run_tests' never called"

    (blocked,) = suites[str(tree / "a" / "deep" / "blocked.jsonl")]
    (failure,) = blocked.result
    assert failure.message == "step 0 edit_file: before_inspect_then_edit_file: 'edit_file' requires 'inspect' first"
    # Every blocking rule with its reason, one per line.
    assert failure.text.splitlines() == [
        "step 0 edit_file: before_inspect_then_edit_file: 'edit_file' requires 'inspect' first",
        "step 2 run_exec: allow_list: Tool 'run_exec' is not in allow list",
        "step 3 git_commit: sequence_edit_file_run_tests_git_diff_git_commit: Sequence order violated: "
        "'git_commit' before 'run_tests'",
        "step 4 force_push: deny_list: Tool 'force_push' is in deny list",
        "end of trace: require_run_tests: Required tool 'run_tests' never called",
        "end of trace: after_edit_file_then_run_tests: 'edit_file' triggered at 0, but 'run_tests' never called "
        "within 4 steps (trace ended)",
    ]
    (broken,) = suites[str(tree / "broken.jsonl")]
    (error,) = broken.result
    assert isinstance(error, Error) and error.message.startswith(f"{tree / 'broken.jsonl'}: line 1: not valid JSON")
    totals = [(s.tests, s.failures, s.errors) for s in xml]
    assert tuple(map(sum, zip(*totals))) == (7, 3, 1)


def test_junit_xml_carries_any_tool_name(tmp_path):
    # Control characters cannot appear in XML 1.0 at all; a lone surrogate cannot be encoded.
    names = ["ctl\x01\x1b[31m", "nul\x00byte", "tab\tand\nline", "nonchar\ufffe", "ümlaut & <tag> \"q\""]
    trace = write(tmp_path / "odd.jsonl", *(json.dumps({"tool": name}) for name in names))
    surrogate = write(tmp_path / "surrogate.jsonl", '{"tool": "lone\\ud800"}')
    report = tmp_path / "junit.xml"
    result = ostik("test", "--junit-xml", report, POLICY, trace, surrogate)
    assert result.returncode == 2
    xml = JUnitXml.fromfile(str(report))
    suites = {suite.name: suite for suite in xml}
    (case,) = suites[trace]
    (failure,) = case.result
    lines = failure.text.splitlines()
    assert lines[0] == "step 0 ctl\\u0001\\u001b[31m: allow_list: Tool 'ctl\\u0001\\u001b[31m' is not in allow list"
    assert "step 3 nonchar\\ufffe: allow_list" in failure.text
    assert "step 4 ümlaut & <tag> \"q\": allow_list: Tool 'ümlaut & <tag> \"q\"' is not in allow list" in lines
    assert "tab\\u0009and\\u000aline" in failure.text
    (error,) = list(suites[surrogate])[0].result
    assert "Invalid tool call format" in error.message


def test_an_unwritable_junit_report_is_unusable_output(tmp_path):
    result = ostik("test", "--junit-xml", tmp_path / "missing" / "junit.xml", POLICY, TRACES / "good.jsonl")
    assert result.returncode == 2
    assert result.stderr == f"{tmp_path / 'missing' / 'junit.xml'}: cannot write the JUnit report: No such file or directory\n"
    assert summary_of(result.stdout) == (1, 0, 6, 0)


# --- GitHub Actions ---------------------------------------------------------------------------------------


def test_annotations_under_github_actions(tree, tmp_path):
    odd = write(tmp_path / "100%, odd: name.jsonl", json.dumps({"tool": "50% off"}), '{"tool":"force_push"}')
    plain = ostik("test", POLICY, tree / "sessions.jsonl", odd)
    assert "::error" not in plain.stdout + plain.stderr
    result = ostik("test", POLICY, tree / "sessions.jsonl", tree / "a" / "deep" / "blocked.jsonl", odd,
                   env=clean_env(GITHUB_ACTIONS="true"))
    assert result.returncode == 1
    annotations = [line for line in result.stdout.splitlines() if line.startswith("::")]
    assert annotations[0] == (f"::error file={tree}/sessions.jsonl,line=2,title=ostik%3A require_run_tests::end of "
                              "trace: require_run_tests: Required tool 'run_tests' never called")
    # The step's own line, every violation on a line of its own.
    assert annotations[1].startswith(f"::error file={tree}/a/deep/blocked.jsonl,line=1,"
                                     "title=ostik%3A before_inspect_then_edit_file::step 0 edit_file: ")
    assert annotations[1].count("%0A") == 5
    odd_file = str(tmp_path / "100%25%2C odd%3A name.jsonl")
    assert annotations[2] == (f"::error file={odd_file},line=1,title=ostik%3A allow_list::step 0 50%25 off: "
                              "allow_list: Tool '50%25 off' is not in allow list%0Astep 1 force_push: deny_list: "
                              "Tool 'force_push' is in deny list%0Aend of trace: require_run_tests: Required tool "
                              "'run_tests' never called")
    # The people's lines are still there.
    assert SESSION_LINE.format(d=tree) in result.stdout.splitlines()


def test_annotations_name_paths_inside_the_workspace_relative_to_it(tree):
    env = clean_env(GITHUB_ACTIONS="true", GITHUB_WORKSPACE=str(tree))
    result = ostik("test", "-q", POLICY, tree / "sessions.jsonl", env=env)
    assert result.stdout.splitlines()[0].startswith("::error file=sessions.jsonl,line=2,")


def test_a_trace_from_standard_input_is_annotated_without_a_file():
    result = ostik("test", "-q", POLICY, "-", input=(TRACES / "blocked.jsonl").read_text(),
                   env=clean_env(GITHUB_ACTIONS="true"))
    assert result.stdout.splitlines()[0].startswith("::error title=ostik%3A before_inspect_then_edit_file::step 0 ")


def test_annotations_keep_out_of_the_json(tree):
    result = ostik("test", "--json", POLICY, tree / "sessions.jsonl", env=clean_env(GITHUB_ACTIONS="true"))
    assert all(json.loads(line) for line in result.stdout.splitlines())
    assert result.stderr.startswith(f"::error file={tree}/sessions.jsonl,line=2,")


def test_workflow_command_escaping():
    from ostik.reports.github import error_command, escape_data, escape_property

    assert escape_data("100% done\r\nnext: a, b") == "100%25 done%0D%0Anext: a, b"
    assert escape_property("100% done\r\nnext: a, b") == "100%25 done%0D%0Anext%3A a%2C b"
    assert error_command("a\nb") == "::error::a%0Ab"
    assert error_command("m", file="x,y:z.jsonl", line=3, title="t: 1") == "::error file=x%2Cy%3Az.jsonl,line=3,title=t%3A 1::m"


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_quiet_counts_through_audit_accumulators_as_the_full_run_does(tree, jobs):
    # -q needs only the counts: the files come back as AuditAccumulators. Unusable
    # files, unnamed steps and the counts are told as the full run tells them.
    (tree / "b-unreadable.jsonl").write_text("{not json\n")
    (tree / "c-bad-step.jsonl").write_text('[{"tool": "read"}, {"tool": 7}]\n')
    (tree / "d-unnamed.jsonl").write_text('[{"name": null}, {"tool": "read"}]\n')
    full = ostik("test", "-j", jobs, POLICY, tree, "--format", "ostik")
    quiet = ostik("test", "-q", "-j", jobs, POLICY, tree, "--format", "ostik")
    assert quiet.returncode == full.returncode == 2
    assert summary_of(quiet.stdout) == summary_of(full.stdout)
    assert quiet.stderr == full.stderr
    assert "c-bad-step.jsonl: line 1: step 1: Invalid tool call format:" in quiet.stderr


ASKING = """\
version: "1"
ask:
  - tool: git_push
labels:
  untrusted: [read_email]
  external: [send_email]
flows:
  - {from: untrusted, to: external, effect: ask}
"""


@pytest.mark.parametrize("quiet", [False, True])
def test_steps_asked_for_approval_pass_and_are_counted(tmp_path, write_policy, quiet):
    policy = write_policy(ASKING)
    traces = tmp_path / "runs.jsonl"
    traces.write_text("".join(json.dumps(t) + "\n" for t in (
        [{"tool": "read_email", "result": "hi"}, {"tool": "send_email"}, {"tool": "git_push"}],
        [{"tool": "send_email"}],
    )))
    result = ostik("test", *(["-q"] if quiet else ["-v"]), policy, traces)
    assert (result.returncode, result.stderr) == (0, "")
    assert re.match(r"^2 traces, 0 failed, 4 steps, 0 blocked steps, 2 asked steps, in \d+\.\d\d s$",
                    result.stdout.splitlines()[-1])
    if not quiet:
        assert result.stdout.splitlines()[:2] == [f"PASS {traces}:1: 3 steps; 2 steps asked for approval",
                                                  f"PASS {traces}:2: 1 step"]
        lines = [json.loads(line) for line in ostik("test", "--json", policy, traces).stdout.splitlines()]
        assert [line["asked_steps"] for line in lines] == [2, 0, 2]
