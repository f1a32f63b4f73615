"""`ostik test`: every trace found under the given paths judged against a policy, as a CI job runs it.

A trace fails when a step is blocked or an end-of-trace check fails; a trace
without steps fails when the policy has `require` rules (it called nothing it
requires). Each trace is judged by ``Guard.judge``, which gives the verdicts
without an explanation report.

Files are judged whole, each by one worker process that loads the policy
itself; a worker sends back one small `FileResult` per file (a `TraceResult`
per trace), and the parent only merges and prints them, in the order of the
paths. Both records are plain named tuples of strings and numbers, so they
pickle cheaply and can be merged anywhere.
"""

from __future__ import annotations

import os
import time
from collections.abc import Iterator, Sequence
from typing import NamedTuple

from ostik._engine import Decision, Guard, Judgement, RuleFailure, policy_bytes
from ostik._native import Policy
from ostik.formats import AUTO, FORMATS, AmbiguousFormatError, read_file
from ostik.formats.trace_files import STDIN, Trace, TraceFile, TraceFileError, first_bad_step, walk_trace_files
from ostik.reports.violations import FailureKey, failure_key
from ostik.runs.workers import ignore_interrupts, map_files

__all__ = ["UNTIMED_NOTE", "FileResult", "TraceResult", "Violation", "judge_file", "judge_paths", "judge_paths_on_cluster",
           "off_trace_violations", "read_traces", "trace_paths", "trace_result", "unjudged_allowed", "unjudged_warning"]


# Said once per run, whatever the number of files or traces, where a windowed limit met
# a step without a time and judged it as not applicable.
UNTIMED_NOTE = ("limits over a window of time were not applied to steps without a time (\"ts\", or the "
                "transcript's own timestamps)")


class Violation(NamedTuple):
    """A rule that failed a trace, where it first did so."""

    rule: str
    reason: str
    # The step it first blocked, with that step's tool and, when one line of
    # the file holds the step, that line; None for an end-of-trace check.
    step: int | None
    tool: str | None
    line: int | None
    # How many later steps the same rule blocked (for the allow and deny
    # lists: blocked for the same tool).
    blocked_later: int
    # "step" for a blocked step or an end-of-trace check; "refused" for a call
    # the live guard refused and "unjudged" for one that ran unjudged, where
    # these fail the trace (see `off_trace_violations`), `step` being the
    # index of the step the call came before.
    kind: str = "step"


class TraceResult(NamedTuple):
    """The judgement of one trace, as small as the reports need it."""

    file: str
    # The line of the file holding the trace, when the file holds several
    # traces or one line holds the whole trace; None otherwise.
    line: int | None
    # Where the trace is in its file when no line says it (a telemetry trace id).
    place: str | None
    passed: bool
    steps: int
    blocked_steps: int
    # The ids of the rules that blocked a step, in order of first blocking,
    # then those of the failed end-of-trace checks.
    blocking_rules: tuple[str, ...]
    # The blocking rules where each first blocked a step (in that order), then
    # the failed end-of-trace checks.
    violations: tuple[Violation, ...]
    # The calls the live guard refused, and those that ran unjudged: no steps
    # of the trace, counted beside them.
    refused: int = 0
    unjudged: int = 0
    # The steps an ask entry or an ask flow needed a person's approval for:
    # they pass the trace, and are counted so that they never pass unseen.
    asked: int = 0

    @property
    def first_block(self) -> Violation | None:
        """The first blocked step, its blocking rule and reason."""
        return self.violations[0] if self.blocked_steps else None

    @property
    def end_failures(self) -> tuple[Violation, ...]:
        return tuple(v for v in self.violations if v.step is None and v.kind == "step")


class FileResult(NamedTuple):
    """One input file: its traces' results, or why it could not be used."""

    path: str
    traces: tuple[TraceResult, ...]
    # Things to tell on stderr: the format detected, the reader's warnings.
    notes: tuple[str, ...]
    # The file could not be used (read, parsed, or one of its steps); the
    # message names the file and, where known, the line.
    error: str | None
    seconds: float
    # A windowed limit met a step without a time, and judged it as not applicable.
    untimed: bool = False


def read_traces(path: str, trace_format: str) -> tuple[TraceFile, list[str]]:
    """Reads a trace file in the named format, or the one its content shows ("auto"), with
    what to tell about it; raises TraceFileError with the message to show."""
    try:
        trace_file = read_file(path, trace_format)
    except AmbiguousFormatError as err:
        raise TraceFileError(f"{err}; name it with --format NAME ({', '.join(FORMATS)})") from None
    notes = []
    if trace_format == AUTO and trace_file.format != "ostik":
        notes.append(f"{trace_file.path}: detected format {trace_file.format}")
    notes.extend(f"warning: {warning}" for warning in trace_file.warnings)
    return trace_file, notes


def unnamed_steps_warning(trace_file: TraceFile, verb: str) -> str | None:
    """Steps that name no tool are judged as calls of 'unknown': almost always a file read in the wrong format."""
    total = unnamed = 0
    for trace in trace_file.traces:
        total += len(trace.steps)
        for step in trace.steps:
            # Most steps have a "tool": the first tests settle them.
            if type(step) is dict and ("tool" not in step or step["tool"] is None):
                unnamed += step.get("name") is None and step.get("tool_name") is None
    if not unnamed:
        return None
    return (f"warning: {trace_file.path}: {unnamed} of {total} steps name no tool and are {verb} as calls of "
            f"'unknown'; is the file in another format? (see --format)")


def unjudged_warning(trace_file: TraceFile, on_error: str) -> str | None:
    """Calls that ran unjudged are never passed over in silence: where the policy's
    on_error allows them (and so they fail nothing), this says they are there."""
    count = sum(len(trace.unjudged) for trace in trace_file.traces)
    if not count or not unjudged_allowed(on_error):
        return None
    calls = "call" if count == 1 else "calls"
    return (f"warning: {trace_file.path}: {count} {calls} ran unjudged (their arguments could not be judged; the "
            f"policy's on_error: allow lets such calls run); ostik explain shows where")


def unjudged_allowed(on_error: str) -> bool:
    """Whether a call that ran unjudged leaves its trace passing: only where the policy's
    on_error lets such calls run; under block the live guard would have refused it."""
    return on_error == "allow"


def off_trace_violations(trace: Trace, on_error: str, fail_on_refused: bool) -> list[Violation]:
    """The refused and unjudged calls that fail a trace, one per rule and tool where each first happened.

    A refused call fails its trace only with `fail_on_refused`: it never ran,
    so the trace of what ran is judged without it. A call that ran unjudged
    fails it unless the policy's on_error allows such calls."""
    first: dict[tuple[str, str, str], Violation] = {}
    later: dict[tuple[str, str, str], int] = {}
    if fail_on_refused:
        for attempt in trace.refused:
            key = ("refused", attempt.rule_id, attempt.tool)
            if key in first:
                later[key] = later.get(key, 0) + 1
            else:
                first[key] = Violation(attempt.rule_id, attempt.reason, attempt.before, attempt.tool, attempt.line,
                                       0, "refused")
    if not unjudged_allowed(on_error):
        for call in trace.unjudged:
            key = ("unjudged", "on_error", call.tool)
            if key in first:
                later[key] = later.get(key, 0) + 1
            else:
                first[key] = Violation("on_error", call.reason, call.before, call.tool, call.line, 0, "unjudged")
    return [violation._replace(blocked_later=later.get(key, 0)) for key, violation in first.items()]


def trace_paths(arguments: Sequence[str]) -> tuple[list[str], list[tuple[str, str]]]:
    """The trace files the arguments name (a directory stands for the trace files under it), and
    the arguments that name none and the entries under them that cannot be used, each with its
    message."""
    paths: list[str] = []
    errors: list[tuple[str, str]] = []
    for argument in arguments:
        if argument == STDIN or not os.path.isdir(argument):
            paths.append(argument)
            continue
        found, problems = walk_trace_files(argument)
        errors.extend(problems)
        if found:
            paths.extend(found)
        elif not problems:
            errors.append((argument, f"{argument}: no .jsonl or .json files in this directory or below"))
    return paths, errors


def trace_result(trace: Trace, judgement: Judgement, several: bool, on_error: str = "block",
                 fail_on_refused: bool = False) -> TraceResult:
    """`on_error`: the policy's (Guard.on_error), which says whether a call that ran unjudged fails the trace."""
    line = trace.line
    if line is None and several and trace.step_lines:
        line = trace.step_lines[0]
    violations = []
    if judgement.blocked_steps:
        first: dict[FailureKey, tuple[RuleFailure, Decision]] = {}
        later: dict[FailureKey, int] = {}
        for decision in judgement.decisions:
            if decision.allowed or decision.needs_approval:
                continue
            failure = decision.failures[0]
            key = failure_key(failure, decision.tool)
            if key in first:
                later[key] = later.get(key, 0) + 1
            else:
                first[key] = failure, decision
        violations = [Violation(failure.rule_id, failure.explanation, decision.step, decision.tool,
                                trace.line_of(decision.step), later.get(key, 0))
                      for key, (failure, decision) in first.items()]
    violations.extend(Violation(f.rule_id, f.explanation, None, None, None, 0) for f in judgement.end_failures)
    off_trace = off_trace_violations(trace, on_error, fail_on_refused) if trace.refused or trace.unjudged else []
    violations.extend(off_trace)
    return TraceResult(trace.source, line, trace.place, judgement.passed and not off_trace, judgement.steps,
                       judgement.blocked_steps, tuple(judgement.blocking_rules), tuple(violations),
                       len(trace.refused), len(trace.unjudged), judgement.asked_steps)


def judge_file(guard: Guard, path: str, trace_format: str, fail_on_refused: bool = False) -> FileResult:
    """Every trace of one file judged; a file that cannot be used gives its error instead."""
    start = time.perf_counter()
    try:
        trace_file, notes = read_traces(path, trace_format)
    except TraceFileError as err:
        return FileResult(path, (), (), str(err), time.perf_counter() - start)
    results = []
    several = len(trace_file.traces) > 1
    untimed = False
    for trace in trace_file.traces:
        try:
            judgement = guard.judge(trace.steps)
            untimed = untimed or judgement.windows_unjudged
        except ValueError as err:
            where = first_bad_step([trace], guard.judge) or f"{trace.label}: {err}"
            return FileResult(trace_file.path, (), tuple(notes), where, time.perf_counter() - start)
        results.append(trace_result(trace, judgement, several, guard.on_error, fail_on_refused))
    for warning in (unnamed_steps_warning(trace_file, "judged"), unjudged_warning(trace_file, guard.on_error)):
        if warning:
            notes.append(warning)
    return FileResult(trace_file.path, tuple(results), tuple(notes), None, time.perf_counter() - start, untimed)


# --- worker processes ---------------------------------------------------------

# A worker's guard, format and whether refused attempts fail a trace, or why its policy did not load.
_worker: tuple[Guard, str, bool] | str | None = None


def _start_worker(policy_path: str, trace_format: str, fail_on_refused: bool) -> None:
    global _worker
    ignore_interrupts()
    try:
        _worker = (Guard.from_file(policy_path), trace_format, fail_on_refused)
    except (FileNotFoundError, ValueError) as err:  # the file changed since the parent loaded it
        _worker = f"{policy_path}: {err}"


def _judge_in_worker(item: tuple[int, str]) -> FileResult:
    path = item[1]
    if not isinstance(_worker, tuple):
        return FileResult(path, (), (), _worker or "the worker did not start", 0.0)
    guard, trace_format, fail_on_refused = _worker
    return judge_file(guard, path, trace_format, fail_on_refused)


def judge_paths(guard: Guard, policy_path: str, paths: Sequence[str], trace_format: str,
                jobs: int, fail_on_refused: bool = False) -> Iterator[FileResult]:
    """The result of every path, in the order given, judged by up to `jobs` worker
    processes (standard input in this process)."""
    return map_files(paths, jobs, here=lambda _, path: judge_file(guard, path, trace_format, fail_on_refused),
                     in_worker=_judge_in_worker, start=_start_worker,
                     start_args=(policy_path, trace_format, fail_on_refused),
                     lost=lambda _, path: FileResult(path, (), (), f"{path}: not judged: a worker process ended "
                                                                   "unexpectedly", 0.0),
                     max_chunk=64)


# --- a Dask cluster -------------------------------------------------------------

# A worker's guards, by policy path and the bytes of the policy the command
# loaded, or why that policy could not be had there.
_cluster_guards: dict[tuple[str, bytes], Guard | str] = {}


def _judge_on_cluster(path: str, policy_path: str, policy: bytes, trace_format: str,
                      fail_on_refused: bool = False) -> FileResult:
    key = (policy_path, policy)
    guard = _cluster_guards.get(key)
    if guard is None:
        try:
            loaded = Guard.from_file(policy_path)
        except (FileNotFoundError, ValueError) as err:
            guard = f"{policy_path}: on a Dask worker: {err}"
        else:
            # Judged by another policy, the results would be wrong, not just late.
            same = policy_bytes(loaded.policy) == policy
            guard = loaded if same else f"{policy_path}: differs on a Dask worker from the policy loaded here"
        _cluster_guards[key] = guard
    if isinstance(guard, str):
        return FileResult(path, (), (), guard, 0.0)
    return judge_file(guard, path, trace_format, fail_on_refused)


def judge_paths_on_cluster(policy: Policy, policy_path: str, paths: Sequence[str],
                           trace_format: str, fail_on_refused: bool = False) -> Iterator[FileResult]:
    """The result of every path, in the order given, judged on the Dask cluster of the current
    client (one task per file). Each worker loads the policy from the same path once, and
    judges only if it is the policy loaded here, whose bytes it receives once."""
    from distributed import get_client
    from distributed.client import FutureCancelledError

    client = get_client()
    shared = client.scatter(policy_bytes(policy), broadcast=True)  # type: ignore[no-untyped-call]
    futures = client.map(_judge_on_cluster, list(paths), policy_path=policy_path, policy=shared,
                         trace_format=trace_format, fail_on_refused=fail_on_refused, pure=False)
    try:
        for path, future in zip(paths, futures):
            try:
                yield future.result()
            except (FutureCancelledError, OSError, RuntimeError) as err:
                # A worker that died more often than the scheduler allows takes its files with it.
                yield FileResult(path, (), (), f"{path}: not judged: {type(err).__name__}: {err}", 0.0)
    finally:
        client.cancel(futures)  # type: ignore[no-untyped-call]
