"""Model Context Protocol sessions: the tools/call requests among the JSON-RPC messages.

A session log holds the JSON-RPC 2.0 messages of one session, one per line
(what the stdio transport sends); a line may also hold a batch, an array of
messages. A file may instead hold one JSON array of messages. The whole file
is one trace.

Every request whose "method" is "tools/call" is a step: "params.name" is the
tool and "params.arguments" (when present) the args. The response with the
request's id is its result: the "result" (with its "isError") or the "error".
Every other message (initialisation, listings, notifications) is dropped.
"""

from __future__ import annotations

from typing import Any

from ostik.formats.reading import Reading, Source, Step, child, item, line_place, read_as, shown, step
from ostik.formats.json_text import JsonSource
from ostik.formats.trace_files import Trace

NAME = "mcp"

_MESSAGE = 'a JSON-RPC message (an object with "jsonrpc": "2.0")'


def read(source: Source) -> list[list[Step]]:
    """The traces of an MCP session log (a path, or parsed JSON), each a list of steps in call order."""
    return read_as(traces_from, NAME, source)


def traces_from(source: JsonSource, reading: Reading) -> list[Trace]:
    trace = Trace(source.name, [])
    if source.lines is None:
        _messages(source.document, "", reading, trace.steps, trace.step_places)
    else:
        for number, value in source.lines:
            _messages(value, line_place(number), reading, trace.steps, trace.step_places)
    return [trace]


def _messages(value: Any, place: str, reading: Reading, steps: list[Step], places: list[str],
              batch: bool = False) -> None:
    if not isinstance(value, list):
        _message(value, place, reading, steps, places)
        return
    for index, message in enumerate(value):
        if isinstance(message, list) and not batch:  # a batch within a logged array of messages
            _messages(message, item(place, index), reading, steps, places, batch=True)
        else:
            _message(message, item(place, index), reading, steps, places)


def _message(message: Any, place: str, reading: Reading, steps: list[Step], places: list[str]) -> None:
    if not isinstance(message, dict) or "jsonrpc" not in message:
        reading.wrong(place, _MESSAGE, message)
    version = message["jsonrpc"]
    if version != "2.0":
        reading.wrong(child(place, "jsonrpc"), '"2.0"', version)
    method = message.get("method")
    if method is None:
        if "id" in message and ("result" in message or "error" in message):
            _response(message, reading, steps)
        return
    if method != "tools/call":
        return
    params_place = child(place, "params")
    params = reading.member(message, "params", place, 'the call\'s parameters (an object with "name")')
    if not isinstance(params, dict):
        reading.wrong(params_place, 'the call\'s parameters (an object with "name")', params)
    tool = reading.string(params, "name", params_place, "the tool name (a string)")
    made = step(tool, params.get("arguments"))
    steps.append(made)
    places.append(shown(place))
    request_id = message.get("id")
    if isinstance(request_id, (str, int)) and not isinstance(request_id, bool):
        reading.called(steps, _request_key(request_id), made)


def _request_key(request_id: str | int) -> str:
    # A request id is a string or a number, and "1" is not 1.
    return f"{type(request_id).__name__}:{request_id}"


def _response(message: dict[str, Any], reading: Reading, steps: list[Step]) -> None:
    request_id = message["id"]
    if not isinstance(request_id, (str, int)) or isinstance(request_id, bool):
        return
    if "error" in message:
        reading.answered(steps, _request_key(request_id), message["error"], True)
        return
    result = message["result"]
    is_error = result.get("isError", False) if isinstance(result, dict) else False
    reading.answered(steps, _request_key(request_id), result, is_error if isinstance(is_error, bool) else None)
