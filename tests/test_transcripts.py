"""Transcripts read without a silent wrong pass: the coding agents' logs, results carried, files
in no format refused, a named format checked, records with two formats' marks refused,
unreadable arguments left to on_error, documents one after another, OTel order, and the
command line on directories, special files and outputs that are inputs."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from docs_text import code, page, section
from hypothesis import given, settings
from hypothesis import strategies as st

import ostik
from ostik import formats
from ostik.formats import AmbiguousFormatError, TraceFormatError
from test_cli import clean_env, ostik_cli, write_lines

DATA = Path(__file__).resolve().parent / "data" / "formats"
DENY_RM = "version: '1'\nname: deny-only\ntools:\n  deny: [rm, Bash]\n"
SHELL_LIMIT = "version: '1'\nname: limit\ntools:\n  arg_constraints:\n    shell:\n      n: {max: 5}\n"


@pytest.fixture
def policy(tmp_path):
    def write(text=DENY_RM):
        path = tmp_path / "policy.yaml"
        path.write_text(text)
        return str(path)
    return write


def claude_line(kind, content, uuid="u1", parent=None, **extra):
    return {"parentUuid": parent, "isSidechain": False, "sessionId": "s1", "type": kind, "uuid": uuid,
            "message": {"role": kind, "content": content}, **extra}


def codex_line(kind, payload):
    return {"timestamp": "2026-03-04T10:00:00.000Z", "type": kind, "payload": payload}


# --- files in no format ostik reads; a named format that is not the file's -----------------------------------------

def test_a_coding_agents_log_denying_a_call_fails_instead_of_passing_as_unknown_steps(tmp_path, policy):
    # Once detected as ostik steps of tool 'unknown', these passed a deny-only policy with exit 0.
    session = write_lines(tmp_path / "session.jsonl",
                          json.dumps(claude_line("user", "clean up", "u1")),
                          json.dumps(claude_line("assistant", [{"type": "tool_use", "id": "t1", "name": "Bash",
                                                                "input": {"command": "rm -rf build"}}], "u2", "u1")))
    rollout = write_lines(tmp_path / "rollout.jsonl",
                          json.dumps(codex_line("session_meta", {"id": "r1", "cwd": "/w"})),
                          json.dumps(codex_line("response_item", {"type": "function_call", "name": "rm",
                                                                  "arguments": '{"path": "/"}', "call_id": "c1"})))
    for path, fmt in ((session, "claude-code"), (rollout, "codex")):
        result = ostik_cli("test", policy(), path)
        assert result.returncode == 1, result.stderr
        assert result.stderr == f"{path}: detected format {fmt}\n"


@pytest.mark.parametrize("record, looks", [
    ({"type": "summary", "summary": "s"}, 'an object with "type": "summary" and keys "summary"'),
    ({"event": "start", "at": 1}, 'an object with keys "event", "at"'),
])
def test_a_file_in_no_format_is_refused_saying_what_its_first_record_looks_like(tmp_path, policy, record, looks):
    path = write_lines(tmp_path / "t.jsonl", json.dumps(record), json.dumps({"tool": "a"}))
    result = ostik_cli("test", policy(), path)
    assert result.returncode == 2
    assert result.stderr.startswith(f"{path}: line 1: in no format ostik reads: this first record that is not a "
                                    f"step is {looks}; ostik reads openai-chat, openai-responses, anthropic, otel, ")
    with pytest.raises(TraceFormatError, match="in no format ostik reads"):
        formats.read(path)


def test_a_wrong_format_named_is_refused_with_the_format_the_file_looks_like(policy):
    # Read as Chat Completions, this Anthropic conversation had no calls at all and passed.
    result = ostik_cli("test", "--format", "openai-chat", policy(), DATA / "anthropic.json")
    assert result.returncode == 2
    assert "no record of the file is in format openai-chat: this record looks like anthropic" in result.stderr
    with pytest.raises(TraceFormatError, match="looks like claude-code"):
        formats.read(DATA / "claude-code.jsonl", "ostik")


def test_a_record_with_two_formats_marks_is_ambiguous_never_a_drop(tmp_path, policy):
    message = {"role": "assistant", "content": [{"type": "tool_use", "id": "t", "name": "rm", "input": {}}],
               "tool_calls": [{"id": "c", "type": "function", "function": {"name": "ls", "arguments": "{}"}}]}
    path = write_lines(tmp_path / "t.jsonl", json.dumps(message))
    for fmt in ("auto", "openai-chat", "anthropic"):
        with pytest.raises(AmbiguousFormatError) as info:
            formats.read(path, fmt)
        assert info.value.candidates == ("openai-chat", "anthropic")
        result = ostik_cli("test", "--format", fmt, policy(), path)
        assert result.returncode == 2 and "cannot tell the format" in result.stderr


# --- arguments that cannot be read -------------------------------------------------------------------------------

def deep_json(levels):
    return "[" * levels + "]" * levels


@pytest.mark.parametrize("text, problem", [
    (json.dumps({"n": 1})[:-1] + ', "deep": ' + deep_json(100000) + "}", "is nested too deeply to be read"),
    ('{"n": ' + "9" * 5000 + "}", "holds a number of more digits than can be read"),
])
def test_arguments_whose_json_text_cannot_be_read_are_judged_by_on_error(tmp_path, policy, text, problem):
    call = {"role": "assistant", "tool_calls": [{"id": "c", "type": "function",
                                                 "function": {"name": "shell", "arguments": text}}]}
    path = write_lines(tmp_path / "t.jsonl", json.dumps(call))
    steps = formats.read_file(path).traces[0].steps
    assert isinstance(steps[0]["args"], ostik.UnreadableArguments)
    blocked = ostik_cli("test", policy(SHELL_LIMIT), path)
    assert blocked.returncode == 1
    assert problem in blocked.stdout and "on_error" in blocked.stdout
    allowed = ostik_cli("test", policy(SHELL_LIMIT + "on_error: allow\n"), path)
    assert allowed.returncode == 0, allowed.stdout
    explained = ostik_cli("explain", policy(SHELL_LIMIT), path)
    assert explained.returncode == 1
    assert f"on_error: The arguments of 'shell' cannot be judged: their JSON text {problem}" in explained.stdout


def test_the_guard_leaves_unreadable_arguments_to_on_error(policy):
    from ostik.integrations.runs import call_arguments, judge

    guard = ostik.Guard(ostik.Policy.from_file(policy(SHELL_LIMIT)))
    args = call_arguments('{"n": ' + deep_json(100000) + "}")
    assert isinstance(args, ostik.UnreadableArguments)
    decision = judge(guard.session(), "shell", args, "block")
    assert decision is not None and decision.blocked_by == "on_error"
    assert "nested too deeply" in decision.reason
    assert judge(guard.session(), "shell", args, "allow") is None
    assert call_arguments("target=all") == "target=all" and call_arguments("") is None


# --- results ------------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("fmt, records, expected", [
    ("openai-chat", [{"role": "assistant", "tool_calls": [{"id": "c1", "type": "function", "function": {
        "name": "ls", "arguments": "{}"}}]}, {"role": "tool", "tool_call_id": "c1", "content": "a.py"}],
     [{"tool": "ls", "args": {}, "result": "a.py"}]),
    ("openai-responses", [{"type": "function_call", "name": "ls", "arguments": "{}", "call_id": "c1"},
                          {"type": "function_call_output", "call_id": "c1", "output": "a.py"}],
     [{"tool": "ls", "args": {}, "result": "a.py"}]),
    ("anthropic", [{"role": "assistant", "content": [{"type": "tool_use", "id": "t1", "name": "ls", "input": {}}]},
                   {"role": "user", "content": [{"type": "tool_result", "tool_use_id": "t1", "content": "no",
                                                 "is_error": True}]}],
     [{"tool": "ls", "args": {}, "result": "no", "is_error": True}]),
    ("mcp", [{"jsonrpc": "2.0", "id": 7, "method": "tools/call", "params": {"name": "ls", "arguments": {}}},
             {"jsonrpc": "2.0", "id": "7", "result": {"content": []}},
             {"jsonrpc": "2.0", "id": 7, "result": {"content": [{"type": "text", "text": "x"}], "isError": True}}],
     [{"tool": "ls", "args": {}, "result": {"content": [{"type": "text", "text": "x"}], "isError": True},
       "is_error": True}]),
    ("codex", [codex_line("response_item", {"type": "custom_tool_call", "name": "apply_patch", "input": "p",
                                            "call_id": "c"}),
               codex_line("response_item", {"type": "custom_tool_call_output", "call_id": "c", "output": "ok"})],
     [{"tool": "apply_patch", "args": "p", "ts": 1772618400.0, "result": "ok"}]),  # the line's timestamp
    ("langchain", [{"type": "ai", "data": {"content": "", "tool_calls": [{"name": "ls", "args": {}, "id": "c"}]}},
                   {"type": "tool", "data": {"content": "err", "tool_call_id": "c", "status": "error"}}],
     [{"tool": "ls", "args": {}, "result": "err", "is_error": True}]),
    ("ostik", [{"tool": "ls", "result": "a.py", "is_error": False}], [{"tool": "ls", "result": "a.py",
                                                                       "is_error": False}]),
])
def test_each_reader_pairs_results_with_their_calls_by_id(tmp_path, fmt, records, expected):
    path = write_lines(tmp_path / "t.jsonl", *map(json.dumps, records))
    assert formats.read(path, fmt) == [expected]
    assert formats.detect(path) == fmt


def test_results_are_ignored_by_the_specified_readers_and_passed_through_by_ostik_client(tmp_path, policy):
    path = tmp_path / "t.jsonl"
    client = ostik.OstikClient(str(path))
    client.record_trace({"tool": "ls", "result": {"files": ["a"]}, "is_error": False})
    del client
    steps = formats.read(str(path))[0]
    assert steps == [{"tool": "ls", "result": {"files": ["a"]}, "is_error": False}]
    explainer = ostik.TraceExplainer(ostik.Policy.from_file(policy()))
    assert json.loads(explainer.explain(steps)) == json.loads(explainer.explain([{"tool": "ls"}]))


def test_explain_verbose_shows_each_result_in_short(policy):
    result = ostik_cli("explain", "-v", policy(), DATA / "codex.jsonl")
    lines = result.stdout.splitlines()
    assert any(line.strip().startswith("result (error): {\"output\":\"1 failed") and line.endswith("...")
               for line in lines)
    assert any(line.strip() == "result: Success. Updated the following files:..." for line in lines)


# --- the coding agents' readers -------------------------------------------------------------------------------------

def test_claude_code_repeated_blocks_and_side_chains(tmp_path):
    block = {"type": "tool_use", "id": "t1", "name": "Read", "input": {"file_path": "a"}}
    lines = [claude_line("assistant", [block], "u1"), claude_line("assistant", [block], "u2", "u1"),
             {**claude_line("assistant", [{**block, "id": "t2", "name": "Grep"}], "s1"), "isSidechain": True},
             {**claude_line("assistant", [{**block, "id": "t3", "name": "Glob"}], "s2", "s1"), "isSidechain": True},
             {**claude_line("assistant", [{**block, "id": "t4", "name": "Bash"}], "x1"), "isSidechain": True,
              "agentId": "a7"}]
    path = write_lines(tmp_path / "t.jsonl", *map(json.dumps, lines))
    read = formats.read_file(path)
    assert [[s["tool"] for s in t.steps] for t in read.traces] == [["Read"], ["Grep", "Glob"], ["Bash"]]
    assert [t.place for t in read.traces] == [None, "sub-agent s1", "sub-agent a7"]


def test_langchain_shapes_read_alike(tmp_path):
    from langchain_core.load import dumpd
    from langchain_core.messages import messages_from_dict, messages_to_dict

    dump = json.loads((DATA / "langchain.json").read_text())
    messages = messages_from_dict(dump)
    assert messages_to_dict(messages) == dump  # the fixture is what LangChain writes
    expected = formats.read(DATA / "langchain.ostik.jsonl", "ostik")
    serialized = json.loads(json.dumps([dumpd(m) for m in messages]))
    for shape in (serialized, {"messages": serialized}, {"values": {"messages": dump}},
                  [m.model_dump() for m in messages]):
        assert formats.detect(shape) == "langchain"
        assert formats.read(shape) == expected


def test_gemini_cli_lines_and_saved_chats(tmp_path):
    session = json.loads((DATA / "gemini-cli.json").read_text())
    meta = {k: v for k, v in session.items() if k != "messages"}
    path = write_lines(tmp_path / "s.jsonl", json.dumps(meta), *map(json.dumps, session["messages"]),
                       json.dumps({"$set": {"lastUpdated": "x"}}))
    assert formats.read(path) == formats.read(DATA / "gemini-cli.ostik.jsonl", "ostik")
    chat = [{"role": "user", "parts": [{"text": "list"}]},
            {"role": "model", "parts": [{"functionCall": {"name": "list_directory", "args": {"path": "."}}}]},
            {"role": "user", "parts": [{"functionResponse": {"name": "list_directory",
                                                             "response": {"output": "a.py"}}}]}]
    assert formats.read(chat) == [[{"tool": "list_directory", "args": {"path": "."}, "result": "a.py",
                                    "is_error": False}]]


def test_the_sample_policy_of_the_transcripts_page_judges_a_claude_code_session(tmp_path):
    (text,) = code(section(page("transcripts.md"), "Transcripts of agent frameworks"), "yaml")
    path = tmp_path / "policy.yaml"
    path.write_text(text)
    guard = ostik.Guard(ostik.Policy.from_file(str(path)))
    main, side = formats.read(DATA / "claude-code.jsonl")
    judgement = guard.judge(main)
    # Edits after the issue was filed would fail; this session filed it last.
    assert judgement.passed
    assert not guard.judge(main + [{"tool": "Edit", "args": {"file_path": "/home/dev/shop/x"}}]).passed
    assert not guard.judge([{"tool": "Bash", "args": {"command": "rm -rf /"}}]).passed


# --- documents one after another; OTel order ------------------------------------------------------------------------

@pytest.mark.parametrize("name, text", [
    ("t.jsonl", '{\n  "tool": "a"\n}\n{\n  "tool": "rm"\n}\n'),
    ("t.json", '{"tool": "a"}\n{\n  "tool": "rm"\n}\n'),
    ("t.json", '\x1e{"tool": "a"}\n\x1e{"tool": "rm"}\n'),
    ("t.jsonl", '\x1e{"tool": "a"}\n\x1e\n{"tool":\n "rm"}\n'),
])
def test_documents_one_after_another_are_read_as_lines(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    read = formats.read_file(str(path))
    assert [step["tool"] for step in read.traces[0].steps] == ["a", "rm"]
    assert read.traces[0].step_lines[0] == 1


def otel_span(name, start, end, call_id=None, output=None):
    attributes = [{"key": "gen_ai.operation.name", "value": {"stringValue": "chat" if output else "execute_tool"}}]
    if output is None:
        attributes.append({"key": "gen_ai.tool.name", "value": {"stringValue": name}})
        attributes.append({"key": "gen_ai.tool.call.id", "value": {"stringValue": call_id}})
    else:
        attributes.append({"key": "gen_ai.output.messages", "value": {"stringValue": json.dumps(output)}})
    return {"traceId": "AB", "spanId": name, "name": name, "startTimeUnixNano": str(start),
            "endTimeUnixNano": str(end), "attributes": attributes}


def test_otel_calls_that_start_together_come_in_the_order_the_model_listed_them():
    listed = [{"role": "assistant", "parts": [{"type": "tool_call", "id": i, "name": n, "arguments": {}}
                                              for i, n in (("c3", "third"), ("c1", "first"), ("c2", "second"))]}]
    spans = [otel_span("chat", 10, 20, output=listed), otel_span("first", 30, 33, "c1"),
             otel_span("second", 30, 31, "c2"), otel_span("third", 30, 39, "c3"), otel_span("later", 40, 41, "c9"),
             otel_span("unlisted", 30, 32, "c8"), otel_span("same-unlisted", 30, 31, "c7")]
    export = {"resourceSpans": [{"scopeSpans": [{"spans": spans}]}]}
    (steps,) = formats.read(export, "otel")
    assert [s["tool"] for s in steps] == ["third", "first", "second", "same-unlisted", "unlisted", "later"]


# --- any JSON document, any reader ---------------------------------------------------------------------------------

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=8) |
    st.sampled_from(["tool_use", "tool_calls", "ai", "response_item", "gemini", "user", "assistant"]),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(
        st.sampled_from(["type", "role", "content", "tool_calls", "messages", "payload", "message", "data",
                         "parentUuid", "isSidechain", "toolCalls", "parts", "name", "tool", "args", "id",
                         "jsonrpc", "method", "params", "resourceSpans", "values", "lc", "kwargs", "function",
                         "arguments", "input", "call_id", "tool_call_id", "output", "result"]) | st.text(max_size=4),
        inner, max_size=5),
    max_leaves=20)


@settings(max_examples=300, deadline=None)
@given(document=json_values, fmt=st.sampled_from(("auto", *formats.FORMATS)))
def test_any_json_document_gives_steps_or_a_format_error(document, fmt):
    try:
        read = formats._read(document, fmt)
    except TraceFormatError:  # AmbiguousFormatError included
        return
    for trace in read.traces:
        if read.format == "ostik":
            # ostik's own steps are taken as they stand; judging them names any that is not a step.
            try:
                ANY_GUARD.judge(trace.steps)
            except ValueError:
                pass
            continue
        for step in trace.steps:
            assert isinstance(step, dict) and isinstance(step["tool"], str)
            assert step.keys() <= {"tool", "args", "result", "is_error"}


ANY_GUARD = ostik.Guard(ostik.Policy.from_file(str(Path(__file__).resolve().parents[1] / "examples" /
                                                   "policy.yaml")))


# --- directories, special files, outputs ----------------------------------------------------------------------------

def test_directories_follow_links_once_and_report_what_they_cannot_use(tmp_path, policy):
    (tmp_path / "runs" / "sub").mkdir(parents=True)
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "runs" / "ok.jsonl").write_text('{"tool": "ls"}\n')
    (tmp_path / "elsewhere" / "bad.jsonl").write_text('{"tool": "rm"}\n')
    os.symlink(tmp_path / "elsewhere", tmp_path / "runs" / "linked")
    os.symlink(tmp_path / "runs", tmp_path / "runs" / "sub" / "up")
    os.symlink(tmp_path / "nowhere", tmp_path / "runs" / "gone.jsonl")
    os.mkfifo(tmp_path / "runs" / "pipe.jsonl")
    runs = tmp_path / "runs"
    for command in ("test", "coverage", "report"):
        extra = ["-o", str(tmp_path / "page.html")] if command == "report" else []
        result = ostik_cli(command, policy(), runs, *extra, env={**clean_env(), "GITHUB_ACTIONS": "true"})
        assert result.returncode == 2, (command, result.stderr)
        assert "::error file=" + str(runs / "gone.jsonl") in result.stdout
        assert f"{runs / 'gone.jsonl'}: a dangling symbolic link" in result.stderr
        assert f"{runs / 'pipe.jsonl'}: not a regular file (a FIFO)" in result.stderr
        assert f"{runs / 'sub' / 'up'}: a symbolic link to a directory already searched" in result.stderr
    judged = ostik_cli("test", policy(), runs)
    assert "FAIL " + str(runs / "linked" / "bad.jsonl") in judged.stdout


@pytest.mark.parametrize("make", ["fifo", "device", "directory"])
def test_special_files_are_refused_at_once_unless_standard_input(tmp_path, policy, make):
    path = {"fifo": tmp_path / "pipe.jsonl", "device": Path("/dev/zero"), "directory": tmp_path}[make]
    if make == "fifo":
        os.mkfifo(path)  # with no writer: opening it to read would wait for ever
    result = ostik_cli("explain", policy(), path)
    assert result.returncode == 2 and "not a regular file" in result.stderr
    piped = subprocess.run([sys.executable, "-m", "ostik", "test", policy(), "-"], input=b'{"tool": "ls"}\n',
                           capture_output=True, timeout=60)
    assert piped.returncode == 0


def test_a_record_longer_than_the_limit_is_refused_with_its_line(tmp_path, policy):
    path = write_lines(tmp_path / "t.jsonl", '{"tool": "ls"}', json.dumps({"tool": "ls", "args": "x" * 5000}))
    result = ostik_cli("test", "--max-record-bytes", "1000", policy(), path)
    assert result.returncode == 2
    assert f"{path}: line 2: a record of more than 1000 bytes (see --max-record-bytes)" in result.stderr
    assert ostik_cli("test", policy(), path).returncode == 0
    endless = subprocess.run(f"head -c 3000000 /dev/zero | {sys.executable} -m ostik test --max-record-bytes 1000000 "
                             f"{policy()} -", shell=True, capture_output=True, timeout=60)
    assert endless.returncode == 2 and b"<stdin>: line 1: a record of more than 1000000 bytes" in endless.stderr


@pytest.mark.parametrize("option", ["--junit-xml", "-o"])
def test_an_output_that_is_an_input_is_refused_before_anything_is_written(tmp_path, policy, option):
    trace = tmp_path / "t.jsonl"
    trace.write_text('{"tool": "ls"}\n')
    os.link(trace, tmp_path / "same.xml")
    command = "test" if option == "--junit-xml" else "report"
    result = ostik_cli(command, policy(), tmp_path, option, tmp_path / "same.xml")
    assert result.returncode == 2
    assert f"{option} {tmp_path / 'same.xml'}: is the input {trace}; refusing to overwrite it" in result.stderr
    assert trace.read_text() == '{"tool": "ls"}\n'
    result = ostik_cli(command, policy(), trace, option, tmp_path / "new.out")
    assert result.returncode == 0


@pytest.mark.parametrize("args, status", [
    (["test", "POLICY", "GOOD"], 0),
    (["test", "POLICY", "BAD"], 1),
    (["test", "POLICY", "NOFORMAT"], 2),
    (["explain", "POLICY", "NOFORMAT"], 2),
    (["coverage", "POLICY", "NOFORMAT"], 2),
    (["report", "POLICY", "NOFORMAT", "-o", "PAGE"], 2),
    (["explain", "--format", "codex", "POLICY", "GOOD"], 2),
])
def test_exit_statuses(tmp_path, policy, args, status):
    names = {"POLICY": policy(), "GOOD": write_lines(tmp_path / "good.jsonl", '{"tool": "ls"}'),
             "BAD": write_lines(tmp_path / "bad.jsonl", '{"tool": "rm"}'),
             "NOFORMAT": write_lines(tmp_path / "x.jsonl", '{"event": "start"}'), "PAGE": str(tmp_path / "p.html")}
    assert ostik_cli(*[names.get(a, a) for a in args]).returncode == status


def test_a_tool_span_with_unreadable_arguments_is_recorded_as_unjudged_not_lost():
    from ostik.integrations.otel import tool_step

    class Span:
        attributes = {"gen_ai.tool.name": "shell", "gen_ai.tool.call.arguments": deep_json(100000)}

    assert tool_step(Span()) == {"tool": "shell", "unjudged": "their JSON text is nested too deeply to be read"}
