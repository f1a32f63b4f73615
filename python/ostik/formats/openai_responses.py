"""OpenAI Responses API transcripts: the function and custom tool calls among the items.

A run is a list of items ({"type": "message" | "function_call" |
"function_call_output" | "reasoning" | ...}), held in a file as:

- one JSON array of items, or one response object (its "output" is the list);
- JSON lines: a line holding a response object (one per turn of a run that
  chains responses) or a single item is part of the file's trace; a line
  holding an array of items is a whole trace of its own.

"function_call" items are steps, with their "arguments" (JSON text) parsed
into the step's args as for Chat Completions; so are "mcp_call" items (a call
the API made to a remote MCP server's tool, named and with arguments the same
way). A "custom_tool_call" is a step whose args is its free-text "input", kept
as it is. A "function_call_output" or "custom_tool_call_output" is the result
of the call its "call_id" names; an "mcp_call" holds its own "output" (or
"error"). Every other item (messages, reasoning, and the built-in tools'
calls, which carry no tool name) is dropped.
"""

from __future__ import annotations

from typing import Any

from ostik.formats.reading import Reading, Source, Step, child, item, line_place, read_as, shown, step
from ostik.formats.json_text import JsonSource
from ostik.formats.trace_files import Trace

NAME = "openai-responses"

# Items that call a tool by name, with arguments given as JSON text.
_FUNCTION_CALLS = frozenset({"function_call", "mcp_call"})
_OUTPUTS = frozenset({"function_call_output", "custom_tool_call_output"})
_RUN = 'an array of items, a response (an object with "output") or an item (an object with "type")'


def read(source: Source) -> list[list[Step]]:
    """The traces of a Responses API transcript (a path, or parsed JSON), each a list of steps in call order."""
    return read_as(traces_from, NAME, source)


def traces_from(source: JsonSource, reading: Reading) -> list[Trace]:
    name = source.name
    if source.lines is None:
        trace = Trace(name, [])
        _piece(source.document, "", reading, trace.steps, trace.step_places)
        return [trace]
    traces: list[Trace] = []
    file_trace: Trace | None = None
    for number, value in source.lines:
        place = line_place(number)
        if isinstance(value, list):
            trace = Trace(name, [], line=number)
            _items(value, place, reading, trace.steps, trace.step_places)
            traces.append(trace)
        elif isinstance(value, dict):
            if file_trace is None:
                file_trace = Trace(name, [])
                traces.append(file_trace)
            _piece(value, place, reading, file_trace.steps, file_trace.step_places)
        else:
            reading.wrong(place, _RUN, value)
    return traces or [Trace(name, [])]


def _piece(value: Any, place: str, reading: Reading, steps: list[Step], places: list[str]) -> None:
    """A whole run, a response, or one item."""
    if isinstance(value, list):
        _items(value, place, reading, steps, places)
    elif isinstance(value, dict) and ("type" in value or "role" in value):
        _item(value, place, reading, steps, places)
    elif isinstance(value, dict) and "output" in value:
        _response(value, place, reading, steps, places)
    else:
        reading.wrong(place, _RUN, value)


def _response(response: dict[str, Any], place: str, reading: Reading, steps: list[Step], places: list[str]) -> None:
    output = response["output"]
    output_place = child(place, "output")
    if not isinstance(output, list):
        reading.wrong(output_place, "an array of output items", output)
    _items(output, output_place, reading, steps, places)


def _items(items: list[Any], place: str, reading: Reading, steps: list[Step], places: list[str]) -> None:
    for index, value in enumerate(items):
        value_place = item(place, index)
        if isinstance(value, dict) and "type" not in value and "role" not in value and "output" in value:
            _response(value, value_place, reading, steps, places)
        else:
            _item(value, value_place, reading, steps, places)


def _item(value: Any, place: str, reading: Reading, steps: list[Step], places: list[str]) -> None:
    if not isinstance(value, dict):
        reading.wrong(place, 'an item (an object with "type")', value)
    kind = value.get("type")
    if kind is None and "role" in value:
        return  # a message given in the short form, without "type"
    if not isinstance(kind, str):
        if "type" in value:
            reading.wrong(child(place, "type"), "the item's type (a string)", kind)
        reading.missing(child(place, "type"), "the item's type (a string)")
    if kind in _FUNCTION_CALLS:
        tool = reading.string(value, "name", place, "the tool name (a string)")
        arguments = value.get("arguments")
        if isinstance(arguments, str):
            arguments = reading.arguments(arguments, child(place, "arguments"))
        made = step(tool, arguments)
        steps.append(made)
        places.append(shown(place))
        if kind == "mcp_call":
            # The API made the call itself: its output (or error) is in the same item.
            error = value.get("error")
            if error is not None or "output" in value:
                made["result"] = value.get("output") if error is None else error
                made["is_error"] = error is not None
        else:
            reading.called(steps, value.get("call_id"), made)
    elif kind == "custom_tool_call":
        tool = reading.string(value, "name", place, "the tool name (a string)")
        made = step(tool, value.get("input"))
        steps.append(made)
        places.append(shown(place))
        reading.called(steps, value.get("call_id"), made)
    elif kind in _OUTPUTS:
        reading.answered(steps, value.get("call_id"), value.get("output"))
