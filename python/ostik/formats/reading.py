"""What every format reader shares: the errors it raises, where in a file it is,
and how it turns a call's arguments into a step's args.

A reader walks JSON values and names each place it looks at the way a person
would find it in the file: "line 4" for a value that is a whole line, then a
JSON path below it ("messages[3].tool_calls[0].function.name"). An error names
the file, that place and what was expected there; a problem that loses nothing
(arguments that are not valid JSON, kept as text) is a warning instead.
"""

from __future__ import annotations

import gc
import json
import os
import warnings
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, NoReturn

from ostik.formats.json_text import JsonSource, JsonSourceError, kind_of, read_json_source
from ostik.formats.trace_files import Trace, TraceFile, TraceFileError

Step = dict[str, Any]
"""One step in ostik's own form: {"tool": name} and, when the call had arguments, "args"."""


Source = str | os.PathLike[str] | list[Any] | dict[str, Any]
"""A file's path ("-" for standard input), or a transcript already parsed from JSON
(a parsed file of JSON lines is the list of its lines' values)."""


class TraceFormatError(TraceFileError, ValueError):
    """A file that is not what its format expects; the message names the file, the place and what was expected."""


class AmbiguousFormatError(TraceFormatError):
    """A file whose format cannot be told from its content."""

    def __init__(self, message: str, candidates: tuple[str, ...]) -> None:
        super().__init__(message)
        self.candidates = candidates


class TraceFormatWarning(UserWarning):
    """Something in a transcript that was read, but perhaps not as its writer meant."""


def child(place: str, key: str) -> str:
    """The place of a member: "messages[3]" and "role" give "messages[3].role"."""
    return f"{place}{key}" if not place or place.endswith(": ") else f"{place}.{key}"


def item(place: str, index: int) -> str:
    """The place of an array element: "messages" and 3 give "messages[3]"."""
    return f"{place}[{index}]"


def line_place(number: int) -> str:
    """The place of a whole line's value; its members read "line 4: messages[0]"."""
    return f"line {number}: "


def shown(place: str) -> str:
    """A place as a message shows it ("line 4", not "line 4: ")."""
    return place[:-2] if place.endswith(": ") else place


class Reading:
    """One file (or parsed object) being read: its name for messages, and the warnings so far."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.warnings: list[str] = []

    def _at(self, place: str, text: str) -> str:
        return ": ".join(part for part in (self.name, shown(place), text) if part)

    def fail(self, place: str, problem: str) -> NoReturn:
        raise TraceFormatError(self._at(place, problem))

    def wrong(self, place: str, expected: str, found: object) -> NoReturn:
        self.fail(place, f"expected {expected}, found {describe(found)}")

    def missing(self, place: str, expected: str) -> NoReturn:
        self.fail(place, f"missing, expected {expected}")

    def warn(self, place: str, text: str) -> None:
        self.warnings.append(self._at(place, text))

    def member(self, value: dict[str, Any], key: str, place: str, expected: str) -> Any:
        """The value under key, which must be there and not null."""
        found = value.get(key)
        if found is None:
            if key in value:
                self.wrong(child(place, key), expected, None)
            self.missing(child(place, key), expected)
        return found

    def string(self, value: dict[str, Any], key: str, place: str, expected: str) -> str:
        found = self.member(value, key, place, expected)
        if not isinstance(found, str):
            self.wrong(child(place, key), expected, found)
        return found

    def arguments(self, text: str, place: str) -> Any:
        """A call's arguments given as JSON text, as a value; text that is not JSON stays text."""
        if not text or text.isspace():
            # What a model sends for a call it gave no arguments.
            return _NONE
        try:
            return json.loads(text)
        except json.JSONDecodeError as err:
            at = f"column {err.colno}" if err.lineno == 1 else f"line {err.lineno} column {err.colno}"
            self.warn(place, f"not valid JSON ({err.msg} at {at}); kept as a string")
        except RecursionError:
            self.warn(place, "JSON nested too deeply; kept as a string")
        return text


class _NoArguments:
    """The arguments of a call that has none: the step gets no "args"."""


_NONE: Any = _NoArguments()


def step(tool: str, args: Any = _NONE) -> Step:
    if args is None or args is _NONE:
        return {"tool": tool}
    return {"tool": tool, "args": args}


def describe(value: object) -> str:
    """How a value found in the wrong place is named: its kind, and a short string itself."""
    if isinstance(value, str) and len(value) <= 40:
        return json.dumps(value, ensure_ascii=False)
    return kind_of(value)


Reader = Callable[[JsonSource, "Reading"], list[Trace]]
"""A format's reader: the traces of a file read as JSON."""


@contextmanager
def collector_paused() -> Iterator[None]:
    """Parsed JSON and the steps made from it hold no reference cycles, so the cyclic
    collector has nothing to free while a transcript is read; its passes over the
    millions of fresh objects of a large file would cost as much as the reading."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def json_source(source: Source) -> JsonSource:
    if isinstance(source, (str, os.PathLike)):
        try:
            return read_json_source(os.fspath(source))
        except JsonSourceError as err:
            raise TraceFormatError(str(err)) from None
    return JsonSource("", document=source)


def trace_file(source: JsonSource, reader: Reader, format_name: str) -> TraceFile:
    reading = Reading(source.name)
    traces = reader(source, reading)
    return TraceFile(source.name, traces, [*source.warnings, *reading.warnings], format=format_name)


def plain_traces(read: TraceFile) -> list[list[Step]]:
    """The steps of each trace, the warnings issued as TraceFormatWarning."""
    for warning in read.warnings:
        warnings.warn(warning, TraceFormatWarning, stacklevel=3)
    return [trace.steps for trace in read.traces]


def read_as(reader: Reader, format_name: str, source: Source) -> list[list[Step]]:
    with collector_paused():
        read = trace_file(json_source(source), reader, format_name)
    return plain_traces(read)
