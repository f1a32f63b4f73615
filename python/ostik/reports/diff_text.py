"""What a change of policy changes, written for people: one block per changed trace, then a summary.

Everything comes from a ``DiffAccumulator``'s summary; nothing is judged here.
A changed trace reads as its place and its outcome under each policy, then
each change of its steps at the first step it happened, with both decisions'
reasons and the later steps that changed alike, then the end-of-trace checks
that fail under one policy only.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from functools import lru_cache
from typing import TYPE_CHECKING, NamedTuple

from ostik.formats.json_text import STDIN_NAME
from ostik.formats.trace_files import STDIN
from ostik.reports.escaping import printable
from ostik.reports.text import Style, later_steps_text

if TYPE_CHECKING:
    from ostik._engine import _ChangedTrace, _DiffDecision, _DiffSummary, _EndFailure, _RuleChange, _TraceRef

__all__ = ["TracePlace", "changed_trace_lines", "decision_text", "diff_summary_lines", "end_changes",
           "outcome_change", "trace_place_of"]


class TracePlace(NamedTuple):
    """Where a changed trace is: its file, its line when a line holds it, its place when neither says it."""

    file: str
    line: int | None
    place: str | None

    def text(self) -> str:
        where = printable(self.file)
        if self.line is not None:
            where += f":{self.line}"
        if self.place is not None:
            where += f": {printable(self.place)}"
        return where


def trace_place_of(ref: _TraceRef, path: str) -> TracePlace:
    """The place of a trace read from the file at `path`, from the reference the runs gave it
    ((file, line), or the trace's label: its file, or "file: place")."""
    if isinstance(ref, tuple):
        return TracePlace(ref[0], ref[1], None)
    file = STDIN_NAME if path == STDIN else path
    if isinstance(ref, str):
        if ref == file:
            return TracePlace(file, None, None)
        if ref.startswith(file + ": "):
            return TracePlace(file, None, ref[len(file) + 2:])
        return TracePlace(file, None, ref)
    return TracePlace(file, None, f"trace {ref}")


def _plural(count: int, word: str) -> str:
    return f"{count} {word}" + ("" if count == 1 else "s")


def _verdict(passed: bool) -> str:
    return "pass" if passed else "fail"


def outcome_change(trace: _ChangedTrace) -> str:
    """"pass → fail", "fail → pass" or "fail → fail"."""
    return f"{_verdict(trace['old_passed'])} → {_verdict(trace['new_passed'])}"


def decision_text(decision: _DiffDecision | None) -> str:
    if decision is None:
        return "allowed"
    return _blocked_text(decision["rule_id"], decision["reason"])


# A few rules and reasons make most changes: each made printable once.
@lru_cache(maxsize=4096)
def _blocked_text(rule_id: str, reason: str) -> str:
    return f"blocked by {printable(rule_id)}: {printable(reason)}"


def end_changes(trace: _ChangedTrace) -> list[tuple[str, _EndFailure | None, _EndFailure | None]]:
    """The end-of-trace checks that fail under one policy only: (rule id, old failure, new failure),
    the old policy's first, each in policy order."""
    old = {f["rule_id"]: f for f in trace["old_end_failures"]}
    new = {f["rule_id"]: f for f in trace["new_end_failures"]}
    changes: list[tuple[str, _EndFailure | None, _EndFailure | None]] = []
    for rule_id, failure in old.items():
        if rule_id not in new:
            changes.append((rule_id, failure, None))
    for rule_id, failure in new.items():
        if rule_id not in old:
            changes.append((rule_id, None, failure))
    return changes


def _end_text(failure: _EndFailure | None) -> str:
    return "passed" if failure is None else f"{printable(failure['rule_id'])}: {printable(failure['reason'])}"


def _steps_changed(trace: _ChangedTrace) -> int:
    return sum(1 + len(change["later_steps"]) for change in trace["changes"])


def changed_trace_lines(trace: _ChangedTrace, place: TracePlace, style: Style) -> Iterator[str]:
    change = outcome_change(trace)
    if not trace["new_passed"] and trace["old_passed"]:
        change = style.bad(change)
    elif trace["new_passed"]:
        change = style.good(change)
    else:
        change = style.warn(change)
    steps = _steps_changed(trace)
    yield f"{place.text()}: {change} ({steps} of {_plural(trace['steps'], 'step')} change)"
    for step in trace["changes"]:
        yield (f"  step {step['step']} {printable(step['tool'])}: {decision_text(step['old'])} "
               f"→ {decision_text(step['new'])}")
        if step["later_steps"]:
            yield "    " + style.dim(later_steps_text(step["later_steps"]))
    for _, old, new in end_changes(trace):
        yield f"  end of trace: {_end_text(old)} → {_end_text(new)}"


def _rule_change_text(change: _RuleChange) -> str:
    parts = []
    if change["newly_blocks"]:
        parts.append(f"newly blocks {_plural(change['newly_blocks'], 'step')}")
    if change["no_longer_blocks"]:
        parts.append(f"no longer blocks {_plural(change['no_longer_blocks'], 'step')}")
    if change["newly_fails_at_end"]:
        parts.append(f"newly fails at the end of {_plural(change['newly_fails_at_end'], 'trace')}")
    if change["no_longer_fails_at_end"]:
        parts.append(f"no longer fails at the end of {_plural(change['no_longer_fails_at_end'], 'trace')}")
    return ", ".join(parts)


def rule_change_lines(by_rule: Mapping[str, _RuleChange]) -> Iterator[str]:
    names = {rule_id: printable(rule_id) for rule_id in by_rule}
    width = min(max(map(len, names.values()), default=0), 48)
    for rule_id, change in by_rule.items():
        yield f"  {names[rule_id]:<{width}}  {_rule_change_text(change)}"


def diff_summary_lines(summary: _DiffSummary, seconds: float, style: Style) -> Iterator[str]:
    traces, changed = summary["traces"], summary["changed_traces"]
    failing, passing = summary["newly_failing"], summary["newly_passing"]
    others = changed - failing - passing
    head = f"{changed} of {_plural(traces, 'trace')} change"
    if changed:
        head += (f": {style.bad(f'{failing} newly fail') if failing else '0 newly fail'}, {passing} newly pass, "
                 f"{others} fail under both with other blocking rules")
    yield head
    yield (f"{summary['changed_steps']} of {_plural(summary['steps'], 'step')} change: "
           f"{summary['newly_blocked_steps']} newly blocked, {summary['unblocked_steps']} no longer blocked, "
           f"{summary['reblocked_steps']} blocked by another rule")
    yield (f"failing traces: {summary['old_failed_traces']} under the old policy, "
           f"{summary['new_failed_traces']} under the new")
    if summary["by_rule"]:
        yield "by rule:"
        yield from rule_change_lines(summary["by_rule"])
    yield f"in {seconds:.2f} s"
