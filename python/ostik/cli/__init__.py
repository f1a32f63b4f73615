"""The ostik command line: check a policy; explain, test and report on traces; measure coverage.

Exit codes: 0 success; 1 the input was read and judged, and failed (a blocked
step, an end-of-trace check, a coverage threshold, a warning under --strict);
2 unusable input (a bad policy, an unreadable trace file, a bad command line).
A trace fails when a step is blocked or an end-of-trace check fails; a trace
without steps fails when the policy has require rules.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import ExitStack, contextmanager
from typing import TYPE_CHECKING, Any

from ostik import __version__
from ostik._engine import CoverageAccumulator, Guard, policy_bytes, stream_explanation
from ostik._inspect import argument_rule_error, ignored_keys, policy_records
from ostik._native import CoverageAnalyzer, Policy, TraceExplainer
from ostik.formats import AUTO, FORMATS
from ostik.formats.reading import collector_paused
from ostik.reports.github import error_command, in_github_actions
from ostik.cli.policy_lint import ignored_key_warning, policy_warnings, summary
from ostik.reports.escaping import printable, quote
from ostik.formats.json_text import STDIN_NAME
from ostik.runs.tallies import Measure, Tally, tally_paths
from ostik.runs.judging import (FileResult, TraceResult, judge_paths, judge_paths_on_cluster, trace_paths,
                            unnamed_steps_warning)
from ostik.runs.judging import read_traces as read_trace_source
from ostik.reports.text import (Style, argument_coverage_lines, coverage_lines, explanation_lines, test_summary,
                                trace_line, violation_text)
from ostik.formats.trace_files import STDIN, TraceFile, TraceFileError, first_bad_step

if TYPE_CHECKING:
    from ostik._inspect import IgnoredKey, PolicyRecords

EXIT_OK, EXIT_FAILED, EXIT_UNUSABLE = 0, 1, 2

# Below this many trace files reading is quick enough to need no progress line.
PROGRESS_MIN_FILES = 20

# How long to wait for a Dask scheduler to answer.
DASK_CONNECT_SECONDS = 10

FORMAT_CHOICES = (AUTO, *FORMATS)


class UnusableInput(Exception):
    """Input that cannot be judged at all; the message names the file."""


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        # One command's data holds no reference cycles worth collecting, and
        # the collector's passes over a long trace's steps cost more than the
        # judging (see ostik.formats.reading).
        with collector_paused():
            return run(args)
    except UnusableInput as err:
        print(err, file=sys.stderr)
        return EXIT_UNUSABLE
    except BrokenPipeError:
        # The reader went away (`ostik explain ... | head`): stop quietly, and
        # keep the interpreter from complaining while it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILED
    except KeyboardInterrupt:
        return 130


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="ostik",
        description="Check agent tool-call traces against a YAML policy.",
        epilog="Exit status: 0 success, 1 a trace or check failed, 2 unusable input.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND")

    check = commands.add_parser("check", help="load a policy, summarise it and warn about likely mistakes",
                                description="Load POLICY and print a one-line summary. Warnings about likely "
                                            "mistakes go to stderr.")
    check.add_argument("policy", metavar="POLICY", help="policy file (YAML)")
    check.add_argument("--strict", action="store_true", help="exit with status 1 when there are warnings")
    check.set_defaults(run=run_check)

    explain = commands.add_parser("explain", help="explain one trace step by step",
                                  description="Replay the trace in TRACE against POLICY and explain every step. "
                                              "Exit status 1 when a step was blocked or an end-of-trace check "
                                              "failed.")
    explain.add_argument("policy", metavar="POLICY", help="policy file (YAML)")
    explain.add_argument("trace", metavar="TRACE", help="trace file (see --format); - for stdin")
    explain.add_argument("--json", action="store_true", help="print the explanation report as JSON")
    explain.add_argument("-v", "--verbose", action="store_true", help="show every rule's judgement at every step")
    _add_format_argument(explain)
    explain.set_defaults(run=run_explain)

    test = commands.add_parser("test", help="judge every trace under the given paths (a CI step)",
                               description="Judge every trace in the PATHs against POLICY: files, directories "
                                           "(searched recursively for *.jsonl and *.json files) and - for stdin. "
                                           "A trace fails when a step is blocked or an end-of-trace check "
                                           "fails; a trace without steps fails when the policy has require "
                                           "rules. Prints one line per failing trace, then a summary line.",
                               epilog="Exit status: 0 every trace passed, 1 some trace failed, 2 some input "
                                      "could not be used (the other files are still judged).")
    test.add_argument("policy", metavar="POLICY", help="policy file (YAML)")
    test.add_argument("paths", metavar="PATH", nargs="+", help="trace files or directories; - for stdin")
    test.add_argument("-j", "--jobs", metavar="N", type=_jobs, default=_cores(),
                      help=f"judge files in N processes (default: the number of cores, here {_cores()})")
    shown = test.add_mutually_exclusive_group()
    shown.add_argument("-v", "--verbose", action="store_true", help="also list the traces that pass")
    shown.add_argument("-q", "--quiet", action="store_true", help="print only the summary line")
    test.add_argument("--json", action="store_true",
                      help="print one JSON object per trace, then a summary object")
    test.add_argument("--junit-xml", metavar="FILE", help="also write the results as JUnit XML to FILE")
    _add_dask_argument(test)
    _add_format_argument(test)
    test.set_defaults(run=run_test)

    coverage = commands.add_parser("coverage", help="measure how much of a policy a set of traces exercises",
                                   description="Explain every trace in the TRACE files (a directory stands for "
                                               "the *.jsonl and *.json files in it and below) and report how much "
                                               "of POLICY they exercised.")
    coverage.add_argument("policy", metavar="POLICY", help="policy file (YAML)")
    coverage.add_argument("traces", metavar="TRACE", nargs="+", help="trace files or directories")
    coverage.add_argument("--fail-under", metavar="PCT", type=_percentage,
                          help="exit with status 1 when the overall coverage is below PCT")
    coverage.add_argument("--json", action="store_true", help="print the coverage report as JSON")
    coverage.add_argument("-j", "--jobs", metavar="N", type=_jobs, default=_cores(),
                          help=f"read files in N processes (default: the number of cores, here {_cores()})")
    _add_dask_argument(coverage)
    _add_format_argument(coverage)
    coverage.set_defaults(run=run_coverage)

    report = commands.add_parser("report", help="write an HTML page on many traces, their steps and coverage",
                                 description="Judge every trace in the PATHs against POLICY (files, directories "
                                             "searched recursively for *.jsonl and *.json files, - for stdin) and "
                                             "write one self-contained HTML page: a summary, each trace's steps "
                                             "and rules, and the policy's coverage.",
                                 epilog="Exit status: 0 the page was written and every trace passed, 1 it was "
                                        "written and some trace failed, 2 unusable input (no page written).")
    report.add_argument("policy", metavar="POLICY", help="policy file (YAML)")
    report.add_argument("paths", metavar="PATH", nargs="+", help="trace files or directories; - for stdin")
    report.add_argument("-o", "--output", metavar="FILE", required=True, help="the HTML file to write")
    _add_format_argument(report)
    report.set_defaults(run=run_report)
    return parser


def _add_format_argument(command: argparse.ArgumentParser) -> None:
    command.add_argument("--format", metavar="NAME", choices=FORMAT_CHOICES, default=AUTO,
                         help="the trace files' format: " + ", ".join(FORMAT_CHOICES) +
                              " (default: auto, told from the content)")


def _add_dask_argument(command: argparse.ArgumentParser) -> None:
    command.add_argument("--dask-scheduler", metavar="ADDRESS",
                         help="send the work to the running Dask cluster at ADDRESS (such as tcp://host:8786), "
                              "whose workers read the trace files at the same paths; needs ostik[dask]")


def _cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _percentage(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def _warn(message: str) -> None:
    print(message, file=sys.stderr)


def load_records(path: str) -> PolicyRecords:
    try:
        return policy_records(path)
    except (FileNotFoundError, ValueError) as err:
        raise UnusableInput(f"{path}: {err}") from None


def load_ignored_keys(path: str) -> list[IgnoredKey]:
    try:
        return ignored_keys(path)
    except (FileNotFoundError, ValueError) as err:  # the file changed since its records were read
        raise UnusableInput(f"{path}: {err}") from None


def load_policy(path: str) -> Policy:
    try:
        return Policy.from_file(path)
    except (FileNotFoundError, ValueError) as err:
        raise UnusableInput(f"{path}: {err}") from None


def load_policy_and_records(path: str) -> tuple[Policy, PolicyRecords]:
    records = load_records(path)
    return load_policy(path), records  # a failure here: the file changed in between


def load_argument_rule_error(path: str) -> str | None:
    """The first argument constraint of the policy file that cannot be understood, located, if any."""
    try:
        return argument_rule_error(path)
    except (FileNotFoundError, ValueError) as err:  # the file changed since it was loaded
        raise UnusableInput(f"{path}: {err}") from None


def load_guard(path: str, policy: Policy) -> Guard:
    """The guard of the policy loaded from `path`: a constraint it cannot understand makes the
    policy unusable, as a policy that does not load is."""
    try:
        return Guard(policy)
    except ValueError as err:
        raise UnusableInput(f"{path}: {load_argument_rule_error(path) or err}") from None


def read_traces(path: str, trace_format: str, warn: Callable[[str], None] = _warn) -> TraceFile:
    """Reads a trace file in the named format, or in the one its content shows ("auto")."""
    try:
        trace_file, notes = read_trace_source(path, trace_format)
    except TraceFileError as err:
        raise UnusableInput(str(err)) from None
    for note in notes:
        warn(note)
    return trace_file


def write_lines(lines: Iterable[str]) -> None:
    """Writes lines to stdout in large pieces: a long trace has a line per step."""
    chunk: list[str] = []
    for line in lines:
        chunk.append(line)
        if len(chunk) == 4096:
            sys.stdout.write("\n".join(chunk) + "\n")
            chunk.clear()
    if chunk:
        sys.stdout.write("\n".join(chunk) + "\n")


def run_check(args: argparse.Namespace) -> int:
    records = load_records(args.policy)
    ignored = load_ignored_keys(args.policy)
    rule_error = load_argument_rule_error(args.policy)
    if rule_error is not None:
        raise UnusableInput(f"{args.policy}: {rule_error}")
    print(f"{args.policy}: {summary(records)}")
    warnings = policy_warnings(records)
    for warning in warnings:
        _warn(f"{args.policy}: warning: {warning}")
    # These have a place in the file: named the way compilers and editors expect.
    for key in ignored:
        _warn(f"{args.policy}:{key['line']}:{key['column']}: warning: {ignored_key_warning(key)}")
    return EXIT_FAILED if (warnings or ignored) and args.strict else EXIT_OK


def explain_json(guard: Guard, explainer: TraceExplainer, trace_file: TraceFile) -> int:
    """Writes each trace's report to stdout as it is made, however large.

    The exit status follows the traces' judgements, as the text view's does
    (an empty trace fails when the policy requires a tool). A trace that
    cannot be read stops the run at that trace, after the reports of the
    traces before it."""
    sys.stdout.flush()
    out = sys.stdout.buffer
    passed = True
    for trace in trace_file.traces:
        try:
            passed = guard.judge(trace.steps).passed and passed
            stream_explanation(explainer, trace.steps, out)
        except ValueError as err:
            raise UnusableInput(first_bad_step([trace], explainer.explain) or f"{trace.label}: {err}") from None
        out.write(b"\n")
    out.flush()
    return EXIT_OK if passed else EXIT_FAILED


def run_explain(args: argparse.Namespace) -> int:
    policy = load_policy(args.policy)
    guard = load_guard(args.policy, policy)
    trace_file = read_traces(args.trace, args.format)
    unnamed = unnamed_steps_warning(trace_file, "explained")
    if unnamed:
        _warn(unnamed)
    if args.json:
        return explain_json(guard, TraceExplainer(policy), trace_file)
    judgements = []
    for trace in trace_file.traces:
        try:
            judgements.append(guard.judge(trace.steps))
        except ValueError as err:
            raise UnusableInput(first_bad_step([trace], guard.judge) or f"{trace.label}: {err}") from None
    passed = all(judgement.passed for judgement in judgements)
    # Only the verbose view reads the steps again; let the others go.
    labels = [trace.label for trace in trace_file.traces]
    traces = trace_file.traces if args.verbose else []
    del trace_file
    verbose_explainer = TraceExplainer(policy) if args.verbose else None
    style = Style.for_stream(sys.stdout)
    for number, judgement in enumerate(judgements):
        if len(judgements) > 1:
            if number:
                print()
            print(f"{printable(labels[number])}:")
        verbose_steps = None
        if verbose_explainer is not None:
            verbose_steps = json.loads(verbose_explainer.explain(traces[number].steps))["steps"]
        write_lines(explanation_lines(judgement, style, verbose_steps=verbose_steps))
    return EXIT_OK if passed else EXIT_FAILED


def coverage_trace_paths(arguments: Sequence[str]) -> list[str]:
    """The trace files named on the command line, a directory standing for the trace files under it."""
    paths, errors = trace_paths(arguments)
    if errors:
        raise UnusableInput(errors[0][1])
    return paths


class Progress:
    """A self-overwriting count on stderr, shown only where a person watches it."""

    def __init__(self, total: int, doing: str = "reading trace files", shown: bool = True) -> None:
        self.total = total
        self.doing = doing
        self.shown = shown and total >= PROGRESS_MIN_FILES and sys.stderr.isatty()
        self.every = max(1, total // 100)

    def update(self, done: int) -> None:
        if self.shown and (done % self.every == 0 or done == self.total):
            sys.stderr.write(f"\r{self.doing}: {done}/{self.total}")
            sys.stderr.flush()

    def clear(self) -> None:
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()

    def note(self, message: str) -> None:
        """A message on a line of its own; the count is drawn again at the next update."""
        self.clear()
        _warn(message)


def run_coverage(args: argparse.Namespace) -> int:
    policy, records = load_policy_and_records(args.policy)
    guard = load_guard(args.policy, policy)
    paths = coverage_trace_paths(args.traces)
    tally = measure_files(Measure("coverage", policy_bytes(policy)), paths, args)
    accumulator = tally.accumulator
    assert isinstance(accumulator, CoverageAccumulator)
    threshold = 0.0 if args.fail_under is None else args.fail_under
    text = accumulator.report(threshold)
    report: dict[str, Any] = json.loads(text)
    if args.json:
        print(text)
    else:
        traces, steps = accumulator.traces, accumulator.steps
        name = quote(records["name"]) if records["name"] else "(unnamed)"
        print(f"coverage of policy {name} version {quote(records['version'])} by "
              f"{traces} trace{'' if traces == 1 else 's'} "
              f"({steps} step{'' if steps == 1 else 's'}) from {len(paths)} file{'' if len(paths) == 1 else 's'}")
        style = Style.for_stream(sys.stdout)
        for line in coverage_lines(report, style, fail_under=args.fail_under):
            print(line)
        if guard.argument_rules:
            for line in argument_coverage_lines(accumulator.argument_coverage(), style):
                print(line)
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
            _warn(note)
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


@contextmanager
def dask_cluster(address: str, paths: Sequence[str]) -> Iterator[None]:
    """Connected to the Dask scheduler at `address`, as the default scheduler, for the `with` block."""
    if STDIN in paths:
        raise UnusableInput("--dask-scheduler: standard input cannot be read on a cluster; name trace files")
    try:
        import ostik.dask  # noqa: F401 - what the block uses
        from distributed import Client
    except ImportError:
        raise UnusableInput("--dask-scheduler needs Dask with distributed: pip install 'ostik[dask]'") from None
    try:
        client = Client(address, timeout=DASK_CONNECT_SECONDS)  # type: ignore[no-untyped-call]
    except (OSError, TimeoutError, ValueError) as err:
        raise UnusableInput(f"--dask-scheduler {address}: cannot connect: {err}") from None
    with client:
        yield


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
    policy = load_policy(args.policy)
    guard = load_guard(args.policy, policy)
    paths, path_errors = trace_paths(args.paths)
    if args.quiet and not args.json and not args.junit_xml and not in_github_actions():
        return count_test(policy, paths, path_errors, args, start)
    style = Style.for_stream(sys.stdout)
    # Annotations are commands to the runner, not text for people; with --json
    # they keep out of the JSON on stdout.
    annotations = sys.stderr if args.json else sys.stdout
    annotate = in_github_actions()

    def unusable_input(path: str, error: str) -> None:
        progress.note(error)
        if annotate:
            file = None if path in (STDIN, STDIN_NAME) else path
            print(error_command(printable(error), file=file, title="ostik: unusable input"), file=annotations)

    show_failing = not args.quiet and not args.json
    show_passing = args.verbose and not args.json
    kept: list[FileResult] = []
    traces = failed = steps = blocked = 0
    unusable = len(path_errors)
    progress = Progress(len(paths), "judging trace files", shown=not args.json)
    for path, error in path_errors:
        unusable_input(path, error)
    cluster = ExitStack()
    results: Iterable[FileResult]
    if args.dask_scheduler:
        cluster.enter_context(dask_cluster(args.dask_scheduler, paths))
        results = judge_paths_on_cluster(policy, args.policy, paths, args.format)
    else:
        results = judge_paths(guard, args.policy, paths, args.format, args.jobs)
    try:
        for done, result in enumerate(results, start=1):
            for note in result.notes:
                progress.note(note)
            if result.error is not None:
                unusable += 1
                unusable_input(result.path, result.error)
            for trace in result.traces:
                traces += 1
                steps += trace.steps
                blocked += trace.blocked_steps
                if not trace.passed:
                    failed += 1
                if args.json:
                    print(json.dumps(trace_json(trace)))
                elif trace.passed and show_passing or not trace.passed and show_failing:
                    progress.clear()
                    print(trace_line(trace, style))
                if annotate and not trace.passed:
                    print(trace_annotation(trace), file=annotations)
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
            _warn(f"{args.junit_xml}: cannot write the JUnit report: {err.strerror or err}")
            report_written = False
    if args.json:
        print(json.dumps({"traces": traces, "failed": failed, "steps": steps, "blocked_steps": blocked,
                          "unusable": unusable, "seconds": round(seconds, 3)}))
    else:
        print(test_summary(traces, failed, steps, blocked, seconds))
    if unusable or not report_written:
        return EXIT_UNUSABLE
    return EXIT_FAILED if failed else EXIT_OK


def count_test(policy: Policy, paths: Sequence[str], path_errors: Sequence[tuple[str, str]],
               args: argparse.Namespace, start: float) -> int:
    """`ostik test -q`: only the summary line is shown, so each file comes back as an
    AuditAccumulator of its traces (counts, not a record per trace), merged here."""
    measure = Measure("audit", policy_bytes(policy), keep=0)
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
    summary = tally.accumulator.summary()  # type: ignore[union-attr]  # an audit's
    print(test_summary(summary["traces"], summary["failed_traces"], summary["steps"], summary["blocked_steps"],
                       time.perf_counter() - start))
    if path_errors or tally.problems:
        return EXIT_UNUSABLE
    return EXIT_FAILED if summary["failed_traces"] else EXIT_OK


def run_report(args: argparse.Namespace) -> int:
    from ostik.reports.html import ReportPage  # only this command needs it

    policy, records = load_policy_and_records(args.policy)
    paths = coverage_trace_paths(args.paths)
    guard = load_guard(args.policy, policy)
    page = ReportPage(records, guard.argument_rules)
    traces: list[list[Any]] = []
    progress = Progress(len(paths))
    try:
        for done, path in enumerate(paths, start=1):
            for trace in read_traces(path, args.format, progress.note).traces:
                try:
                    page.add(trace, guard.judge(trace.steps))
                except ValueError as err:
                    raise UnusableInput(first_bad_step([trace], guard.judge) or f"{trace.label}: {err}") from None
                traces.append(trace.steps)
            progress.update(done)
    finally:
        progress.clear()
    coverage: dict[str, Any] = json.loads(CoverageAnalyzer(policy).analyze(traces, 0.0))
    text = page.render(coverage, guard.argument_coverage(traces))
    try:
        with open(args.output, "w", encoding="utf-8") as out:
            out.write(text)
    except OSError as err:
        raise UnusableInput(f"{args.output}: cannot write the report: {err.strerror or err}") from None
    _warn(f"wrote {args.output}: {page.traces} trace{'' if page.traces == 1 else 's'}, {page.failed} failed, "
          f"{page.steps} step{'' if page.steps == 1 else 's'}, {page.blocked_steps} blocked")
    return EXIT_FAILED if page.failed else EXIT_OK
