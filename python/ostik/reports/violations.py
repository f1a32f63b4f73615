"""Where each violation of a trace is shown: once, at the step where its rule first failed.

A rule that fails at one step often fails at many after it: a ``max_calls``
total once exceeded fails every later step, whatever its tool. Listing every
such step buries the step where things went wrong, so the text reports show
each failure at its first step, with the later steps where it failed again,
and leave out the steps whose failures were all shown before.

A rule is one failure however its explanation's numbers change from step to
step ("exceeded max calls (21 > 20)", then "(22 > 20)"). The allow and deny
lists are the exception: they judge the tool called, so each tool they block
is a failure of its own ("Tool 'force_push' is in deny list" tells nothing
about a later call of 'delete_repo'). So are the argument rules, which judge
the call's arguments: each offending value (each explanation) is a failure of
its own.

Only the presentation changes: the JSON reports and the judgement keep every
step and every failure.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, NamedTuple

if TYPE_CHECKING:
    from ostik._engine import Decision, RuleFailure

__all__ = ["FailureKey", "Occurrence", "StepFailures", "failure_key", "step_failures"]

FailureKey = str | tuple[str, str]
"""A rule id; for the allow and deny checks, the rule id with the tool name; for an argument
rule, the rule id with the explanation."""

# The rule ids of the allow and deny checks; no sequence rule has one of them,
# since every sequence rule's id starts with its kind.
_TOOL_CHECK_IDS = frozenset({"allow_list", "deny_list"})
# What the ids of argument rules start with; a sequence rule's id may too
# ("require_args_x" for a require rule on "args_x"), so the type decides.
_ARGUMENT_ID_STARTS = ("arg_", "require_args_")
_ARGUMENT_RULE_TYPES = frozenset({"require_args", "arg_constraint"})


def failure_key(failure: RuleFailure, tool: str) -> FailureKey:
    rule_id = failure.rule_id
    if rule_id in _TOOL_CHECK_IDS:
        return (rule_id, tool)
    if rule_id.startswith(_ARGUMENT_ID_STARTS) and failure.rule_type in _ARGUMENT_RULE_TYPES:
        return (rule_id, failure.explanation)
    return rule_id


class Occurrence(NamedTuple):
    """One failure of a blocked step."""

    failure: RuleFailure
    # The step where the same failure first occurred: this step when it is new here.
    first_step: int
    # For a failure new at this step: the later steps where it occurs again, in order.
    later_steps: Sequence[int]


class StepFailures(NamedTuple):
    """A blocked step and its failures, the blocking one first."""

    decision: Decision
    occurrences: list[Occurrence]

    @property
    def step(self) -> int:
        return self.decision.step

    def is_new(self, occurrence: Occurrence) -> bool:
        return occurrence.first_step == self.decision.step


def step_failures(decisions: Sequence[Decision]) -> dict[int, StepFailures]:
    """The blocked steps among `decisions` (the decisions of a trace's steps, in order)
    that have a failure not shown before, by step,
    each failure placed by its first occurrence. A blocked step missing here failed only
    in ways shown at earlier steps."""
    first_steps: dict[FailureKey, int] = {}
    later: dict[FailureKey, list[int]] = {}
    shown: list[tuple[Decision, list[RuleFailure], list[FailureKey]]] = []
    for step, decision in enumerate(decisions):
        if decision.allowed or decision.needs_approval:
            continue
        failures = decision.failures
        keys = []
        new = False
        for failure in failures:
            key = failure_key(failure, decision.tool)
            keys.append(key)
            first = first_steps.get(key)
            if first is None:
                first_steps[key] = step
                new = True
            elif first != step:
                steps = later.setdefault(key, [])
                # Two rules with one id fail as one.
                if not steps or steps[-1] != step:
                    steps.append(step)
        if new:
            shown.append((decision, failures, keys))
    result = {}
    for decision, failures, keys in shown:
        step = decision.step
        occurrences = []
        for failure, key in zip(failures, keys):
            first = first_steps[key]
            occurrences.append(Occurrence(failure, first, later.get(key, ()) if first == step else ()))
        result[step] = StepFailures(decision, occurrences)
    return result
