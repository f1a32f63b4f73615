"""OpenTelemetry GenAI spans in an OTLP/JSON trace export: the tool executions.

An export is {"resourceSpans": [{"scopeSpans": [{"spans": [...]}]}]}; a file
holds one export, an array of them, or one per line (what a collector's file
exporter writes). Fields follow the protobuf JSON mapping: names in
lowerCamelCase, 64-bit numbers as decimal strings or numbers, ids in hex, and
attributes as a list of {"key": ..., "value": {"stringValue": ...}} with a
typed value.

A span is a tool call when its "gen_ai.operation.name" is "execute_tool" or
it carries "gen_ai.tool.name" (the tool name). Its "gen_ai.tool.call.arguments"
(recorded only when content capture is on) becomes the step's args: JSON
text is parsed, as for OpenAI's arguments; a structured value is taken as it
is. Its "gen_ai.tool.call.result" is the step's result, and a span whose
status is an error (or that has "error.type") has "is_error" true. Each trace
id that has GenAI spans (an agent run) is one trace, its tool calls ordered by
start time; calls that start at the same instant come in the order the model
listed them (the "tool_call" parts of its chat spans' "gen_ai.output.messages",
matched by "gen_ai.tool.call.id"), then by end time, then in the file's order.
Traces come in the order of their first GenAI span in the file. A trace id with no span that
carries "gen_ai.operation.name" or "gen_ai.tool.name" (an HTTP request, a
database query) is not an agent run and is left out.
"""

from __future__ import annotations

import json
from typing import Any

from ostik.formats.reading import Reading, Source, Step, child, item, line_place, read_as, shown, step
from ostik.formats.json_text import JsonSource
from ostik.formats.trace_files import Trace

NAME = "otel"

OPERATION = "gen_ai.operation.name"
TOOL_NAME = "gen_ai.tool.name"
ARGUMENTS = "gen_ai.tool.call.arguments"
CALL_ID = "gen_ai.tool.call.id"
RESULT = "gen_ai.tool.call.result"
OUTPUT_MESSAGES = "gen_ai.output.messages"
ERROR_TYPE = "error.type"
EXECUTE_TOOL = "execute_tool"
_WANTED = frozenset({OPERATION, TOOL_NAME, ARGUMENTS, CALL_ID, RESULT, OUTPUT_MESSAGES, ERROR_TYPE})
_ERROR_CODES = (2, "2", "STATUS_CODE_ERROR")

_EXPORT = 'an OTLP/JSON trace export (an object with "resourceSpans")'
_SCALARS = {"stringValue": str, "boolValue": bool}


class _Run:
    """The tool calls of one trace id, as (start time, end time, call id, step, place), and
    where the model listed each call id among its chat spans' output messages."""

    def __init__(self) -> None:
        self.calls: list[tuple[int, int, str | None, Step, str]] = []
        self.listed: dict[str, tuple[int, int]] = {}

    def in_order(self) -> list[tuple[int, int, str | None, Step, str]]:
        """By start time; calls that start at the same instant as the model listed them
        (a call it did not list after those it did), then by end time, then as in the file."""
        listed = self.listed
        unlisted = (1, 0, 0)

        def key(numbered: tuple[int, tuple[int, int, str | None, Step, str]]) -> tuple[int, tuple[int, int, int], int, int]:
            order, (start, end, call_id, _, _) = numbered
            where = listed.get(call_id) if call_id is not None else None
            return start, unlisted if where is None else (0, *where), end, order

        return [call for _, call in sorted(enumerate(self.calls), key=key)]


def read(source: Source) -> list[list[Step]]:
    """The traces of an OTLP/JSON trace export (a path, or parsed JSON), each a list of steps in call order."""
    return read_as(traces_from, NAME, source)


def traces_from(source: JsonSource, reading: Reading) -> list[Trace]:
    runs: dict[str, _Run] = {}
    if source.lines is None:
        _exports(source.document, "", reading, runs)
    else:
        for number, value in source.lines:
            _exports(value, line_place(number), reading, runs)
    traces = []
    for trace_id, run in runs.items():
        calls = run.in_order()
        traces.append(Trace(source.name, [c[3] for c in calls], step_places=[c[4] for c in calls],
                            place=f"trace {trace_id}"))
    return traces or [Trace(source.name, [])]


def _exports(value: Any, place: str, reading: Reading, runs: dict[str, _Run]) -> None:
    if isinstance(value, list):
        for index, export in enumerate(value):
            _export(export, item(place, index), reading, runs)
    else:
        _export(value, place, reading, runs)


def _list(value: dict[str, Any], key: str, place: str, reading: Reading, expected: str) -> list[Any]:
    """A repeated field; the protobuf JSON mapping leaves an empty one out."""
    found = value.get(key)
    if found is None and key not in value:
        return []
    if not isinstance(found, list):
        reading.wrong(child(place, key), expected, found)
    return found


def _object(value: Any, place: str, reading: Reading, expected: str) -> dict[str, Any]:
    if not isinstance(value, dict):
        reading.wrong(place, expected, value)
    return value


def _export(export: Any, place: str, reading: Reading, runs: dict[str, _Run]) -> None:
    if not isinstance(export, dict) or "resourceSpans" not in export:
        reading.wrong(place, _EXPORT, export)
    resources_place = child(place, "resourceSpans")
    for r, resource in enumerate(_list(export, "resourceSpans", place, reading, "an array of resource spans")):
        resource_place = item(resources_place, r)
        resource = _object(resource, resource_place, reading, "resource spans (an object)")
        scopes_place = child(resource_place, "scopeSpans")
        for s, scope in enumerate(_list(resource, "scopeSpans", resource_place, reading, "an array of scope spans")):
            scope_place = item(scopes_place, s)
            scope = _object(scope, scope_place, reading, "scope spans (an object)")
            spans_place = child(scope_place, "spans")
            for index, span in enumerate(_list(scope, "spans", scope_place, reading, "an array of spans")):
                _span(span, spans_place, index, reading, runs)


def _span(span: Any, spans_place: str, index: int, reading: Reading, runs: dict[str, _Run]) -> None:
    # Most spans of an export are not tool calls: their places are named only when needed.
    if not isinstance(span, dict):
        reading.wrong(item(spans_place, index), "a span (an object)", span)
    found: dict[str, tuple[int, dict[str, Any]]] = {}
    attributes = span.get("attributes")
    if not isinstance(attributes, list):
        attributes = _list(span, "attributes", item(spans_place, index), reading, "an array of attributes")
    for position, attribute in enumerate(attributes):
        if not isinstance(attribute, dict):
            reading.wrong(item(child(item(spans_place, index), "attributes"), position),
                          'an attribute (an object with "key" and "value")', attribute)
        key = attribute.get("key")
        if isinstance(key, str) and key in _WANTED:
            found[key] = (position, attribute)
    operation, tool = found.get(OPERATION), found.get(TOOL_NAME)
    if operation is None and tool is None:
        return  # not a GenAI span
    place = item(spans_place, index)
    attributes_place = child(place, "attributes")
    trace_id = reading.string(span, "traceId", place, "the trace id (a hex string)").lower()
    run = runs.get(trace_id)
    if run is None:
        run = runs[trace_id] = _Run()
    operation_name = None if operation is None else _value(operation, attributes_place, reading)
    if tool is None:
        if operation_name != EXECUTE_TOOL:
            # A model call or an agent invocation: part of the run, not a call; a model
            # call's output lists the calls it asked for, in its order.
            output = found.get(OUTPUT_MESSAGES)
            if output is not None:
                _listed_calls(_value(output, attributes_place, reading), _time(span, "startTimeUnixNano", place,
                                                                               reading), run)
            return
        reading.fail(attributes_place, f'missing "{TOOL_NAME}", expected the tool name of this {EXECUTE_TOOL} span')
    name = _value(tool, attributes_place, reading)
    if not isinstance(name, str):
        reading.wrong(child(item(attributes_place, tool[0]), "value"), "the tool name (a stringValue)", name)
    args = None
    arguments = found.get(ARGUMENTS)
    if arguments is not None:
        args = _value(arguments, attributes_place, reading)
        if isinstance(args, str):
            args = reading.arguments(args, child(item(attributes_place, arguments[0]), "value"))
    made = step(name, args)
    result = found.get(RESULT)
    if result is not None:
        made["result"] = _value(result, attributes_place, reading)
    status = span.get("status")
    code = status.get("code") if isinstance(status, dict) else None
    if code in _ERROR_CODES or ERROR_TYPE in found:
        made["is_error"] = True
    elif code is not None:
        made["is_error"] = False
    call_id = found.get(CALL_ID)
    call_id_value = None if call_id is None else _value(call_id, attributes_place, reading)
    start = _time(span, "startTimeUnixNano", place, reading)
    if start:
        made["ts"] = start / 1e9  # the span's start, in seconds; 0 is the protocol's "not set"
    run.calls.append((start, _time(span, "endTimeUnixNano", place, reading),
                      call_id_value if isinstance(call_id_value, str) else None, made, shown(place)))


def _listed_calls(messages: Any, start: int, run: _Run) -> None:
    """Notes where each tool_call part of a model call's output messages stands."""
    if isinstance(messages, str):
        try:
            messages = json.loads(messages)
        except (ValueError, RecursionError):
            return  # only an order is lost: the calls' own spans are read as ever
    if not isinstance(messages, list):
        return
    position = 0
    for message in messages:
        parts = message.get("parts") if isinstance(message, dict) else None
        for part in parts if isinstance(parts, list) else ():
            if isinstance(part, dict) and part.get("type") == "tool_call" and isinstance(part.get("id"), str):
                run.listed.setdefault(part["id"], (start, position))
                position += 1


def _time(span: dict[str, Any], key: str, place: str, reading: Reading) -> int:
    time = span.get(key, 0)
    if isinstance(time, str) and time.isdigit():
        return int(time)
    if isinstance(time, int) and not isinstance(time, bool) and time >= 0:
        return time
    what = "start" if key.startswith("start") else "end"
    reading.wrong(child(place, key), f"the {what} time (nanoseconds, a decimal string or number)", time)


def _value(attribute: tuple[int, dict[str, Any]], attributes_place: str, reading: Reading) -> Any:
    index, pair = attribute
    place = child(item(attributes_place, index), "value")
    # The protobuf JSON mapping leaves out an empty value.
    return any_value(pair.get("value", {}), place, reading)


def any_value(value: Any, place: str, reading: Reading) -> Any:
    """An OTLP AnyValue as a plain JSON value; bytes stay in their base64 text."""
    if type(value) is dict and len(value) == 1:
        text = value.get("stringValue")
        if type(text) is str:
            return text
    if not isinstance(value, dict) or len(value) > 1:
        reading.wrong(place, "a typed value (an object with one of stringValue, boolValue, intValue, doubleValue, "
                             "arrayValue, kvlistValue or bytesValue)", value)
    if not value:
        return None  # an empty value
    ((kind, inner),) = value.items()
    inner_place = child(place, kind)
    expected = _SCALARS.get(kind)
    if expected is not None:
        if not isinstance(inner, expected):
            reading.wrong(inner_place, "a string" if expected is str else "a boolean", inner)
        return inner
    if kind == "intValue":
        if isinstance(inner, int) and not isinstance(inner, bool):
            return inner
        if isinstance(inner, str):
            try:
                return int(inner)
            except ValueError:
                pass
        reading.wrong(inner_place, "an integer (a decimal string or number)", inner)
    if kind == "doubleValue":
        if isinstance(inner, (int, float)) and not isinstance(inner, bool):
            return float(inner)
        if isinstance(inner, str) and inner in ("NaN", "Infinity", "-Infinity"):
            return float(inner.replace("Infinity", "inf"))
        reading.wrong(inner_place, "a number", inner)
    if kind == "bytesValue":
        if not isinstance(inner, str):
            reading.wrong(inner_place, "base64 text", inner)
        return inner
    if kind in ("arrayValue", "kvlistValue"):
        inner = _object(inner, inner_place, reading, 'an object with "values"')
        values_place = child(inner_place, "values")
        values = _list(inner, "values", inner_place, reading, "an array of values")
        if kind == "arrayValue":
            return [any_value(v, item(values_place, i), reading) for i, v in enumerate(values)]
        result = {}
        for i, pair in enumerate(values):
            pair_place = item(values_place, i)
            pair = _object(pair, pair_place, reading, 'a key and value (an object with "key" and "value")')
            key = reading.string(pair, "key", pair_place, "the key (a string)")
            result[key] = any_value(pair.get("value", {}), child(pair_place, "value"), reading)
        return result
    reading.wrong(place, "a typed value (an object with one of stringValue, boolValue, intValue, doubleValue, "
                         "arrayValue, kvlistValue or bytesValue)", value)
