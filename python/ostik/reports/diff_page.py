"""The HTML page of a change of policy: the changed traces with both verdicts side by side.

A self-contained page like the report's (its style from ``page/``, a
Content-Security-Policy that lets only that style apply), laid out here from a
``DiffAccumulator``'s summary: it runs no script, and every text that comes from
a policy or a trace is escaped.
"""

from __future__ import annotations

import html
from string import Template
from typing import TYPE_CHECKING

from ostik import __version__
from ostik.reports.diff_text import TracePlace, end_changes, outcome_change
from ostik.reports.html import _asset, _csp_hash, _plural, _text
from ostik.reports.text import step_ranges

if TYPE_CHECKING:
    from collections.abc import Sequence

    from ostik._engine import _ChangedTrace, _DiffDecision, _DiffSummary, _EndFailure
    from ostik._inspect import PolicyRecords

__all__ = ["diff_page"]


def _policy(records: PolicyRecords) -> str:
    name = records["name"]
    policy = f"policy &lsquo;{_text(name)}&rsquo;" if name else "an unnamed policy"
    return f"{policy}, version &lsquo;{_text(records['version'])}&rsquo;"


def _decision(decision: _DiffDecision | None) -> str:
    if decision is None:
        return '<td class="pass"><span class="sym" aria-hidden="true">✓</span> allowed</td>'
    if decision.get("verdict") == "ask":
        return (f'<td class="ask"><span class="sym" aria-hidden="true">?</span> asked by '
                f'<code>{_text(decision["rule_id"])}</code>: {_text(decision["reason"])}</td>')
    return (f'<td class="fail"><span class="sym" aria-hidden="true">✗</span> blocked by '
            f'<code>{_text(decision["rule_id"])}</code>: {_text(decision["reason"])}</td>')


def _end(failure: _EndFailure | None) -> str:
    if failure is None:
        return '<td class="pass"><span class="sym" aria-hidden="true">✓</span> passed</td>'
    return (f'<td class="fail"><span class="sym" aria-hidden="true">✗</span> '
            f'<code>{_text(failure["rule_id"])}</code>: {_text(failure["reason"])}</td>')


def _summary(s: _DiffSummary) -> str:
    failing = s["newly_failing"]
    if failing:
        verdict = (f'<p class="verdict fail"><span aria-hidden="true">✗</span> {failing:,} of '
                   f'{_plural(s["traces"], "trace")} newly fail</p>')
    else:
        verdict = '<p class="verdict pass"><span aria-hidden="true">✓</span> No trace newly fails</p>'
    counts = [("traces", s["traces"]), ("changed traces", s["changed_traces"]), ("newly fail", failing),
              ("newly pass", s["newly_passing"]), ("steps", s["steps"]), ("changed steps", s["changed_steps"]),
              ("failing under old", s["old_failed_traces"]), ("failing under new", s["new_failed_traces"])]
    items = "".join(f'<div class="count"><dt>{html.escape(label)}</dt><dd>{value:,}</dd></div>'
                    for label, value in counts)
    return f'{verdict}<dl class="counts">{items}</dl>'


def _rules(s: _DiffSummary) -> str:
    if not s["by_rule"]:
        return '<p class="none">No rule blocks a step it did not block before, or stops blocking one.</p>'
    rows = "".join(
        f'<tr><th scope="row"><code>{_text(rule_id)}</code></th><td class="num">{c["newly_blocks"]:,}</td>'
        f'<td class="num">{c["no_longer_blocks"]:,}</td><td class="num">{c["newly_fails_at_end"]:,}</td>'
        f'<td class="num">{c["no_longer_fails_at_end"]:,}</td></tr>' for rule_id, c in s["by_rule"].items())
    return ('<table class="rule-table"><thead><tr><th scope="col">rule</th><th scope="col">steps newly blocked</th>'
            '<th scope="col">steps no longer blocked</th><th scope="col">traces newly failing at the end</th>'
            f'<th scope="col">traces no longer failing at the end</th></tr></thead><tbody>{rows}</tbody></table>')


def _trace(place: TracePlace, trace: _ChangedTrace) -> str:
    state = "fail" if trace["old_passed"] and not trace["new_passed"] else "pass" if trace["new_passed"] else ""
    rows = []
    for change in trace["changes"]:
        later = change["later_steps"]
        also = f'<br><span class="note">and at {_plural(len(later), "later step")}: {step_ranges(later)}</span>' \
            if later else ""
        rows.append(f'<tr><td class="num">{change["step"]}{also}</td><td><code>{_text(change["tool"])}</code></td>'
                    f'{_decision(change["old"])}{_decision(change["new"])}</tr>')
    for _, old, new in end_changes(trace):
        rows.append(f'<tr><td>end</td><td></td>{_end(old)}{_end(new)}</tr>')
    return (f'<h3 class="{state}">{_text(place.text())}: {html.escape(outcome_change(trace))}</h3>'
            '<table class="diff-table"><thead><tr><th scope="col">step</th><th scope="col">tool</th>'
            '<th scope="col">old policy</th><th scope="col">new policy</th></tr></thead>'
            f'<tbody>{"".join(rows)}</tbody></table>')


def diff_page(old: PolicyRecords, new: PolicyRecords, summary: _DiffSummary,
              changed: Sequence[tuple[TracePlace, _ChangedTrace]]) -> str:
    style = _asset("report.css")
    csp = (f"default-src 'none'; style-src {_csp_hash(style)}; script-src 'none'; img-src 'none'; "
           "base-uri 'none'; form-action 'none'")
    traces = "".join(_trace(place, trace) for place, trace in changed) or '<p class="none">none</p>'
    fields = {
        "csp": html.escape(csp, quote=True),
        "title": _text(f"ostik report: {old['name'] or 'policy'} {old['version']} → "
                       f"{new['name'] or 'policy'} {new['version']}"),
        "old": _policy(old),
        "new": _policy(new),
        "version": html.escape(__version__),
        "style": style,
        "summary": _summary(summary),
        "rules": _rules(summary),
        "traces": traces,
    }
    return Template(_asset("diff.html")).substitute(fields)
