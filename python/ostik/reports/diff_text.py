"""What a change of policy changes, written for people: the places of changed traces, and the summary.

Everything comes from a ``DiffAccumulator``; nothing is judged here. The
lines of each changed trace (its place and outcome under each policy, each
change of its steps with both decisions' reasons, the end-of-trace checks
that fail under one policy only) are written by the accumulator itself,
``DiffAccumulator.listing``, in the process that judged the trace.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, NamedTuple

from ostik.formats.json_text import STDIN_NAME
from ostik.formats.trace_files import STDIN
from ostik.reports.escaping import printable
from ostik.reports.text import Style, place_text

if TYPE_CHECKING:
    from ostik._engine import _ChangedTrace, _DiffSummary, _EndFailure, _RuleChange, _TraceRef

__all__ = ["TracePlace", "diff_summary_lines", "end_changes", "outcome_change", "trace_place_of"]


class TracePlace(NamedTuple):
    """Where a changed trace is: its file, its line when a line holds it, its place when neither says it."""

    file: str
    line: int | None
    place: str | None

    def text(self) -> str:
        return place_text(self.file, self.line, self.place)


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
    if change.get("newly_asks"):
        parts.append(f"newly asks about {_plural(change['newly_asks'], 'step')}")
    if change.get("no_longer_asks"):
        parts.append(f"no longer asks about {_plural(change['no_longer_asks'], 'step')}")
    return ", ".join(parts)


def rule_change_lines(by_rule: Mapping[str, _RuleChange]) -> Iterator[str]:
    names = {rule_id: printable(rule_id) for rule_id in by_rule}
    width = min(max(map(len, names.values()), default=0), 48)
    for rule_id, change in by_rule.items():
        yield f"  {names[rule_id]:<{width}}  {_rule_change_text(change)}"


def diff_summary_lines(summary: _DiffSummary, seconds: float, style: Style, refused: int = 0,
                       unjudged: int = 0) -> Iterator[str]:
    """`refused` and `unjudged`: the trace files' calls that are no steps (refused by a live
    guard, or run unjudged), which neither policy judges."""
    traces, changed = summary["traces"], summary["changed_traces"]
    failing, passing = summary["newly_failing"], summary["newly_passing"]
    others = changed - failing - passing
    asks = summary["newly_asked_steps"] + summary["no_longer_asked_steps"] + summary["reasked_steps"]
    head = f"{changed} of {_plural(traces, 'trace')} change"
    if changed:
        # Where asks change, a trace may change and pass under both: an ask fails nothing.
        kept = "keep their outcome (other blocking rules, or asks)" if asks else \
            "fail under both with other blocking rules"
        head += (f": {style.bad(f'{failing} newly fail') if failing else '0 newly fail'}, {passing} newly pass, "
                 f"{others} {kept}")
    yield head
    steps = (f"{summary['changed_steps']} of {_plural(summary['steps'], 'step')} change: "
             f"{summary['newly_blocked_steps']} newly blocked, {summary['unblocked_steps']} no longer blocked, "
             f"{summary['reblocked_steps']} blocked by another rule")
    if asks:
        steps += (f", {summary['newly_asked_steps']} newly asked, {summary['no_longer_asked_steps']} no longer "
                  f"asked, {summary['reasked_steps']} asked by another entry")
    yield steps
    yield (f"failing traces: {summary['old_failed_traces']} under the old policy, "
           f"{summary['new_failed_traces']} under the new")
    if summary["by_rule"]:
        yield "by rule:"
        yield from rule_change_lines(summary["by_rule"])
    if refused or unjudged:
        calls = [text for count, text in ((refused, _plural(refused, "refused attempt")),
                                          (unjudged, _plural(unjudged, "unjudged call"))) if count]
        yield f"not judged by either policy: {' and '.join(calls)} in the trace files (no steps)"
    yield f"in {seconds:.2f} s"
