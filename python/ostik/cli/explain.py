"""`ostik explain POLICY TRACE`: one trace explained step by step, as text or as the JSON report."""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING

from ostik._engine import Guard, Judgement, stream_explanation
from ostik._native import TraceExplainer
from ostik.cli.common import (EXIT_FAILED, EXIT_OK, UnusableInput, add_format_argument, load_guard, load_policy,
                              read_traces, warn, write_lines)
from ostik.formats.trace_files import TraceFile, first_bad_step
from ostik.reports.escaping import VisibleJsonWriter, printable
from ostik.reports.text import Style, explanation_lines
from ostik.runs.judging import UNTIMED_NOTE, unjudged_allowed, unjudged_warning, unnamed_steps_warning

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


class _HeldBackWriter:
    """A writer that passes on everything but the last byte written, so that members can
    be added to a JSON object streamed through it before its closing brace."""

    def __init__(self, out: VisibleJsonWriter) -> None:
        self.out = out
        self.held = b""

    def write(self, data: bytes) -> int:
        if data:
            self.out.write(self.held + data[:-1])
            self.held = data[-1:]
        return len(data)

    def flush(self) -> None:
        self.out.flush()


def entries_json(guard: Guard, judgement: Judgement, steps: Sequence[Mapping[str, object]]) -> dict[str, object]:
    """What the ask and limit entries made of a trace, beside the report of its steps: each
    entry with the steps it reached and triggered, the steps asked about (with the recorded
    approval, when the trace file has one), the steps a limit refused, and whether a windowed
    limit met steps without a time."""
    asks: list[dict[str, object]] = []
    limits: list[dict[str, object]] = []
    for decision in judgement.decisions:
        if decision.needs_approval:
            failure = decision.failures[0]
            ask: dict[str, object] = {"step": decision.step, "tool": decision.tool, "rule_id": failure.rule_id,
                                      "reason": failure.explanation}
            recorded = steps[decision.step].get("approved") if decision.step < len(steps) else None
            if isinstance(recorded, bool):
                ask["approved"] = recorded
            asks.append(ask)
            continue
        for failure in decision.failures:
            if failure.rule_type in ("limit", "repeat"):
                limits.append({"step": decision.step, "tool": decision.tool, "rule_id": failure.rule_id,
                               "rule_type": failure.rule_type, "reason": failure.explanation,
                               "blocking": decision.blocked_by == failure.rule_id})
    return {"entries": guard.entry_coverage([steps]), "asks": asks, "limits": limits,
            "windows_unjudged": judgement.windows_unjudged}


def explain_json(guard: Guard, explainer: TraceExplainer, trace_file: TraceFile) -> int:
    """Writes each trace's report to stdout as it is made, however large.

    A policy with ask or limit entries adds what they made of the trace to its
    report (entries_json), after the members of the steps' report.

    The exit status follows the traces' judgements, as the text view's does
    (an empty trace fails when the policy requires a tool). A trace that
    cannot be read stops the run at that trace, after the reports of the
    traces before it."""
    sys.stdout.flush()
    out = VisibleJsonWriter(sys.stdout.buffer)
    passed = True
    unjudged_fail = not unjudged_allowed(guard.on_error)
    entries = bool(guard.entries)
    untimed = False
    for trace in trace_file.traces:
        if trace.refused:
            # The report is of the steps alone; the calls that never ran are told apart.
            warn(f"{trace.label}: {len(trace.refused)} refused attempt{'' if len(trace.refused) == 1 else 's'} "
                 "(calls the live guard refused; not steps, so not in the report)")
        try:
            judgement = guard.judge(trace.steps)
            passed = judgement.passed and not (unjudged_fail and trace.unjudged) and passed
            if not entries:
                stream_explanation(explainer, trace.steps, out)
            else:
                held = _HeldBackWriter(out)
                stream_explanation(explainer, trace.steps, held)
                assert held.held == b"}", "a report is a JSON object"
                added = json.dumps(entries_json(guard, judgement, trace.steps), separators=(",", ":"))
                out.write(b"," + added[1:].encode("utf-8"))
                untimed = untimed or judgement.windows_unjudged
        except ValueError as err:
            raise UnusableInput(first_bad_step([trace], explainer.explain) or f"{trace.label}: {err}") from None
        out.write(b"\n")
    out.flush()
    if untimed:
        warn(WINDOWS_UNJUDGED)
    return EXIT_OK if passed else EXIT_FAILED


# Said once, by the commands that judge recorded traces.
WINDOWS_UNJUDGED = f"note: {UNTIMED_NOTE}"


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
