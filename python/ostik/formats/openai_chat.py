"""OpenAI Chat Completions transcripts: the tool calls of the assistant messages.

A transcript is a conversation, a list of messages ({"role": ..., "content":
..., "tool_calls": [...]}), held in a file as:

- one JSON array of messages, or an object whose "messages" is that array (a
  request body): one trace;
- JSON lines: a line holding a message (or a single tool call, as some agents
  log them) is part of the file's trace; a line holding an array of messages,
  or an object with "messages" (a fine-tuning or evaluation set), is a whole
  trace of its own.

Every assistant message's "tool_calls" are steps, in their listed order (a
model's parallel calls keep the order it gave them). A function call's
"arguments" is JSON text and becomes the step's args; text that is not valid
JSON is kept as the string, with a warning. A custom tool's "input" is free
text and is kept as it is. The deprecated "function_call" of an assistant
message is a step too. A "tool" message's content is the result of the call
its "tool_call_id" names (a "function" message's, of the last call of that
function). An assistant message that also holds an Anthropic "tool_use"
block is ambiguous. Everything else (text, ids) is dropped.
"""

from __future__ import annotations

from typing import Any

from ostik.formats.conversations import ItemReader, conversation_traces
from ostik.formats.reading import Reading, Source, Step, child, item, read_as, shown, step
from ostik.formats.json_text import JsonSource
from ostik.formats.trace_files import Trace

NAME = "openai-chat"

# A legacy function call has no id: its result names the function instead.
_LEGACY = "\0function:"
_ANTHROPIC_CALLS = frozenset({"tool_use", "server_tool_use", "mcp_tool_use"})


def read(source: Source) -> list[list[Step]]:
    """The traces of a Chat Completions transcript (a path, or parsed JSON), each a list of steps in call order."""
    return read_as(traces_from, NAME, source)


def traces_from(source: JsonSource, reading: Reading) -> list[Trace]:
    return conversation_traces(source, reading, _message, _line_item)


def _line_item(value: dict[str, Any]) -> ItemReader | None:
    # A message, or a single tool call as some agents log them.
    if "role" in value:
        return _message
    return _tool_call if "function" in value or "custom" in value else None


def _message(message: Any, place: str, reading: Reading, steps: list[Step], places: list[str]) -> None:
    if not isinstance(message, dict):
        reading.wrong(place, 'a message (an object with "role")', message)
    role = reading.string(message, "role", place, "the role of the message's author (a string)")
    if role == "tool":
        result, is_error = _tool_result(message)
        call_id = message.get("tool_call_id")
        if not (isinstance(call_id, str) and call_id):
            _answered_by_call(steps, message.get("tool_call"), result, is_error)
            return
        reading.answered(steps, call_id, result, is_error)
        return
    if role == "function":
        reading.answered(steps, _LEGACY + str(message.get("name")), message.get("content"))
        return
    if role != "assistant":
        return
    content = message.get("content")
    if isinstance(content, list) and any(isinstance(part, dict) and isinstance(part.get("type"), str) and part["type"] in _ANTHROPIC_CALLS
                                         for part in content):
        reading.ambiguous(place, 'the message holds both OpenAI Chat\'s tool calls and an Anthropic "tool_use" '
                                 "block; read in either format, the other's calls would be dropped",
                          ("openai-chat", "anthropic"))
    legacy = message.get("function_call")
    if legacy is not None:
        _function(legacy, child(place, "function_call"), reading, steps, places)
        if isinstance(legacy, dict):
            reading.called(steps, _LEGACY + str(legacy.get("name")), steps[-1])
    calls = message.get("tool_calls")
    if calls is None:
        return
    calls_place = child(place, "tool_calls")
    if not isinstance(calls, list):
        reading.wrong(calls_place, "an array of tool calls", calls)
    for index, call in enumerate(calls):
        _tool_call(call, item(calls_place, index), reading, steps, places)


def _tool_call(call: Any, place: str, reading: Reading, steps: list[Step], places: list[str]) -> None:
    if not isinstance(call, dict):
        reading.wrong(place, "a tool call (an object)", call)
    if "type" not in call and isinstance(call.get("function"), str):
        _named_call(call, place, reading, steps, places)
        return
    kind = call.get("type", "function")
    if kind == "function":
        function = reading.member(call, "function", place, 'the called function (an object with "name")')
        _function(function, child(place, "function"), reading, steps, places, call_place=place)
        reading.called(steps, call.get("id"), steps[-1])
    elif kind == "custom":
        custom_place = child(place, "custom")
        custom = reading.member(call, "custom", place, 'the called custom tool (an object with "name")')
        if not isinstance(custom, dict):
            reading.wrong(custom_place, 'the called custom tool (an object with "name")', custom)
        tool = reading.string(custom, "name", custom_place, "the tool name (a string)")
        steps.append(step(tool, custom.get("input")))
        places.append(shown(place))
        reading.called(steps, call.get("id"), steps[-1])
    else:
        reading.wrong(child(place, "type"), '"function" or "custom"', kind)


def _function(function: Any, place: str, reading: Reading, steps: list[Step], places: list[str],
              call_place: str | None = None) -> None:
    if not isinstance(function, dict):
        reading.wrong(place, 'the called function (an object with "name")', function)
    tool = reading.string(function, "name", place, "the tool name (a string)")
    arguments = function.get("arguments")
    if isinstance(arguments, str):
        arguments = reading.arguments(arguments, child(place, "arguments"))
    steps.append(step(tool, arguments))
    places.append(shown(call_place if call_place is not None else place))


def _named_call(call: dict[str, Any], place: str, reading: Reading, steps: list[Step], places: list[str]) -> None:
    # A saved AgentDojo run's call: the function's name, its args as a value.
    arguments = call.get("args")
    if arguments is not None and not isinstance(arguments, dict):
        reading.wrong(child(place, "args"), "the call's arguments (an object)", arguments)
    steps.append(step(call["function"], arguments))
    places.append(shown(place))
    reading.called(steps, call.get("id"), steps[-1])


def _answered_by_call(steps: list[Step], call: Any, result: Any, is_error: bool | None) -> None:
    # An AgentDojo result without the call's id names the call itself: it
    # answers the first call of that function and those args still without a
    # result (of that function, when none has those args).
    if not isinstance(call, dict) or not isinstance(call.get("function"), str):
        return
    waiting = [s for s in steps if s["tool"] == call["function"] and "result" not in s]
    args = call.get("args")
    same = [s for s in waiting if s.get("args") == args]
    found = same or waiting
    if found:
        found[0]["result"] = result
        if is_error is not None:
            found[0]["is_error"] = is_error


def _tool_result(message: dict[str, Any]) -> tuple[Any, bool | None]:
    """A tool message's result, and whether the call failed when the message says so."""
    content = message.get("content")
    if isinstance(content, list) and content and all(
            isinstance(part, dict) and part.get("type") == "text" and isinstance(part.get("content"), str)
            and "text" not in part for part in content):
        content = "\n".join(part["content"] for part in content)
    if "error" not in message:
        return content, None
    error = message["error"]
    if error is None:
        return content, False
    # The tool raised: its content is empty, the error says why.
    return (content if content else error), True
