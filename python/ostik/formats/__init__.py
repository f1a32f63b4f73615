"""Reading agent transcripts in the formats that agent frameworks write.

Each reader turns a transcript into traces, each trace a list of steps in
ostik's own form (``{"tool": name, "args": value}``, "args" left out for a
call without arguments) in call order, ready for ``TraceExplainer.explain``
and ``CoverageAnalyzer.analyze``:

    >>> import ostik.formats
    >>> ostik.formats.read([{"role": "assistant", "tool_calls": [
    ...     {"id": "call_1", "type": "function", "function": {"name": "read_file", "arguments": '{"path": "a.py"}'}}]}])
    [[{'tool': 'read_file', 'args': {'path': 'a.py'}}]]

Formats (see each module for the shapes it accepts):

- ``openai-chat``: OpenAI Chat Completions messages (ostik.formats.openai_chat)
- ``openai-responses``: OpenAI Responses API items (ostik.formats.openai_responses)
- ``anthropic``: Anthropic Messages API messages (ostik.formats.anthropic)
- ``otel``: OpenTelemetry GenAI spans, OTLP/JSON (ostik.formats.otel)
- ``mcp``: JSON-RPC messages of an MCP session (ostik.formats.mcp)
- ``ostik``: ostik's own steps, as OstikClient writes them (ostik.trace_files)

``auto`` (the default) tells the format from the content (ostik.formats.detection).
Only the calls become steps: text, tool results, ids and timestamps are dropped.
A file that is not what its format expects raises TraceFormatError, naming the
file, the line or JSON path, and what was expected there; a call's arguments
that are not valid JSON are kept as text, with a TraceFormatWarning.
"""

from __future__ import annotations

import gc
import os
import warnings
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

from ostik.formats import anthropic, mcp, openai_chat, openai_responses, ostik, otel
from ostik.formats.detection import detect_source
from ostik.formats.reading import AmbiguousFormatError, Reading, Step, TraceFormatError, TraceFormatWarning
from ostik.json_sources import JsonSource, JsonSourceError, read_json_source
from ostik.trace_files import Trace, TraceFile

__all__ = ["AUTO", "FORMATS", "AmbiguousFormatError", "Step", "TraceFormatError", "TraceFormatWarning", "detect",
           "read", "read_file"]

AUTO = "auto"
_READERS: dict[str, Callable[[JsonSource, Reading], list[Trace]]] = {
    module.NAME: module.traces_from for module in (openai_chat, openai_responses, anthropic, otel, mcp, ostik)
}
FORMATS: tuple[str, ...] = tuple(_READERS)
"""The format names, as ``--format`` takes them (besides ``auto``)."""

Source = str | os.PathLike[str] | list[Any] | dict[str, Any]
"""A file's path ("-" for standard input), or a transcript already parsed from JSON."""


def read(source: Source, format: str = AUTO) -> list[list[Step]]:
    """The traces of a transcript, each a list of steps in call order.

    ``source`` is a path, or the transcript as parsed JSON (a parsed file of JSON
    lines is the list of its lines' values). Warnings are issued as
    TraceFormatWarning."""
    if isinstance(source, (str, os.PathLike)):
        trace_file = read_file(os.fspath(source), format)
    else:
        with _collector_paused():
            trace_file = _read_source(JsonSource("", document=source), format)
    for warning in trace_file.warnings:
        warnings.warn(warning, TraceFormatWarning, stacklevel=2)
    return [trace.steps for trace in trace_file.traces]


def read_file(path: str, format: str = AUTO) -> TraceFile:
    """Reads a trace file ("-" is standard input) in the given format, or the one its content shows.

    The result says where each trace and step came from, the warnings, and the
    format it was read in."""
    _check_format(format)
    with _collector_paused():
        try:
            source = read_json_source(path)
        except JsonSourceError as err:
            raise TraceFormatError(str(err)) from None
        return _read_source(source, format)


def detect(source: Source) -> str:
    """The format of a transcript, told from its content; raises AmbiguousFormatError when it does not tell."""
    if isinstance(source, (str, os.PathLike)):
        try:
            return detect_source(read_json_source(os.fspath(source)))
        except JsonSourceError as err:
            raise TraceFormatError(str(err)) from None
    return detect_source(JsonSource("", document=source))


@contextmanager
def _collector_paused() -> Iterator[None]:
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


def _check_format(format: str) -> None:
    if format != AUTO and format not in _READERS:
        raise ValueError(f"unknown trace format {format!r}; expected one of: {', '.join((AUTO, *FORMATS))}")


def _read_source(source: JsonSource, format: str) -> TraceFile:
    _check_format(format)
    chosen = detect_source(source) if format == AUTO else format
    reading = Reading(source.name)
    traces = _READERS[chosen](source, reading)
    return TraceFile(source.name, traces, [*source.warnings, *reading.warnings], format=chosen)
