"""The HTML report: one self-contained page on many judged traces and the policy's coverage by them.

The page is a single file that loads nothing: its style and script are inlined
from ``page/`` and a Content-Security-Policy lets only those two (by
their hashes) apply. Everything that comes from trace files is data: it is
embedded as JSON in a ``<script type="application/json">`` element and the
script builds the trace views from it with text nodes only; the few parts laid
out here (summary, rules, coverage) are escaped.

A trace's calls that are no steps (refused by a live guard, or run unjudged)
travel beside its steps, each with the index of the step it came before, and
are shown in the step table above that step.

The embedded data stays compact so that 10,000 traces or a 100,000-step trace
make a file that a browser opens: tool names, rule ids, reasons and file names
are each written once, in tables, and a step is a tool index plus, only when it
failed, (step, rule, reason) index triples. The browser shows a page of traces
and a page of steps at a time.

Verdicts come from ``Guard.judge``; this module only counts and lays them out.
"""

from __future__ import annotations

import base64
import hashlib
import html
import json
from collections import Counter
from importlib import resources
from string import Template
from typing import TYPE_CHECKING, Any

from ostik import __version__
from ostik._inspect import rule_id
from ostik.reports.escaping import printable

if TYPE_CHECKING:
    from collections.abc import Sequence

    from ostik._engine import ArgumentRule, ArgumentRuleCoverage, EntryCoverage, Judgement, RuleFailure
    from ostik._inspect import PolicyRecords
    from ostik.formats.trace_files import Trace

__all__ = ["ReportPage"]

# The tool checks come first in the rule table, as they come first in a step's failures.
TOOL_CHECKS = (("allow_list", "allow"), ("deny_list", "deny"))


def _asset(name: str) -> str:
    return (resources.files("ostik.reports") / "page" / name).read_text(encoding="utf-8")


def _csp_hash(text: str) -> str:
    return "'sha256-" + base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode("ascii") + "'"


def embedded_json(value: object) -> str:
    """JSON that can stand inside a <script> element: no '<', '>' or '&' can end it or open a comment.

    ASCII only, so that names holding lone surrogates (from file names that are
    not UTF-8) cannot make the page unwritable."""
    text = json.dumps(value, ensure_ascii=True, separators=(",", ":"), allow_nan=False)
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def _text(value: str) -> str:
    """A name from a policy or trace, made visible (control characters escaped) and safe in HTML."""
    return html.escape(printable(value), quote=True)


def _plural(count: int, word: str) -> str:
    return f"{count:,} {word}" + ("" if count == 1 else "s")


def _percent(value: float | None) -> str:
    return "n/a" if value is None else f"{value:.1f}%"


class _Table:
    """Strings numbered in order of first use."""

    def __init__(self) -> None:
        self.index: dict[str, int] = {}

    def __call__(self, value: str) -> int:
        number = self.index.get(value)
        if number is None:
            number = self.index[value] = len(self.index)
        return number

    def values(self) -> list[str]:
        return list(self.index)


class ReportPage:
    """Collects judged traces, then writes the page.

    Each trace is reduced to compact records as it is added, so the judgements
    themselves need not be kept."""

    def __init__(self, records: PolicyRecords, argument_rules: Sequence[ArgumentRule] = ()) -> None:
        """`argument_rules`: Guard.argument_rules of the guard that judges the traces."""
        self.records = records
        self._tools = _Table()
        self._reasons = _Table()
        self._files = _Table()
        self._rules = _Table()
        self._rule_types: list[str] = []
        for check, kind in TOOL_CHECKS:
            self._rule(check, kind)
        # Then the argument rules, which come next in a step's failures.
        for argument_rule in argument_rules:
            self._rule(argument_rule["rule_id"], argument_rule["rule_type"])
        self.policy_rules = 0
        for rule in records["sequences"]:
            if rule_id(rule) not in self._rules.index:
                self._rule(rule_id(rule), rule["type"])
                self.policy_rules += 1
        self._end_checked = {rule_id(rule) for rule in records["sequences"] if rule["type"] in ("require", "after")}
        self._traces: list[dict[str, Any]] = []
        self.steps = self.blocked_steps = self.failed = self.refused = self.unjudged = 0
        self._calls: Counter[int] = Counter()
        self._blocked_calls: Counter[int] = Counter()
        self._rule_steps: Counter[int] = Counter()
        self._rule_traces: Counter[int] = Counter()

    def _rule(self, rid: str, kind: str) -> int:
        number = self._rules(rid)
        if number == len(self._rule_types):
            self._rule_types.append(kind)
        return number

    def _failure(self, failure: RuleFailure) -> tuple[int, int]:
        return self._rule(failure.rule_id, failure.rule_type), self._reasons(failure.explanation)

    @property
    def traces(self) -> int:
        return len(self._traces)

    def add(self, trace: Trace, judgement: Judgement) -> None:
        """Adds one trace with the judgement Guard.judge gave it."""
        tools = self._tools
        tool_of = [tools(decision.tool) for decision in judgement.decisions]
        failures: list[int] = []
        rules_here: set[int] = set()
        for decision in judgement.decisions:
            if decision.allowed or decision.needs_approval:
                continue
            step = decision.step
            self._blocked_calls[tool_of[step]] += 1
            step_failures = decision.failures
            if not step_failures:  # blocked, yet no check named: still shown as blocked
                failures += (step, self._rule(decision.blocked_by or "blocked", "blocked"),
                             self._reasons(decision.reason))
            for failure in step_failures:
                rule, reason = self._failure(failure)
                failures += (step, rule, reason)
                self._rule_steps[rule] += 1
                rules_here.add(rule)
        end: list[int] = []
        for failure in judgement.end_failures:
            rule, reason = self._failure(failure)
            end += (rule, reason)
            rules_here.add(rule)
        self._calls.update(tool_of)
        self._rule_traces.update(rules_here)
        # A call that ran unjudged fails its trace unless the policy lets such calls run.
        unjudged_fails = bool(trace.unjudged) and self.records["on_error"] != "allow"
        passed = judgement.passed and not unjudged_fails
        self.steps += judgement.steps
        self.blocked_steps += judgement.blocked_steps
        self.failed += not passed
        self.refused += len(trace.refused)
        self.unjudged += len(trace.unjudged)
        if trace.place is not None:
            where = trace.place
        elif trace.line is not None:
            where = f"line {trace.line}"
        else:
            where = ""
        record = {
            "file": self._files(trace.source),
            "where": printable(where),
            "passed": passed,
            "steps": judgement.steps,
            "blocked": judgement.blocked_steps,
            "first": judgement.first_block,
            "rules": [self._rule(rid, "") for rid in judgement.blocking_rules],
            "tools": tool_of,
            "fail": failures,
            "end": end,
        }
        if trace.refused:
            # (before, tool, rule id, reason) quadruples; the rule id is a text
            # of the reasons' table, for it need not be a rule of this policy.
            record["refused"] = [number for attempt in trace.refused for number in
                                 (attempt.before, tools(attempt.tool), self._reasons(attempt.rule_id),
                                  self._reasons(attempt.reason))]
        if trace.unjudged:
            # (before, tool, reason) index triples.
            record["unjudged"] = [number for call in trace.unjudged for number in
                                  (call.before, tools(call.tool), self._reasons(call.reason))]
        self._traces.append(record)

    def data(self) -> dict[str, Any]:
        """What the page's script reads."""
        # Every text the script shows, made visible as the terminal shows it: a name
        # cannot reorder its cell (U+202E) or hide in one (NUL, U+200B).
        return {
            "tools": [printable(tool) for tool in self._tools.values()],
            "rules": [[printable(rid), kind] for rid, kind in zip(self._rules.values(), self._rule_types)],
            "endChecked": [self._rules.index[rid] for rid in sorted(self._end_checked)],
            # Whether a call that ran unjudged fails its trace (the policy's on_error is block).
            "unjudgedFails": self.records["on_error"] != "allow",
            "reasons": [printable(reason) for reason in self._reasons.values()],
            "files": [printable(file) for file in self._files.values()],
            "traces": self._traces,
        }

    def render(self, coverage: dict[str, Any], argument_coverage: Sequence[ArgumentRuleCoverage] = (),
               entry_coverage: Sequence[EntryCoverage] = ()) -> str:
        """The page, given the coverage report CoverageAnalyzer.analyze wrote for the same traces, and
        what Guard.argument_coverage and Guard.entry_coverage gave for them."""
        style, script = _asset("report.css"), _asset("report.js")
        csp = (f"default-src 'none'; style-src {_csp_hash(style)}; script-src {_csp_hash(script)}; "
               "img-src 'none'; base-uri 'none'; form-action 'none'")
        name = self.records["name"]
        policy = f"policy &lsquo;{_text(name)}&rsquo;" if name else "an unnamed policy"
        fields = {
            "csp": html.escape(csp, quote=True),
            "title": _text(f"ostik report: {name or 'policy'} {self.records['version']}"),
            "policy": f"{policy}, version &lsquo;{_text(self.records['version'])}&rsquo;",
            "version": html.escape(__version__),
            "style": style,
            "summary": self._summary(),
            "rules": self._rule_table(coverage, argument_coverage),
            "coverage": (self._coverage(coverage) + self._argument_coverage(argument_coverage) +
                         self._entry_coverage(entry_coverage)),
            "data": embedded_json(self.data()),
            "script": script,
        }
        return Template(_asset("report.html")).substitute(fields)

    def _summary(self) -> str:
        traces, failed = len(self._traces), self.failed
        if failed:
            verdict = f'<p class="verdict fail"><span aria-hidden="true">✗</span> FAIL: {failed:,} of ' \
                      f'{_plural(traces, "trace")} failed</p>'
        else:
            verdict = f'<p class="verdict pass"><span aria-hidden="true">✓</span> PASS: ' \
                      f'{"all " if traces > 1 else ""}{_plural(traces, "trace")} passed</p>'
        counts = [("traces", traces), ("passed", traces - failed), ("failed", failed), ("steps", self.steps),
                  ("blocked steps", self.blocked_steps), ("files", len(self._files.index))]
        # Calls that are no steps, only where there are some.
        counts += [(label, count) for label, count in (("refused attempts", self.refused),
                                                       ("unjudged calls", self.unjudged)) if count]
        items = "".join(f'<div class="count" data-count="{html.escape(label)}"><dt>{html.escape(label)}</dt>'
                        f'<dd>{value:,}</dd></div>' for label, value in counts)
        return f'{verdict}<dl class="counts">{items}</dl>'

    def _rule_table(self, coverage: dict[str, Any], argument_coverage: Sequence[ArgumentRuleCoverage]) -> str:
        untriggered = set(coverage["rule_coverage"]["untriggered_rules"])
        reached = {rule["rule_id"] for rule in argument_coverage if rule["reached"]}
        unreached = {rule["rule_id"] for rule in argument_coverage} - reached
        rows = []
        for number, (rid, kind) in enumerate(zip(self._rules.values(), self._rule_types)):
            steps, traces = self._rule_steps[number], self._rule_traces[number]
            if number < len(TOOL_CHECKS) and not traces:
                continue  # a tool list that blocked nothing, or that the policy does not have
            state = "fail" if traces else "pass"
            mark = "✗" if traces else "✓"
            note = " (never triggered)" if rid in untriggered else " (never reached)" if rid in unreached else ""
            rows.append(f'<tr class="{state}"><td class="mark"><span class="sym" aria-hidden="true">{mark}</span> '
                        f'{"failed" if traces else "passed"}</td><th scope="row"><code>{_text(rid)}</code></th>'
                        f'<td>{_text(kind)}{note}</td><td class="num">{traces:,}</td><td class="num">{steps:,}</td>'
                        '</tr>')
        if not rows:
            return '<p class="none">The policy has no rules.</p>'
        return ('<table class="rule-table"><thead><tr><th scope="col">result</th><th scope="col">rule</th>'
                '<th scope="col">kind</th><th scope="col">traces failed</th><th scope="col">steps failed</th>'
                f'</tr></thead><tbody>{"".join(rows)}</tbody></table>')

    def _coverage(self, coverage: dict[str, Any]) -> str:
        tools, rules = coverage["tool_coverage"], coverage["rule_coverage"]
        parts = [
            '<dl class="counts">',
            f'<div class="count"><dt>tools called</dt><dd>{tools["tools_seen_in_traces"]:,} of '
            f'{tools["total_tools_in_policy"]:,} ({_percent(tools["coverage_pct"])})</dd></div>',
            f'<div class="count"><dt>rules triggered</dt><dd>{rules["rules_triggered"]:,} of '
            f'{rules["total_rules"]:,} ({_percent(rules["coverage_pct"])})</dd></div>',
            f'<div class="count"><dt>overall</dt><dd>{_percent(coverage["overall_coverage_pct"])}</dd></div>',
            "</dl>",
        ]
        # The report's lists follow hash order; sorted, two runs compare.
        lists = [
            ("unseen-tools", "Tools the policy names that no trace called", sorted(tools["unseen_tools"])),
            ("unexpected-tools", "Tools called that the policy never names", sorted(tools["unexpected_tools"])),
            ("untriggered-rules", "Rules no trace triggered", list(rules["untriggered_rules"])),
        ]
        for key, heading, names in lists:
            parts.append(f'<h3 id="{key}">{heading}</h3>')
            if names:
                parts.append('<ul class="names">' + "".join(f"<li><code>{_text(n)}</code></li>" for n in names)
                             + "</ul>")
            else:
                parts.append('<p class="none">none</p>')
        gaps = sorted(coverage["high_risk_gaps"], key=lambda gap: gap["tool"])
        parts.append('<h3 id="high-risk-gaps">High-risk gaps: denied or forbidden tools that no trace calls</h3>')
        if gaps:
            parts.append('<ul class="gaps">' + "".join(
                f'<li><span class="sym" aria-hidden="true">⚠</span> <code>{_text(gap["tool"])}</code> '
                f'[{_text(gap["severity"])}]: {_text(gap["reason"])}</li>' for gap in gaps) + "</ul>")
        else:
            parts.append('<p class="none">none</p>')
        parts.append(self._called_tools(set(tools["unexpected_tools"])))
        return "".join(parts)

    def _argument_coverage(self, rules: Sequence[ArgumentRuleCoverage]) -> str:
        if not rules:
            return ""
        rows = []
        for rule in rules:
            state = "fail" if rule["violated"] else "pass" if rule["reached"] else "none"
            what = ", ".join(rule["arguments"])
            if rule["operators"]:
                what += ": " + ", ".join(rule["operators"])
            rows.append(f'<tr class="{state}"><th scope="row"><code>{_text(rule["rule_id"])}</code></th>'
                        f'<td>{_text(rule["rule_type"])}</td><td><code>{_text(rule["tool"])}</code></td>'
                        f'<td>{_text(what)}</td><td class="num">{rule["reached"]:,}</td>'
                        f'<td class="num">{rule["violated"]:,}</td></tr>')
        reached = sum(1 for rule in rules if rule["reached"])
        violated = sum(1 for rule in rules if rule["violated"])
        return ('<h3 id="argument-rules">Argument rules</h3>'
                f'<p class="note">{reached:,} of {_plural(len(rules), "argument rule")} reached by a call, '
                f'{violated:,} violated. A constraint is reached by a call of its tool that has its argument; '
                'a require_args entry by every call of its tool.</p>'
                '<table class="argument-table"><thead><tr><th scope="col">rule</th><th scope="col">kind</th>'
                '<th scope="col">tool</th><th scope="col">arguments</th><th scope="col">calls reached</th>'
                f'<th scope="col">violated</th></tr></thead><tbody>{"".join(rows)}</tbody></table>')

    def _entry_coverage(self, entries: Sequence[EntryCoverage]) -> str:
        if not entries:
            return ""
        rows = []
        for entry in entries:
            state = "fail" if entry["triggered"] else "pass" if entry["reached"] else "none"
            tools = ", ".join(entry["tools"])
            rows.append(f'<tr class="{state}"><th scope="row"><code>{_text(entry["rule_id"])}</code></th>'
                        f'<td>{_text(entry["rule_type"])}</td><td><code>{_text(tools)}</code></td>'
                        f'<td class="num">{entry["reached"]:,}</td><td class="num">{entry["triggered"]:,}</td></tr>')
        reached = sum(1 for entry in entries if entry["reached"])
        triggered = sum(1 for entry in entries if entry["triggered"])
        return ('<h3 id="entries">Ask and limit entries</h3>'
                f'<p class="note">{reached:,} of {(f"{len(entries):,} entry" if len(entries) == 1 else f"{len(entries):,} entries")} reached by a step, '
                f'{triggered:,} triggered. An entry is reached by every step of a tool it names; an ask is '
                'triggered by a step it asks about, a limit by a step it refuses, a flow by a step it refuses or '
                'asks about.</p>'
                '<table class="entry-table"><thead><tr><th scope="col">entry</th><th scope="col">kind</th>'
                '<th scope="col">tools</th><th scope="col">steps reached</th>'
                f'<th scope="col">triggered</th></tr></thead><tbody>{"".join(rows)}</tbody></table>')

    def _called_tools(self, unexpected: set[str]) -> str:
        if not self._calls:
            return ""
        rows = []
        for number, name in sorted(enumerate(self._tools.values()), key=lambda item: (-self._calls[item[0]], item[1])):
            blocked = self._blocked_calls[number]
            note = " (not named by the policy)" if name in unexpected else ""
            rows.append(f'<tr class="{"fail" if blocked else "pass"}"><th scope="row"><code>{_text(name)}</code>'
                        f'{note}</th><td class="num">{self._calls[number]:,}</td><td class="num">{blocked:,}</td></tr>')
        return ('<h3 id="called-tools">Tools called</h3><table class="tool-table"><thead><tr>'
                '<th scope="col">tool</th><th scope="col">calls</th><th scope="col">blocked</th></tr></thead>'
                f'<tbody>{"".join(rows)}</tbody></table>')
