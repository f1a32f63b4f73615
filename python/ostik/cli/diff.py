"""`ostik diff OLD NEW PATH...`: what replacing one policy by another changes on recorded traces, as a CI gate.

Every trace is judged under both policies by a ``DiffAccumulator`` (one per
file, in this process, in -j N others or on a Dask cluster), which keeps the
traces whose outcome changes; the process that judged a file also writes its
listing (see ``Measure``), so that this one only prints the files' listings,
in the order of the files, and merges the counts.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from collections.abc import Iterable
from contextlib import ExitStack
from typing import TYPE_CHECKING, Any

from ostik._engine import DiffAccumulator, policy_bytes
from ostik.cli.common import (EXIT_FAILED, EXIT_OK, EXIT_UNUSABLE, Progress, add_dask_argument, add_format_argument,
                              cores, dask_cluster, load_judging_policy, positive_count, refuse_overwriting_inputs, warn,
                              write_lines)
from ostik.formats.json_text import STDIN_NAME
from ostik.formats.trace_files import STDIN
from ostik.reports.diff_text import TracePlace, diff_summary_lines, trace_place_of
from ostik.reports.escaping import printable
from ostik.reports.github import error_command, in_github_actions, write_command
from ostik.reports.text import Style
from ostik.runs.judging import UNTIMED_NOTE, trace_paths
from ostik.runs.judging import unjudged_allowed
from ostik.runs.tallies import KEEP_ALL, Measure, Tally, shown_changes, shown_listing, tally_paths

if TYPE_CHECKING:
    from ostik._engine import _ChangedTrace, _TraceRef
    from ostik.cli.common import Commands
    from ostik.reports.junit import DiffFile


def add_command(commands: Commands) -> None:
    diff = commands.add_parser("diff", help="what replacing one policy by another changes on recorded traces",
                               description="Judge every trace in the PATHs under both OLD and NEW (files, "
                                           "directories searched recursively for *.jsonl and *.json files, - "
                                           "for stdin) and print each trace whose outcome changes: pass to "
                                           "fail, fail to pass, or blocked steps whose blocking rule changes, "
                                           "with each changed step and both decisions' reasons; then a summary "
                                           "of the traces and steps that change and, per rule of either "
                                           "policy, the steps it newly blocks or no longer blocks.",
                               epilog="Exit status: 0 no trace newly fails, 1 some trace passes under OLD and "
                                      "fails under NEW, 2 some input could not be used (the other files are "
                                      "still judged).")
    diff.add_argument("old", metavar="OLD", help="the policy in force (YAML)")
    diff.add_argument("new", metavar="NEW", help="the policy that would replace it (YAML)")
    diff.add_argument("paths", metavar="PATH", nargs="+", help="trace files or directories; - for stdin")
    diff.add_argument("-j", "--jobs", metavar="N", type=positive_count, default=cores(),
                      help=f"judge files in N processes (default: the number of cores, here {cores()})")
    diff.add_argument("-q", "--quiet", action="store_true", help="print only the summary")
    diff.add_argument("--json", action="store_true",
                      help="print one JSON object per changed trace, then a summary object")
    diff.add_argument("--junit-xml", metavar="FILE",
                      help="also write the changed traces as JUnit XML to FILE (a newly failing trace is a failure)")
    add_dask_argument(diff)
    add_format_argument(diff)
    diff.set_defaults(run=run_diff)


def changed_json(trace: _ChangedTrace, place: TracePlace, off_trace: tuple[int, int] = (0, 0)) -> dict[str, Any]:
    """A changed trace as --json writes it; `off_trace` its refused attempts and unjudged calls."""
    return {"file": place.file, "line": place.line, "place": place.place, "old_passed": trace["old_passed"],
            "new_passed": trace["new_passed"], "steps": trace["steps"], "changes": trace["changes"],
            "old_end_failures": trace["old_end_failures"], "new_end_failures": trace["new_end_failures"],
            "refused_attempts": off_trace[0], "unjudged_calls": off_trace[1]}


def changed_annotation(trace: _ChangedTrace, place: TracePlace, text: str) -> str:
    """The annotation of a newly failing trace (listed as `text`), on the line of its first newly
    blocked step's trace."""
    first = next((c["new"]["rule_id"] for c in trace["changes"]
                  if c["new"] is not None and c["new"]["verdict"] == "blocked"),
                 trace["new_end_failures"][0]["rule_id"] if trace["new_end_failures"] else "on_error")
    file = None if place.file == STDIN_NAME else place.file
    return error_command(text, file=file, line=place.line if file else None,
                         title=f"ostik diff: newly fails: {first}")


def place_of(ref: _TraceRef, path: str, tally: Tally) -> TracePlace:
    """Where a changed trace is, with the label of its session where its line does not say it."""
    place = trace_place_of(ref, path)
    session = tally.places.get(ref)
    return place if session is None else place._replace(place=session)


def run_diff(args: argparse.Namespace) -> int:
    start = time.perf_counter()
    refuse_overwriting_inputs([("--junit-xml", args.junit_xml)], args.old, [args.new, *args.paths])
    old, old_guard = load_judging_policy(args.old)
    new, new_guard = load_judging_policy(args.new)
    paths, path_errors = trace_paths(args.paths)
    annotate = in_github_actions()
    listed = not args.quiet and not args.json  # the listing on stdout
    # The changed traces as data, for the outputs that need more than their text.
    as_data = args.json or bool(args.junit_xml) or annotate
    listing = listed or as_data
    style = Style.for_stream(sys.stdout)
    colour = listed and style.colour
    # A file's accumulator keeps every changed trace of the file where they are
    # shown as data, none otherwise: each file's are shown and dropped in turn,
    # and the total keeps none.
    measure = Measure("diff", policy_bytes(old), KEEP_ALL if as_data else 0, policy_bytes(new),
                      listing=("colour" if colour else "plain") if listed or args.junit_xml or annotate else "",
                      fail_on_unjudged=not unjudged_allowed(old_guard.on_error),
                      new_fail_on_unjudged=not unjudged_allowed(new_guard.on_error))
    # Annotations are commands to the runner, not text for people; with --json
    # they keep out of the JSON on stdout.
    annotations = sys.stderr if args.json else sys.stdout
    progress = Progress(len(paths), "judging trace files", shown=not args.json)

    def unusable_input(path: str, error: str) -> None:
        progress.note(error)
        if annotate:
            file = None if path in (STDIN, STDIN_NAME) else path
            write_command(error_command(printable(error), file=file, title="ostik: unusable input"), annotations)

    for path, error in path_errors:
        unusable_input(path, error)
    total = Tally(DiffAccumulator(measure.policy, measure.new_policy, 0))
    junit_files: list[DiffFile] = [(path, error, []) for path, error in path_errors]
    cluster = ExitStack()
    file_tallies: Iterable[Tally]
    try:
        if args.dask_scheduler:
            cluster.enter_context(dask_cluster(args.dask_scheduler, paths))
            if listing:
                from ostik.dask import tally_each_file

                file_tallies = tally_each_file(measure, paths, args.format)
            else:
                from ostik.dask import tally as tally_on_cluster

                file_tallies = [tally_on_cluster(measure, paths, args.format)]
        else:
            file_tallies = tally_paths(measure, paths, args.format, args.jobs)  # in order, as they come
        for done, file_tally in enumerate(file_tallies, start=1):
            # A file's notes, then its problem, in the order of the files.
            told = sorted([(index, 0, note) for index, note in file_tally.notes] +
                          [(index, 1, problem) for index, problem, _ in file_tally.problems])
            for index, kind, message in told:
                if kind:
                    unusable_input(paths[index], message)
                else:
                    progress.note(message)
            if listing:
                path = paths[done - 1]
                accumulator = file_tally.accumulator
                assert isinstance(accumulator, DiffAccumulator)
                texts = file_tally.listing or []
                # A file's traces written together: a run may change most of a million.
                if listed and texts:
                    progress.clear()
                    sys.stdout.write("\n".join(texts) + "\n")
                if as_data:
                    judged = accumulator.summary()["changed"]
                    changed = shown_changes(judged, file_tally)
                    if colour and (annotate or args.junit_xml):
                        file = STDIN_NAME if path == STDIN else path
                        texts = shown_listing(accumulator.listing(file), judged, file_tally, file, False)
                    shown = [(place_of(trace["ref"], path, file_tally), trace) for trace in changed]
                    if args.json:
                        off_trace = file_tally.off_trace
                        write_lines(json.dumps(changed_json(trace, place, off_trace.get(trace["ref"], (0, 0))))
                                    for place, trace in shown)
                    if annotate:
                        for (place, trace), text in zip(shown, texts):
                            if trace["old_passed"] and not trace["new_passed"]:
                                write_command(changed_annotation(trace, place, text), annotations)
                    if args.junit_xml:
                        problem = next((problem for _, problem, _ in file_tally.problems), None)
                        junit_files.append((STDIN_NAME if path == STDIN else path, problem,
                                            [(place, trace, text) for (place, trace), text in zip(shown, texts)]))
            total.merge(file_tally)
            progress.update(done)
    finally:
        progress.clear()
        cluster.close()
    assert isinstance(total.accumulator, DiffAccumulator)
    summary = total.accumulator.summary()
    # Traces that calls run unjudged fail, as `ostik test` fails them.
    for key, count in total.outcome_counts.items():
        summary[key] += count  # type: ignore[literal-required]
    seconds = time.perf_counter() - start
    report_written = True
    if args.junit_xml:
        from ostik.reports.junit import write_diff_junit_xml  # only here: XML is slow to import

        try:
            write_diff_junit_xml(args.junit_xml, junit_files, seconds)
        except OSError as err:
            warn(f"{args.junit_xml}: cannot write the JUnit report: {err.strerror or err}")
            report_written = False
    unusable = len(path_errors) + len(total.problems)
    if summary["untimed_traces"]:
        warn(f"note: {UNTIMED_NOTE}")
    if args.json:
        counts = {key: value for key, value in summary.items() if key not in ("changed", "keep")}
        print(json.dumps({**counts, "refused_attempts": total.refused, "unjudged_calls": total.unjudged,
                          "unusable": unusable, "seconds": round(seconds, 3)}))
    else:
        print("\n".join(diff_summary_lines(summary, seconds, style, total.refused, total.unjudged)))
    if unusable or not report_written:
        return EXIT_UNUSABLE
    return EXIT_FAILED if summary["newly_failing"] else EXIT_OK
