"""Reading trace files as OstikClient writes them.

A trace file holds JSON lines. A line holding an object is one step of the
file's trace (an agent that records every call as it happens); a line holding
an array is a whole trace (an agent that records a finished run). Blank lines
are skipped. Steps that several sessions wrote to one file carry their
session's key, ``"session": KEY`` (a string): the object lines of each key are
a trace of their own, in the order of the key's first line (the key is no
part of the steps), and object lines without a key are one more trace. A file
named ``*.json`` may instead hold one JSON array of steps, which is one trace.

A live guard also writes the calls it refused, ``{"tool": ..., "args": ...,
"refused": {"rule_id": ..., "reason": ...}}`` ("args" only when given), and
the calls that ran although they could not be judged, ``{"tool": ...,
"unjudged": reason}``. Neither is a step of the trace: a refused call never
ran, and an unjudged one was never judged, so the session counted neither.
A call an ask entry made wait is written when a person answered:
``{"tool": ..., "args": ..., "ask": {"rule_id": ..., "reason": ...},
"approved": true}`` is a step (it ran), ``"approved": false`` a refused call
(blocked by the ask entry); observing, the line has no "approved" and is a step.
They are kept beside the steps (``Trace.refused``, ``Trace.unjudged``), each
with the index of the step it came before, so that what reads a trace can show
them where they happened.

How the file is read as JSON (and what happens to an incomplete last line) is
the business of ostik.formats.json_text; this module gives the values their meaning
as steps and traces. Traces in other formats are read by ostik.formats into
the same Trace and TraceFile records.
"""

from __future__ import annotations

import errno
import json
import os
import stat
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

from ostik.formats.json_text import STDIN, JsonSource, JsonSourceError, file_kind, kind_of, read_json_source

__all__ = ["STDIN", "SESSION_KEY", "TRACE_SUFFIXES", "RefusedAttempt", "Trace", "TraceFile", "TraceFileError",
           "UnjudgedCall", "find_trace_files", "first_bad_step", "read_trace_file", "trace_file_from_source",
           "walk_trace_files"]

TRACE_SUFFIXES = (".jsonl", ".json")
"""The names of the files a directory given for traces stands for."""

SESSION_KEY = "session"
"""The key of a step line naming the session that wrote it, in a file that several sessions share."""

_UNKEYED = object()


class TraceFileError(Exception):
    """A trace file that cannot be used; the message names the file and, where known, the line."""


_NO_ARGS: Any = object()


@dataclass(frozen=True)
class RefusedAttempt:
    """A call that the live guard refused: it never ran, so it is no step of its trace."""

    tool: str
    rule_id: str
    reason: str
    # The index of the step it came before: the index it would have had, had
    # it run (len(steps) for an attempt after the last step).
    before: int
    # The line of the file that holds it, when one line does.
    line: int | None = None
    # The arguments it was attempted with; _NO_ARGS when the line gave none.
    args: Any = _NO_ARGS

    @property
    def has_args(self) -> bool:
        return self.args is not _NO_ARGS


@dataclass(frozen=True)
class UnjudgedCall:
    """A call that ran without a judgement (its arguments could not be judged and the
    policy's on_error let it run): no step of its trace, and never to be passed over."""

    tool: str
    reason: str
    before: int
    line: int | None = None


@dataclass(frozen=True)
class Trace:
    """One trace read from a file, with enough to say where each of its steps came from."""

    source: str
    steps: list[Any]
    # The line of each step for a trace made of object lines; empty otherwise.
    step_lines: list[int] = field(default_factory=list)
    # The line holding the whole trace for an array line; None otherwise.
    line: int | None = None
    # Where in the file each step was found, for a trace read from another
    # format ("line 3: tool_calls[1]", "messages[4].content[2]"); empty otherwise.
    step_places: list[str] = field(default_factory=list)
    # What the trace is within its file when neither the file nor a line says
    # it (a telemetry trace id); None otherwise.
    place: str | None = None
    # The calls the live guard refused, and those that ran unjudged, in the
    # order they were made (see the module's doc).
    refused: list[RefusedAttempt] = field(default_factory=list)
    unjudged: list[UnjudgedCall] = field(default_factory=list)

    def line_of(self, step: int) -> int | None:
        """The line of the file that holds a step, when one line does."""
        return self.step_lines[step] if self.step_lines else self.line

    @property
    def label(self) -> str:
        if self.place is not None:
            return f"{self.source}: {self.place}"
        return self.source if self.line is None else f"{self.source}: line {self.line}"

    def where(self, step: int) -> str:
        """Where a step stands in its file, for error messages."""
        if self.step_lines:
            return f"{self.source}: line {self.step_lines[step]}"
        if self.step_places:
            return f"{self.source}: {self.step_places[step]}"
        return f"{self.label}: step {step}"


@dataclass
class TraceFile:
    path: str
    traces: list[Trace]
    warnings: list[str] = field(default_factory=list)
    # The format the file was read in (see ostik.formats).
    format: str = "ostik"


def read_trace_file(path: str) -> TraceFile:
    """Reads one trace file ("-" is standard input, read as JSON lines)."""
    try:
        source = read_json_source(path)
    except JsonSourceError as err:
        raise TraceFileError(str(err)) from None
    return trace_file_from_source(source)


def trace_file_from_source(source: JsonSource) -> TraceFile:
    """The traces of a file already read as JSON, taken as steps in ostik's own form."""
    name = source.name
    if source.is_document:
        value = source.document
        if not isinstance(value, list):
            raise TraceFileError(f"{name}: expected a JSON array of steps, found {kind_of(value)}")
        return TraceFile(name, [_trace(name, value, None, f"{name}: ")], list(source.warnings))
    numbers, values = source.line_numbers, source.line_values
    assert numbers is not None and values is not None
    keyed = any(type(value) is dict and type(value.get(SESSION_KEY)) is str for value in values)
    if not keyed and all(type(value) is dict for value in values):
        # Every line one step, as an agent recording its calls writes them: the
        # lists as read are the trace and its lines.
        if not any(map(_off_trace, values)):
            return TraceFile(name, [Trace(name, values, numbers)], list(source.warnings))
        return TraceFile(name, [_trace(name, values, numbers, f"{name}: ")], list(source.warnings))
    result = TraceFile(name, [], list(source.warnings))
    # The trace of object lines of each session key (one for the lines without a key).
    session_traces: dict[object, Trace] = {}
    for number, value in zip(numbers, values):
        if isinstance(value, dict):
            key = value.get(SESSION_KEY) if keyed else None
            key = key if type(key) is str else _UNKEYED
            file_trace = session_traces.get(key)
            if file_trace is None:
                place = None if key is _UNKEYED else f"{SESSION_KEY} {json.dumps(key)}"
                file_trace = session_traces[key] = Trace(name, [], place=place)
                result.traces.append(file_trace)
            if keyed and SESSION_KEY in value:
                # The key says whose step it is; it is no part of the step.
                value = {name: field for name, field in value.items() if name != SESSION_KEY}
            if _off_trace(value):
                _add_off_trace(file_trace, value, number, f"{name}: line {number}")
            else:
                file_trace.steps.append(value)
                file_trace.step_lines.append(number)
        elif isinstance(value, list):
            result.traces.append(_trace(name, value, None, f"{name}: line {number}: ", line=number))
        else:
            raise TraceFileError(f"{name}: line {number}: expected a JSON object (one step) or array (one trace), "
                                 f"found {kind_of(value)}")
    if not result.traces:
        # An agent that made no calls leaves an empty file: that is an empty trace.
        result.traces.append(Trace(name, []))
    return result


def _off_trace(value: Any) -> bool:
    """A refused, denied or unjudged call: what a session did not count, rather than a step."""
    return type(value) is dict and ("refused" in value or "unjudged" in value or value.get("approved") is False
                                    or ("result_of" in value and "tool" not in value))


def _trace(name: str, values: list[Any], numbers: list[int] | None, place: str, line: int | None = None) -> Trace:
    """A trace of these values, the refused and unjudged calls among them set beside the steps.

    `numbers` are the values' lines, for a trace of object lines; otherwise
    `place` names where the values are and an element is named by its index."""
    if not any(map(_off_trace, values)):
        return Trace(name, values, numbers or [], line=line)
    trace = Trace(name, [], line=line)
    for index, value in enumerate(values):
        if _off_trace(value):
            where = f"{name}: line {numbers[index]}" if numbers is not None else f"{place}[{index}]"
            _add_off_trace(trace, value, None if numbers is None else numbers[index], where)
        else:
            trace.steps.append(value)
            if numbers is not None:
                trace.step_lines.append(numbers[index])
    return trace


def _add_off_trace(trace: Trace, value: dict[str, Any], line: int | None, where: str) -> None:
    """A refused or unjudged call, added beside the steps read so far; raises TraceFileError
    when it is not the record a live guard writes. A result line, {"result": ..., "result_of": STEP}
    (and "is_error"), gives the step of that index its "result"."""
    if "result_of" in value and "tool" not in value:
        step = value["result_of"]
        if type(step) is not int or not 0 <= step < len(trace.steps) or "result" not in value:
            raise TraceFileError(f"{where}: result_of: expected the index of a step before the line, with its \"result\"")
        made = dict(trace.steps[step]) if isinstance(trace.steps[step], dict) else {}
        made["result"] = value["result"]
        if "is_error" in value:
            made["is_error"] = value["is_error"]
        trace.steps[step] = made
        return
    tool = value.get("tool")
    if not isinstance(tool, str):
        raise TraceFileError(f"{where}: tool: expected a string (the tool's name), found {kind_of(tool)}")
    before = len(trace.steps)
    if value.get("approved") is False and "refused" not in value and "unjudged" not in value:
        # An ask a person denied: refused by its ask entry.
        ask = value.get("ask")
        rule_id = ask.get("rule_id") if isinstance(ask, dict) else None
        if not isinstance(rule_id, str):
            raise TraceFileError(f"{where}: ask.rule_id: expected a string (the ask entry that the denied call met)")
        denial = value.get("denial")
        reason = f"'{tool}' was denied approval" + (f": {denial}" if isinstance(denial, str) and denial else "")
        trace.refused.append(RefusedAttempt(tool, rule_id, reason, before, line,
                                            value["args"] if "args" in value else _NO_ARGS))
        return
    if "refused" in value:
        if "unjudged" in value:
            raise TraceFileError(f"{where}: a call is either refused or unjudged, not both")
        refused = value["refused"]
        if not isinstance(refused, dict):
            raise TraceFileError(f"{where}: refused: expected an object with \"rule_id\" and \"reason\", "
                                 f"found {kind_of(refused)}")
        texts = []
        for key in ("rule_id", "reason"):
            text = refused.get(key)
            if not isinstance(text, str):
                found = f"found {kind_of(text)}" if key in refused else "missing"
                raise TraceFileError(f"{where}: refused.{key}: expected a string, {found}")
            texts.append(text)
        trace.refused.append(RefusedAttempt(tool, texts[0], texts[1], before, line,
                                            value["args"] if "args" in value else _NO_ARGS))
        return
    reason = value["unjudged"]
    if not isinstance(reason, str):
        raise TraceFileError(f"{where}: unjudged: expected a string (why the call could not be judged), "
                             f"found {kind_of(reason)}")
    trace.unjudged.append(UnjudgedCall(tool, reason, before, line))


def find_trace_files(directory: str) -> list[str]:
    """The trace files under a directory and its subdirectories, in a stable order; raises
    TraceFileError for the first entry that cannot be used (see walk_trace_files)."""
    found, problems = walk_trace_files(directory)
    if problems:
        raise TraceFileError(problems[0][1])
    return found


def walk_trace_files(directory: str) -> tuple[list[str], list[tuple[str, str]]]:
    """The trace files under a directory and its subdirectories, in a stable order, and every
    entry that looks like one but cannot be used, each with its message.

    Symbolic links to directories are followed, each directory once (by device and
    inode), so that a link back up the tree is reported as a loop instead of
    searched without end. A trace file's name that is a dangling or looping link,
    a FIFO, a device or a socket, and a directory that cannot be listed, are
    reported; the files found elsewhere are still used."""
    found: list[str] = []
    problems: list[tuple[str, str]] = []
    try:
        top = os.stat(directory)
    except OSError as err:
        return [], [(directory, f"{directory}: {err.strerror or err}")]
    seen = {(top.st_dev, top.st_ino)}
    pending = [os.path.normpath(directory)]
    while pending:
        parent = pending.pop()
        try:
            with os.scandir(parent) as entries:
                listed = sorted(entries, key=lambda entry: entry.name)
        except OSError as err:
            problems.append((parent, f"{parent}: cannot list the directory: {err.strerror or err}"))
            continue
        subdirectories = []
        for entry in listed:
            path = os.path.join(parent, entry.name)
            try:
                info = os.stat(path)
            except OSError as err:
                if entry.is_symlink():
                    problems.append((path, f"{path}: {'a looping' if _looping(err) else 'a dangling'} symbolic "
                                           f"link"))
                elif entry.name.endswith(TRACE_SUFFIXES):
                    problems.append((path, f"{path}: {err.strerror or err}"))
                continue
            if stat.S_ISDIR(info.st_mode):
                key = (info.st_dev, info.st_ino)
                if key in seen:
                    if entry.is_symlink():
                        problems.append((path, f"{path}: a symbolic link to a directory already searched (a loop, "
                                               "or a second way to the same files); not searched again"))
                    continue
                seen.add(key)
                subdirectories.append(path)
            elif entry.name.endswith(TRACE_SUFFIXES):
                if stat.S_ISREG(info.st_mode):
                    if os.access(path, os.R_OK):
                        found.append(path)
                    else:
                        problems.append((path, f"{path}: Permission denied"))
                else:
                    problems.append((path, f"{path}: not a regular file ({file_kind(info.st_mode)})"))
        # Depth first, in name order: the order os.walk gave with sorted names.
        pending.extend(reversed(subdirectories))
    return found, problems


def _looping(err: OSError) -> bool:
    return err.errno == errno.ELOOP


def first_bad_step(traces: Iterable[Trace], check: Callable[[Sequence[Any]], object]) -> str | None:
    """Where the first step that the native reader refuses stands, with its message.

    The reader judges each step on its own, so trying the steps one at a time
    finds the same step that failed the whole call; this runs only after a
    failure."""
    for trace in traces:
        for index, step in enumerate(trace.steps):
            try:
                check([step])
            except ValueError as err:
                return f"{trace.where(index)}: {err}"
    return None
