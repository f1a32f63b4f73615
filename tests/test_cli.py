"""The command line end to end: `python -m ostik` on the bundled examples and on broken input."""

import json
import os
import pty
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import ostik

ROOT = Path(__file__).resolve().parents[1]
POLICY = str(ROOT / "examples" / "policy.yaml")
TRACES = ROOT / "examples" / "traces"
GOOD, BLOCKED = str(TRACES / "good.jsonl"), str(TRACES / "blocked.jsonl")


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    env.update(extra)
    return env


def ostik_cli(*args, input=None, env=None):
    return subprocess.run([sys.executable, "-m", "ostik", *map(str, args)], input=input, capture_output=True,
                          text=True, env=env or clean_env(), timeout=120)


def on_terminal(*args, env=None, stderr_only=False):
    """Runs the command line with stdout (or only stderr) on a pseudo-terminal; returns (terminal, other)."""
    controller, terminal = pty.openpty()
    streams = {"stdout": subprocess.PIPE, "stderr": terminal} if stderr_only else {"stdout": terminal,
                                                                                   "stderr": subprocess.PIPE}
    with subprocess.Popen([sys.executable, "-m", "ostik", *map(str, args)], env=env or clean_env(),
                          **streams) as process:
        os.close(terminal)
        chunks = []
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # EIO: the terminal's other end closed
                break
            if not chunk:
                break
            chunks.append(chunk)
        other = (process.stdout if stderr_only else process.stderr).read()
        process.wait(timeout=120)
    os.close(controller)
    return b"".join(chunks).decode().replace("\r\n", "\n"), other.decode()


def explained(trace_steps, policy=POLICY):
    return json.loads(ostik.TraceExplainer(ostik.Policy.from_file(policy)).explain(trace_steps))


def write_lines(path, *lines, final_newline=True):
    path.write_text("\n".join(lines) + ("\n" if final_newline else ""))
    return str(path)


# --- check -------------------------------------------------------------------------------------------------------


def test_check_summarises_the_bundled_policy():
    result = ostik_cli("check", POLICY)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert result.stdout == (
        f"{POLICY}: policy 'coding-agent' version '1.2': 8 rules (1 require, 1 eventually, 1 max_calls, 1 before, "
        "1 after, 1 never_after, 1 sequence, 1 blocklist); tools: 8 allowed, 2 denied; 2 aliases; "
        "4 argument rules\n")


def test_check_summary_without_tool_lists(write_policy):
    path = write_policy("version: '2'\nsequences: [[require, a], [require, b]]\n")
    assert ostik_cli("check", path).stdout == (
        f"{path}: policy (unnamed) version '2': 2 rules (2 require); tools: any tool allowed, none denied; 0 aliases\n")


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("version: 1\nsequences:\n  - {type: eventually, tool: a}\n", "sequences[0]: missing field `within` at line 3 column 5"),
        ("", "EOF while parsing a value"),
        ("version: 1\non_error: warn\n", "on_error: unknown variant `warn`, expected `block` or `allow` at line 2 column 11"),
    ],
)
def test_check_reports_the_loader_error_with_the_file_name(write_policy, text, message):
    path = write_policy(text)
    result = ostik_cli("check", path)
    assert (result.returncode, result.stdout, result.stderr) == (2, "", f"{path}: {message}\n")


def test_check_missing_policy(tmp_path):
    result = ostik_cli("check", tmp_path / "nope.yaml")
    assert (result.returncode, result.stderr) == (2, f"{tmp_path / 'nope.yaml'}: No such file or directory (os error 2)\n")


WARNING_CASES = [
    ("tools: {allow: [a], deny: [rm]}\naliases: {g: [a, extra]}",
     "tools.allow: 'extra' is not in the allow list but passes it because alias 'g' lists it"),
    ("tools: {allow: [a, rm], deny: [rm]}",
     "tools: 'rm' is in both allow and deny; the deny list wins, so every call of it is blocked"),
    ("tools: {deny: [rm]}\nsequences: [[before, read, rm]]",
     "sequences[0] (before_read_then_rm): then 'rm' is in the deny list, so every call of it is blocked anyway"),
    ("tools: {allow: [a]}\nsequences: [[eventually, b, 3]]",
     "sequences[0] (eventually_b_3): tool 'b' is not in the allow list, so every call of it is blocked anyway"),
    ("tools: {deny: [rm]}\naliases: {danger: [rm, a]}\nsequences: [[never_after, x, danger]]",
     "sequences[0] (never_after_x_forbidden_danger): forbidden 'danger' stands for 'rm', which is in the deny list, "
     "so every call of it is blocked anyway"),
    ("sequences: [[max_calls, Write, 5], [require, a], [max_calls, write, 5]]",
     "sequences[2] (max_calls_write_5): same rule id as sequences[0], so the explainer and coverage cannot tell "
     "the two apart (coverage counts them as one)"),
    ("sequences: [[sequence, [ΣΑΣ, b]], [sequence, [σας, b]]]",
     "sequences[1] (sequence_σας_b): same rule id as sequences[0]"),
    ("tools: {deny: ['*tmp']}",
     "tools.deny[0]: '*tmp' starts with '*', so coverage cannot report it as a high-risk gap when no trace calls it"),
    ("sequences: [[never_after, a, '*b']]",
     "sequences[0] (never_after_a_forbidden_*b): forbidden '*b' starts with '*', so coverage cannot report it"),
    ("aliases: {nothing: []}\nsequences: [[after, nothing, b]]",
     "sequences[0] (after_nothing_then_b): trigger 'nothing' is an alias with no members, so it matches no tool"),
    ("sequences: [[blocklist, '']]",
     "sequences[0] (blocklist_): the empty pattern occurs in every tool name, so every step is blocked"),
]


@pytest.mark.parametrize(("body", "warning"), WARNING_CASES)
def test_check_warns_and_strict_turns_warnings_into_failure(write_policy, body, warning):
    path = write_policy(f"version: '1'\n{body}\n")
    result = ostik_cli("check", path)
    assert result.returncode == 0
    assert f"{path}: warning: {warning}" in result.stderr
    assert result.stdout.startswith(f"{path}: policy ")
    assert ostik_cli("check", "--strict", path).returncode == 1


@pytest.mark.parametrize(
    "body",
    [
        # alias members that are allowed anyway, ids that differ only by a number, a denied tool named by no rule
        "tools: {allow: [a, b], deny: [rm]}\naliases: {g: [a, b]}\n"
        "sequences: [[eventually, g, 2], [eventually, g, 3], [before, g, b]]",
        "sequences: [[blocklist, exec], [max_calls, '*', 2]]",
    ],
)
def test_check_strict_passes_a_clean_policy(write_policy, body):
    result = ostik_cli("check", "--strict", write_policy(f"version: '1'\n{body}\n"))
    assert (result.returncode, result.stderr) == (0, "")


def test_check_names_the_line_of_a_key_a_rule_ignores(write_policy):
    path = write_policy(
        "version: '1'\n"
        "sequences:\n"
        "  - [after, a, c]\n"
        "  - {type: require, tool: a}\n"
        "  - type: after\n"
        "    trigger: a\n"
        "    then: b\n"
        "    withn: 3\n"
        "  - {type: max_calls, tool: a, max: 2, limit: 3, Tool: b}\n"
        "  - {type: before, first: a, then: b, within: 2}\n")
    result = ostik_cli("check", path)
    assert result.returncode == 0
    assert result.stdout.startswith(f"{path}: policy (unnamed) version '1': 5 rules")
    assert result.stderr.splitlines() == [
        f"{path}:8:5: warning: sequences[2]: unknown key `withn` in an after rule is ignored; did you mean `within`?",
        f"{path}:9:40: warning: sequences[3]: unknown key `limit` in a max_calls rule is ignored",
        f"{path}:9:50: warning: sequences[3]: unknown key `Tool` in a max_calls rule is ignored; did you mean `tool`?",
        # `within` is a field of other kinds, and nothing like `first` or `then`
        f"{path}:10:39: warning: sequences[4]: unknown key `within` in a before rule is ignored",
    ]
    assert ostik_cli("check", "--strict", path).returncode == 1


@pytest.mark.parametrize(("entry", "message"), [
    ("ask:\n  - {tool: a, afer: b}",
     "ask[0]: unknown field `afer`, expected one of `tool`, `args`, `after` at line 3 column 15; did you mean `after`?"),
    ("ask:\n  - {Tool: a}",
     "ask[0]: unknown field `Tool`, expected one of `tool`, `args`, `after` at line 3 column 6; did you mean `tool`?"),
    ("ask:\n  - tool: shell\n    args: {command: {matchs: '^sudo'}}",
     "ask[0].args.command: unknown operator `matchs`, expected one of `equals`, `one_of`, `not_one_of`, `contains`, "
     "`not_contains`, `matches`, `not_matches`, `min`, `max`, `max_length` at line 4 column 22; did you mean "
     "`matches`?"),
    # Two letters swapped in a short field.
    ("limits:\n  - {tool: a, max: 3, pre: 60s}",
     "limits[0]: unknown field `pre`, expected one of `tool`, `max`, `per`, `repeat` at line 3 column 23; "
     "did you mean `per`?"),
    ("limits:\n  - {tool: a, max: 3}\n  - {repeats: 3}",
     "limits[1]: unknown field `repeats`, expected one of `tool`, `max`, `per`, `repeat` at line 4 column 6; "
     "did you mean `repeat`?"),
    # Nothing close: the loader's message alone.
    ("limits:\n  - {tool: a, every: 60s}",
     "limits[0]: unknown field `every`, expected one of `tool`, `max`, `per`, `repeat` at line 3 column 15"),
    # An argument named like a message does not lead the hint astray.
    ("ask:\n  - tool: a\n    args: {'x: unknown field `afer`, expected': {Max: 3}}",
     "ask[0].args.x: unknown field `afer`, expected: unknown operator `Max`, expected one of `equals`, `one_of`, "
     "`not_one_of`, `contains`, `not_contains`, `matches`, `not_matches`, `min`, `max`, `max_length` at line 4 "
     "column 50; did you mean `max`?"),
    # The specified sections keep their messages as they are.
    ("tools: {arg_constraints: {t: {x: {matchs: b}}}}",
     "tools.arg_constraints.t.x: unknown operator `matchs`, expected one of `equals`, `one_of`, `not_one_of`, "
     "`contains`, `not_contains`, `matches`, `not_matches`, `min`, `max`, `max_length` at line 2 column 35"),
    ("limit: []",
     "unknown field `limit`, expected one of `version`, `name`, `metadata`, `tools`, `sequences`, `aliases`, "
     "`on_error`, `ask`, `limits`, `labels`, `taint`, `flows` at line 2 column 1"),
])
def test_check_suggests_the_field_a_refused_key_of_an_ask_or_limits_entry_misspells(write_policy, entry, message):
    path = write_policy(f"version: '1'\n{entry}\n")
    result = ostik_cli("check", path)
    assert (result.returncode, result.stdout, result.stderr) == (2, "", f"{path}: {message}\n")


@pytest.mark.parametrize(
    "body",
    [
        "sequences: [[after, a, b, 2], [sequence, [a, b], true], [blocklist, x]]",
        "aliases: {g: &t [a, b]}\nsequences:\n  - &r {type: after, trigger: a, then: b, within: 2}\n"
        "  - {type: sequence, tools: *t}\n  - {0: a, type: require}",
    ],
)
def test_check_strict_accepts_rules_without_stray_keys(write_policy, body):
    result = ostik_cli("check", "--strict", write_policy(f"version: '1'\n{body}\n"))
    assert (result.returncode, result.stderr) == (0, "")


def test_check_stray_key_of_an_anchored_rule_warns_at_each_use(write_policy):
    path = write_policy("version: '1'\nsequences:\n  - &r {type: require, tool: a, nte: \"\\e\"}\n  - *r\n")
    result = ostik_cli("check", path)
    assert [line for line in result.stderr.splitlines() if "unknown key" in line] == [
        f"{path}:3:33: warning: sequences[0]: unknown key `nte` in a require rule is ignored",
        f"{path}:3:33: warning: sequences[1]: unknown key `nte` in a require rule is ignored",
    ]


def test_check_escapes_control_characters_in_stray_keys(write_policy):
    path = write_policy("version: '1'\nsequences:\n  - {type: require, tool: a, \"x\\ey\": 1}\n")
    assert ostik_cli("check", path).stderr == (
        f"{path}:3:30: warning: sequences[0]: unknown key `x\\u001by` in a require rule is ignored\n")


def test_check_warnings_use_the_native_rule_ids(write_policy):
    # Unusual names where lower-casing is not ASCII-only: the ids the records
    # carry (which the check and the report page use) must be the ones the
    # explainer reports.
    path = write_policy(
        "version: '1'\nsequences:\n"
        "  - [require, İstanbul]\n  - [eventually, ΣΑΣ, 2]\n  - [max_calls, Straße, 0x10]\n"
        "  - [before, ﬁle, ΑΣ]\n  - [after, A, B]\n  - [never_after, X, Ǆ]\n  - [sequence, [ΟΔΟΣ, Σ, ΣΑ]]\n"
        "  - [blocklist, EXEC]\n")
    rules = ostik.policy_records(path)["sequences"]
    report = explained([{"tool": "x"}], path)
    native_ids = [e["rule_id"] for e in report["steps"][0]["rules_evaluated"]][:len(rules)]
    assert native_ids == [ostik._inspect.rule_id(rule) for rule in rules]
    assert ostik.Guard.from_file(path).rule_ids == native_ids


# --- explain -----------------------------------------------------------------------------------------------------


def test_explain_a_passing_trace():
    result = ostik_cli("explain", POLICY, GOOD)
    assert (result.returncode, result.stderr) == (0, "")
    lines = result.stdout.splitlines()
    assert [line.split()[:3] for line in lines[:-1]] == [
        [str(i), tool, "allowed"]
        for i, tool in enumerate(["read_file", "search_code", "edit_file", "run_tests", "git_diff", "git_commit"])]
    assert lines[-1] == "PASS: 6 steps, none blocked"
    assert "\x1b" not in result.stdout


def test_explain_a_failing_trace():
    result = ostik_cli("explain", POLICY, BLOCKED)
    assert (result.returncode, result.stderr) == (1, "")
    out = result.stdout.splitlines()
    assert out[0].split()[:3] == ["0", "edit_file", "blocked"]
    assert out[0].endswith("before_inspect_then_edit_file: 'edit_file' requires 'inspect' first")
    assert out[1].split()[:3] == ["1", "read_file", "allowed"]
    assert out[2].endswith("allow_list: Tool 'run_exec' is not in allow list")
    # Every failure of a blocked step is shown, the blocking one first.
    assert out[3].strip() == "also fails blocklist_exec: 'run_exec' matches blocklist pattern 'exec'"
    assert "Sequence order violated: 'git_commit' before 'run_tests'" in out[4]
    assert out[5].endswith("deny_list: Tool 'force_push' is in deny list")
    assert out[6] == "end of trace:"
    assert out[7] == "  FAIL require_run_tests: Required tool 'run_tests' never called"
    assert out[8].startswith("  FAIL after_edit_file_then_run_tests: 'edit_file' triggered at 0, but 'run_tests'")
    assert out[9].startswith("FAIL: 4 of 5 steps blocked (first at step 0); 2 end-of-trace checks failed")


def test_explain_end_of_trace_failure_alone_fails(tmp_path):
    trace = write_lines(tmp_path / "t.jsonl", '{"tool":"read_file"}', '{"tool":"list_dir"}')
    result = ostik_cli("explain", POLICY, trace)
    assert result.returncode == 1
    assert result.stdout.splitlines()[-1] == ("FAIL: 2 steps, none blocked; 1 end-of-trace check failed; "
                                              "blocking rules: require_run_tests")


FOLDING_POLICY = "version: '1'\ntools: {deny: [rm]}\nsequences:\n  - [max_calls, edit, 2]\n  - [blocklist, x]\n"
FOLDING_TOOLS = ["read", "edit", "edit", "edit", "read", "rm", "fix", "rm", "edit", "rm2"]


def test_explain_shows_a_rule_that_keeps_failing_once(tmp_path, write_policy):
    # Once the edits exceed their maximum, the rule fails at every later step:
    # it is shown where it first failed, and the steps it alone blocked are left out.
    trace = write_lines(tmp_path / "t.jsonl", *(json.dumps({"tool": t}) for t in FOLDING_TOOLS))
    result = ostik_cli("explain", write_policy(FOLDING_POLICY), trace)
    assert result.returncode == 1
    assert result.stdout.splitlines() == [
        "0  read  allowed",
        "1  edit  allowed",
        "2  edit  allowed",
        "3  edit  blocked  max_calls_edit_2: 'edit' exceeded max calls (3 > 2)",
        "                  and at 6 later steps: 4-9",
        # The deny list judges the tool: each tool it blocks is a failure of its own.
        "5  rm    blocked  deny_list: Tool 'rm' is in deny list",
        "                  and at 1 later step: 7",
        # A step with a new failure is shown, its repeated blocking rule named only.
        "6  fix   blocked  max_calls_edit_2: again, see step 3",
        "         also fails blocklist_x: 'fix' matches blocklist pattern 'x'",
        "FAIL: 7 of 10 steps blocked (first at step 3); blocking rules: max_calls_edit_2, deny_list",
    ]
    # The verbose view and the report keep every step.
    verbose = ostik_cli("explain", "-v", write_policy(FOLDING_POLICY), trace)
    assert [line.split()[0] for line in verbose.stdout.splitlines() if "blocked" in line.split()[2:3]] == [
        str(i) for i in range(3, 10)]
    report = json.loads(ostik_cli("explain", "--json", write_policy(FOLDING_POLICY), trace).stdout)
    assert report["blocked_steps"] == 7 and len(report["steps"]) == 10


def test_explain_lists_runs_of_later_steps_briefly(tmp_path, write_policy):
    tools = ["a", "a", "b", "a", "b", *["a"] * 30, *["b", "a"] * 8]
    trace = write_lines(tmp_path / "t.jsonl", *(json.dumps({"tool": t}) for t in tools))
    result = ostik_cli("explain", write_policy("version: '1'\nsequences: [[max_calls, a, 1], [blocklist, b]]\n"), trace)
    assert result.stdout.splitlines()[1:6] == [
        " 1  a  blocked  max_calls_a_1: 'a' exceeded max calls (2 > 1)",
        "                and at 49 later steps: 2-50",
        " 2  b  blocked  max_calls_a_1: again, see step 1",
        "       also fails blocklist_b: 'b' matches blocklist pattern 'b'",
        "                  and at 9 later steps: 4, 35, 37, 39, 41, 43, 45, 47, ...",
    ]
    assert len(result.stdout.splitlines()) == 7


@pytest.mark.parametrize("flags", [[], ["-v"], ["--json"]])
def test_explain_an_empty_trace_fails_when_the_policy_requires_a_tool(tmp_path, flags):
    empty = write_lines(tmp_path / "empty.jsonl")
    result = ostik_cli("explain", *flags, POLICY, empty)
    assert result.returncode == 1
    if flags == ["--json"]:
        # The report itself stays as explain returns it: no steps, nothing blocking.
        assert result.stdout == ostik.TraceExplainer(ostik.Policy.from_file(POLICY)).explain([]) + "\n"
        assert json.loads(result.stdout)["blocking_rules"] == []
    else:
        assert result.stdout.splitlines() == [
            "end of trace:", "  FAIL require_run_tests: Required tool 'run_tests' never called",
            "FAIL: 0 steps, none blocked; 1 end-of-trace check failed; blocking rules: require_run_tests"]


def test_explain_an_empty_trace_passes_without_require_rules(tmp_path, write_policy):
    empty = write_lines(tmp_path / "empty.jsonl")
    result = ostik_cli("explain", write_policy("version: '1'\nsequences: [[max_calls, a, 1]]\n"), empty)
    assert (result.returncode, result.stdout) == (0, "PASS: 0 steps, none blocked\n")


def test_explain_verbose_shows_every_judgement():
    result = ostik_cli("explain", "-v", POLICY, GOOD)
    assert result.returncode == 0
    assert result.stdout.count("pass ") == 6 * 8
    assert "pass sequence_edit_file_run_tests_git_diff_git_commit: Sequence step 4/4: 'git_commit' ✓" in result.stdout


@pytest.mark.parametrize("trace", [GOOD, BLOCKED])
def test_explain_json_is_the_report_unchanged(trace):
    result = ostik_cli("explain", "--json", POLICY, trace)
    steps = [json.loads(line) for line in Path(trace).read_text().splitlines()]
    expected = ostik.TraceExplainer(ostik.Policy.from_file(POLICY)).explain(steps)
    assert result.stdout == expected + "\n"
    assert result.returncode == (0 if trace == GOOD else 1)


def test_explain_json_status_follows_the_blocking_rules(tmp_path):
    # Only an end-of-trace check fails: no step is blocked, yet the run fails.
    trace = write_lines(tmp_path / "t.jsonl", '{"tool":"read_file"}', '{"tool":"list_dir"}')
    result = ostik_cli("explain", "--json", POLICY, trace)
    report = json.loads(result.stdout)
    assert (report["blocked_steps"], report["blocking_rules"]) == (0, ["require_run_tests"])
    assert result.returncode == 1


def test_explain_json_large_report_to_a_closed_pipe(tmp_path):
    # Several MiB of report; the reader takes a few bytes and goes away.
    step = '{"tool":"edit_file","args":{"path":"src/app.py"}}'
    trace = write_lines(tmp_path / "t.jsonl", *[step] * 20_000)
    with subprocess.Popen([sys.executable, "-m", "ostik", "explain", "--json", POLICY, trace], env=clean_env(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        assert process.stdout.read(15) == b'{"policy_name":'
        process.stdout.close()
        stderr = process.stderr.read()
        assert process.wait(timeout=120) == 1
    assert stderr == b""


def test_explain_every_trace_of_a_file_of_whole_traces():
    result = ostik_cli("explain", POLICY, TRACES / "sessions.jsonl")
    assert result.returncode == 1  # the second session never runs the tests
    out = result.stdout
    assert f"{TRACES / 'sessions.jsonl'}: line 1:\n" in out and f"{TRACES / 'sessions.jsonl'}: line 2:\n" in out
    assert "PASS: 6 steps, none blocked" in out
    assert "FAIL: 3 steps, none blocked; 1 end-of-trace check failed" in out
    json_lines = ostik_cli("explain", "--json", POLICY, TRACES / "sessions.jsonl").stdout.splitlines()
    assert [json.loads(line)["total_steps"] for line in json_lines] == [6, 3]


def test_explain_json_array_file_and_stdin():
    assert ostik_cli("explain", POLICY, TRACES / "hotfix.json").returncode == 0
    result = ostik_cli("explain", POLICY, "-", input=Path(BLOCKED).read_text())
    assert result.returncode == 1 and "force_push" in result.stdout


def test_explain_bad_json_line_names_file_and_line(tmp_path):
    trace = write_lines(tmp_path / "t.jsonl", '{"tool":"read_file"}', "", '{"tool": read_file}', '{"tool":"x"}')
    result = ostik_cli("explain", POLICY, trace)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"{trace}: line 3: not valid JSON: Expecting value (column 10)\n"


@pytest.mark.parametrize(
    ("lines", "where", "message"),
    [
        (['{"tool":"a"}', '{"tool":7}'], "line 2", 'Invalid tool call format: "tool" must be str, not int'),
        (['[{"tool":"a"},{"tool":"b","name":"c"}]'], "line 1: step 1",
         'Invalid tool call format: duplicate field `tool`: both "tool" and "name" give the tool\'s name '
         "(only one may, unless the other is null)"),
        (['{"tool":"a"}', "42"], "line 2", "expected a JSON object (one step) or array (one trace), found a number"),
    ],
)
def test_explain_unusable_step_names_its_line(tmp_path, lines, where, message):
    trace = write_lines(tmp_path / "t.jsonl", *lines)
    result = ostik_cli("explain", POLICY, trace)
    assert (result.returncode, result.stdout, result.stderr) == (2, "", f"{trace}: {where}: {message}\n")


def test_explain_skips_a_partial_last_line_with_a_warning(tmp_path):
    steps = [*Path(GOOD).read_text().splitlines(), '{"tool":"read_file","args":{"pa']
    partial = write_lines(tmp_path / "partial.jsonl", *steps, final_newline=False)
    result = ostik_cli("explain", POLICY, partial)
    assert result.returncode == 0
    assert result.stderr == (f"warning: {partial}: line 7: skipped an incomplete last line (no final newline, "
                             "probably left by an interrupted write)\n")
    assert result.stdout.splitlines()[-1] == "PASS: 6 steps, none blocked"
    # The same line anywhere else, or ended by a newline, is an error.
    terminated = write_lines(tmp_path / "terminated.jsonl", *steps)
    assert ostik_cli("explain", POLICY, terminated).returncode == 2


@pytest.mark.parametrize("kind", ["missing", "directory", "bad_policy"])
def test_explain_unusable_files(tmp_path, write_policy, kind):
    policy, trace = POLICY, GOOD
    if kind == "missing":
        trace = str(tmp_path / "absent.jsonl")
        expected = f"{trace}: No such file or directory\n"
    elif kind == "directory":
        trace = str(tmp_path)
        expected = f"{trace}: not a regular file (a directory); only regular files and - (standard input) are read\n"
    else:
        policy = write_policy("version: [1]\n")
        expected = f"{policy}: version: invalid type: sequence, expected a string at line 1 column 10\n"
    result = ostik_cli("explain", policy, trace)
    assert (result.returncode, result.stdout, result.stderr) == (2, "", expected)


def test_explain_escapes_control_characters_in_names(tmp_path):
    trace = write_lines(tmp_path / "t.jsonl", json.dumps({"tool": "evil\x1b]0;owned\x07"}))
    result = ostik_cli("explain", POLICY, trace)
    assert "\x1b" not in result.stdout and "\x07" not in result.stdout
    assert "evil\\u001b]0;owned\\u0007" in result.stdout


@pytest.mark.parametrize(("no_color", "coloured"), [(None, True), ("1", False), ("", True)])
def test_explain_colour_only_on_a_terminal_without_no_color(no_color, coloured):
    env = clean_env() if no_color is None else clean_env(NO_COLOR=no_color)
    out, _ = on_terminal("explain", POLICY, BLOCKED, env=env)
    assert ("\x1b[" in out) == coloured
    assert "Required tool 'run_tests' never called" in out


# --- coverage ----------------------------------------------------------------------------------------------------


def all_bundled_steps():
    traces = []
    for path in sorted(TRACES.iterdir()):
        if path.suffix == ".json":
            traces.append(json.loads(path.read_text()))
        else:
            objects = [json.loads(line) for line in path.read_text().splitlines()]
            steps = [o for o in objects if isinstance(o, dict)]
            traces.extend(([steps] if steps else []) + [o for o in objects if isinstance(o, list)])
    return traces


def test_coverage_json_is_the_report_unchanged():
    result = ostik_cli("coverage", "--json", POLICY, TRACES)
    expected = ostik.CoverageAnalyzer(ostik.Policy.from_file(POLICY)).analyze(all_bundled_steps(), 0.0)
    assert (result.returncode, result.stdout) == (0, expected + "\n")


def test_coverage_human_output():
    result = ostik_cli("coverage", POLICY, TRACES)
    assert (result.returncode, result.stderr) == (0, "")
    out = result.stdout
    assert out.startswith(f"coverage of policy 'coding-agent' version '1.2' by 6 traces (36 steps) from 5 files\n")
    report = json.loads(ostik_cli("coverage", "--json", POLICY, TRACES).stdout)
    tools, rules = report["tool_coverage"], report["rule_coverage"]
    assert (f"tools:   {tools['tools_seen_in_traces']} of {tools['total_tools_in_policy']} called "
            f"({tools['coverage_pct']:.1f}%)") in out
    assert f"overall: {report['overall_coverage_pct']:.1f}%\n" in out
    assert "untriggered rules: none\n" in out
    assert "unexpected tools (called, but the policy never names them): run_exec\n" in out
    assert "  delete_repo [high]: Tool is in deny list but never appeared in test traces\n" in out


def test_coverage_lists_what_no_trace_touched(tmp_path):
    empty = write_lines(tmp_path / "empty.jsonl")
    result = ostik_cli("coverage", POLICY, empty)
    assert result.returncode == 0
    assert ("untriggered rules: require_run_tests, eventually_inspect_3, max_calls_edit_file_20, "
            "before_inspect_then_edit_file, after_edit_file_then_run_tests, never_after_git_commit_forbidden_edit_file, "
            "sequence_edit_file_run_tests_git_diff_git_commit, blocklist_exec\n") in result.stdout
    assert "delete_repo [high]" in result.stdout and "force_push [high]" in result.stdout


@pytest.mark.parametrize(("fail_under", "status", "verdict"), [("50", 0, "met"), ("99.5", 1, "NOT met")])
def test_coverage_fail_under(fail_under, status, verdict):
    # good.jsonl calls 6 of the policy's 12 tools and triggers all 8 rules: 75%.
    report = json.loads(ostik_cli("coverage", "--json", POLICY, GOOD).stdout)
    assert 50 <= report["overall_coverage_pct"] < 99.5
    result = ostik_cli("coverage", POLICY, GOOD, "--fail-under", fail_under)
    assert result.returncode == status
    assert f"(required {fail_under}%: {verdict})" in result.stdout
    json_result = ostik_cli("coverage", "--json", POLICY, GOOD, "--fail-under", fail_under)
    assert json_result.returncode == status
    assert json.loads(json_result.stdout)["threshold"] == float(fail_under)


def test_coverage_threshold_equal_to_the_coverage_is_met():
    pct = json.loads(ostik_cli("coverage", "--json", POLICY, GOOD).stdout)["overall_coverage_pct"]
    assert ostik_cli("coverage", POLICY, GOOD, "--fail-under", repr(pct)).returncode == 0


@pytest.mark.parametrize("value", ["nan", "inf", "lots"])
def test_coverage_rejects_a_threshold_that_is_not_a_number(value):
    result = ostik_cli("coverage", POLICY, GOOD, "--fail-under", value)
    assert result.returncode == 2
    assert "--fail-under" in result.stderr


def test_coverage_unusable_inputs(tmp_path, write_policy):
    bad = write_lines(tmp_path / "bad.jsonl", '{"tool":"a"}', '{"tool":"b","args":{"n":1}}', '{"tool":["c"]}')
    result = ostik_cli("coverage", POLICY, GOOD, bad)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f'{bad}: line 3: Invalid trace format: "tool" must be str, not list\n'
    result = ostik_cli("coverage", POLICY, GOOD, tmp_path / "absent.jsonl")
    assert (result.returncode, result.stderr) == (2, f"{tmp_path / 'absent.jsonl'}: No such file or directory\n")
    empty_dir = tmp_path / "none"
    empty_dir.mkdir()
    result = ostik_cli("coverage", POLICY, empty_dir)
    assert (result.returncode, result.stderr) == (2, f"{empty_dir}: no .jsonl or .json files in this directory or below\n")
    result = ostik_cli("coverage", write_policy("version: 1\nrules: []\n"), GOOD)
    assert result.returncode == 2 and "unknown field `rules`" in result.stderr


def test_coverage_searches_directories_below(tmp_path):
    (tmp_path / "x" / "y").mkdir(parents=True)
    shutil.copy(GOOD, tmp_path / "x" / "y" / "good.jsonl")
    shutil.copy(BLOCKED, tmp_path / "blocked.jsonl")
    (tmp_path / "x" / "notes.txt").write_text("{}")
    result = ostik_cli("coverage", POLICY, tmp_path)
    assert result.stdout.startswith("coverage of policy 'coding-agent' version '1.2' by 2 traces (11 steps) from 2 files")


def test_coverage_progress_only_on_a_terminal(tmp_path):
    for i in range(25):
        shutil.copy(GOOD, tmp_path / f"t{i:02}.jsonl")
    terminal, stdout = on_terminal("coverage", POLICY, tmp_path, stderr_only=True)
    assert "reading trace files: 25/25" in terminal
    assert stdout.startswith("coverage of policy 'coding-agent' version '1.2' by 25 traces")
    piped = ostik_cli("coverage", POLICY, tmp_path)
    assert (piped.returncode, piped.stderr) == (0, "")


# --- the command itself ------------------------------------------------------------------------------------------


def test_console_script_and_usage_errors():
    script = Path(sys.executable).with_name("ostik")
    if not script.exists():
        pytest.skip("console script not installed beside the interpreter")
    result = subprocess.run([script, "check", POLICY], capture_output=True, text=True, env=clean_env(), timeout=120)
    assert (result.returncode, result.stdout) == (0, ostik_cli("check", POLICY).stdout)
    usage = ostik_cli()
    assert usage.returncode == 2 and usage.stderr.startswith("usage: ostik ")
    assert ostik_cli("explain", POLICY).returncode == 2
