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
import re
from typing import TYPE_CHECKING, Any, Literal, NamedTuple

from ostik._engine import AuditAccumulator, CoverageAccumulator, DiffAccumulator
from ostik.formats.reading import collector_paused
from ostik.runs.judging import read_traces, unjudged_warning, unnamed_steps_warning
from ostik.formats.json_text import STDIN_NAME
from ostik.formats.trace_files import STDIN, Trace, TraceFileError, first_bad_step
from ostik.reports.escaping import printable
from ostik.reports.text import off_trace_text
from ostik.runs.workers import ignore_interrupts, map_files

if TYPE_CHECKING:
    from ostik._engine import _ChangedTrace

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
    # A diff's: whether a call that ran unjudged fails its trace under the new
    # policy (`fail_on_unjudged` saying it of the old), as `ostik test` fails it.
    new_fail_on_unjudged: bool = False

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
    # A diff's traces of one file whose session a line holding a step names,
    # by reference (the accumulator's reference is the line): the label
    # `ostik test` shows after the line; not merged.
    places: dict[object, str] = field(default_factory=dict)
    # A diff's traces of one file whose unjudged calls change the outcome the
    # steps give, where an on_error of block fails them (see
    # `unjudged_outcomes`); not merged. And what they change in the summary's
    # counts, merged.
    outcomes: dict[object, UnjudgedOutcome] = field(default_factory=dict)
    outcome_counts: dict[str, int] = field(default_factory=dict)

    def merge(self, other: Tally) -> Tally:
        """Adds `other` into this tally (in place) and returns it."""
        self.accumulator.merge(other.accumulator)  # type: ignore[arg-type]  # one kind per run
        self.files += other.files
        self.refused += other.refused
        self.unjudged += other.unjudged
        self.failed_off_trace += other.failed_off_trace
        for key, count in other.outcome_counts.items():
            self.outcome_counts[key] = self.outcome_counts.get(key, 0) + count
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
    if measure.kind == "diff":
        if tally.refused or tally.unjudged:
            tally.off_trace = {trace_ref(trace, several): (len(trace.refused), len(trace.unjudged))
                               for trace in trace_file.traces if trace.refused or trace.unjudged}
        tally.places = {ref: trace.place for trace in trace_file.traces
                        if trace.place is not None and isinstance(ref := trace_ref(trace, several), tuple)}
        if tally.unjudged and (measure.fail_on_unjudged or measure.new_fail_on_unjudged):
            tally.outcomes, tally.outcome_counts = unjudged_outcomes(measure, trace_file.traces, several)
    if measure.listing and isinstance(accumulator, DiffAccumulator):
        tally.listing = accumulator.listing(STDIN_NAME if path == STDIN else path, measure.listing == "colour")
        if tally.off_trace or tally.places or tally.outcomes:
            tally.listing = shown_listing(tally.listing, accumulator.summary()["changed"], tally,
                                          STDIN_NAME if path == STDIN else path, measure.listing == "colour")
        if measure.keep < KEEP_ALL:
            kept = DiffAccumulator(measure.policy, measure.new_policy, measure.keep)
            kept.merge(accumulator)
            tally.accumulator = kept
    return tally


class UnjudgedOutcome(NamedTuple):
    """A trace's outcome under each policy once its unjudged calls are judged as `ostik test`
    judges them: failing it where the policy's on_error is block."""

    old_passed: bool
    new_passed: bool
    steps: int
    # Whether the steps alone change (the accumulator lists the trace), and
    # under which policies the unjudged calls fail it.
    listed: bool
    old_fails: bool
    new_fails: bool
    unjudged: int


def unjudged_outcomes(measure: Measure, traces: Sequence[Trace],
                      several: bool) -> tuple[dict[object, UnjudgedOutcome], dict[str, int]]:
    """The traces holding unjudged calls whose outcome those calls change, by reference, and what
    that changes in a diff's counts. Rare (a file of a live guard's sessions), so these traces are
    judged again apart rather than made room for in the accumulator, which judges the steps only."""
    flagged = [trace for trace in traces if trace.unjudged]
    steps = [trace.steps for trace in flagged]
    refs: list[int | str | tuple[str, int] | None] = list(range(len(flagged)))
    diff = DiffAccumulator(measure.policy, measure.new_policy, KEEP_ALL)
    diff.add_many(steps, refs)
    audit = AuditAccumulator(measure.policy, KEEP_ALL)
    audit.add_many(steps, refs)
    changed = {change["ref"]: change for change in diff.summary()["changed"]}
    failing = {failure["ref"] for failure in audit.summary()["failing"]}
    outcomes: dict[object, UnjudgedOutcome] = {}
    counts = dict.fromkeys(("changed_traces", "newly_failing", "newly_passing", "old_failed_traces",
                            "new_failed_traces"), 0)
    for index, trace in enumerate(flagged):
        change = changed.get(index)
        old_steps = index not in failing
        new_steps = change["new_passed"] if change is not None else old_steps
        old, new = old_steps and not measure.fail_on_unjudged, new_steps and not measure.new_fail_on_unjudged
        if (old, new) == (old_steps, new_steps):
            continue
        counts["old_failed_traces"] += old_steps and not old
        counts["new_failed_traces"] += new_steps and not new
        counts["newly_failing"] += (old and not new) - (old_steps and not new_steps)
        counts["newly_passing"] += (new and not old) - (new_steps and not old_steps)
        counts["changed_traces"] += change is None and old != new
        outcomes[trace_ref(trace, several)] = UnjudgedOutcome(
            old, new, len(trace.steps), change is not None, measure.fail_on_unjudged,
            measure.new_fail_on_unjudged, len(trace.unjudged))
    return outcomes, counts


def shown_changes(changed: Sequence[_ChangedTrace], tally: Tally) -> list[_ChangedTrace]:
    """A file's changed traces as its accumulator gives them, their outcomes as their unjudged calls
    make them (see `unjudged_outcomes`), then the traces that only those calls change."""
    shown: list[_ChangedTrace] = []
    for trace in changed:
        outcome = tally.outcomes.get(trace["ref"])
        if outcome is not None:
            trace = {**trace, "old_passed": outcome.old_passed, "new_passed": outcome.new_passed}
        shown.append(trace)
    for ref, outcome in tally.outcomes.items():
        if not outcome.listed and outcome.old_passed != outcome.new_passed:
            shown.append({"ref": ref, "old_passed": outcome.old_passed,  # type: ignore[typeddict-item]
                          "new_passed": outcome.new_passed, "steps": outcome.steps, "changes": [],
                          "old_end_failures": [], "new_end_failures": []})
    return shown


# The first line of a changed trace's listing: its place, its outcomes (painted
# or not), and the count of its changed steps in parentheses.
_FIRST_LINE = re.compile(r"(.*): ((?:\x1b\[[0-9;]*m)?(?:pass|fail) → (?:pass|fail)(?:\x1b\[0m)?) \((.*)\)", re.S)


def _outcome_text(old: bool, new: bool, colour: bool) -> str:
    text = f"{'pass' if old else 'fail'} → {'pass' if new else 'fail'}"
    if not colour:
        return text
    code = "1;31" if old and not new else "32" if new else "33"
    return f"\x1b[{code}m{text}\x1b[0m"


def _unjudged_line(outcome: UnjudgedOutcome) -> str:
    calls = "1 call" if outcome.unjudged == 1 else f"{outcome.unjudged} calls"
    if outcome.old_fails and outcome.new_fails:
        where = "under both policies (on_error: block)"
    elif outcome.old_fails:
        where = "under the old policy (on_error: block), not under the new (on_error: allow)"
    else:
        where = "under the new policy (on_error: block), not under the old (on_error: allow)"
    return f"  {calls} ran unjudged: the trace fails {where}"


def shown_listing(listing: Sequence[str], changed: Sequence[_ChangedTrace], tally: Tally, file: str,
                  colour: bool) -> list[str]:
    """A diff's listing of a file's changed traces (one text per entry of `changed`, as the
    accumulator wrote them) as `ostik test` would show the traces: a session's label after the line
    that names its trace, the calls that are no steps counted on the trace's first line ("(1 of 3
    steps change; 1 refused attempt)"), the outcomes that unjudged calls make, and the traces that
    only those calls change, last; one text per entry of `shown_changes`."""
    shown = []
    for text, trace in zip(listing, changed):
        ref = trace["ref"]
        counts, place, outcome = tally.off_trace.get(ref), tally.places.get(ref), tally.outcomes.get(ref)
        first, newline, rest = text.partition("\n")
        parts = _FIRST_LINE.fullmatch(first)
        if parts is not None:
            where, change, steps = parts.groups()
            if place is not None:
                where += f": {printable(place)}"
            if outcome is not None:
                change = _outcome_text(outcome.old_passed, outcome.new_passed, colour)
            if counts is not None:
                steps += off_trace_text(*counts)
            first = f"{where}: {change} ({steps})"
            if outcome is not None:
                rest = f"{_unjudged_line(outcome)}\n{rest}" if rest else _unjudged_line(outcome)
                newline = "\n"
        shown.append(f"{first}{newline}{rest}")
    for trace in shown_changes(changed, tally)[len(changed):]:
        ref = trace["ref"]
        outcome = tally.outcomes[ref]
        where = trace_place_text(ref, file, tally.places.get(ref))
        counts = tally.off_trace.get(ref, (0, 0))
        shown.append(f"{where}: {_outcome_text(outcome.old_passed, outcome.new_passed, colour)} "
                     f"(0 of {outcome.steps} step{'' if outcome.steps == 1 else 's'} change{off_trace_text(*counts)})"
                     f"\n{_unjudged_line(outcome)}")
    return shown


def trace_place_text(ref: object, file: str, place: str | None) -> str:
    """Where a trace is, as the listing names it: "file:line", "file: label" or "file: trace N"."""
    if isinstance(ref, tuple):
        where = f"{printable(ref[0])}:{ref[1]}"
        return where if place is None else f"{where}: {printable(place)}"
    if isinstance(ref, str):
        if ref == file:
            return printable(file)
        return f"{printable(file)}: {printable(ref.removeprefix(file + ': '))}"
    return f"{printable(file)}: trace {ref}"


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
