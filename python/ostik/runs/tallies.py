"""Trace files measured or judged one file at a time, into accumulators that merge.

`ostik coverage` (in this process or in -j N others), ``ostik test -q``,
``ostik diff`` and ostik.dask read each trace file on its own into a
``CoverageAccumulator``, an ``AuditAccumulator`` or a ``DiffAccumulator`` and
merge the results: the same answer whatever the
number of processes or machines, with the memory of one file at a time.

A file's problems travel as data beside its accumulator, so that results
merged in any order still tell the problem a run in one process would have
stopped at: the first file in the given order that could not be read, else the
first file with a step that could not be read (every file is read before any
step is refused, as ``CoverageAnalyzer.analyze`` over all the traces would).
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal

from ostik._engine import AuditAccumulator, CoverageAccumulator, DiffAccumulator
from ostik.formats.reading import collector_paused
from ostik.runs.judging import read_traces, unjudged_warning, unnamed_steps_warning
from ostik.formats.json_text import STDIN_NAME
from ostik.formats.trace_files import STDIN, Trace, TraceFileError, first_bad_step
from ostik.reports.text import off_trace_text
from ostik.runs.workers import ignore_interrupts, map_files

__all__ = ["KEEP_ALL", "Accumulator", "Measure", "Tally", "merged", "tally_files", "tally_paths", "tally_traces", "trace_ref"]

Accumulator = CoverageAccumulator | AuditAccumulator | DiffAccumulator

# As many traces as an accumulator can keep: all of them.
KEEP_ALL = 2**64 - 1


@dataclass(frozen=True)
class Measure:
    """What to make of traces: coverage or an audit of the policy with these bytes
    (``ostik.policy_bytes``), or a diff of it and the policy with the bytes
    `new_policy`. Small, so it travels to workers cheaply; every process builds
    the policies once however many accumulators it makes.

    A diff with a `listing` also writes each file's changed traces as
    ``ostik diff`` lists them ("plain", or "colour" for ANSI colours), in the
    process that judged the file: the text travels instead of the traces,
    which its accumulator then keeps only up to `keep`."""

    kind: Literal["coverage", "audit", "diff"]
    policy: bytes
    keep: int = 100
    new_policy: bytes = b""
    listing: Literal["", "plain", "colour"] = ""
    # An audit's traces that fail for calls that are no steps (see
    # ostik.runs.judging.off_trace_violations): those holding refused
    # attempts, and those holding calls that ran unjudged.
    fail_on_refused: bool = False
    fail_on_unjudged: bool = False

    def accumulator(self) -> Accumulator:
        if self.kind == "coverage":
            return CoverageAccumulator(self.policy)
        if self.kind == "diff":
            return DiffAccumulator(self.policy, self.new_policy, KEEP_ALL if self.listing else self.keep)
        return AuditAccumulator(self.policy, self.keep)


@dataclass
class Tally:
    """What some trace files came to: an accumulator, and what there is to tell about the files.

    Files are known by their index in the run's list of files. A file that
    cannot be used adds nothing to the accumulator."""

    accumulator: Accumulator
    files: int = 0
    # Things to tell on stderr (the format detected, the reader's warnings), by file.
    notes: list[tuple[int, str]] = field(default_factory=list)
    # The files that could not be used, each with the message naming it (and
    # where known the line), and whether a step of it was at fault rather
    # than the file itself.
    problems: list[tuple[int, str, bool]] = field(default_factory=list)
    # The calls that are no steps: refused by a live guard, or run unjudged.
    refused: int = 0
    unjudged: int = 0
    # The traces an audit failed for those calls alone, which its accumulator
    # (judging only the steps) counts as passing.
    failed_off_trace: int = 0
    # A diff's listing of one file's changed traces, one text per trace (see
    # Measure); not merged: each file's is shown on its own.
    listing: list[str] | None = None
    # A diff's traces of one file that hold calls that are no steps, by the
    # reference the accumulator gives them: (refused attempts, unjudged
    # calls); only the traces that hold some; not merged either.
    off_trace: dict[object, tuple[int, int]] = field(default_factory=dict)

    def merge(self, other: Tally) -> Tally:
        """Adds `other` into this tally (in place) and returns it."""
        self.accumulator.merge(other.accumulator)  # type: ignore[arg-type]  # one kind per run
        self.files += other.files
        self.refused += other.refused
        self.unjudged += other.unjudged
        self.failed_off_trace += other.failed_off_trace
        self.notes.extend(other.notes)
        self.problems.extend(other.problems)
        return self

    @property
    def unreadable(self) -> tuple[int, str] | None:
        """The first file (by index) that could not be read."""
        found = [(index, message) for index, message, step in self.problems if not step]
        return min(found, default=None)

    @property
    def bad_step(self) -> tuple[int, str] | None:
        """The first file holding a step that cannot be read, and where that step is."""
        found = [(index, message) for index, message, step in self.problems if step]
        return min(found, default=None)

    def problem(self) -> str | None:
        """The problem that stops a run that needs every file, as one process reading the
        files in order and then their steps would meet it first."""
        first = self.unreadable or self.bad_step
        return None if first is None else first[1]

    def notes_to_show(self) -> list[str]:
        """The notes in file order, up to the file that could not be read."""
        unreadable = self.unreadable
        last = None if unreadable is None else unreadable[0]
        return [note for index, note in sorted(self.notes, key=lambda n: n[0]) if last is None or index <= last]


def merged(tallies: Iterable[Tally]) -> Tally:
    """One tally of many (at least one)."""
    items = iter(tallies)
    total = next(items)
    for tally in items:
        total.merge(tally)
    return total


def trace_ref(trace: Trace, several: bool) -> str | tuple[str, int]:
    """How an audit names a trace: (file, line) where a line holds it or starts it, else its label."""
    line = trace.line
    if line is None and several and trace.step_lines:
        line = trace.step_lines[0]
    return trace.label if line is None else (trace.source, line)


def tally_file(measure: Measure, index: int, path: str, trace_format: str) -> Tally:
    """The traces of one file, read in the named format (or the one its content shows)."""
    # A file's steps hold no reference cycles, and the collector's passes over
    # them would cost as much as the reading (see ostik.formats.reading); a Dask
    # worker, unlike the command line, runs with the collector on.
    with collector_paused():
        return _tally_file(measure, index, path, trace_format)


def _tally_file(measure: Measure, index: int, path: str, trace_format: str) -> Tally:
    accumulator = measure.accumulator()
    try:
        trace_file, notes = read_traces(path, trace_format)
    except TraceFileError as err:
        return Tally(accumulator, 1, problems=[(index, str(err), False)])
    tally = Tally(accumulator, 1, [(index, note) for note in notes])
    steps = [trace.steps for trace in trace_file.traces]
    several = len(trace_file.traces) > 1
    try:
        if isinstance(accumulator, CoverageAccumulator):
            accumulator.add_many(steps)
        else:
            accumulator.add_many(steps, [trace_ref(trace, several) for trace in trace_file.traces])
    except ValueError as err:
        where = first_bad_step(trace_file.traces, measure.accumulator().add)
        tally.problems.append((index, where or f"{trace_file.path}: {err}", True))
        return tally
    tally.refused = sum(len(trace.refused) for trace in trace_file.traces)
    tally.unjudged = sum(len(trace.unjudged) for trace in trace_file.traces)
    if measure.kind != "coverage":
        # Judged, as by `ostik test`: say so when the steps name no tool.
        unnamed = unnamed_steps_warning(trace_file, "judged")
        if unnamed:
            tally.notes.append((index, unnamed))
    if measure.kind == "audit":
        # And when calls ran unjudged.
        unjudged = unjudged_warning(trace_file, "block" if measure.fail_on_unjudged else "allow")
        if unjudged:
            tally.notes.append((index, unjudged))
        tally.failed_off_trace = _failed_off_trace(measure, trace_file.traces)
    if measure.kind == "diff" and (tally.refused or tally.unjudged):
        tally.off_trace = {trace_ref(trace, several): (len(trace.refused), len(trace.unjudged))
                           for trace in trace_file.traces if trace.refused or trace.unjudged}
    if measure.listing and isinstance(accumulator, DiffAccumulator):
        tally.listing = accumulator.listing(STDIN_NAME if path == STDIN else path, measure.listing == "colour")
        if tally.off_trace:
            tally.listing = with_off_trace(tally.listing, accumulator, tally.off_trace)
        if measure.keep < KEEP_ALL:
            kept = DiffAccumulator(measure.policy, measure.new_policy, measure.keep)
            kept.merge(accumulator)
            tally.accumulator = kept
    return tally


def with_off_trace(listing: list[str], accumulator: DiffAccumulator,
                   off_trace: Mapping[object, tuple[int, int]]) -> list[str]:
    """A diff's listing of changed traces with, on each trace's first line, its calls that are no
    steps, as `ostik test` shows them on a trace's line ("(1 of 3 steps change; 1 refused attempt)")."""
    shown = []
    for text, trace in zip(listing, accumulator.summary()["changed"]):
        counts = off_trace.get(trace["ref"])
        if counts is not None:
            first, newline, rest = text.partition("\n")
            # The first line ends with its closing parenthesis.
            text = f"{first[:-1]}{off_trace_text(*counts)}){newline}{rest}"
        shown.append(text)
    return shown


def _failed_off_trace(measure: Measure, traces: Sequence[Trace]) -> int:
    """How many traces fail only for their refused or unjudged calls: a trace's steps
    may fail it anyway, and the accumulator counted that failure already."""
    flagged = [trace.steps for trace in traces
               if measure.fail_on_refused and trace.refused or measure.fail_on_unjudged and trace.unjudged]
    if not flagged:
        return 0
    # Rare (a file of a live guard's refusals), so judged apart rather than made room for in the accumulator.
    check = AuditAccumulator(measure.policy, keep=0)
    check.add_many(flagged)
    return len(flagged) - check.summary()["failed_traces"]


def tally_files(measure: Measure, files: Iterable[tuple[int, str]], trace_format: str) -> Tally:
    """The traces of some files, each given with its index."""
    tally = Tally(measure.accumulator())
    for index, path in files:
        tally.merge(tally_file(measure, index, path, trace_format))
    return tally


def tally_traces(measure: Measure, traces: Iterable[Sequence[Any] | Trace]) -> Tally:
    """Traces given as they are: lists of steps, or Trace records (an audit names those by their place)."""
    accumulator = measure.accumulator()
    for trace in traces:
        if isinstance(trace, Trace):
            if isinstance(accumulator, (AuditAccumulator, DiffAccumulator)):
                accumulator.add(trace.steps, trace_ref(trace, trace.line is not None))
            else:
                accumulator.add(trace.steps)
        else:
            accumulator.add(trace)
    return Tally(accumulator)


# --- local worker processes ---------------------------------------------------

# A worker's measure and format, set once when it starts.
_worker: tuple[Measure, str] | None = None


def _start_worker(measure: Measure, trace_format: str) -> None:
    global _worker
    ignore_interrupts()
    _worker = (measure, trace_format)


def _tally_in_worker(item: tuple[int, str]) -> Tally:
    assert _worker is not None, "the worker did not start"
    measure, trace_format = _worker
    return tally_file(measure, item[0], item[1], trace_format)


def tally_paths(measure: Measure, paths: Sequence[str], trace_format: str, jobs: int) -> Iterator[Tally]:
    """The tally of every file, in the order given, made by up to `jobs` worker processes
    (standard input, and everything when one process is enough, in this one). The
    policy goes to each worker once."""
    def lost(index: int, path: str) -> Tally:
        message = f"{path}: not read: a worker process ended unexpectedly"
        return Tally(measure.accumulator(), 1, problems=[(index, message, False)])

    return map_files(paths, jobs, here=lambda index, path: tally_file(measure, index, path, trace_format),
                     in_worker=_tally_in_worker, start=_start_worker, start_args=(measure, trace_format),
                     lost=lost, max_chunk=16)
