"""`ostik explain POLICY TRACE`: one trace explained step by step, as text or as the JSON report."""

from __future__ import annotations

import argparse
import json
import sys
from typing import TYPE_CHECKING

from ostik._engine import Guard, stream_explanation
from ostik._native import TraceExplainer
from ostik.cli.common import (EXIT_FAILED, EXIT_OK, UnusableInput, add_format_argument, load_guard, load_policy,
                              read_traces, warn, write_lines)
from ostik.formats.trace_files import TraceFile, first_bad_step
from ostik.reports.escaping import VisibleJsonWriter, printable
from ostik.reports.text import Style, explanation_lines
from ostik.runs.judging import unjudged_allowed, unjudged_warning, unnamed_steps_warning

if TYPE_CHECKING:
    from ostik.cli.common import Commands


def add_command(commands: Commands) -> None:
    explain = commands.add_parser("explain", help="explain one trace step by step",
                                  description="Replay the trace in TRACE against POLICY and explain every step. "
                                              "Calls that a live guard refused, or that ran unjudged, are no "
                                              "steps: they are shown where they happened. Exit status 1 when a "
                                              "step was blocked or an end-of-trace check failed, or a call ran "
                                              "unjudged and the policy's on_error is block.")
    explain.add_argument("policy", metavar="POLICY", help="policy file (YAML)")
    explain.add_argument("trace", metavar="TRACE", help="trace file (see --format); - for stdin")
    explain.add_argument("--json", action="store_true", help="print the explanation report as JSON")
    explain.add_argument("-v", "--verbose", action="store_true", help="show every rule's judgement at every step")
    add_format_argument(explain)
    explain.set_defaults(run=run_explain)


def explain_json(guard: Guard, explainer: TraceExplainer, trace_file: TraceFile) -> int:
    """Writes each trace's report to stdout as it is made, however large.

    The exit status follows the traces' judgements, as the text view's does
    (an empty trace fails when the policy requires a tool). A trace that
    cannot be read stops the run at that trace, after the reports of the
    traces before it."""
    sys.stdout.flush()
    out = VisibleJsonWriter(sys.stdout.buffer)
    passed = True
    unjudged_fail = not unjudged_allowed(guard.on_error)
    for trace in trace_file.traces:
        if trace.refused:
            # The report is of the steps alone; the calls that never ran are told apart.
            warn(f"{trace.label}: {len(trace.refused)} refused attempt{'' if len(trace.refused) == 1 else 's'} "
                 "(calls the live guard refused; not steps, so not in the report)")
        try:
            passed = guard.judge(trace.steps).passed and not (unjudged_fail and trace.unjudged) and passed
            stream_explanation(explainer, trace.steps, out)
        except ValueError as err:
            raise UnusableInput(first_bad_step([trace], explainer.explain) or f"{trace.label}: {err}") from None
        out.write(b"\n")
    out.flush()
    return EXIT_OK if passed else EXIT_FAILED


# Said once, by the commands that judge recorded traces.
WINDOWS_UNJUDGED = ("note: limits over a window of time were not applied to steps without a time "
                    "(\"ts\", or the transcript's own timestamps)")


def run_explain(args: argparse.Namespace) -> int:
    policy = load_policy(args.policy)
    guard = load_guard(args.policy, policy)
    trace_file = read_traces(args.trace, args.format)
    for warning in (unnamed_steps_warning(trace_file, "explained"), unjudged_warning(trace_file, guard.on_error)):
        if warning:
            warn(warning)
    if args.json:
        return explain_json(guard, TraceExplainer(policy), trace_file)
    judgements = []
    for trace in trace_file.traces:
        try:
            judgements.append(guard.judge(trace.steps))
        except ValueError as err:
            raise UnusableInput(first_bad_step([trace], guard.judge) or f"{trace.label}: {err}") from None
    unjudged_fail = not unjudged_allowed(guard.on_error)
    passed = all(judgement.passed and not (unjudged_fail and trace.unjudged)
                 for judgement, trace in zip(judgements, trace_file.traces))
    if any(judgement.windows_unjudged for judgement in judgements):
        warn(WINDOWS_UNJUDGED)
    # Only the verbose view reads the steps again; let the others go.
    labels = [trace.label for trace in trace_file.traces]
    off_trace = [(trace.refused, trace.unjudged) for trace in trace_file.traces]
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
            try:
                verbose_steps = json.loads(verbose_explainer.explain(traces[number].steps))["steps"]
            except ValueError as err:  # a step the guard judged, which the explainer's reading refuses
                trace = traces[number]
                raise UnusableInput(first_bad_step([trace], verbose_explainer.explain) or
                                    f"{trace.label}: {err}") from None
        refused, unjudged = off_trace[number]
        write_lines(explanation_lines(judgement, style, verbose_steps=verbose_steps,
                                      steps=traces[number].steps if traces else None,
                                      refused=refused, unjudged=unjudged, unjudged_fail=unjudged_fail))
    return EXIT_OK if passed else EXIT_FAILED
