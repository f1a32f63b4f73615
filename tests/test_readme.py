"""The examples of the README and of the documentation site's pages do what they say they do."""

import json
import os
import re
import shlex
import shutil
import subprocess
import sys

import pytest
import yaml
from docs_text import ROOT, code, code_blocks, page, pages, section

import ostik


def shown_sessions():
    """(page, command, output) for every `$ ostik ...` example in a code block whose files exist."""
    sessions = []
    for name, text in pages():
        for _, block in code_blocks(text):
            lines = block.splitlines()
            for i, line in enumerate(lines):
                if line.startswith("$ ostik "):
                    output = []
                    for following in lines[i + 1:]:
                        if not following or following.startswith("$ "):
                            break
                        output.append(following)
                    args = shlex.split(line[2:])[1:]
                    if all((ROOT / a).exists() for a in args if "/" in a or a.endswith((".yaml", ".jsonl"))):
                        sessions.append((name, args, output))
    return sessions


SESSIONS = shown_sessions()


def test_the_pages_show_each_command():
    assert {args[0] for _, args, _ in SESSIONS} == {"check", "explain", "test", "coverage"}
    # The README's tour is run too.
    assert [args[0] for name, args, _ in SESSIONS if name == "README.md"] == ["test"]


def without_timing(lines):
    # How long a run took differs from run to run.
    return [re.sub(r", in \d+\.\d\d s$", ", in T s", line) for line in lines]


@pytest.mark.parametrize(("name", "args", "output"), SESSIONS, ids=[f"{n}: {' '.join(a)}" for n, a, _ in SESSIONS])
def test_shown_output_is_what_the_command_prints(name, args, output):
    env = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "GITHUB_ACTIONS")}
    result = subprocess.run([sys.executable, "-m", "ostik", *args], cwd=ROOT, capture_output=True, text=True,
                            env=env, timeout=120)
    assert without_timing(result.stdout.splitlines()) == without_timing(output)


def test_the_ci_job_runs_its_ostik_steps(tmp_path):
    # The job's ostik commands, in a project laid out as the job expects: the
    # bundled policy, and the bundled traces as the recorded ones.
    (job,) = code(section(page("ci.md"), "A CI job for an agent's policy"), "yaml")
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
    block = code(page("python.md"), "python")[0]
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    result = subprocess.run([sys.executable, "-c", block], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    first_line = result.stdout.splitlines()[0]
    assert first_line == "1 ['deny_list', 'require_run_tests']"
    assert (tmp_path / "agent-trace.jsonl").read_text() == '{"args":{"path":"src/app.py"},"tool":"read_file"}\n'


def test_the_accumulator_example_runs(tmp_path):
    (block,) = code(section(page("scale-out.md"), "Coverage and audits in pieces"), "python")
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


@pytest.mark.parametrize(("name", "tools"), [("guard.md", ["read_file", "force_push", "edit_file", "git_commit"]),
                                             ("README.md", ["read_file", "force_push"])])
def test_guard_example_prints_what_it_says(tmp_path, name, tools):
    block = code(page(name), "python")[0]
    assert "ostik.Guard(" in block
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    result = subprocess.run([sys.executable, "-c", block], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    # Every print is followed by the line it prints, as a comment.
    said = [line.split("  # ", 1)[1] for line in block.splitlines() if line.strip().startswith("print(")]
    assert result.stdout.splitlines() == said
    lines = (tmp_path / "guarded-run.jsonl").read_text().splitlines()
    assert [json.loads(line)["tool"] for line in lines] == tools


def test_the_guard_agent_runs_and_its_trace_explains_alike(tmp_path):
    trace = tmp_path / "guarded.jsonl"
    run = subprocess.run([sys.executable, str(ROOT / "examples" / "guard_agent.py"), str(trace)],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[-1] == "5 calls ran, 3 refused; end of run: all checks pass"
    refused = [line.split()[1] for line in lines[:-1] if " refused " in line]
    assert refused == ["edit_file", "git_commit", "force_push"]
    explained = subprocess.run([sys.executable, "-m", "ostik", "explain", "examples/policy.yaml", str(trace)],
                               cwd=ROOT, capture_output=True, text=True, timeout=120)
    # The file holds the refusals beside the steps that ran: explain shows them where they happened, and
    # judges the steps as the session did (every one allowed).
    out = explained.stdout.splitlines()
    assert [line.split()[0] for line in out if "  refused live  " in line] == refused
    assert not [line for line in out if "  blocked  " in line]
    assert out[-1] == "PASS: 5 steps, none blocked; 3 refused attempts"


@pytest.mark.parametrize("index", range(6))
def test_policy_examples_load_cleanly(tmp_path, index):
    blocks = code(page("policy.md"), "yaml")
    assert len(blocks) == 6
    text = blocks[index] if blocks[index].startswith("version:") else "version: '1'\n" + blocks[index]
    path = tmp_path / "policy.yaml"
    path.write_text(text)
    result = subprocess.run([sys.executable, "-m", "ostik", "check", "--strict", str(path)], capture_output=True,
                            text=True, timeout=120)
    assert (result.returncode, result.stderr) == (0, "")


def operator_table():
    """(operator, example) for every row of the table of argument constraint operators."""
    rows = re.findall(r"^\| `(\w+)` \|.*\| `(.+)` \|$", section(page("policy.md"), "Argument rules"), flags=re.MULTILINE)
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


@pytest.mark.parametrize(("name", "text"), pages(), ids=[name for name, _ in pages()])
def test_every_code_block_of_a_page_is_well_formed(name, text):
    # The blocks that no other test runs are at least what their language reads.
    for language, body in code_blocks(text):
        if language == "python":
            compile(body, name, "exec")
        elif language == "yaml":
            assert yaml.safe_load(body) is not None
        elif language == "json":
            # One document (a settings file), or JSON lines (a trace).
            try:
                json.loads(body)
            except json.JSONDecodeError:
                for line in body.splitlines():
                    json.loads(line)
        elif language == "console":
            assert body.startswith("$ "), body
        else:
            assert language in ("sh", "text"), f"{name}: a code block needs its language: {body[:60]!r}"


def test_the_readme_is_one_screen_and_its_links_lead_somewhere():
    readme = page("README.md")
    assert len(readme.splitlines()) <= 200
    targets = re.findall(r"\]\(([^)#]+)[^)]*\)", readme)
    assert "docs/index.md" in targets
    assert [target for target in targets if not (ROOT / target).is_file()] == []


def test_the_site_build_fails_on_a_broken_link_and_on_a_page_left_out_of_the_navigation(tmp_path):
    shutil.copytree(ROOT / "docs", tmp_path / "docs")
    for name in ["mkdocs.yml", "CHANGELOG.md", "SECURITY.md"]:
        shutil.copy(ROOT / name, tmp_path / name)
    with open(tmp_path / "docs" / "ci.md", "a") as ci:
        ci.write("\n[the rules](policy.md#no-such-heading) and [a page](no-such-page.md)\n")
    (tmp_path / "docs" / "unlisted.md").write_text("# Unlisted\n")
    result = subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict"], cwd=tmp_path, capture_output=True,
                            text=True, env={**os.environ, "NO_MKDOCS_2_WARNING": "1"}, timeout=600)
    assert result.returncode != 0
    assert "does not contain an anchor '#no-such-heading'" in result.stderr
    assert "contains a link 'no-such-page.md', but the target is not found" in result.stderr
    assert "not included in the \"nav\" configuration:\n  - unlisted.md" in result.stderr


def code_folders():
    """The folders the architecture page must name: the top-level ones (those git keeps), every folder of
    the core, the binding and the package, and the C++ checks."""
    def kept(path):
        return path.is_dir() and not re.fullmatch(r"\..*|build.*|dist|site|.*\.egg-info|__pycache__", path.name)

    top = {path for path in ROOT.iterdir() if kept(path) or path.name == ".ci"} - {ROOT / "core", ROOT / "binding",
                                                                                   ROOT / "python"}
    inner = [child for parent in ["core", "binding", "python/ostik"] for child in (ROOT / parent).iterdir()
             if kept(child)]
    return {p.relative_to(ROOT).as_posix() for p in [*top, *inner, ROOT / "python" / "ostik", ROOT / "tests" / "cpp"]}


def test_the_architecture_page_has_a_line_for_every_folder_and_names_only_what_exists():
    listed = [entry.rstrip("/") for entry in
              re.findall(r"^- `([^`]+)`:", section(page("architecture.md"), "Folders"), flags=re.MULTILINE)]
    assert [entry for entry in listed if not (ROOT / entry).exists()] == []
    assert len(listed) == len(set(listed))
    unnamed = [folder for folder in code_folders()
               if not any(entry == folder or entry.startswith(folder + "/") for entry in listed)]
    assert sorted(unnamed) == []
    # Every path the page names in backticks is there, files included.
    named = re.findall(r"`((?:core|binding|python|tests|scripts|bench|fuzz|examples|docs)/[\w./]*)`",
                       page("architecture.md"))
    assert [path for path in named if not (ROOT / path).exists()] == []
