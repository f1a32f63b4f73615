"""`ostik test POLICY PATH...`: every trace under the paths judged, as a CI step."""

from __future__ import annotations

import argparse
import json
import sys
import time
from collections.abc import Iterable, Sequence
from contextlib import ExitStack
from typing import TYPE_CHECKING, Any

from ostik._engine import AuditAccumulator, policy_bytes
from ostik._native import Policy
from ostik.cli.common import (EXIT_FAILED, EXIT_OK, EXIT_UNUSABLE, Progress, add_dask_argument, add_format_argument,
                              cores, dask_cluster, positive_count, load_judging_policy, refuse_overwriting_inputs, warn)
from ostik.formats.json_text import STDIN_NAME
from ostik.formats.trace_files import STDIN
from ostik.reports.escaping import printable
from ostik.reports.github import error_command, in_github_actions, write_command
from ostik.reports.text import Style, test_summary, trace_line, violation_text
from ostik.runs.judging import (UNTIMED_NOTE, FileResult, TraceResult, judge_paths, judge_paths_on_cluster,
                                trace_paths, unjudged_allowed)
from ostik.runs.tallies import Measure, Tally, tally_paths

if TYPE_CHECKING:
    from ostik.cli.common import Commands


def add_command(commands: Commands) -> None:
    test = commands.add_parser("test", help="judge every trace under the given paths (a CI step)",
                               description="Judge every trace in the PATHs against POLICY: files, directories "
                                           "(searched recursively for *.jsonl and *.json files) and - for stdin. "
                                           "A trace fails when a step is blocked or an end-of-trace check "
                                           "fails; a trace without steps fails when the policy has require "
                                           "rules. Steps that an ask entry or flow sends for a person's approval "
                                           "pass, and are counted. Calls that a live guard refused, or that ran "
                                           "unjudged, are no steps: they are counted beside them; an unjudged "
                                           "call fails its trace unless the policy's on_error is allow. Prints "
                                           "one line per "
                                           "failing trace, then a summary line.",
                               epilog="Exit status: 0 every trace passed, 1 some trace failed, 2 some input "
                                      "could not be used (the other files are still judged).")
    test.add_argument("policy", metavar="POLICY", help="policy file (YAML)")
    test.add_argument("paths", metavar="PATH", nargs="+", help="trace files or directories; - for stdin")
    test.add_argument("-j", "--jobs", metavar="N", type=positive_count, default=cores(),
                      help=f"judge files in N processes (default: the number of cores, here {cores()})")
    shown = test.add_mutually_exclusive_group()
    shown.add_argument("-v", "--verbose", action="store_true", help="also list the traces that pass")
    shown.add_argument("-q", "--quiet", action="store_true", help="print only the summary line")
    test.add_argument("--json", action="store_true",
                      help="print one JSON object per trace, then a summary object")
    test.add_argument("--junit-xml", metavar="FILE", help="also write the results as JUnit XML to FILE")
    test.add_argument("--fail-on-refused", action="store_true",
                      help="fail a trace that holds calls a live guard refused (an attempt is a defect of the "
                           "agent), although those calls never ran")
    add_dask_argument(test)
    add_format_argument(test)
    test.set_defaults(run=run_test)


def trace_json(trace: TraceResult) -> dict[str, Any]:
    first = trace.first_block
    return {
        "file": trace.file,
        "line": trace.line,
        "passed": trace.passed,
        "steps": trace.steps,
        "blocked_steps": trace.blocked_steps,
        "blocking_rules": list(trace.blocking_rules),
        "first_block": None if first is None else {"step": first.step, "tool": first.tool, "rule": first.rule,
                                                   "reason": first.reason},
        "refused_attempts": trace.refused,
        "unjudged_calls": trace.unjudged,
        "asked_steps": trace.asked,
    }


def trace_annotation(trace: TraceResult) -> str:
    first = trace.violations[0]
    line = first.line if first.line is not None else trace.line
    where = "" if trace.place is None else f"{printable(trace.place)}: "
    message = "\n".join(violation_text(v) for v in trace.violations)
    # A trace read from standard input is in no file of the repository.
    file = None if trace.file == STDIN_NAME else trace.file
    return error_command(f"{where}{message}", file=file, line=line if file else None, title=f"ostik: {first.rule}")


def run_test(args: argparse.Namespace) -> int:
    start = time.perf_counter()
    refuse_overwriting_inputs([("--junit-xml", args.junit_xml)], args.policy, args.paths)
    policy, guard = load_judging_policy(args.policy)
    paths, path_errors = trace_paths(args.paths)
    if args.quiet and not args.json and not args.junit_xml and not in_github_actions():
        return count_test(policy, guard.on_error, paths, path_errors, args, start)
    style = Style.for_stream(sys.stdout)
    # Annotations are commands to the runner, not text for people; with --json
    # they keep out of the JSON on stdout.
    annotations = sys.stderr if args.json else sys.stdout
    annotate = in_github_actions()

    def unusable_input(path: str, error: str) -> None:
        progress.note(error)
        if annotate:
            file = None if path in (STDIN, STDIN_NAME) else path
            write_command(error_command(printable(error), file=file, title="ostik: unusable input"), annotations)

    show_failing = not args.quiet and not args.json
    show_passing = args.verbose and not args.json
    kept: list[FileResult] = []
    traces = failed = steps = blocked = refused = unjudged = asked = 0
    unusable = len(path_errors)
    progress = Progress(len(paths), "judging trace files", shown=not args.json)
    for path, error in path_errors:
        unusable_input(path, error)
    untimed = False
    cluster = ExitStack()
    results: Iterable[FileResult]
    if args.dask_scheduler:
        cluster.enter_context(dask_cluster(args.dask_scheduler, paths))
        results = judge_paths_on_cluster(policy, args.policy, paths, args.format, args.fail_on_refused)
    else:
        results = judge_paths(guard, args.policy, paths, args.format, args.jobs, args.fail_on_refused)
    try:
        for done, result in enumerate(results, start=1):
            for note in result.notes:
                progress.note(note)
            if result.untimed and not untimed:
                progress.note(f"note: {UNTIMED_NOTE}")
            untimed = untimed or result.untimed
            if result.error is not None:
                unusable += 1
                unusable_input(result.path, result.error)
            for trace in result.traces:
                traces += 1
                steps += trace.steps
                blocked += trace.blocked_steps
                refused += trace.refused
                unjudged += trace.unjudged
                asked += trace.asked
                if not trace.passed:
                    failed += 1
                if args.json:
                    print(json.dumps(trace_json(trace)))
                elif trace.passed and show_passing or not trace.passed and show_failing:
                    progress.clear()
                    print(trace_line(trace, style))
                if annotate and not trace.passed:
                    write_command(trace_annotation(trace), annotations)
            if args.junit_xml:
                kept.append(result)
            progress.update(done)
    finally:
        progress.clear()
        cluster.close()
    seconds = time.perf_counter() - start
    report_written = True
    if args.junit_xml:
        from ostik.reports.junit import write_junit_xml  # only here: XML is slow to import

        path_results = [FileResult(path, (), (), error, 0.0) for path, error in path_errors]
        try:
            write_junit_xml(args.junit_xml, path_results + kept, seconds)
        except OSError as err:
            warn(f"{args.junit_xml}: cannot write the JUnit report: {err.strerror or err}")
            report_written = False
    if args.json:
        print(json.dumps({"traces": traces, "failed": failed, "steps": steps, "blocked_steps": blocked,
                          "refused_attempts": refused, "unjudged_calls": unjudged, "asked_steps": asked,
                          "unusable": unusable,
                          "seconds": round(seconds, 3)}))
    else:
        print(test_summary(traces, failed, steps, blocked, seconds, refused, unjudged, asked))
    if unusable or not report_written:
        return EXIT_UNUSABLE
    return EXIT_FAILED if failed else EXIT_OK


def count_test(policy: Policy, on_error: str, paths: Sequence[str], path_errors: Sequence[tuple[str, str]],
               args: argparse.Namespace, start: float) -> int:
    """`ostik test -q`: only the summary line is shown, so each file comes back as an
    AuditAccumulator of its traces (counts, not a record per trace), merged here."""
    measure = Measure("audit", policy_bytes(policy), keep=0, fail_on_refused=args.fail_on_refused,
                      fail_on_unjudged=not unjudged_allowed(on_error))
    progress = Progress(len(paths), "judging trace files")
    for _, error in path_errors:
        progress.note(error)
    tally = Tally(measure.accumulator())
    file_tallies: Iterable[Tally]
    try:
        if args.dask_scheduler:
            with dask_cluster(args.dask_scheduler, paths):
                from ostik.dask import tally as tally_on_cluster

                tally = tally_on_cluster(measure, paths, args.format)
            file_tallies = [tally]
        else:
            file_tallies = tally_paths(measure, paths, args.format, args.jobs)  # in order, as they come
        for done, file_tally in enumerate(file_tallies, start=1):
            # A file's notes, then its problem, in the order of the files.
            told = sorted([(index, 0, note) for index, note in file_tally.notes] +
                          [(index, 1, problem) for index, problem, _ in file_tally.problems])
            for _, _, message in told:
                progress.note(message)
            if file_tally is not tally:
                tally.merge(file_tally)
            progress.update(done)
    finally:
        progress.clear()
    assert isinstance(tally.accumulator, AuditAccumulator)
    summary = tally.accumulator.summary()
    if summary["untimed_traces"]:
        warn(f"note: {UNTIMED_NOTE}")
    failed = summary["failed_traces"] + tally.failed_off_trace
    print(test_summary(summary["traces"], failed, summary["steps"], summary["blocked_steps"],
                       time.perf_counter() - start, tally.refused, tally.unjudged, summary["asked_steps"]))
    if path_errors or tally.problems:
        return EXIT_UNUSABLE
    return EXIT_FAILED if failed else EXIT_OK
