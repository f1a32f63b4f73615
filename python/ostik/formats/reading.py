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
from datetime import datetime
from typing import Any, NoReturn

from ostik._engine import UnreadableArguments
from ostik.formats.json_text import JsonSource, JsonSourceError, kind_of, read_json_source
from ostik.formats.trace_files import Trace, TraceFile, TraceFileError

Step = dict[str, Any]
"""One step in ostik's own form: {"tool": name} and, when the call had arguments, "args"; when
the transcript holds the call's result, "result" (its text or JSON value) and, where it says
whether the call failed, "is_error". The specified readers ignore the result."""


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


def records(source: JsonSource, reading: Reading, expected: str) -> Iterator[tuple[Any, str]]:
    """The records of a log written as JSON lines, or read as one array of its lines, each with its
    place; a document that is not an array is `reading.wrong`, named as `expected`."""
    if source.lines is None:
        document = source.document
        if not isinstance(document, list):
            reading.wrong("", expected, document)
        for index, value in enumerate(document):
            yield value, item("", index)
    else:
        for number, value in source.lines:
            yield value, line_place(number)


def shown(place: str) -> str:
    """A place as a message shows it ("line 4", not "line 4: ")."""
    return place[:-2] if place.endswith(": ") else place


class Reading:
    """One file (or parsed object) being read: its name for messages, and the warnings so far."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.warnings: list[str] = []
        # The steps of the calls whose results may come later, by their trace's list and call id.
        self._calls: dict[tuple[int, str], Step] = {}

    def called(self, steps: list[Step], call_id: object, made: Step) -> None:
        """Remembers a call by its id, for its result to find it."""
        if isinstance(call_id, str) and call_id:
            self._calls[(id(steps), call_id)] = made

    def answered(self, steps: list[Step], call_id: object, result: Any, is_error: object = None) -> None:
        """Gives the call of that id in that trace its result ("result", and "is_error" when the
        transcript says); a result of no known call is dropped."""
        if not isinstance(call_id, str):
            return
        made = self._calls.get((id(steps), call_id))
        if made is not None:
            made["result"] = result
            if isinstance(is_error, bool):
                made["is_error"] = is_error

    def ambiguous(self, place: str, why: str, candidates: tuple[str, ...]) -> NoReturn:
        raise AmbiguousFormatError(self._at(place, f"cannot tell the format: {why}"), candidates)

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

    def named_calls(self, calls: Any, place: str, expected: str) -> Iterator[tuple[dict[str, Any], str, str]]:
        """Each call of the array of tool calls at place, with its place and its tool name
        (under "name"); `expected` says what a call must be."""
        if not isinstance(calls, list):
            self.wrong(place, "an array of tool calls", calls)
        for index, call in enumerate(calls):
            call_place = item(place, index)
            if not isinstance(call, dict):
                self.wrong(call_place, expected, call)
            yield call, call_place, self.string(call, "name", call_place, "the tool name (a string)")

    def arguments(self, text: str, place: str) -> Any:
        """A call's arguments given as JSON text, as a value; text that is not JSON stays text.

        JSON text that cannot be read into a value (nested too deeply, a number
        of more digits than the interpreter reads) gives UnreadableArguments:
        the call is then left unjudged and the policy's on_error decides it,
        since keeping the text would let an argument rule pass unseen."""
        if not text or text.isspace():
            # What a model sends for a call it gave no arguments.
            return _NONE
        try:
            return json.loads(text)
        except json.JSONDecodeError as err:
            at = f"column {err.colno}" if err.lineno == 1 else f"line {err.lineno} column {err.colno}"
            self.warn(place, f"not valid JSON ({err.msg} at {at}); kept as a string")
            return text
        except (RecursionError, ValueError) as err:
            problem = unreadable_problem(err)
        self.warn(place, f"{problem}; the call is judged by the policy's on_error")
        return UnreadableArguments(problem)


def unreadable_problem(err: Exception) -> str:
    """Why JSON text could not be read into a value, as an on_error failure says it."""
    if isinstance(err, RecursionError):
        return "their JSON text is nested too deeply to be read"
    return "their JSON text holds a number of more digits than can be read"


def call_arguments(text: str) -> Any:
    """A call's arguments sent as JSON text, as the guard's integrations read them: a value,
    None for empty text (no arguments), the text itself when it is not JSON, and
    UnreadableArguments for JSON text that cannot be read into a value."""
    if not text or text.isspace():
        return None
    try:
        # Most arguments are one JSON value with nothing around it: read at once by the scanner that
        # json.loads runs after skipping white space (the same value; anything else goes the long way).
        value, end = _scan_json(text, 0)
        if end == len(text):
            return value
    except (StopIteration, TypeError, ValueError, RecursionError):
        pass
    try:
        return json.loads(text)
    except json.JSONDecodeError:
        return text
    except (RecursionError, ValueError) as err:
        return UnreadableArguments(unreadable_problem(err))


# The scanner that json.loads runs after skipping white space: the value at an index, and where it ends
# (the decoder sets it up; its stubs do not name it).
_scan_json: Callable[[str, int], tuple[Any, int]] = getattr(json.JSONDecoder(), "scan_once")


class _NoArguments:
    """The arguments of a call that has none: the step gets no "args"."""


_NONE: Any = _NoArguments()


def timestamp_seconds(value: object) -> float | None:
    """A transcript's ISO 8601 timestamp ("2025-06-02T18:46:59.937Z") as seconds since the
    epoch, for a step's "ts"; None for anything else (no time, or one without a zone, whose
    seconds would depend on the machine that reads it)."""
    if not isinstance(value, str):
        return None
    try:
        when = datetime.fromisoformat(value)
    except ValueError:
        return None
    if when.tzinfo is None:
        return None
    return when.timestamp()


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
