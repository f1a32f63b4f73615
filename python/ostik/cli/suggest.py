"""`ostik suggest PATH... [-o policy.yaml]`: a first policy from traces believed good.

The rules come from ostik.suggesting; before the file is written, the policy is
loaded as every command loads one and each input trace judged by it, so that
what is written passes every trace it was made from. A rule that some trace
breaks all the same (a reading of a value that differs from the guard's) is
left out, and said so.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from typing import TYPE_CHECKING, Any

from ostik._engine import AuditAccumulator, CoverageAccumulator
from ostik.cli.common import (EXIT_OK, Progress, UnusableInput, add_format_argument, coverage_trace_paths,
                              load_judging_policy, percentage, positive_count, read_traces, refuse_overwriting_inputs,
                              warn)
from ostik.formats.trace_files import first_bad_step
from ostik.reports.text import Style, coverage_lines
from ostik.suggesting.observations import Observations
from ostik.suggesting.policy_text import policy_text
from ostik.suggesting.suggestion import Options, Suggestion, suggest

if TYPE_CHECKING:
    from ostik._engine import Guard
    from ostik.cli.common import Commands

# An empty policy: every step allowed, so that its judgement only reads the steps.
READING_POLICY = 'version: "1"\n'

# How many times rules that traces break are taken out before giving up.
MAX_ROUNDS = 3


def margin(text: str) -> float:
    value = percentage(text.removesuffix("%"))
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text!r}")
    return value


def add_command(commands: Commands) -> None:
    command = commands.add_parser("suggest", help="write a first policy from traces believed good",
                                  description="Read the traces in the PATHs (files, directories searched "
                                              "recursively for *.jsonl and *.json files, - for stdin) and write a "
                                              "policy that every one of them passes: allow the tools they call, "
                                              "max_calls at the most calls of each tool in one trace, before "
                                              "rules for tools always called before another, require the tools "
                                              "every trace calls, and one_of for arguments with few distinct "
                                              "values, and limits over a minute where the steps have times and a "
                                              "tool is called fewer times in a minute than in a whole trace. Each "
                                              "rule has a comment saying how many traces it held in. The same "
                                              "traces give the same file.",
                                  epilog="Exit status: 0 the policy was written, 2 unusable input (nothing written).")
    command.add_argument("paths", metavar="PATH", nargs="+", help="trace files or directories; - for stdin")
    command.add_argument("-o", "--output", metavar="FILE", help="write the policy to FILE (default: stdout)")
    command.add_argument("--margin", metavar="PCT", type=margin, default=0.0,
                         help="per cent added to the most calls of a tool seen in one trace (default: 0)")
    command.add_argument("--min-support", metavar="N", type=positive_count, default=2,
                         help="make a before rule only from N or more traces calling its later tool, a "
                              "require rule from N or more traces, a one_of from N or more calls (default: 2)")
    command.add_argument("--max-values", metavar="N", type=positive_count, default=5,
                         help="the most distinct values an argument may take to get a one_of (default: 5)")
    add_format_argument(command)
    command.set_defaults(run=run_suggest)


def _read(paths: list[str], trace_format: str, reader: Guard) -> tuple[Observations, list[list[Any]], int]:
    seen = Observations()
    traces: list[list[Any]] = []
    progress = Progress(len(paths))
    try:
        for done, path in enumerate(paths, start=1):
            for trace in read_traces(path, trace_format, progress.note).traces:
                try:
                    judgement = reader.judge(trace.steps)
                except ValueError as err:
                    raise UnusableInput(first_bad_step([trace], reader.judge) or f"{trace.label}: {err}") from None
                tools = [decision.tool for decision in judgement.decisions]
                seen.add(tools, (_arguments(step) for step in trace.steps),
                         [step.get("ts") if isinstance(step, dict) else None for step in trace.steps])
                traces.append(trace.steps)
            progress.update(done)
    finally:
        progress.clear()
    return seen, traces, len(paths)


def _arguments(step: Any) -> Any:
    if not isinstance(step, dict):
        return None
    given = step.get("args")
    return step.get("params") if given is None else given


def _written(text: str, directory: str) -> str:
    handle, path = tempfile.mkstemp(suffix=".yaml", dir=directory)
    with os.fdopen(handle, "w", encoding="utf-8") as out:
        out.write(text)
    return path


def _failing_rules(path: str, traces: list[list[Any]]) -> tuple[set[str], Any]:
    """The rule ids that some trace fails under the policy file, and the policy."""
    policy, _ = load_judging_policy(path)
    audit = AuditAccumulator(policy, 0)
    audit.add_many(traces)
    summary = audit.summary()
    return set(summary["blocked_by"]) | set(summary["end_failures"]), policy


def run_suggest(args: argparse.Namespace) -> int:
    refuse_overwriting_inputs([("-o", args.output)], args.paths[0], args.paths)
    paths, unusable = coverage_trace_paths(args.paths)
    if unusable:
        # A policy suggested from part of the traces would pass as one from all of them.
        raise UnusableInput("")  # each told already
    with tempfile.TemporaryDirectory() as scratch:
        reading, _ = load_judging_policy(_written(READING_POLICY, scratch))
        from ostik._engine import Guard

        seen, traces, files = _read(paths, args.format, Guard(reading))
        if not seen.traces:
            raise UnusableInput("no traces in the given paths to suggest a policy from")
        options = Options(margin=args.margin, min_support=args.min_support, max_values=args.max_values)
        suggestion = suggest(seen, options)
        heading = [f"Suggested by ostik suggest from {seen.traces} trace{'' if seen.traces == 1 else 's'} "
                   f"({seen.steps} step{'' if seen.steps == 1 else 's'}) in {files} file{'' if files == 1 else 's'}.",
                   "Every rule held in every trace read; review each before enforcing it."]
        left_out: set[str] = set()
        for _ in range(MAX_ROUNDS):
            text = policy_text(suggestion, heading)
            failing, policy = _failing_rules(_written(text, scratch), traces)
            if not failing:
                break
            left_out |= failing
            suggestion = suggestion.without(failing)
        else:
            raise UnusableInput(f"the suggested policy still fails traces at rules: {', '.join(sorted(failing))}")
    for rule in sorted(left_out):
        warn(f"left out {rule}: some trace breaks it as the guard reads the steps")
    if args.output:
        try:
            with open(args.output, "w", encoding="utf-8") as out:
                out.write(text)
        except OSError as err:
            raise UnusableInput(f"{args.output}: cannot write the policy: {err.strerror or err}") from None
    else:
        sys.stdout.write(text)
    _report(policy, suggestion, traces, to=sys.stdout if args.output else sys.stderr)
    return EXIT_OK


def _report(policy: Any, suggestion: Suggestion, traces: list[list[Any]], to: Any) -> None:
    """What the policy holds, and its coverage by the traces it was made from."""
    coverage = CoverageAccumulator(policy)
    coverage.add_many(traces)
    report = json.loads(coverage.report(0.0))
    style = Style.for_stream(to)
    rules = len(suggestion.rules) + len(suggestion.arguments) + len(suggestion.limits)
    print(f"suggested: {len(suggestion.allow)} allowed tool{'' if len(suggestion.allow) == 1 else 's'}, "
          f"{rules} rule{'' if rules == 1 else 's'}; every trace read passes it", file=to)
    print("coverage by the traces read:", file=to)
    for line in coverage_lines(report, style, fail_under=None):
        print("  " + line, file=to)
