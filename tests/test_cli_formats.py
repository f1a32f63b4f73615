"""The command line on transcripts in other formats: --format, detection, and the messages for files it cannot use."""

import json
import subprocess
import sys
from pathlib import Path

import pytest
from docs_text import code, page, section

from test_cli import POLICY, clean_env, ostik_cli, write_lines
from test_formats import DATA, TRANSCRIPTS

SCRIPT = Path(sys.executable).with_name("ostik")


def console(*args):
    """Runs the installed console script, as a user would."""
    if not SCRIPT.exists():
        pytest.skip("console script not installed beside the interpreter")
    return subprocess.run([SCRIPT, *map(str, args)], capture_output=True, text=True, env=clean_env(), timeout=120)


def ostik_twin(name):
    return DATA / (name.rsplit(".", 1)[0] + ".ostik.jsonl")


@pytest.mark.parametrize(("name", "fmt"), TRANSCRIPTS.items())
def test_explain_a_transcript_gives_the_report_of_its_ostik_trace(name, fmt):
    transcript = console("explain", "--format", "auto", "--json", POLICY, DATA / name)
    twin = console("explain", "--json", POLICY, ostik_twin(name))
    assert twin.stderr == ""
    assert transcript.stderr == f"{DATA / name}: detected format {fmt}\n"
    assert (transcript.returncode, transcript.stdout) == (twin.returncode, twin.stdout)
    assert all(json.loads(report)["total_steps"] >= 2 for report in twin.stdout.splitlines())
    # Named, the format is not announced; the people's report is the same too (one trace: no labels differ).
    named = console("explain", "--format", fmt, POLICY, DATA / name)
    assert (named.returncode, named.stderr) == (twin.returncode, "")
    if twin.stdout.count("\n") == 1:
        assert named.stdout == console("explain", POLICY, ostik_twin(name)).stdout


def test_coverage_of_transcripts_matches_coverage_of_their_ostik_traces():
    transcripts = [DATA / name for name in TRANSCRIPTS]
    result = ostik_cli("coverage", "--json", POLICY, *transcripts)
    twins = ostik_cli("coverage", "--json", POLICY, *map(ostik_twin, TRANSCRIPTS))
    assert (result.returncode, result.stdout) == (twins.returncode, twins.stdout)
    assert result.stderr.splitlines() == [f"{path}: detected format {TRANSCRIPTS[path.name]}" for path in transcripts]
    human = ostik_cli("coverage", "--format", "openai-chat", POLICY, DATA / "openai-chat.json")
    assert human.returncode == 0 and human.stderr == ""
    assert human.stdout.startswith("coverage of policy 'coding-agent' version '1.2' by 1 trace (7 steps) from 1 file\n")


def test_an_ambiguous_file_is_refused_with_the_format_choices(tmp_path):
    chat = write_lines(tmp_path / "talk.jsonl", '{"role": "user", "content": "Hallo"}',
                       '{"role": "assistant", "content": "Grüß dich"}')
    result = ostik_cli("explain", POLICY, chat)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == (f"{chat}: cannot tell the format: it could be openai-chat, openai-responses or anthropic; "
                             "name it with --format NAME (openai-chat, openai-responses, anthropic, otel, mcp, "
                             "claude-code, codex, gemini-cli, langchain, ostik)\n")
    named = ostik_cli("explain", "--format", "anthropic", POLICY, chat)
    # Read as anthropic it holds no call at all, and the policy requires one.
    assert (named.returncode, named.stdout.splitlines()[-1]) == (
        1, "FAIL: 0 steps, none blocked; 1 end-of-trace check failed; blocking rules: require_run_tests")


def test_a_file_in_another_format_names_the_place(tmp_path):
    result = ostik_cli("coverage", "--format", "mcp", POLICY, DATA / "mcp.jsonl", DATA / "openai-chat.json")
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == (f"{DATA / 'openai-chat.json'}: no record of the file is in format mcp: this record "
                             "looks like openai-chat (read it with --format openai-chat, or auto)\n")
    result = ostik_cli("explain", "--format", "otel", POLICY, DATA / "anthropic.json")
    assert (result.returncode, result.stderr) == (2, f"{DATA / 'anthropic.json'}: [1]: no record of the file is in "
                                                     "format otel: this record looks like anthropic (read it with "
                                                     "--format anthropic, or auto)\n")
    # A file whose records say nothing of a format is still read in the one named, which says what it expected.
    plain = write_lines(tmp_path / "plain.jsonl", '{"role": "user", "content": "hi"}')
    result = ostik_cli("explain", "--format", "mcp", POLICY, plain)
    assert (result.returncode, result.stderr) == (2, f"{plain}: line 1: expected a JSON-RPC message (an object with "
                                                     "\"jsonrpc\": \"2.0\"), found an object\n")
    assert ostik_cli("explain", "--format", "yaml", POLICY, DATA / "mcp.jsonl").returncode == 2


def test_a_step_the_native_reader_refuses_is_found_in_the_transcript(tmp_path):
    deep = []
    for _ in range(600):
        deep = [deep]
    path = write_lines(tmp_path / "t.jsonl", json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                                                         "params": {"name": "read_file", "arguments": {"n": deep}}}))
    result = ostik_cli("explain", POLICY, path)
    assert (result.returncode, result.stderr) == (2, f"{path}: detected format mcp\n{path}: line 1: "
                                                     "Invalid tool call format: argument 'n': at n" + "[0]" * 25 +
                                                     "[..., recursion limit exceeded\n")
    # A number beyond 64 bits is no reason to refuse the file: only its call could go unjudged.
    Path(path).write_text(json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                                             "params": {"name": "read_file", "arguments": {"n": 2 ** 70}}}) + "\n")
    result = ostik_cli("explain", POLICY, path)
    assert (result.returncode, result.stdout.splitlines()[0]) == (1, "0  read_file  allowed")


def test_explain_warns_when_steps_name_no_tool(tmp_path):
    # A Chat Completions tool call read as ostik's own steps: every step becomes the tool 'unknown'.
    calls = write_lines(tmp_path / "calls.jsonl", json.dumps({"id": "call_1", "type": "function", "function": {
        "name": "refund", "arguments": '{"order": "A-17"}'}}), '{"tool": "read_file"}')
    result = ostik_cli("explain", "--format", "ostik", POLICY, calls)
    assert result.stderr == (f"warning: {calls}: 1 of 2 steps name no tool and are explained as calls of 'unknown'; "
                             "is the file in another format? (see --format)\n")
    assert result.stdout.startswith("0  unknown ")
    detected = ostik_cli("explain", "--json", POLICY,
                         write_lines(tmp_path / "one.jsonl", Path(calls).read_text().splitlines()[0]))
    assert detected.stderr == f"{tmp_path / 'one.jsonl'}: detected format openai-chat\n"
    assert json.loads(detected.stdout)["steps"][0]["tool"] == "refund"


def test_warnings_of_a_transcript_reach_stderr(tmp_path):
    path = write_lines(tmp_path / "t.jsonl", json.dumps({"type": "function_call", "name": "run_tests",
                                                         "arguments": "target=all"}))
    result = ostik_cli("explain", "--json", POLICY, path)
    assert result.stderr == (f"{path}: detected format openai-responses\nwarning: {path}: line 1: arguments: not valid "
                             "JSON (Expecting value at column 1); kept as a string\n")
    assert json.loads(result.stdout)["steps"][0]["args"] == "target=all"


def test_the_documented_command_line_of_each_format_runs():
    shown = "".join(code(section(page("transcripts.md"), "Transcripts of agent frameworks"), "sh"))
    commands = [line.split()[1:] for line in shown.splitlines() if line.startswith("ostik explain --format ")]
    assert [args[2] for args in commands] == ["openai-chat", "openai-responses", "anthropic", "otel", "mcp",
                                              "claude-code", "codex", "gemini-cli", "langchain", "ostik"]
    root = Path(__file__).resolve().parents[1]
    for args in commands:
        result = ostik_cli(*[str(root / "examples" / "policy.yaml") if a == "policy.yaml" else
                             str(root / a) if "/" in a else a for a in args])
        assert (result.returncode in (0, 1), result.stderr) == (True, ""), args
