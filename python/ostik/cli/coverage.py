"""`ostik coverage POLICY TRACE...`: how much of a policy a set of traces exercises."""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from ostik._engine import CoverageAccumulator, policy_bytes
from ostik.cli.common import (EXIT_FAILED, EXIT_OK, EXIT_UNUSABLE, Progress, UnusableInput, add_dask_argument,
                              add_format_argument, cores, coverage_trace_paths, dask_cluster, load_guard,
                              load_policy_and_records, named_tools_expected, percentage, positive_count, warn)
from ostik.reports.escaping import quote, visible_json
from ostik.reports.text import Style, argument_coverage_lines, coverage_lines, entry_coverage_lines
from ostik.runs.tallies import Measure, Tally, tally_paths

if TYPE_CHECKING:
    from ostik.cli.common import Commands


def add_command(commands: Commands) -> None:
    coverage = commands.add_parser("coverage", help="measure how much of a policy a set of traces exercises",
                                   description="Explain every trace in the TRACE files (a directory stands for "
                                               "the *.jsonl and *.json files in it and below) and report how much "
                                               "of POLICY they exercised.")
    coverage.add_argument("policy", metavar="POLICY", help="policy file (YAML)")
    coverage.add_argument("traces", metavar="TRACE", nargs="+", help="trace files or directories")
    coverage.add_argument("--fail-under", metavar="PCT", type=percentage,
                          help="exit with status 1 when the overall coverage is below PCT")
    coverage.add_argument("--json", action="store_true", help="print the coverage report as JSON")
    coverage.add_argument("-j", "--jobs", metavar="N", type=positive_count, default=cores(),
                          help=f"read files in N processes (default: the number of cores, here {cores()})")
    add_dask_argument(coverage)
    add_format_argument(coverage)
    coverage.set_defaults(run=run_coverage)


def run_coverage(args: argparse.Namespace) -> int:
    policy, records = load_policy_and_records(args.policy)
    guard = load_guard(args.policy, policy)
    paths, unusable = coverage_trace_paths(args.traces)
    tally = measure_files(Measure("coverage", policy_bytes(policy)), paths, args)
    accumulator = tally.accumulator
    assert isinstance(accumulator, CoverageAccumulator)
    threshold = 0.0 if args.fail_under is None else args.fail_under
    text = accumulator.report(threshold)
    report: dict[str, Any] = json.loads(text)
    if args.json:
        if guard.entries:
            # The report's members as they are, then the entries'.
            text = f"{text.rstrip()[:-1]},\"entries\":{json.dumps(accumulator.entry_coverage())}}}"
        print(visible_json(text))
    else:
        traces, steps = accumulator.traces, accumulator.steps
        name = quote(records["name"]) if records["name"] else "(unnamed)"
        print(f"coverage of policy {name} version {quote(records['version'])} by "
              f"{traces} trace{'' if traces == 1 else 's'} "
              f"({steps} step{'' if steps == 1 else 's'}) from {len(paths)} file{'' if len(paths) == 1 else 's'}")
        style = Style.for_stream(sys.stdout)
        for line in coverage_lines(named_tools_expected(report, guard), style, fail_under=args.fail_under):
            print(line)
        if guard.argument_rules:
            for line in argument_coverage_lines(accumulator.argument_coverage(), style):
                print(line)
        if guard.entries:
            for line in entry_coverage_lines(accumulator.entry_coverage(), style):
                print(line)
    if unusable:
        return EXIT_UNUSABLE
    if args.fail_under is not None and not report["meets_threshold"]:
        return EXIT_FAILED
    return EXIT_OK


def measure_files(measure: Measure, paths: Sequence[str], args: argparse.Namespace) -> Tally:
    """Every file's traces in one accumulator, read here, in -j processes or on a Dask cluster.

    Told as one process reading the files in order would tell it: the notes in
    file order, the first file that cannot be read stops the run there, and a
    step that cannot be read stops it once every file was read."""
    if args.dask_scheduler:
        with dask_cluster(args.dask_scheduler, paths):
            from ostik.dask import tally as tally_on_cluster

            tally = tally_on_cluster(measure, paths, args.format)
        for note in tally.notes_to_show():
            warn(note)
    else:
        tally = Tally(measure.accumulator())
        progress = Progress(len(paths))
        try:
            for done, file_tally in enumerate(tally_paths(measure, paths, args.format, args.jobs), start=1):
                for _, note in file_tally.notes:
                    progress.note(note)
                if (unreadable := file_tally.unreadable) is not None:
                    raise UnusableInput(unreadable[1])
                tally.merge(file_tally)
                progress.update(done)
        finally:
            progress.clear()
    problem = tally.problem()
    if problem is not None:
        raise UnusableInput(problem)
    return tally
