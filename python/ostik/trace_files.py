"""Reading trace files as OstikClient writes them.

A trace file holds JSON lines. A line holding an object is one step of the
file's trace (an agent that records every call as it happens); a line holding
an array is a whole trace (an agent that records a finished run). Blank lines
are skipped. A file named ``*.json`` may instead hold one JSON array of steps,
which is one trace.

A write that failed part-way can leave an incomplete last line with no final
newline; such a line is skipped with a warning rather than failing the file.
"""

from __future__ import annotations

import json
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any


class TraceFileError(Exception):
    """A trace file that cannot be used; the message names the file and, where known, the line."""


@dataclass(frozen=True)
class Trace:
    """One trace read from a file, with enough to say where each of its steps came from."""

    source: str
    steps: list[Any]
    # The line of each step for a trace made of object lines; empty otherwise.
    step_lines: list[int] = field(default_factory=list)
    # The line holding the whole trace for an array line; None otherwise.
    line: int | None = None

    @property
    def label(self) -> str:
        return self.source if self.line is None else f"{self.source}: line {self.line}"

    def where(self, step: int) -> str:
        """Where a step stands in its file, for error messages."""
        if self.step_lines:
            return f"{self.source}: line {self.step_lines[step]}"
        return f"{self.label}: step {step}"


@dataclass
class TraceFile:
    path: str
    traces: list[Trace]
    warnings: list[str] = field(default_factory=list)


STDIN = "-"


def read_trace_file(path: str) -> TraceFile:
    """Reads one trace file ("-" is standard input, read as JSON lines)."""
    if path == STDIN:
        name, data = "<stdin>", sys.stdin.buffer.read()
    else:
        name = path
        try:
            data = Path(path).read_bytes()
        except OSError as err:
            raise TraceFileError(f"{path}: {err.strerror or err}") from None
    if path.endswith(".json"):
        return TraceFile(name, [_read_json_array(name, data)])
    return _read_json_lines(name, data)


def _kind(value: object) -> str:
    names = {dict: "an object", list: "an array", str: "a string", bool: "a boolean", type(None): "null"}
    return names.get(type(value), "a number")


def _read_json_array(name: str, data: bytes) -> Trace:
    try:
        value = json.loads(data.decode("utf-8"))
    except UnicodeDecodeError as err:
        raise TraceFileError(f"{name}: not valid UTF-8 (byte {err.start})") from None
    except json.JSONDecodeError as err:
        raise TraceFileError(f"{name}: line {err.lineno} column {err.colno}: not valid JSON: {err.msg}") from None
    except RecursionError:
        raise TraceFileError(f"{name}: JSON nested too deeply") from None
    if not isinstance(value, list):
        raise TraceFileError(f"{name}: expected a JSON array of steps, found {_kind(value)}")
    return Trace(name, value)


def _read_json_lines(name: str, data: bytes) -> TraceFile:
    lines = data.split(b"\n")
    # With a final newline the split leaves one empty piece after it; without
    # one, the last line may be what an interrupted write left behind.
    unterminated = len(lines) if lines[-1].strip() else None
    result = TraceFile(name, [])
    file_trace: Trace | None = None
    for number, raw in enumerate(lines, start=1):
        if not raw.strip():
            continue
        try:
            value = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError, RecursionError) as err:
            if number == unterminated:
                result.warnings.append(
                    f"{name}: line {number}: skipped an incomplete last line (no final newline, "
                    f"probably left by an interrupted write)")
                continue
            raise TraceFileError(f"{name}: line {number}: {_describe(err)}") from None
        if isinstance(value, dict):
            if file_trace is None:
                file_trace = Trace(name, [])
                result.traces.append(file_trace)
            file_trace.steps.append(value)
            file_trace.step_lines.append(number)
        elif isinstance(value, list):
            result.traces.append(Trace(name, value, line=number))
        else:
            raise TraceFileError(
                f"{name}: line {number}: expected a JSON object (one step) or array (one trace), found {_kind(value)}")
    if not result.traces:
        # An agent that made no calls leaves an empty file: that is an empty trace.
        result.traces.append(Trace(name, []))
    return result


def _describe(err: Exception) -> str:
    if isinstance(err, UnicodeDecodeError):
        return f"not valid UTF-8 (byte {err.start} of the line)"
    if isinstance(err, json.JSONDecodeError):
        return f"not valid JSON: {err.msg} (column {err.colno})"
    return "JSON nested too deeply"
