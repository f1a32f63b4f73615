"""The rules that held in every trace read, each with its support.

Each kind of rule has a maker that reads the observations and gives the rules
of its kind that every trace obeys, in a fixed order: the same traces give the
same rules. A rule of a kind that needs more than the traces' tools and
arguments (their times, say) gets its own maker beside these.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any

from ostik.suggesting.observations import RATE_WINDOW, Observations

__all__ = ["ArgumentRule", "LimitRule", "Options", "RULE_MAKERS", "SequenceRule", "Suggestion", "suggest"]


@dataclass(frozen=True)
class Options:
    # Per cent added to the most calls seen in one trace, rounded up.
    margin: float = 0.0
    # The fewest traces (a before rule: traces calling its later tool; an
    # argument: calls giving it) a rule may be made from.
    min_support: int = 2
    # The most distinct values an argument may take to get a one_of.
    max_values: int = 5


@dataclass(frozen=True)
class SequenceRule:
    # The rule as the policy writes it: its type and fields in order.
    fields: tuple[tuple[str, Any], ...]
    support: str  # "held in 212 of 212 traces"

    @property
    def record(self) -> dict[str, Any]:
        return dict(self.fields)


@dataclass(frozen=True)
class ArgumentRule:
    tool: str
    argument: str
    values: tuple[Any, ...]  # one_of, in a fixed order
    support: str


@dataclass(frozen=True)
class LimitRule:
    """A limit over a window of time: at most `max` calls of `tool` in any `per` seconds."""

    tool: str
    max: int
    per: int  # seconds
    support: str

    @property
    def per_text(self) -> str:
        return f"{self.per}s"


@dataclass
class Suggestion:
    observations: Observations
    allow: list[str]
    rules: list[SequenceRule]
    arguments: list[ArgumentRule]
    limits: list[LimitRule] = field(default_factory=list)

    def without(self, rule_ids: set[str]) -> Suggestion:
        """The suggestion less the rules with these ids (sequence rules by their rule ids,
        argument rules by "arg_{tool}_{argument}", limits by "limit_{tool}_{max}_per_{per}")."""
        from ostik._inspect import rule_id

        return Suggestion(self.observations, self.allow,
                          [r for r in self.rules if rule_id(r.record) not in rule_ids],  # type: ignore[arg-type]
                          [a for a in self.arguments if argument_rule_id(a) not in rule_ids],
                          [limit for limit in self.limits if limit_rule_id(limit) not in rule_ids])


def argument_rule_id(rule: ArgumentRule) -> str:
    return f"arg_{rule.tool.lower()}_{rule.argument.lower()}"


def limit_rule_id(rule: LimitRule) -> str:
    return f"limit_{rule.tool.lower()}_{rule.max}_per_{rule.per_text}"


def _traces(n: int) -> str:
    return f"{n} trace" + ("" if n == 1 else "s")


def required_tools(seen: Observations, options: Options) -> Iterator[SequenceRule]:
    """A tool every trace calls."""
    if seen.traces < options.min_support:
        return
    for tool in sorted(seen.traces_calling):
        if seen.traces_calling[tool] == seen.traces:
            yield SequenceRule((("type", "require"), ("tool", tool)),
                               f"held in {seen.traces} of {_traces(seen.traces)}")


def call_limits(seen: Observations, options: Options) -> Iterator[SequenceRule]:
    """At most the most calls of a tool seen in one trace, with the margin."""
    for tool in sorted(seen.most_calls):
        most = seen.most_calls[tool]
        limit = math.ceil(most * (1 + options.margin / 100))
        yield SequenceRule((("type", "max_calls"), ("tool", tool), ("max", limit)),
                           f"held in {seen.traces} of {_traces(seen.traces)}; at most {most} "
                           f"call{'' if most == 1 else 's'} in one trace")


def orderings(seen: Observations, options: Options) -> Iterator[SequenceRule]:
    """A tool first called before another in every trace that calls the other. Of the pairs
    that follow from two others (a before b, b before c: a before c), only those two."""
    pairs = {(first, then) for then, firsts in seen.always_before.items()
             if seen.traces_calling[then] >= options.min_support for first in firsts}
    after: dict[str, set[str]] = {}
    for first, then in pairs:
        after.setdefault(first, set()).add(then)
    for first, then in sorted(pairs, key=lambda pair: (pair[1], pair[0])):
        if any(then in after.get(middle, ()) for middle in after[first] if middle != then):
            continue
        support = seen.traces_calling[then]
        yield SequenceRule((("type", "before"), ("first", first), ("then", then)),
                           f"held in {support} of {_traces(support)} that call {then!r}")


def argument_values(seen: Observations, options: Options) -> Iterator[ArgumentRule]:
    """An argument that took only a few distinct values, each more than once on average."""
    for tool in sorted(seen.arguments):
        for name, given in sorted(seen.arguments[tool].items()):
            values = given.values
            if values is None or not values or len(values) > options.max_values:
                continue
            if given.calls < options.min_support or len(values) >= given.calls:
                continue
            ordered = tuple(value for _, value in sorted(values, key=lambda key: (key[0], key[1])))
            yield ArgumentRule(tool, name, ordered,
                               f"held in {given.calls} of {given.calls} call{'' if given.calls == 1 else 's'} "
                               f"of {tool!r} that give {name!r}")


def rate_limits(seen: Observations, options: Options) -> Iterator[LimitRule]:
    """At most the most calls of a tool seen in any window of time of one trace, with the margin,
    where every call of the tool had a time and the window says more than the trace's count
    (fewer calls in a window than in the whole trace)."""
    for tool in sorted(seen.most_in_window):
        if tool in seen.untimed or seen.traces_calling[tool] < options.min_support or any(c in tool for c in "*?"):
            continue  # a name with * or ? would be read as a pattern
        most = seen.most_in_window[tool]
        if most >= seen.most_calls.get(tool, 0):
            continue  # max_calls says as much
        limit = math.ceil(most * (1 + options.margin / 100))
        support = seen.traces_calling[tool]
        yield LimitRule(tool, limit, RATE_WINDOW,
                        f"held in {support} of {_traces(support)} that call {tool!r}; at most {most} "
                        f"call{'' if most == 1 else 's'} in any {RATE_WINDOW} s")


# The makers of sequence rules, in the order their rules are written.
RULE_MAKERS: tuple[Callable[[Observations, Options], Iterator[SequenceRule]], ...] = (
    required_tools, call_limits, orderings)


def suggest(seen: Observations, options: Options) -> Suggestion:
    # Here, not at the top: the command line imports this module.
    from ostik._inspect import rule_id

    rules: list[SequenceRule] = []
    ids: set[str] = set()
    for maker in RULE_MAKERS:
        for rule in maker(seen, options):
            # Tools whose names differ only in case would share a rule id,
            # which the explainer and coverage cannot tell apart: the first stays.
            rid = rule_id(rule.record)  # type: ignore[arg-type]
            if rid not in ids:
                ids.add(rid)
                rules.append(rule)
    arguments: list[ArgumentRule] = []
    argument_ids: set[str] = set()
    for argument in argument_values(seen, options):
        if argument_rule_id(argument) not in argument_ids:
            argument_ids.add(argument_rule_id(argument))
            arguments.append(argument)
    return Suggestion(seen, sorted(seen.traces_calling), rules, arguments, list(rate_limits(seen, options)))
