"""`ostik report POLICY PATH... -o FILE`: one self-contained HTML page on many traces and the coverage;
with `--compare NEW`, the page of what replacing POLICY by NEW changes on them."""

from __future__ import annotations

import argparse
import json
from typing import TYPE_CHECKING, Any

from ostik._engine import CoverageAccumulator, DiffAccumulator
from ostik.cli.common import (EXIT_FAILED, EXIT_OK, EXIT_UNUSABLE, Progress, UnusableInput, add_format_argument,
                              coverage_trace_paths, load_guard, load_judging_policy, load_policy_and_records,
                              load_records, named_tools_expected, read_traces, refuse_overwriting_inputs, warn)
from ostik.formats.trace_files import first_bad_step
from ostik.reports.diff_text import TracePlace, trace_place_of
from ostik.runs.judging import unjudged_warning
from ostik.runs.tallies import trace_ref

if TYPE_CHECKING:
    from ostik._engine import _ChangedTrace
    from ostik.cli.common import Commands


def add_command(commands: Commands) -> None:
    report = commands.add_parser("report", help="write an HTML page on many traces, their steps and coverage",
                                 description="Judge every trace in the PATHs against POLICY (files, directories "
                                             "searched recursively for *.jsonl and *.json files, - for stdin) and "
                                             "write one self-contained HTML page: a summary, each trace's steps "
                                             "and rules, and the policy's coverage.",
                                 epilog="Exit status: 0 the page was written and every trace passed, 1 it was "
                                        "written and some trace failed, 2 unusable input (an unusable file or "
                                        "entry under a directory: the page is written on the others).")
    report.add_argument("policy", metavar="POLICY", help="policy file (YAML)")
    report.add_argument("paths", metavar="PATH", nargs="+", help="trace files or directories; - for stdin")
    report.add_argument("-o", "--output", metavar="FILE", required=True, help="the HTML file to write")
    report.add_argument("--compare", metavar="NEW",
                        help="write instead the page of replacing POLICY by the policy NEW: what changes, and the "
                             "changed traces with both verdicts side by side (exit status 1 when a trace newly "
                             "fails)")
    add_format_argument(report)
    report.set_defaults(run=run_report)


def run_report(args: argparse.Namespace) -> int:
    if args.compare is not None:
        return run_compare(args)
    from ostik.reports.html import ReportPage  # only this command needs it

    refuse_overwriting_inputs([("-o", args.output)], args.policy, args.paths)
    policy, records = load_policy_and_records(args.policy)
    paths, unusable = coverage_trace_paths(args.paths)
    guard = load_guard(args.policy, policy)
    page = ReportPage(records, guard.argument_rules)
    traces: list[list[Any]] = []
    progress = Progress(len(paths))
    try:
        for done, path in enumerate(paths, start=1):
            trace_file = read_traces(path, args.format, progress.note)
            unjudged = unjudged_warning(trace_file, guard.on_error)
            if unjudged:
                progress.note(unjudged)
            for trace in trace_file.traces:
                try:
                    page.add(trace, guard.judge(trace.steps))
                except ValueError as err:
                    raise UnusableInput(first_bad_step([trace], guard.judge) or f"{trace.label}: {err}") from None
                traces.append(trace.steps)
            progress.update(done)
    finally:
        progress.clear()
    # The accumulator's report is the analyzer's, its steps read as the guard reads them.
    accumulator = CoverageAccumulator(policy)
    accumulator.add_many(traces)
    coverage: dict[str, Any] = json.loads(accumulator.report(0.0))
    text = page.render(named_tools_expected(coverage, guard), guard.argument_coverage(traces),
                       accumulator.entry_coverage())
    try:
        with open(args.output, "w", encoding="utf-8") as out:
            out.write(text)
    except OSError as err:
        raise UnusableInput(f"{args.output}: cannot write the report: {err.strerror or err}") from None
    off_trace = "".join(f", {count} {word}{'' if count == 1 else 's'}" for count, word in
                        ((page.refused, "refused attempt"), (page.unjudged, "unjudged call")) if count)
    warn(f"wrote {args.output}: {page.traces} trace{'' if page.traces == 1 else 's'}, {page.failed} failed, "
          f"{page.steps} step{'' if page.steps == 1 else 's'}, {page.blocked_steps} blocked{off_trace}")
    if unusable:
        return EXIT_UNUSABLE
    return EXIT_FAILED if page.failed else EXIT_OK


def run_compare(args: argparse.Namespace) -> int:
    from ostik.reports.diff_page import diff_page  # only this command needs it

    refuse_overwriting_inputs([("-o", args.output)], args.policy, [args.compare, *args.paths])
    old, old_records = load_judging_policy(args.policy), load_records(args.policy)
    new, new_records = load_judging_policy(args.compare), load_records(args.compare)
    paths, unusable = coverage_trace_paths(args.paths)
    # Every changed trace is kept: the page shows them all.
    diff = DiffAccumulator(old[0], new[0], 2**64 - 1)
    changed: list[tuple[TracePlace, _ChangedTrace]] = []
    progress = Progress(len(paths))
    try:
        for done, path in enumerate(paths, start=1):
            traces = read_traces(path, args.format, progress.note).traces
            several = len(traces) > 1
            piece = DiffAccumulator(old[0], new[0], 2**64 - 1)
            try:
                piece.add_many([trace.steps for trace in traces], [trace_ref(trace, several) for trace in traces])
            except ValueError as err:
                where = first_bad_step(traces, DiffAccumulator(old[0], new[0]).add)
                raise UnusableInput(where or f"{path}: {err}") from None
            changed += [(trace_place_of(trace["ref"], path), trace) for trace in piece.summary()["changed"]]
            diff.merge(piece)
            progress.update(done)
    finally:
        progress.clear()
    summary = diff.summary()
    text = diff_page(old_records, new_records, summary, changed)
    try:
        with open(args.output, "w", encoding="utf-8") as out:
            out.write(text)
    except OSError as err:
        raise UnusableInput(f"{args.output}: cannot write the report: {err.strerror or err}") from None
    warn(f"wrote {args.output}: {summary['traces']} trace{'' if summary['traces'] == 1 else 's'}, "
         f"{summary['changed_traces']} changed, {summary['newly_failing']} newly failing")
    if unusable:
        return EXIT_UNUSABLE
    return EXIT_FAILED if summary["newly_failing"] else EXIT_OK
