"""Gemini CLI sessions: the tool calls of the model's turns, as Gemini CLI saves a chat.

Gemini CLI saves each session under ``~/.gemini/tmp/<project hash>/chats/``, in
one of two shapes of the same records:

- one JSON document, {"sessionId": ..., "projectHash": ..., "startTime": ...,
  "messages": [...]};
- JSON lines: a first line with the session's fields, then one message per
  line, and lines of updates to the session's fields ({"$set": {...}}).

A message is {"id", "timestamp", "type": "user" | "gemini" | "info" | ...,
"content", "toolCalls": [...]}: each entry of a "gemini" message's
"toolCalls" ({"id", "name", "args", "status", "result"}) is a step, in order,
its "args" already a value. Its "result" (the function responses the tool
gave) is the step's result (the response's "output" or "error" when it has one
of them), and its "status" says "is_error" ("error", or "success").

A chat saved by ``/chat save`` is the Gemini API's conversation instead: an
array of contents {"role": "user" | "model", "parts": [...]}, where a
"functionCall" part ({"name", "args"}) of a model content is a step and a
"functionResponse" part is the result of the call with its id (or, without
one, of the last call of its name). Each file is one trace.
"""

from __future__ import annotations

from typing import Any

from ostik.formats.reading import Reading, Source, Step, child, item, line_place, read_as, shown, step
from ostik.formats.json_text import JsonSource
from ostik.formats.trace_files import Trace

NAME = "gemini-cli"

_SESSION = 'a Gemini CLI session (an object with "messages"), or an array of contents'
_BY_NAME = "\0name:"


def read(source: Source) -> list[list[Step]]:
    """The traces of a Gemini CLI session (a path, or parsed JSON), each a list of steps in call order."""
    return read_as(traces_from, NAME, source)


def traces_from(source: JsonSource, reading: Reading) -> list[Trace]:
    trace = Trace(source.name, [])
    if source.lines is None:
        document = source.document
        if isinstance(document, dict) and "messages" in document:
            messages = document["messages"]
            if not isinstance(messages, list):
                reading.wrong("messages", "an array of messages", messages)
            for index, message in enumerate(messages):
                _record(message, item("messages", index), reading, trace)
        elif isinstance(document, list):
            for index, value in enumerate(document):
                _record(value, item("", index), reading, trace)
        else:
            reading.wrong("", _SESSION, document)
    else:
        for number, value in source.lines:
            _record(value, line_place(number), reading, trace)
    return [trace]


def _record(value: Any, place: str, reading: Reading, trace: Trace) -> None:
    if not isinstance(value, dict):
        reading.wrong(place, 'a message (an object with "type") or a content (an object with "role")', value)
    if "parts" in value and "role" in value:
        _content(value, place, reading, trace)
        return
    if value.get("type") != "gemini":
        return  # the session's fields, an update to them, or a message that calls nothing
    calls = value.get("toolCalls")
    if calls is None:
        return
    for call, call_place, tool in reading.named_calls(calls, child(place, "toolCalls"),
                                                     'a tool call (an object with "name")'):
        made = step(tool, call.get("args"))
        if "result" in call:
            made["result"] = _response(call["result"])
        status = call.get("status")
        if status in ("error", "success"):
            made["is_error"] = status == "error"
        trace.steps.append(made)
        trace.step_places.append(shown(call_place))


def _response(result: Any) -> Any:
    """A tool call's result as the tool gave it: the one function response's output or error."""
    if isinstance(result, list) and len(result) == 1 and isinstance(result[0], dict):
        response = result[0].get("functionResponse")
        body = response.get("response") if isinstance(response, dict) else None
        if isinstance(body, dict):
            for key in ("output", "error"):
                if key in body:
                    return body[key]
            return body
    return result


def _content(content: dict[str, Any], place: str, reading: Reading, trace: Trace) -> None:
    parts = content["parts"]
    parts_place = child(place, "parts")
    if not isinstance(parts, list):
        reading.wrong(parts_place, "an array of parts", parts)
    for index, part in enumerate(parts):
        if not isinstance(part, dict):
            continue
        part_place = item(parts_place, index)
        if "functionCall" in part and content.get("role") == "model":
            call_place = child(part_place, "functionCall")
            call = part["functionCall"]
            if not isinstance(call, dict):
                reading.wrong(call_place, 'a function call (an object with "name")', call)
            tool = reading.string(call, "name", call_place, "the tool name (a string)")
            made = step(tool, call.get("args"))
            trace.steps.append(made)
            trace.step_places.append(shown(call_place))
            reading.called(trace.steps, call.get("id"), made)
            reading.called(trace.steps, _BY_NAME + tool, made)
        elif isinstance(part.get("functionResponse"), dict):
            response = part["functionResponse"]
            body = response.get("response")
            result = body.get("output", body.get("error", body)) if isinstance(body, dict) else body
            is_error = isinstance(body, dict) and "error" in body and "output" not in body
            call_id = response.get("id")
            key = call_id if isinstance(call_id, str) and call_id else _BY_NAME + str(response.get("name"))
            reading.answered(trace.steps, key, result, is_error)
