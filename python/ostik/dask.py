"""Coverage and audits of many traces on a Dask cluster (``pip install 'ostik[dask]'``).

    import ostik.dask
    from distributed import Client

    with Client("tcp://scheduler:8786"):
        report = ostik.dask.coverage("traces/**/*.jsonl", "policy.yaml", threshold=80)
        summary = ostik.dask.audit(["shard-a/*.jsonl", "shard-b/*.jsonl"], "policy.yaml")

``traces`` is a Dask bag whose items are traces (lists of step mappings, or
``ostik.trace_files.Trace`` records), or trace files: a path, a glob, a
directory (the ``*.jsonl`` and ``*.json`` files under it), or a list of them.
Files are read on the workers with ostik's trace-file reader, one partition per
file, so the workers must see them at the same paths (a shared file system).

Each partition becomes one accumulator (``CoverageAccumulator`` or
``AuditAccumulator``), and the accumulators are merged in a tree
(``Bag.reduction`` with ``split_every``): what travels is the policy's bytes,
once to each worker, and one small accumulator per partition, whose size grows
with the distinct tool names (coverage) or the failing traces kept (audit),
never with the number of traces. The work runs on the current Dask scheduler:
a ``distributed.Client`` made beforehand (as above), or Dask's default.

The results equal those of one process: ``coverage`` returns the report of
``CoverageAnalyzer(policy).analyze(all traces, threshold)`` (the lists whose
order is unspecified may differ in order) and ``audit`` the accumulator's
``summary()``. A file that cannot be read raises ``TraceFileError``, a step that
cannot be read ``ValueError``, each naming the first such file in the given
order, as one process would.
"""

from __future__ import annotations

import glob
import os
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

try:
    import dask.bag
    from dask.delayed import delayed
except ImportError as error:
    raise ImportError("ostik.dask needs Dask with distributed: pip install 'ostik[dask]'") from error

from ostik._engine import AuditAccumulator, CoverageAccumulator, Guard, policy_bytes
from ostik._native import Policy
from ostik.runs.tallies import Measure, Tally, merged, tally_files, tally_traces
from ostik.formats.trace_files import TraceFileError, find_trace_files

if TYPE_CHECKING:
    from ostik._engine import _AuditSummary

__all__ = ["audit", "audit_accumulator", "coverage", "coverage_accumulator", "tally", "trace_file_paths"]

Traces = dask.bag.Bag | str | os.PathLike[str] | Sequence[str | os.PathLike[str]]
PolicyLike = Policy | Guard | str | os.PathLike[str] | bytes

# Partitions merged per task of the tree: a few, so the tree stays shallow
# while no task waits on many others.
SPLIT_EVERY = 8


def coverage(traces: Traces, policy: PolicyLike, threshold: float = 0.0, *, format: str = "auto",
             split_every: int = SPLIT_EVERY) -> str:
    """The coverage report (JSON text) of the policy by all the traces."""
    return coverage_accumulator(traces, policy, format=format, split_every=split_every).report(threshold)


def audit(traces: Traces, policy: PolicyLike, *, keep: int = 100, format: str = "auto",
          split_every: int = SPLIT_EVERY) -> _AuditSummary:
    """The audit summary (``AuditAccumulator.summary()``) of all the traces: counts, and the
    failing traces with the `keep` smallest references, (file, line) for traces read from files."""
    return audit_accumulator(traces, policy, keep=keep, format=format, split_every=split_every).summary()


def coverage_accumulator(traces: Traces, policy: PolicyLike, *, format: str = "auto",
                         split_every: int = SPLIT_EVERY) -> CoverageAccumulator:
    """The merged CoverageAccumulator of all the traces (it also counts traces and steps)."""
    accumulator = _run(Measure("coverage", _policy_bytes(policy)), traces, format, split_every).accumulator
    assert isinstance(accumulator, CoverageAccumulator)
    return accumulator


def audit_accumulator(traces: Traces, policy: PolicyLike, *, keep: int = 100, format: str = "auto",
                      split_every: int = SPLIT_EVERY) -> AuditAccumulator:
    """The merged AuditAccumulator of all the traces."""
    accumulator = _run(Measure("audit", _policy_bytes(policy), keep), traces, format, split_every).accumulator
    assert isinstance(accumulator, AuditAccumulator)
    return accumulator


def trace_file_paths(patterns: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    """The trace files that paths, globs (``**`` included) and directories name, in the order
    given (a glob's files and a directory's trace files sorted); FileNotFoundError for a glob or
    directory that names none. A plain path is taken as it is: reading it tells if it is missing."""
    if isinstance(patterns, (str, os.PathLike)):
        patterns = [patterns]
    paths: list[str] = []
    for pattern in [os.fspath(p) for p in patterns]:
        if os.path.isdir(pattern):
            found = find_trace_files(pattern)
        elif glob.has_magic(pattern):
            found = sorted(p for p in glob.glob(pattern, recursive=True) if os.path.isfile(p))
        else:
            found = [pattern]
        if not found:
            raise FileNotFoundError(f"{pattern}: no trace files")
        paths.extend(found)
    return paths


def tally(measure: Measure, traces: Traces, trace_format: str = "auto", split_every: int = SPLIT_EVERY) -> Tally:
    """The merged tally of the traces, with the files' notes and problems as data (for the command line)."""
    if isinstance(traces, dask.bag.Bag):
        bag = traces.map_partitions(_tally_traces, _shared(measure))  # type: ignore[no-untyped-call]
    else:
        paths = trace_file_paths(traces)
        if not paths:
            return Tally(measure.accumulator())
        files = dask.bag.from_sequence(list(enumerate(paths)), partition_size=1)  # type: ignore[no-untyped-call]
        bag = files.map_partitions(_tally_files, _shared(measure), trace_format)
    if bag.npartitions == 0:
        return Tally(measure.accumulator())
    result: Tally = bag.reduction(merged, merged, split_every=split_every).compute()
    return result


def _run(measure: Measure, traces: Traces, trace_format: str, split_every: int) -> Tally:
    result = tally(measure, traces, trace_format, split_every)
    if (unreadable := result.unreadable) is not None:
        raise TraceFileError(unreadable[1])
    if (bad_step := result.bad_step) is not None:
        raise ValueError(bad_step[1])
    return result


def _policy_bytes(policy: PolicyLike) -> bytes:
    if isinstance(policy, bytes):
        return policy
    if isinstance(policy, Guard):
        policy = policy.policy
    elif not isinstance(policy, Policy):
        policy = Guard.from_file(os.fspath(policy)).policy
    return policy_bytes(policy)


def _shared(measure: Measure) -> Any:
    # One key in the graph: each worker fetches it once, whatever the number
    # of partitions, and builds the policy once from it (see Measure).
    return delayed(measure, pure=True)


def _tally_traces(traces: Iterable[Any], measure: Measure) -> list[Tally]:
    return [tally_traces(measure, traces)]


def _tally_files(files: Iterable[tuple[int, str]], measure: Measure, trace_format: str) -> list[Tally]:
    return [tally_files(measure, files, trace_format)]
