"""The README's examples do what it says they do."""

import json
import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import ostik

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text()


def shown_sessions():
    """(command, output) for every indented `$ ostik ...` example whose files exist."""
    sessions = []
    for block in re.findall(r"(?:^    .*\n|^\n)+", README, flags=re.MULTILINE):
        lines = [line[4:] for line in block.splitlines()]
        for i, line in enumerate(lines):
            if line.startswith("$ ostik "):
                output = []
                for following in lines[i + 1:]:
                    if not following or following.startswith("$ "):
                        break
                    output.append(following)
                args = shlex.split(line[2:])[1:]
                if all((ROOT / a).exists() for a in args if "/" in a or a.endswith((".yaml", ".jsonl"))):
                    sessions.append((args, output))
    return sessions


SESSIONS = shown_sessions()


def test_the_readme_shows_each_command():
    assert {args[0] for args, _ in SESSIONS} == {"check", "explain", "test", "coverage"}


def without_timing(lines):
    # How long a run took differs from run to run.
    return [re.sub(r", in \d+\.\d\d s$", ", in T s", line) for line in lines]


@pytest.mark.parametrize(("args", "output"), SESSIONS, ids=[" ".join(a) for a, _ in SESSIONS])
def test_shown_output_is_what_the_command_prints(args, output):
    env = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "GITHUB_ACTIONS")}
    result = subprocess.run([sys.executable, "-m", "ostik", *args], cwd=ROOT, capture_output=True, text=True,
                            env=env, timeout=120)
    assert without_timing(result.stdout.splitlines()) == without_timing(output)


def test_the_ci_job_runs_its_ostik_steps(tmp_path):
    # The job's ostik commands, in a project laid out as the job expects: the
    # bundled policy, and the bundled traces as the recorded ones.
    section = README.split("### A CI job for an agent's policy", 1)[1].split("\n## ", 1)[0]
    job = re.search(r"```yaml\n(.*?)```", section, flags=re.DOTALL).group(1)
    commands = [line.split("run: ", 1)[1].split("#")[0].strip() for line in job.splitlines()
                if re.match(r"\s+(- )?run: ostik ", line)]
    assert [c.split()[:2] for c in commands] == [["ostik", "check"], ["ostik", "test"], ["ostik", "coverage"]]
    (tmp_path / "agent").mkdir()
    shutil.copy(ROOT / "examples" / "policy.yaml", tmp_path / "agent" / "policy.yaml")
    shutil.copytree(ROOT / "examples" / "traces", tmp_path / "traces" / "run1")
    env = {k: v for k, v in os.environ.items() if k != "GITHUB_ACTIONS"}
    statuses = []
    for command in commands:
        args = shlex.split(command)[1:]
        result = subprocess.run([sys.executable, "-m", "ostik", *args], cwd=tmp_path, capture_output=True, text=True,
                                env=env, timeout=120)
        statuses.append(result.returncode)
    # Some bundled traces break the policy on purpose; the policy is clean and well covered.
    assert statuses == [0, 1, 0]
    from junitparser import JUnitXml

    report = JUnitXml.fromfile(str(tmp_path / "ostik-junit.xml"))
    assert sum(suite.tests for suite in report) == 6 and sum(suite.failures for suite in report) == 3


def test_python_usage_runs(tmp_path):
    block = re.search(r"## Python usage\n\n```python\n(.*?)```", README, flags=re.DOTALL).group(1)
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    result = subprocess.run([sys.executable, "-c", block], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    first_line = result.stdout.splitlines()[0]
    assert first_line == "1 ['deny_list', 'require_run_tests']"
    assert (tmp_path / "agent-trace.jsonl").read_text() == '{"args":{"path":"src/app.py"},"tool":"read_file"}\n'


def test_the_accumulator_example_runs(tmp_path):
    block = re.search(r"### Coverage and audits in pieces, and on Dask\n\n```python\n(.*?)```", README,
                      flags=re.DOTALL).group(1)
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    check = ("\nimport json\nexpected = ostik.CoverageAnalyzer(policy).analyze(traces, 80.0)\n"
             "assert json.loads(report) == json.loads(expected), (report, expected)\n")
    result = subprocess.run([sys.executable, "-c", block + check], cwd=tmp_path, capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("3 3 {")


def test_the_examples_run(tmp_path):
    trace = tmp_path / "recorded.jsonl"
    recorded = subprocess.run([sys.executable, str(ROOT / "examples" / "record_and_explain.py"), str(trace)],
                              capture_output=True, text=True, timeout=120)
    assert recorded.returncode == 0, recorded.stderr
    assert recorded.stdout.splitlines()[-1] == ("7 steps, 1 blocked; "
                                                "blocking rules: sequence_edit_file_run_tests_git_diff_git_commit")
    assert len(trace.read_text().splitlines()) == 7
    shown = subprocess.run([sys.executable, str(ROOT / "examples" / "run_example.py")], capture_output=True,
                           text=True, timeout=120)
    assert shown.returncode == 0, shown.stderr
    statuses = re.findall(r"^\(exit status (\d)\)$", shown.stdout, flags=re.MULTILINE)
    assert statuses == ["0", "0", "1", "1", "0"]


def test_guard_example_prints_what_it_says(tmp_path):
    block = re.search(r"## Guarding an agent while it runs\n\n.*?```python\n(.*?)```", README, flags=re.DOTALL).group(1)
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    result = subprocess.run([sys.executable, "-c", block], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    # Every print is followed by the line it prints, as a comment.
    said = [line.split("  # ", 1)[1] for line in block.splitlines() if line.strip().startswith("print(")]
    assert result.stdout.splitlines() == said
    lines = (tmp_path / "guarded-run.jsonl").read_text().splitlines()
    assert [json.loads(line)["tool"] for line in lines] == ["read_file", "force_push", "edit_file", "git_commit"]


def test_the_guard_agent_runs_and_its_trace_explains_alike(tmp_path):
    trace = tmp_path / "guarded.jsonl"
    run = subprocess.run([sys.executable, str(ROOT / "examples" / "guard_agent.py"), str(trace)],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[-1] == "8 calls; end of run: all checks pass"
    refused = [line.split()[1] for line in lines[:-1] if " refused " in line]
    assert refused == ["edit_file", "git_commit", "force_push"]
    explained = subprocess.run([sys.executable, "-m", "ostik", "explain", "examples/policy.yaml", str(trace)],
                               cwd=ROOT, capture_output=True, text=True, timeout=120)
    blocked = [line.split()[1] for line in explained.stdout.splitlines() if "  blocked  " in line]
    assert blocked == refused


@pytest.mark.parametrize("index", range(3))
def test_policy_examples_load_cleanly(tmp_path, index):
    section = README.split("## Policy files", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```yaml\n(.*?)```", section, flags=re.DOTALL)
    assert len(blocks) == 3
    text = blocks[index] if blocks[index].startswith("version:") else "version: '1'\n" + blocks[index]
    path = tmp_path / "policy.yaml"
    path.write_text(text)
    result = subprocess.run([sys.executable, "-m", "ostik", "check", "--strict", str(path)], capture_output=True,
                            text=True, timeout=120)
    assert (result.returncode, result.stderr) == (0, "")


def operator_table():
    """(operator, example) for every row of the table of argument constraint operators."""
    section = README.split("### Argument rules", 1)[1].split("\n## ", 1)[0]
    rows = re.findall(r"^\| `(\w+)` \|.*\| `(.+)` \|$", section, flags=re.MULTILINE)
    return [(op, example.replace("\\|", "|")) for op, example in rows]


def test_the_operator_table_shows_every_operator_once_with_an_example_the_guard_takes(tmp_path):
    rows = operator_table()
    assert [op for op, _ in rows] == ["equals", "one_of", "not_one_of", "contains", "not_contains", "matches",
                                      "not_matches", "min", "max", "max_length"]
    path = tmp_path / "policy.yaml"
    for op, example in rows:
        path.write_text(f"version: '1'\ntools:\n  arg_constraints:\n    t:\n      {example}\n")
        (argument, operators), = ostik.policy_records(str(path))["tools"]["arg_constraints"]["t"].items()
        assert list(operators) == [op]
        rules = ostik.Guard(ostik.Policy.from_file(str(path))).argument_rules
        assert [(r["rule_id"], r["operators"]) for r in rules] == [(f"arg_t_{argument}", [op])]
