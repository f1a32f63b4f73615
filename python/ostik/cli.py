"""The ostik command line: check a policy, explain a trace, measure coverage, write a report page.

Exit codes: 0 success; 1 the input was read and judged, and failed (a blocked
step, an end-of-trace check, a coverage threshold, a warning under --strict);
2 unusable input (a bad policy, an unreadable trace file, a bad command line).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ostik import __version__
from ostik._engine import Guard
from ostik._inspect import ignored_keys, policy_records
from ostik._native import CoverageAnalyzer, Policy, TraceExplainer
from ostik.formats import AUTO, FORMATS, AmbiguousFormatError, read_file
from ostik.policy_check import ignored_key_warning, policy_warnings, printable, quote, summary
from ostik.text_reports import Style, coverage_lines, explanation_lines, split_failures
from ostik.trace_files import STDIN, Trace, TraceFile, TraceFileError, find_trace_files

if TYPE_CHECKING:
    from ostik._inspect import IgnoredKey, PolicyRecords

EXIT_OK, EXIT_FAILED, EXIT_UNUSABLE = 0, 1, 2

# Below this many trace files reading is quick enough to need no progress line.
PROGRESS_MIN_FILES = 20

FORMAT_CHOICES = (AUTO, *FORMATS)


class UnusableInput(Exception):
    """Input that cannot be judged at all; the message names the file."""


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
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

    coverage = commands.add_parser("coverage", help="measure how much of a policy a set of traces exercises",
                                   description="Explain every trace in the TRACE files (a directory stands for "
                                               "its *.jsonl and *.json files) and report how much of POLICY they "
                                               "exercised.")
    coverage.add_argument("policy", metavar="POLICY", help="policy file (YAML)")
    coverage.add_argument("traces", metavar="TRACE", nargs="+", help="trace files or directories")
    coverage.add_argument("--fail-under", metavar="PCT", type=_percentage,
                          help="exit with status 1 when the overall coverage is below PCT")
    coverage.add_argument("--json", action="store_true", help="print the coverage report as JSON")
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


def load_policy(path: str) -> tuple[Policy, PolicyRecords]:
    records = load_records(path)
    try:
        return Policy.from_file(path), records
    except (FileNotFoundError, ValueError) as err:  # the file changed in between
        raise UnusableInput(f"{path}: {err}") from None


def read_traces(path: str, trace_format: str, warn: Callable[[str], None] = _warn) -> TraceFile:
    """Reads a trace file in the named format, or in the one its content shows ("auto")."""
    try:
        trace_file = read_file(path, trace_format)
    except AmbiguousFormatError as err:
        raise UnusableInput(f"{err}; name it with --format NAME ({', '.join(FORMATS)})") from None
    except TraceFileError as err:
        raise UnusableInput(str(err)) from None
    if trace_format == AUTO and trace_file.format != "ostik":
        warn(f"{trace_file.path}: detected format {trace_file.format}")
    for warning in trace_file.warnings:
        warn(f"warning: {warning}")
    return trace_file


def warn_unnamed_steps(trace_file: TraceFile) -> None:
    """Steps that name no tool are explained as calls of 'unknown': almost always a file read in the wrong format."""
    steps = [step for trace in trace_file.traces for step in trace.steps]
    unnamed = sum(1 for step in steps if isinstance(step, dict) and all(
        step.get(key) is None for key in ("tool", "name", "tool_name")))
    if unnamed:
        _warn(f"warning: {trace_file.path}: {unnamed} of {len(steps)} steps name no tool and are explained as calls "
              f"of 'unknown'; is the file in another format? (see --format)")


def first_bad_step(traces: Sequence[Trace], check: Callable[[list[Any]], object]) -> str | None:
    """Where the first step that the native reader refuses stands, with its message.

    The reader judges each step on its own, so trying the steps one at a time
    finds the same step that failed the whole call; this runs only after a
    failure."""
    for trace in traces:
        for index, step in enumerate(trace.steps):
            try:
                check([step])
            except ValueError as err:
                return f"{trace.where(index)}: {err}"
    return None


def run_check(args: argparse.Namespace) -> int:
    records = load_records(args.policy)
    ignored = load_ignored_keys(args.policy)
    print(f"{args.policy}: {summary(records)}")
    warnings = policy_warnings(records)
    for warning in warnings:
        _warn(f"{args.policy}: warning: {warning}")
    # These have a place in the file: named the way compilers and editors expect.
    for key in ignored:
        _warn(f"{args.policy}:{key['line']}:{key['column']}: warning: {ignored_key_warning(key)}")
    return EXIT_FAILED if (warnings or ignored) and args.strict else EXIT_OK


def run_explain(args: argparse.Namespace) -> int:
    policy, records = load_policy(args.policy)
    trace_file = read_traces(args.trace, args.format)
    explainer = TraceExplainer(policy)
    texts = []
    for trace in trace_file.traces:
        try:
            texts.append(explainer.explain(trace.steps))
        except ValueError as err:
            raise UnusableInput(first_bad_step([trace], explainer.explain) or f"{trace.label}: {err}") from None
    warn_unnamed_steps(trace_file)
    rule_count = len(records["sequences"])
    style = Style.for_stream(sys.stdout)
    failed = False
    for number, (trace, text) in enumerate(zip(trace_file.traces, texts)):
        report: dict[str, Any] = json.loads(text)
        end_failures = split_failures(report["steps"][-1], rule_count).end_of_trace if report["steps"] else []
        failed = failed or report["blocked_steps"] > 0 or bool(end_failures)
        if args.json:
            print(text)
            continue
        if len(trace_file.traces) > 1:
            if number:
                print()
            print(f"{printable(trace.label)}:")
        for line in explanation_lines(report, rule_count, style, verbose=args.verbose):
            print(line)
    return EXIT_FAILED if failed else EXIT_OK


def trace_paths(arguments: Sequence[str]) -> list[str]:
    """The trace files named on the command line, a directory standing for its trace files."""
    paths = []
    for argument in arguments:
        if argument != STDIN and os.path.isdir(argument):
            found = sorted(str(p) for p in Path(argument).iterdir()
                           if p.suffix in (".jsonl", ".json") and p.is_file())
            if not found:
                raise UnusableInput(f"{argument}: no .jsonl or .json files in this directory")
            paths.extend(found)
        else:
            paths.append(argument)
    return paths


class Progress:
    """A self-overwriting count on stderr, shown only where a person watches it."""

    def __init__(self, total: int) -> None:
        self.total = total
        self.shown = total >= PROGRESS_MIN_FILES and sys.stderr.isatty()
        self.every = max(1, total // 100)

    def update(self, done: int) -> None:
        if self.shown and (done % self.every == 0 or done == self.total):
            sys.stderr.write(f"\rreading trace files: {done}/{self.total}")
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
    policy, records = load_policy(args.policy)
    paths = trace_paths(args.traces)
    progress = Progress(len(paths))
    traces: list[Trace] = []
    try:
        for done, path in enumerate(paths, start=1):
            traces.extend(read_traces(path, args.format, progress.note).traces)
            progress.update(done)
    finally:
        progress.clear()
    analyzer = CoverageAnalyzer(policy)
    threshold = 0.0 if args.fail_under is None else args.fail_under
    try:
        text = analyzer.analyze([trace.steps for trace in traces], threshold)
    except ValueError as err:
        where = first_bad_step(traces, lambda steps: analyzer.analyze([steps], 0.0))
        raise UnusableInput(where or str(err)) from None
    report: dict[str, Any] = json.loads(text)
    if args.json:
        print(text)
    else:
        steps = sum(len(trace.steps) for trace in traces)
        name = quote(records["name"]) if records["name"] else "(unnamed)"
        print(f"coverage of policy {name} version {quote(records['version'])} by "
              f"{len(traces)} trace{'' if len(traces) == 1 else 's'} "
              f"({steps} step{'' if steps == 1 else 's'}) from {len(paths)} file{'' if len(paths) == 1 else 's'}")
        for line in coverage_lines(report, Style.for_stream(sys.stdout), fail_under=args.fail_under):
            print(line)
    if args.fail_under is not None and not report["meets_threshold"]:
        return EXIT_FAILED
    return EXIT_OK


def run_report(args: argparse.Namespace) -> int:
    from ostik.html_report import ReportPage  # only this command needs it

    policy, records = load_policy(args.policy)
    paths: list[str] = []
    for argument in args.paths:
        if argument == STDIN or not os.path.isdir(argument):
            paths.append(argument)
            continue
        try:
            found = find_trace_files(argument)
        except OSError as err:
            raise UnusableInput(f"{argument}: {err.strerror or err}") from None
        if not found:
            raise UnusableInput(f"{argument}: no .jsonl or .json files in this directory or below")
        paths.extend(found)
    guard, page = Guard(policy), ReportPage(records)
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
    text = page.render(coverage)
    try:
        with open(args.output, "w", encoding="utf-8") as out:
            out.write(text)
    except OSError as err:
        raise UnusableInput(f"{args.output}: cannot write the report: {err.strerror or err}") from None
    _warn(f"wrote {args.output}: {page.traces} trace{'' if page.traces == 1 else 's'}, {page.failed} failed, "
          f"{page.steps} step{'' if page.steps == 1 else 's'}, {page.blocked_steps} blocked")
    return EXIT_FAILED if page.failed else EXIT_OK
