"""`ostik report POLICY PATH... -o FILE`: one self-contained HTML page on many traces and the coverage."""

from __future__ import annotations

import argparse
import json
from typing import TYPE_CHECKING, Any

from ostik._engine import CoverageAccumulator
from ostik.cli.common import (EXIT_FAILED, EXIT_OK, EXIT_UNUSABLE, Progress, UnusableInput, add_format_argument,
                              coverage_trace_paths, refuse_overwriting_inputs, load_guard, load_policy_and_records, read_traces, warn)
from ostik.formats.trace_files import first_bad_step
from ostik.runs.judging import unjudged_warning

if TYPE_CHECKING:
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
    add_format_argument(report)
    report.set_defaults(run=run_report)


def run_report(args: argparse.Namespace) -> int:
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
    text = page.render(coverage, guard.argument_coverage(traces))
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
