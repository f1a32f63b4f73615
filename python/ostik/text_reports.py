"""The explanation and coverage reports, written for people.

Both work from the JSON reports the native classes return, parsed into plain
Python data; they never recompute a judgement, they only lay it out.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any, TextIO

from ostik.policy_check import printable


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


@dataclass(frozen=True)
class StepFailures:
    """A step's failed evaluations, split into its own and the end-of-trace ones."""

    own: list[dict[str, Any]]
    end_of_trace: list[dict[str, Any]]


def split_failures(step: dict[str, Any], rule_count: int) -> StepFailures:
    """The last step carries the end-of-trace results after its own entries: the
    tool-check record if any, then one entry per rule of the policy."""
    evaluations: list[dict[str, Any]] = step["rules_evaluated"]
    own_count = rule_count + (1 if evaluations and evaluations[0]["rule_type"] in ("deny", "allow") else 0)
    failed = [i for i, e in enumerate(evaluations) if not e["passed"]]
    return StepFailures([evaluations[i] for i in failed if i < own_count],
                        [evaluations[i] for i in failed if i >= own_count])


def _plural(count: int, word: str) -> str:
    return f"{count} {word}" + ("" if count == 1 else "s")


def _percent(value: float | None) -> str:
    # Infinite and NaN doubles are written as null in the report.
    return "n/a" if value is None else f"{value:.1f}%"


def _failure(evaluation: dict[str, Any]) -> str:
    return f"{printable(evaluation['rule_id'])}: {printable(evaluation['explanation'])}"


def explanation_lines(report: dict[str, Any], rule_count: int, style: Style, verbose: bool = False) -> Iterator[str]:
    """One line per step, the end-of-trace failures, then a closing summary line."""
    steps: list[dict[str, Any]] = report["steps"]
    end_failures: list[dict[str, Any]] = []
    width = min(max((len(printable(s["tool"])) for s in steps), default=0), 32)
    index_width = len(str(len(steps) - 1)) if steps else 1
    for position, step in enumerate(steps):
        failures = split_failures(step, rule_count)
        if position == len(steps) - 1:
            end_failures = failures.end_of_trace
        verdict = step["verdict"]
        painted = {"allowed": style.good, "blocked": style.bad}.get(verdict, style.warn)(f"{verdict:<7}")
        line = f"{step['index']:>{index_width}}  {printable(step['tool']):<{width}}  {painted}"
        if verdict == "blocked" and failures.own:
            line += f"  {_failure(failures.own[0])}"
        yield line.rstrip()
        pad = " " * (index_width + width + 4)
        for extra in failures.own[1:] if verdict == "blocked" else failures.own:
            yield f"{pad}{style.dim('also fails')} {_failure(extra)}"
        if verbose:
            evaluations: list[dict[str, Any]] = step["rules_evaluated"]
            for evaluation in evaluations[:len(evaluations) - len(failures.end_of_trace)]:
                mark = style.good("pass") if evaluation["passed"] else style.bad("FAIL")
                yield f"{pad}{mark} {style.dim(printable(evaluation['rule_id']))}: {printable(evaluation['explanation'])}"
    if end_failures:
        yield "end of trace:"
        for failure in end_failures:
            yield f"  {style.bad('FAIL')} {_failure(failure)}"
    yield explanation_summary(report, len(end_failures), style)


def explanation_summary(report: dict[str, Any], end_failures: int, style: Style) -> str:
    total, blocked = report["total_steps"], report["blocked_steps"]
    if blocked == 0 and end_failures == 0:
        return f"{style.good('PASS')}: {_plural(total, 'step')}, none blocked"
    parts = []
    if blocked:
        parts.append(f"{blocked} of {_plural(total, 'step')} blocked (first at step {report['first_block_index']})")
    else:
        parts.append(f"{_plural(total, 'step')}, none blocked")
    if end_failures:
        parts.append(f"{_plural(end_failures, 'end-of-trace check')} failed")
    rules = ", ".join(printable(rule) for rule in report["blocking_rules"])
    return f"{style.bad('FAIL')}: {'; '.join(parts)}; blocking rules: {rules}"


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
