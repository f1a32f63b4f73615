"""Reading transcripts in other formats (ostik.formats): realistic files, the shapes each format
takes, broken files with their exact messages, and telling the formats apart."""

import importlib
import json
import warnings
from pathlib import Path

import pytest

from ostik import formats
from ostik.formats import AmbiguousFormatError, TraceFormatError, TraceFormatWarning

DATA = Path(__file__).resolve().parent / "data" / "formats"
TRANSCRIPTS = {
    "openai-chat.json": "openai-chat",
    "openai-chat-sessions.jsonl": "openai-chat",
    "openai-responses.jsonl": "openai-responses",
    "anthropic.json": "anthropic",
    "otel.jsonl": "otel",
    "mcp.jsonl": "mcp",
    "claude-code.jsonl": "claude-code",
    "codex.jsonl": "codex",
    "gemini-cli.json": "gemini-cli",
    "langchain.json": "langchain",
    "agentdojo-banking.json": "openai-chat",
}


def equivalent(name):
    """The hand-written ostik trace of a transcript: its traces, one per array line or the file's object lines."""
    return formats.read(DATA / (name.rsplit(".", 1)[0] + ".ostik.jsonl"), "ostik")


def write(tmp_path, text, name="t.jsonl"):
    path = tmp_path / name
    path.write_text(text if isinstance(text, str) else "".join(json.dumps(v) + "\n" for v in text))
    return str(path)


@pytest.mark.parametrize(("name", "fmt"), TRANSCRIPTS.items())
def test_realistic_transcripts_read_as_their_hand_written_traces(name, fmt):
    module = importlib.import_module(f"ostik.formats.{fmt.replace('-', '_')}")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert formats.read(DATA / name, fmt) == equivalent(name)
        assert module.read(str(DATA / name)) == equivalent(name)
        assert formats.detect(DATA / name) == fmt


@pytest.mark.parametrize(("name", "fmt"), TRANSCRIPTS.items())
def test_parsed_objects_read_like_their_files(name, fmt):
    text = (DATA / name).read_text()
    parsed = json.loads(text) if name.endswith(".json") else [json.loads(line) for line in text.splitlines()]
    if name in ("openai-chat-sessions.jsonl", "otel.jsonl"):
        expected = equivalent(name) if fmt == "otel" else [[step for trace in equivalent(name) for step in trace]]
    else:
        expected = equivalent(name)
    if name == "openai-chat-sessions.jsonl":
        parsed = [message for conversation in parsed for message in conversation["messages"]]
    assert formats.read(parsed, fmt) == expected
    assert formats.read(parsed) == expected


def test_where_steps_and_traces_come_from():
    chat = formats.read_file(str(DATA / "openai-chat.json"))
    assert chat.traces[0].where(1) == f"{DATA / 'openai-chat.json'}: messages[2].tool_calls[1]"
    sessions = formats.read_file(str(DATA / "openai-chat-sessions.jsonl"))
    assert [t.label for t in sessions.traces] == [f"{DATA / 'openai-chat-sessions.jsonl'}: line {n}" for n in (1, 2)]
    assert sessions.traces[1].where(2) == f"{DATA / 'openai-chat-sessions.jsonl'}: line 2: messages[4].tool_calls[1]"
    otel = formats.read_file(str(DATA / "otel.jsonl"))
    assert [t.place for t in otel.traces] == ["trace 4bf92f3577b34da6a3ce929d0e0e4736",
                                              "trace 0af7651916cd43dd8448eb211c80319c"]
    assert otel.traces[0].where(0) == f"{DATA / 'otel.jsonl'}: line 1: resourceSpans[0].scopeSpans[0].spans[2]"
    mcp = formats.read_file(str(DATA / "mcp.jsonl"))
    assert mcp.traces[0].where(2) == f"{DATA / 'mcp.jsonl'}: line 8: [1]"


@pytest.mark.parametrize(
    ("fmt", "value", "steps"),
    [
        # Chat: the legacy function_call, a lone tool call line, arguments given as an object, empty arguments.
        ("openai-chat", [{"role": "assistant", "function_call": {"name": "f", "arguments": '{"a": [1, 2]}'}}],
         [{"tool": "f", "args": {"a": [1, 2]}}]),
        ("openai-chat", [{"role": "assistant", "tool_calls": [
            {"type": "function", "function": {"name": "f", "arguments": {"x": 1}}},
            {"type": "function", "function": {"name": "g", "arguments": ""}},
            {"type": "function", "function": {"name": "h"}}]},
            {"role": "user", "tool_calls": [{"function": {"name": "not_a_call"}}]}],
         [{"tool": "f", "args": {"x": 1}}, {"tool": "g"}, {"tool": "h"}]),
        ("openai-chat", {"role": "assistant", "content": "no calls"}, []),
        # AgentDojo's runs: args as a value, no args, text parts joined, a failed tool's error as its result.
        ("openai-chat", {"messages": [
            {"role": "assistant", "content": None, "tool_calls": [
                {"function": "f", "args": {"x": [1]}, "id": "a"}, {"function": "g", "args": None, "id": "b"},
                {"function": "h", "args": {}, "id": "c"}]},
            {"role": "tool", "content": [{"type": "text", "content": "one"}, {"type": "text", "content": "two"}],
             "tool_call_id": "a", "error": None},
            {"role": "tool", "content": "", "tool_call_id": "b", "error": "KeyError: 'x'"},
            {"role": "tool", "content": [{"type": "text", "text": "kept as it is"}], "tool_call_id": "c"}]},
         [{"tool": "f", "args": {"x": [1]}, "result": "one\ntwo", "is_error": False},
          {"tool": "g", "result": "KeyError: 'x'", "is_error": True},
          {"tool": "h", "args": {}, "result": [{"type": "text", "text": "kept as it is"}]}]),
        # AgentDojo results without the call's id find the call by its function and args.
        ("openai-chat", [
            {"role": "assistant", "tool_calls": [{"function": "f", "args": {"n": 1}, "id": None},
                                                 {"function": "f", "args": {"n": 2}, "id": None},
                                                 {"function": "g", "args": None, "id": None}]},
            {"role": "tool", "content": "second", "tool_call_id": None, "tool_call": {"function": "f", "args": {"n": 2}}},
            {"role": "tool", "content": "first", "tool_call": {"function": "f", "args": {"n": 9}}},
            {"role": "tool", "content": "nobody's", "tool_call": {"function": "f", "args": {"n": 1}}},
            {"role": "tool", "content": "", "tool_call": {"function": "g"}, "error": "boom"}],
         [{"tool": "f", "args": {"n": 1}, "result": "first"}, {"tool": "f", "args": {"n": 2}, "result": "second"},
          {"tool": "g", "result": "boom", "is_error": True}]),
        # Responses: a response inside a list of items, a message in the short form, built-in tool calls.
        ("openai-responses", [{"role": "user", "content": "hi"}, {"output": [{"type": "function_call", "name": "f",
                                                                              "arguments": "[1]"}]},
                              {"type": "web_search_call", "status": "completed"}],
         [{"tool": "f", "args": [1]}]),
        ("openai-responses", {"type": "custom_tool_call", "name": "sql", "input": "SELECT 1"},
         [{"tool": "sql", "args": "SELECT 1"}]),
        # Anthropic: a response message alone; tool_use blocks of user messages are not calls.
        ("anthropic", {"id": "msg_1", "type": "message", "role": "assistant", "stop_reason": "tool_use",
                       "content": [{"type": "mcp_tool_use", "id": "m", "name": "echo", "server_name": "s",
                                    "input": {"t": "ü"}}]},
         [{"tool": "echo", "args": {"t": "ü"}}]),
        ("anthropic", [{"role": "user", "content": [{"type": "tool_use", "name": "x", "input": {}}]}], []),
        # OTel: a tool span that is only named, typed values, a trace of model calls only, spans of no agent.
        ("otel", {"resourceSpans": [{"scopeSpans": [{"spans": [
            {"traceId": "AA", "startTimeUnixNano": "5", "attributes": [
                {"key": "gen_ai.tool.name", "value": {"stringValue": "t"}},
                {"key": "gen_ai.tool.call.arguments", "value": {"kvlistValue": {"values": [
                    {"key": "d", "value": {"doubleValue": "NaN"}}, {"key": "b", "value": {"bytesValue": "AAE="}},
                    {"key": "e", "value": {}}, {"key": "n", "value": {"intValue": "-3"}}]}}}]},
            {"traceId": "bb", "attributes": [{"key": "gen_ai.operation.name", "value": {"stringValue": "chat"}}]},
            {"traceId": "cc", "attributes": [{"key": "http.route", "value": {"stringValue": "/"}}]},
            {"traceId": "aa", "startTimeUnixNano": 4, "attributes": [
                {"key": "gen_ai.operation.name", "value": {"stringValue": "execute_tool"}},
                {"key": "gen_ai.tool.name", "value": {"stringValue": "first"}}]}]}]}]},
         None),
        # MCP: a logged array of messages with a batch inside; requests other than tools/call are dropped.
        ("mcp", [{"jsonrpc": "2.0", "id": 1, "method": "tools/list"},
                 [{"jsonrpc": "2.0", "id": 2, "method": "tools/call", "params": {"name": "a", "arguments": {}}}],
                 {"jsonrpc": "2.0", "id": 3, "method": "tools/call", "params": {"name": "b", "arguments": None}}],
         [{"tool": "a", "args": {}}, {"tool": "b"}]),
    ],
)
def test_shapes_each_format_takes(fmt, value, steps):
    traces = formats.read(value, fmt)
    if fmt == "otel":
        nan = traces[0][1]["args"].pop("d")
        assert nan != nan
        # Each call carries its span's start, in seconds.
        assert traces == [[{"tool": "first", "ts": 4e-09}, {"tool": "t", "args": {"b": "AAE=", "e": None, "n": -3},
                                                            "ts": 5e-09}], []]
    else:
        assert traces == [steps]


def test_arguments_that_are_not_json_are_kept_with_a_warning(tmp_path):
    path = write(tmp_path, [{"role": "assistant", "tool_calls": [
        {"id": "c", "type": "function", "function": {"name": "f", "arguments": '{"a": 1'}}]}])
    with pytest.warns(TraceFormatWarning) as caught:
        assert formats.read(path, "openai-chat") == [[{"tool": "f", "args": '{"a": 1'}]]
    assert [str(w.message) for w in caught] == [
        f"{path}: line 1: tool_calls[0].function.arguments: not valid JSON (Expecting ',' delimiter at column 8); "
        "kept as a string"]
    otel = {"resourceSpans": [{"scopeSpans": [{"spans": [{"traceId": "ab", "attributes": [
        {"key": "gen_ai.tool.name", "value": {"stringValue": "t"}},
        {"key": "gen_ai.tool.call.arguments", "value": {"stringValue": "ls -la"}}]}]}]}]}
    with pytest.warns(TraceFormatWarning, match=r"^resourceSpans\[0\]\.scopeSpans\[0\]\.spans\[0\]\.attributes\[1\]"
                                                r"\.value: not valid JSON \(Expecting value at column 1\); kept as a "
                                                r"string$"):
        assert formats.read(otel) == [[{"tool": "t", "args": "ls -la"}]]


def test_empty_files_are_one_empty_trace(tmp_path):
    for fmt in formats.FORMATS:
        assert formats.read(write(tmp_path, "\n"), fmt) == [[]]


CHAT_TURNS = [{"role": "system", "content": "s"}, {"role": "user", "content": "u"},
              {"role": "assistant", "content": "a"}]
SPAN = "resourceSpans[0].scopeSpans[0].spans[0]"


def otel_span(*attributes, **fields):
    span = {"traceId": "ab", "startTimeUnixNano": "1", "attributes": list(attributes), **fields}
    return {"resourceSpans": [{"scopeSpans": [{"spans": [span]}]}]}


def tool_name(value):
    return {"key": "gen_ai.tool.name", "value": value}


BROKEN = [
    # openai-chat
    ("openai-chat", "t.json", {"model": "gpt-4.1"},
     'expected an array of messages, an object with "messages" or a message (an object with "role"), found an object'),
    ("openai-chat", "t.json", {"messages": {"role": "user"}}, "messages: expected an array of messages, found an object"),
    ("openai-chat", "t.json", [{"role": "user", "content": "hi"}, "assistant"],
     '[1]: expected a message (an object with "role"), found "assistant"'),
    ("openai-chat", "t.json", [{"content": "hi"}],
     "[0].role: missing, expected the role of the message's author (a string)"),
    ("openai-chat", "t.json", {"messages": [*CHAT_TURNS, {"role": "assistant", "tool_calls": {"id": "c"}}]},
     "messages[3].tool_calls: expected an array of tool calls, found an object"),
    ("openai-chat", "t.json", {"messages": [*CHAT_TURNS, {"role": "assistant", "tool_calls": [
        {"id": "c", "type": "function", "function": {"arguments": "{}"}}]}]},
     "messages[3].tool_calls[0].function.name: missing, expected the tool name (a string)"),
    ("openai-chat", "t.json", {"messages": [*CHAT_TURNS, {"role": "assistant", "tool_calls": [
        {"id": "c", "type": "function", "function": {"name": None, "arguments": "{}"}}]}]},
     "messages[3].tool_calls[0].function.name: expected the tool name (a string), found null"),
    ("openai-chat", "t.json", [{"role": "assistant", "tool_calls": [{"id": "c", "type": "function"}]}],
     '[0].tool_calls[0].function: missing, expected the called function (an object with "name")'),
    ("openai-chat", "t.json", [{"role": "assistant", "tool_calls": [{"function": "f", "args": "x=1", "id": "c"}]}],
     "[0].tool_calls[0].args: expected the call's arguments (an object), found \"x=1\""),
    ("openai-chat", "t.json", [{"role": "assistant", "tool_calls": [{"id": "c", "type": "retrieval"}]}],
     '[0].tool_calls[0].type: expected "function" or "custom", found "retrieval"'),
    ("openai-chat", "t.jsonl", [{"role": "user", "content": "u"}, 42],
     'line 2: expected an array of messages, an object with "messages" or a message (an object with "role"), '
     "found a number"),
    ("openai-chat", "t.jsonl", [{"role": "user", "content": "u"},
                                {"role": "assistant", "tool_calls": [{"type": "function", "function": {"name": 3}}]}],
     "line 2: tool_calls[0].function.name: expected the tool name (a string), found a number"),
    ("openai-chat", "t.jsonl", '{"role": "user", "content": "u"}\n{"role": "assistant", tool_calls: []}\n',
     "line 2: not valid JSON: Expecting property name enclosed in double quotes (column 23)"),
    ("openai-chat", "t.json", '{\n  "messages": [\n    {"role": "user",}\n  ]\n}\n',
     "line 3 column 21: not valid JSON: Expecting property name enclosed in double quotes"),
    # openai-responses
    ("openai-responses", "t.json", {"id": "resp_1", "status": "completed"},
     'expected an array of items, a response (an object with "output") or an item (an object with "type"), '
     "found an object"),
    ("openai-responses", "t.json", {"object": "response", "output": None},
     "output: expected an array of output items, found null"),
    ("openai-responses", "t.json", [{"type": "function_call", "call_id": "c", "arguments": "{}"}],
     "[0].name: missing, expected the tool name (a string)"),
    ("openai-responses", "t.json", [{"type": "reasoning"}, {"id": "fc_1", "name": "f"}],
     "[1].type: missing, expected the item's type (a string)"),
    ("openai-responses", "t.jsonl", [{"object": "response", "output": []},
                                     {"object": "response", "output": [{"type": "function_call", "name": 7}]}],
     "line 2: output[0].name: expected the tool name (a string), found a number"),
    # anthropic
    ("anthropic", "t.json", [{"role": "assistant"}],
     "[0].content: missing, expected the message content (a string or an array of content blocks)"),
    ("anthropic", "t.json", {"messages": [{"role": "assistant", "content": 5}]},
     "messages[0].content: expected the message content (a string or an array of content blocks), found a number"),
    ("anthropic", "t.json", [{"role": "user", "content": "u"},
                             {"role": "assistant", "content": [{"type": "tool_use", "id": "t", "input": {}}]}],
     "[1].content[0].name: missing, expected the tool name (a string)"),
    ("anthropic", "t.json", [{"role": "assistant", "content": [{"text": "hi"}]}],
     "[0].content[0].type: missing, expected the block's type (a string)"),
    ("anthropic", "t.jsonl", [{"role": "user", "content": "u"}, {"type": "message_start"}],
     'line 2: expected an array of messages, an object with "messages" or a message (an object with "role"), '
     "found an object"),
    # otel
    ("otel", "t.json", {"resourceLogs": []},
     'expected an OTLP/JSON trace export (an object with "resourceSpans"), found an object'),
    ("otel", "t.json", otel_span({"key": "gen_ai.operation.name", "value": {"stringValue": "execute_tool"}}),
     f'{SPAN}.attributes: missing "gen_ai.tool.name", expected the tool name of this execute_tool span'),
    ("otel", "t.json", otel_span(tool_name({"intValue": "3"})),
     f"{SPAN}.attributes[0].value: expected the tool name (a stringValue), found a number"),
    ("otel", "t.json", otel_span(tool_name({"text": "t"})),
     f"{SPAN}.attributes[0].value: expected a typed value (an object with one of stringValue, boolValue, intValue, "
     "doubleValue, arrayValue, kvlistValue or bytesValue), found an object"),
    ("otel", "t.json", otel_span(tool_name({"stringValue": "t"}), traceId=None),
     f"{SPAN}.traceId: expected the trace id (a hex string), found null"),
    ("otel", "t.json", otel_span(tool_name({"stringValue": "t"}), startTimeUnixNano="soon"),
     f'{SPAN}.startTimeUnixNano: expected the start time (nanoseconds, a decimal string or number), found "soon"'),
    ("otel", "t.json", otel_span(tool_name({"stringValue": "t"}), attributes={"gen_ai.tool.name": "t"}),
     f"{SPAN}.attributes: expected an array of attributes, found an object"),
    ("otel", "t.jsonl", [otel_span(), {"role": "user", "content": "u"}],
     'line 2: expected an OTLP/JSON trace export (an object with "resourceSpans"), found an object'),
    # mcp
    ("mcp", "t.jsonl", [{"id": 1, "method": "tools/call", "params": {"name": "a"}}],
     'line 1: expected a JSON-RPC message (an object with "jsonrpc": "2.0"), found an object'),
    ("mcp", "t.jsonl", [{"jsonrpc": "1.0", "id": 1, "method": "tools/list"}],
     'line 1: jsonrpc: expected "2.0", found "1.0"'),
    ("mcp", "t.jsonl", [{"jsonrpc": "2.0", "id": 1, "method": "tools/list"},
                        {"jsonrpc": "2.0", "id": 2, "method": "tools/call"}],
     'line 2: params: missing, expected the call\'s parameters (an object with "name")'),
    ("mcp", "t.jsonl", [{"jsonrpc": "2.0", "id": 2, "method": "tools/call", "params": {"arguments": {}}}],
     "line 1: params.name: missing, expected the tool name (a string)"),
    ("mcp", "t.jsonl", [{"jsonrpc": "2.0", "method": "notifications/initialized"},
                        [{"jsonrpc": "2.0", "id": 5, "method": "tools/call", "params": {"name": "a"}},
                         {"jsonrpc": "2.0", "id": 6, "method": "tools/call", "params": {"name": None}}]],
     "line 2: [1].params.name: expected the tool name (a string), found null"),
    ("mcp", "t.jsonl", "[" * 900 + "]" * 900 + "\n",
     "line 1: [0][0]: expected a JSON-RPC message (an object with \"jsonrpc\": \"2.0\"), found an array"),
    # coding-agent logs: JSON lines, or one array of them
    ("claude-code", "t.json", {"type": "assistant"},
     "expected a Claude Code session (JSON lines, or an array of its lines), found an object"),
    ("codex", "t.json", {"type": "response_item"},
     "expected a Codex rollout (JSON lines, or an array of its lines), found an object"),
    ("codex", "t.json", [{"type": "response_item"}, 3],
     '[0].payload: missing, expected a response item (an object with "type")'),
    # ostik
    ("ostik", "t.jsonl", [{"tool": "a"}, "b"],
     "line 2: expected a JSON object (one step) or array (one trace), found a string"),
]


@pytest.mark.parametrize(("fmt", "name", "content", "message"), BROKEN,
                         ids=[f"{case[0]}-{i}" for i, case in enumerate(BROKEN)])
def test_broken_files_name_the_place_and_what_was_expected(tmp_path, fmt, name, content, message):
    if not isinstance(content, (str, list)) or name.endswith(".json"):
        content = content if isinstance(content, str) else json.dumps(content)
    path = write(tmp_path, content, name)
    with pytest.raises(TraceFormatError) as info:
        formats.read(path, fmt)
    assert str(info.value) == f"{path}: {message}"
    assert isinstance(info.value, ValueError)


def test_unreadable_files_and_unknown_formats(tmp_path):
    with pytest.raises(TraceFormatError, match=r"absent\.json: No such file or directory$"):
        formats.read(tmp_path / "absent.json", "anthropic")
    with pytest.raises(ValueError, match=r"^unknown trace format 'autogen'; expected one of: auto, openai-chat, "):
        formats.read([], "autogen")


@pytest.mark.parametrize(
    ("records", "expected"),
    [
        ([], "ostik"),
        ([{"tool": "a"}, {"name": "b", "arguments": {}}, {}], "ostik"),
        ([{"foo": 1}, {"bar": 2}], TraceFormatError),  # nothing any format marks, and no step names a tool
        ([{"tool": "a"}, {"bar": 2}], TraceFormatError),  # not every record is a step
        ("[" * 900 + "]" * 900 + "\n", "ostik"),
        ([{"type": "function", "function": {"name": "refund", "arguments": "{}"}}], "openai-chat"),
        ([{"role": "system", "content": "s"}, {"role": "user", "content": [{"type": "text", "text": "hi"}]}],
         "openai-chat"),
        ([{"model": "claude-sonnet-4-5", "system": "s", "messages": [{"role": "user", "content": "hi"}]}],
         "anthropic"),
        ([{"role": "assistant", "content": [{"type": "text", "text": "a"}, {"type": "tool_use", "name": "t"}]}],
         "anthropic"),
        ([{"role": "user", "content": "hi"}, {"type": "function_call", "name": "f", "arguments": "{}"}],
         "openai-responses"),
        ([{"type": "message", "role": "assistant", "content": [{"type": "output_text", "text": "x"}]}],
         "openai-responses"),
        ([{"role": "user", "content": "hi"}, {"role": "assistant", "content": "hello"}],
         ("openai-chat", "openai-responses", "anthropic")),
        ([{"messages": [{"role": "user", "content": "hi"}]}], ("openai-chat", "anthropic")),
        ([{"jsonrpc": "2.0", "method": "tools/list", "id": 1}, {"tool": "a"}], ("mcp", "ostik")),
    ],
)
def test_detection(tmp_path, records, expected):
    path = write(tmp_path, records)
    if isinstance(expected, str):
        assert formats.detect(path) == expected
        return
    if expected is TraceFormatError:
        with pytest.raises(TraceFormatError) as refused:
            formats.detect(path)
        assert not isinstance(refused.value, AmbiguousFormatError)
        assert "in no format ostik reads" in str(refused.value)
        return
    with pytest.raises(AmbiguousFormatError) as info:
        formats.detect(path)
    assert info.value.candidates == expected
    if expected == ("mcp", "ostik"):
        assert str(info.value) == f"{path}: cannot tell the format: it holds records of mcp (line 1) and ostik (line 2)"
    else:
        assert str(info.value) == (f"{path}: cannot tell the format: it could be {', '.join(expected[:-1])} "
                                   f"or {expected[-1]}")
