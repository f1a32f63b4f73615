"""LangChain message dumps: the tool calls of the AI messages, as LangChain and LangGraph save them.

A message is held in one of LangChain's own shapes:

- as ``messages_to_dict`` writes it: {"type": "ai" | "human" | "tool" | ...,
  "data": {"content": ..., "tool_calls": [...], ...}};
- serialized (``dumpd``, what checkpoints hold): {"lc": 1, "type":
  "constructor", "id": ["langchain", "schema", "messages", "AIMessage"],
  "kwargs": {...}};
- as ``model_dump()`` gives it: {"type": "ai", "content": ..., "tool_calls": [...]}.

A file holds a conversation as one JSON array of messages, an object whose
"messages" is that array (a LangGraph state's values) or whose "values" is
such an object (a LangGraph state snapshot): one trace; or JSON lines: a line
holding one message is part of the file's trace, a line holding a whole
conversation (an array, or an object with "messages" or "values") a trace of
its own.

Every entry of an AI message's "tool_calls" ({"name", "args", "id"}) is a
step, in order; its "args" is already a value. A tool message's "content" is
the result of the call its "tool_call_id" names, and its "status" "error"
says "is_error". Calls the model made whose arguments LangChain could not
parse ("invalid_tool_calls") were never run, and are left out with a warning.
Everything else (text, the provider's own copy of the calls in
"additional_kwargs") is dropped.
"""

from __future__ import annotations

from typing import Any

from ostik.formats.reading import Reading, Source, Step, child, item, line_place, read_as, shown, step
from ostik.formats.json_text import JsonSource
from ostik.formats.trace_files import Trace

NAME = "langchain"

_AI = frozenset({"ai", "AIMessage", "AIMessageChunk"})
_TOOL = frozenset({"tool", "ToolMessage", "ToolMessageChunk"})
_CONVERSATION = ('an array of LangChain messages, an object with "messages" or "values", or a message (an object '
                 'with "type")')


def read(source: Source) -> list[list[Step]]:
    """The traces of a LangChain message dump (a path, or parsed JSON), each a list of steps in call order."""
    return read_as(traces_from, NAME, source)


def traces_from(source: JsonSource, reading: Reading) -> list[Trace]:
    name = source.name
    if source.lines is None:
        trace = Trace(name, [])
        _conversation(source.document, "", reading, trace)
        return [trace]
    traces: list[Trace] = []
    file_trace: Trace | None = None
    for number, value in source.lines:
        place = line_place(number)
        if isinstance(value, list) or (isinstance(value, dict) and ("messages" in value or "values" in value)):
            trace = Trace(name, [], line=number)
            _conversation(value, place, reading, trace)
            traces.append(trace)
            continue
        if file_trace is None:
            file_trace = Trace(name, [])
            traces.append(file_trace)
        _message(value, place, reading, file_trace)
    return traces or [Trace(name, [])]


def _conversation(value: Any, place: str, reading: Reading, trace: Trace) -> None:
    if isinstance(value, dict) and "values" in value and "messages" not in value:
        place = child(place, "values")
        value = value["values"]
    if isinstance(value, dict) and "messages" in value:
        place = child(place, "messages")
        value = value["messages"]
        if not isinstance(value, list):
            reading.wrong(place, "an array of messages", value)
    if isinstance(value, dict):
        _message(value, place, reading, trace)
        return
    if not isinstance(value, list):
        reading.wrong(place, _CONVERSATION, value)
    for index, message in enumerate(value):
        _message(message, item(place, index), reading, trace)


def _fields(message: dict[str, Any], place: str, reading: Reading) -> tuple[str, dict[str, Any], str]:
    """The message's type, its fields and their place, whichever shape it is in."""
    if message.get("type") == "constructor" and "lc" in message:
        ids = message.get("id")
        kind = ids[-1] if isinstance(ids, list) and ids and isinstance(ids[-1], str) else ""
        fields, fields_place = message.get("kwargs"), child(place, "kwargs")
    elif isinstance(message.get("data"), dict):
        kind, fields, fields_place = message.get("type", ""), message["data"], child(place, "data")
    else:
        kind, fields, fields_place = message.get("type", ""), message, place
    if not isinstance(fields, dict):
        reading.wrong(fields_place, "the message's fields (an object)", fields)
    if not isinstance(kind, str):
        reading.wrong(child(place, "type"), "the message's type (a string)", kind)
    return kind, fields, fields_place


def _message(message: Any, place: str, reading: Reading, trace: Trace) -> None:
    if not isinstance(message, dict) or ("type" not in message and "lc" not in message):
        reading.wrong(place, 'a LangChain message (an object with "type")', message)
    kind, fields, fields_place = _fields(message, place, reading)
    if kind in _TOOL:
        status = fields.get("status")
        reading.answered(trace.steps, fields.get("tool_call_id"), fields.get("content"),
                         status == "error" if isinstance(status, str) else None)
        return
    if kind not in _AI:
        return
    invalid = fields.get("invalid_tool_calls")
    if isinstance(invalid, list) and invalid:
        reading.warn(child(fields_place, "invalid_tool_calls"),
                     f"{len(invalid)} call{'' if len(invalid) == 1 else 's'} whose arguments LangChain could not "
                     "parse, never run: not steps")
    calls = fields.get("tool_calls")
    if calls is None:
        return
    for call, call_place, tool in reading.named_calls(calls, child(fields_place, "tool_calls"),
                                                     'a tool call (an object with "name" and "args")'):
        args = call.get("args")
        if isinstance(args, str):  # some providers' chunks leave them as JSON text
            args = reading.arguments(args, child(call_place, "args"))
        made = step(tool, args)
        trace.steps.append(made)
        trace.step_places.append(shown(call_place))
        reading.called(trace.steps, call.get("id"), made)
