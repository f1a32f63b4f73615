"""The explanation and coverage reports, written for people.

The explanation is laid out from a trace's Judgement (ostik._engine), with the
explanation report's steps only for the verbose view; the coverage from the
coverage report parsed into plain Python data. Neither recomputes a judgement:
they only lay it out.
"""

from __future__ import annotations

import bisect
import json
import os
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TextIO

from ostik.reports.escaping import printable
from ostik.reports.violations import step_failures

if TYPE_CHECKING:
    from ostik._engine import ArgumentRuleCoverage, EntryCoverage, Judgement, RuleFailure
    from ostik.formats.trace_files import RefusedAttempt, UnjudgedCall
    from ostik.runs.judging import TraceResult, Violation


@dataclass(frozen=True)
class Style:
    """ANSI colour, or nothing at all."""

    colour: bool

    @staticmethod
    def for_stream(stream: TextIO) -> Style:
        # https://no-color.org: a non-empty NO_COLOR turns colour off whatever else holds.
        if os.environ.get("NO_COLOR"):
            return Style(False)
        isatty = getattr(stream, "isatty", None)
        return Style(bool(isatty and isatty()))

    def _paint(self, code: str, text: str) -> str:
        return f"\x1b[{code}m{text}\x1b[0m" if self.colour else text

    def good(self, text: str) -> str:
        return self._paint("32", text)

    def bad(self, text: str) -> str:
        return self._paint("1;31", text)

    def warn(self, text: str) -> str:
        return self._paint("33", text)

    def dim(self, text: str) -> str:
        return self._paint("2", text)


def _plural(count: int, word: str) -> str:
    return f"{count} {word}" + ("" if count == 1 else "s")


def _percent(value: float | None) -> str:
    # Infinite and NaN doubles are written as null in the report.
    return "n/a" if value is None else f"{value:.1f}%"


def failure_text(failure: RuleFailure) -> str:
    """A failure as "rule_id: explanation", safe to print."""
    return f"{printable(failure.rule_id)}: {printable(failure.explanation)}"


def step_ranges(steps: Sequence[int], limit: int = 8) -> str:
    """Increasing step indices as runs: "5, 7-9, 12", the first `limit` runs only, then "..."."""
    runs: list[str] = []
    i = 0
    while i < len(steps):
        if len(runs) == limit:
            runs.append("...")
            break
        # Within a run, index and step rise together; a run of a long trace may
        # be long, so its end is searched for, not walked to.
        start = i
        offset = steps[start] - start
        i = start + bisect.bisect_right(range(start, len(steps)), offset, key=lambda k: steps[k] - k)
        runs.append(str(steps[start]) if i == start + 1 else f"{steps[start]}-{steps[i - 1]}")
    return ", ".join(runs)


def later_steps_text(later_steps: Sequence[int]) -> str:
    return f"and at {_plural(len(later_steps), 'later step')}: {step_ranges(later_steps)}"


RESULT_CHARACTERS = 72
"""How much of a call's result the verbose view shows."""


def result_text(result: Any) -> str:
    """A call's result in short: its text's first line, or its JSON, cut to a line's worth."""
    if isinstance(result, str):
        lines = result.strip().splitlines()
        text = lines[0] if lines else ""
        more = len(lines) > 1
    else:
        try:
            text = json.dumps(result, ensure_ascii=False, separators=(",", ":"), default=str)
        except (ValueError, RecursionError):
            text = type(result).__name__
        more = False
    if len(text) > RESULT_CHARACTERS:
        text, more = text[:RESULT_CHARACTERS - 3], True
    return printable(text + ("..." if more else ""))


def off_trace_lines(refused: Sequence[RefusedAttempt], unjudged: Sequence[UnjudgedCall], index_width: int,
                    width: int, style: Style) -> dict[int, list[str]]:
    """The lines of the calls that are no steps, by the index of the step each came before."""
    blank = " " * index_width
    # Refused and unjudged calls between the same two steps: in the order of
    # their lines where the file gives them.
    calls: list[tuple[int, int, int, str]] = []
    for order, attempt in enumerate(refused):
        calls.append((attempt.before, attempt.line or 0, order,
                      f"{blank}  {printable(attempt.tool):<{width}}  {style.warn('refused live')}  "
                      f"{printable(attempt.rule_id)}: {printable(attempt.reason)}"))
    for order, call in enumerate(unjudged, start=len(refused)):
        calls.append((call.before, call.line or 0, order,
                      f"{blank}  {printable(call.tool):<{width}}  {style.warn('ran unjudged')}  "
                      f"{printable(call.reason)}"))
    lines: dict[int, list[str]] = {}
    for before, _, _, text in sorted(calls):
        lines.setdefault(before, []).append(text)
    return lines


def explanation_lines(judgement: Judgement, style: Style, *,
                      verbose_steps: Sequence[dict[str, Any]] | None = None,
                      steps: Sequence[Any] | None = None,
                      refused: Sequence[RefusedAttempt] = (),
                      unjudged: Sequence[UnjudgedCall] = (),
                      unjudged_fail: bool = False) -> Iterator[str]:
    """One line per step, the end-of-trace failures, then a closing summary line.

    The calls the live guard refused (`refused`) and those that ran unjudged
    (`unjudged`), which are no steps, are each shown on a line of their own
    before the step they came before; `unjudged_fail`: such calls fail the
    trace (the policy's on_error is block).

    A failure is shown at the step where it first occurred, with the later steps
    where it occurred again; a blocked step whose failures were all shown before
    gets no line (see ostik.reports.violations). With `verbose_steps`, the steps of the
    trace's explanation report, every step is shown with every failure, each
    followed by every rule's judgement at that step, and, given the trace's `steps`,
    by the short form of the call's result where the step has one."""
    decisions = judgement.decisions
    end_failures = judgement.end_failures
    names = {tool: printable(tool) for tool in {d.tool for d in decisions}}
    off_names = [printable(call.tool) for calls in (refused, unjudged) for call in calls]
    width = min(max(map(len, [*names.values(), *off_names]), default=0), 32)
    index_width = len(str(len(decisions) - 1)) if decisions else 1
    off_trace = off_trace_lines(refused, unjudged, index_width, width, style) if off_names else {}
    pad = " " * (index_width + width + 4)
    # Where a failure's text starts on its step's line, and on an "also fails" line.
    failure_pad = " " * (index_width + width + 13)
    also_pad = pad + " " * len("also fails ")
    allowed, blocked = style.good("allowed"), style.bad("blocked")
    verbose = verbose_steps is not None
    failing = step_failures(decisions) if not verbose else {}
    for index, decision in enumerate(decisions):
        if off_trace:
            yield from off_trace.pop(index, ())
        if decision.allowed:
            yield f"{index:>{index_width}}  {names[decision.tool]:<{width}}  {allowed}"
        elif decision.needs_approval:
            # A recorded step an ask entry met: it ran, approved or not asked.
            yield (f"{index:>{index_width}}  {names[decision.tool]:<{width}}  {style.warn('ask')}      "
                   f"{failure_text(decision.failures[0])}")
        elif verbose:
            head = f"{index:>{index_width}}  {names[decision.tool]:<{width}}  "
            first_failure, *other_failures = decision.failures
            yield f"{head}{blocked}  {failure_text(first_failure)}"
            for failure in other_failures:
                yield f"{pad}{style.dim('also fails')} {failure_text(failure)}"
        else:
            shown = failing.get(index)
            if shown is None:
                continue
            head = f"{index:>{index_width}}  {names[decision.tool]:<{width}}  "
            first, *others = shown.occurrences
            if shown.is_new(first):
                yield f"{head}{blocked}  {failure_text(first.failure)}"
                if first.later_steps:
                    yield failure_pad + style.dim(later_steps_text(first.later_steps))
            else:
                yield (f"{head}{blocked}  {printable(first.failure.rule_id)}: "
                       f"{style.dim(f'again, see step {first.first_step}')}")
            for other in others:
                if shown.is_new(other):
                    yield f"{pad}{style.dim('also fails')} {failure_text(other.failure)}"
                    if other.later_steps:
                        yield also_pad + style.dim(later_steps_text(other.later_steps))
        if verbose_steps is not None:
            given = steps[index] if steps is not None and index < len(steps) else None
            if isinstance(given, dict) and "result" in given:
                label = "result (error)" if given.get("is_error") is True else "result"
                yield f"{pad}{style.dim(label + ':')} {result_text(given['result'])}"
            evaluations: list[dict[str, Any]] = verbose_steps[index]["rules_evaluated"]
            own = len(evaluations) - (len(end_failures) if index == len(decisions) - 1 else 0)
            for evaluation in evaluations[:own]:
                mark = style.good("pass") if evaluation["passed"] else style.bad("FAIL")
                yield f"{pad}{mark} {style.dim(printable(evaluation['rule_id']))}: {printable(evaluation['explanation'])}"
    for lines in off_trace.values():  # after the last step
        yield from lines
    if end_failures:
        yield "end of trace:"
        for failure in end_failures:
            yield f"  {style.bad('FAIL')} {failure_text(failure)}"
    yield explanation_summary(judgement, len(end_failures), style, refused=len(refused), unjudged=len(unjudged),
                              unjudged_fail=unjudged_fail)


def outcome_text(steps: int, blocked_steps: int, first_block: int | None, end_failures: int) -> str:
    """What happened to a trace in a few words: "4 of 5 steps blocked (first at step 0); ..."."""
    if blocked_steps:
        parts = [f"{blocked_steps} of {_plural(steps, 'step')} blocked (first at step {first_block})"]
    else:
        parts = [f"{_plural(steps, 'step')}, none blocked"]
    if end_failures:
        parts.append(f"{_plural(end_failures, 'end-of-trace check')} failed")
    return "; ".join(parts)


def off_trace_text(refused: int, unjudged: int, asked: int = 0) -> str:
    """The calls that are no steps, counted, and the steps that needed approval:
    "; 2 refused attempts; 1 call ran unjudged; 1 step asked for approval" ("" for none)."""
    text = ""
    if asked:
        text += f"; {_plural(asked, 'step')} asked for approval"
    if refused:
        text += f"; {_plural(refused, 'refused attempt')}"
    if unjudged:
        text += f"; {_plural(unjudged, 'call')} ran unjudged"
    return text


def explanation_summary(judgement: Judgement, end_failures: int, style: Style, *, refused: int = 0,
                        unjudged: int = 0, unjudged_fail: bool = False) -> str:
    off_trace = off_trace_text(refused, unjudged)
    if judgement.passed and not (unjudged and unjudged_fail):
        return f"{style.good('PASS')}: {_plural(judgement.steps, 'step')}, none blocked{off_trace}"
    outcome = outcome_text(judgement.steps, judgement.blocked_steps, judgement.first_block, end_failures)
    rules = [printable(rule) for rule in judgement.blocking_rules]
    if unjudged and unjudged_fail:
        off_trace += " (the policy's on_error is block)"
        rules.append("on_error")
    return f"{style.bad('FAIL')}: {outcome}{off_trace}; blocking rules: {', '.join(rules)}"


def violation_text(violation: Violation) -> str:
    """A violation where it first happened: "step 3 git_commit: rule_id: reason" or "end of trace: ...",
    safe to print."""
    text = f"{printable(violation.rule)}: {printable(violation.reason)}"
    if violation.kind != "step":
        what = "refused live" if violation.kind == "refused" else "ran unjudged"
        text = f"{what} before step {violation.step} {printable(violation.tool or '')}: {text}"
        if violation.blocked_later:
            text += f", and {_plural(violation.blocked_later, 'later time')}"
        return text
    if violation.step is None:
        return f"end of trace: {text}"
    text = f"step {violation.step} {printable(violation.tool or '')}: {text}"
    if violation.blocked_later:
        text += f", and at {_plural(violation.blocked_later, 'later step')}"
    return text


def place_text(file: str, line: int | None, place: str | None) -> str:
    """Where a trace is: its file, its line when the file holds several ("runs.jsonl:3"), and its
    place within when it has one ("runs.jsonl: session b")."""
    where = printable(file)
    if line is not None:
        where += f":{line}"
    if place is not None:
        where += f": {printable(place)}"
    return where


def trace_place(trace: TraceResult) -> str:
    """Where a trace is, as `place_text` writes it."""
    return place_text(trace.file, trace.line, trace.place)


def trace_line(trace: TraceResult, style: Style) -> str:
    """One line for a trace: PASS with its steps, or FAIL with its first violation and a tally."""
    off_trace = off_trace_text(trace.refused, trace.unjudged, trace.asked)
    if trace.passed:
        return f"{style.good('PASS')} {trace_place(trace)}: {_plural(trace.steps, 'step')}{off_trace}"
    if trace.blocked_steps:
        tally = f"{trace.blocked_steps} of {_plural(trace.steps, 'step')} blocked"
    else:
        tally = f"{_plural(trace.steps, 'step')}, none blocked"
    end = len(trace.end_failures)
    if end:
        tally += f"; {_plural(end, 'end-of-trace check')} failed"
    return f"{style.bad('FAIL')} {trace_place(trace)}: {violation_text(trace.violations[0])} ({tally}{off_trace})"


def test_summary(traces: int, failed: int, steps: int, blocked_steps: int, seconds: float, refused: int = 0,
                 unjudged: int = 0, asked: int = 0) -> str:
    """The closing line of `ostik test`; the steps asked for approval and the calls that are no
    steps only when there are some."""
    off_trace = "".join(f", {_plural(count, word)}" for count, word in
                        ((asked, "asked step"), (refused, "refused attempt"), (unjudged, "unjudged call")) if count)
    return (f"{_plural(traces, 'trace')}, {failed} failed, {_plural(steps, 'step')}, "
            f"{_plural(blocked_steps, 'blocked step')}{off_trace}, in {seconds:.2f} s")


def coverage_lines(report: dict[str, Any], style: Style, *, fail_under: float | None) -> Iterator[str]:
    """The percentages, then every list that points at missing tests."""
    tools, rules = report["tool_coverage"], report["rule_coverage"]
    yield (f"tools:   {tools['tools_seen_in_traces']} of {tools['total_tools_in_policy']} called"
           f" ({_percent(tools['coverage_pct'])})")
    yield (f"rules:   {rules['rules_triggered']} triggered of {rules['total_rules']}"
           f" ({_percent(rules['coverage_pct'])})")
    overall = f"overall: {_percent(report['overall_coverage_pct'])}"
    if fail_under is not None:
        met = report["meets_threshold"]
        verdict = style.good("met") if met else style.bad("NOT met")
        overall += f" (required {fail_under:g}%: {verdict})"
    yield overall
    # The report's lists follow hash order; sort them so that runs compare.
    sections = [
        ("untriggered rules", rules["untriggered_rules"]),
        ("unseen tools", sorted(tools["unseen_tools"])),
        ("unexpected tools (called, but the policy never names them)", sorted(tools["unexpected_tools"])),
    ]
    for title, names in sections:
        if names:
            yield f"{title}: {', '.join(printable(name) for name in names)}"
        else:
            yield f"{title}: {style.dim('none')}"
    gaps = sorted(report["high_risk_gaps"], key=lambda gap: gap["tool"])
    if gaps:
        yield style.warn("high-risk gaps (denied or forbidden tools that no trace calls):")
        for gap in gaps:
            yield f"  {printable(gap['tool'])} [{printable(gap['severity'])}]: {printable(gap['reason'])}"
    else:
        yield f"high-risk gaps: {style.dim('none')}"


def argument_coverage_lines(rules: Sequence[ArgumentRuleCoverage], style: Style) -> Iterator[str]:
    """Which of the policy's argument rules the calls reached, and which they violated (Guard.argument_coverage)."""
    reached = [rule for rule in rules if rule["reached"]]
    violated = [rule for rule in rules if rule["violated"]]
    yield f"argument rules: {len(reached)} of {len(rules)} reached, {len(violated)} violated"
    unreached = [printable(rule["rule_id"]) for rule in rules if not rule["reached"]]
    yield f"unreached argument rules: {', '.join(unreached) if unreached else style.dim('none')}"
    if violated:
        yield "violated argument rules: " + ", ".join(
            f"{printable(rule['rule_id'])} ({rule['violated']} of {_plural(rule['reached'], 'call')})" for rule in violated)
    else:
        yield f"violated argument rules: {style.dim('none')}"


def _entry_kinds(entries: Sequence[EntryCoverage]) -> str:
    """What the entries are: "ask and limit entries", "flow entries" or "ask, limit and flow entries"."""
    flows = sum(entry["rule_type"] == "flow" for entry in entries)
    if not flows:
        return "ask and limit entries"
    return "flow entries" if flows == len(entries) else "ask, limit and flow entries"


def entry_coverage_lines(entries: Sequence[EntryCoverage], style: Style) -> Iterator[str]:
    """Which of the policy's ask, limit and flow entries the steps reached, and which they triggered
    (asked about, or refused): CoverageAccumulator.entry_coverage, Guard.entry_coverage."""
    reached = [entry for entry in entries if entry["reached"]]
    triggered = [entry for entry in entries if entry["triggered"]]
    yield f"{_entry_kinds(entries)}: {len(reached)} of {len(entries)} reached, {len(triggered)} triggered"
    unreached = [printable(entry["rule_id"]) for entry in entries if not entry["reached"]]
    yield f"unreached entries: {', '.join(unreached) if unreached else style.dim('none')}"
    if triggered:
        yield "triggered entries: " + ", ".join(
            f"{printable(entry['rule_id'])} ({entry['triggered']} of {_plural(entry['reached'], 'step')})"
            for entry in triggered)
    else:
        yield f"triggered entries: {style.dim('none')}"
