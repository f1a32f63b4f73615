"""What a set of traces shows, counted trace by trace: the facts the suggested rules are made from."""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

__all__ = ["RATE_WINDOW", "ArgumentValues", "Observations", "scalar_key"]

# The window, in seconds, over which call rates are observed (and limits suggested).
RATE_WINDOW = 60

# Values an argument constraint can be written with and compared by exactly:
# JSON's scalars. Numbers of a Value are 64-bit, so wider integers are not.
_INT_RANGE = (-(2**63), 2**64 - 1)


def scalar_key(value: Any) -> tuple[str, Any] | None:
    """The value with its JSON type, so that 1, 1.0, True and "1" stay apart (as the guard compares
    arguments); None for a value no plain constraint can be written with."""
    if value is None:
        return ("null", None)
    if isinstance(value, bool):
        return ("bool", value)
    if isinstance(value, int):
        return ("int", value) if _INT_RANGE[0] <= value <= _INT_RANGE[1] else None
    if isinstance(value, float):
        return ("float", value) if math.isfinite(value) else None
    if isinstance(value, str):
        return ("str", value)
    return None


@dataclass
class ArgumentValues:
    """The values one argument of one tool was given."""

    calls: int = 0
    # By scalar_key; None once a value was seen that cannot be listed.
    values: set[tuple[str, Any]] | None = field(default_factory=set)

    def add(self, value: Any) -> None:
        self.calls += 1
        if self.values is None:
            return
        key = scalar_key(value)
        if key is None:
            self.values = None
        else:
            self.values.add(key)


@dataclass
class Observations:
    traces: int = 0
    steps: int = 0
    # Traces that call each tool, and the most calls of it in one trace.
    traces_calling: Counter[str] = field(default_factory=Counter)
    most_calls: dict[str, int] = field(default_factory=dict)
    # For each tool B, the tools first called before B's first call in every
    # trace calling B so far (None: no trace has called B yet).
    always_before: dict[str, set[str]] = field(default_factory=dict)
    # By tool, then argument name.
    arguments: dict[str, dict[str, ArgumentValues]] = field(default_factory=dict)
    # The most calls of each tool in any RATE_WINDOW seconds of one trace, for
    # the tools every call of which had a time; `untimed` holds the others.
    most_in_window: dict[str, int] = field(default_factory=dict)
    untimed: set[str] = field(default_factory=set)

    def add(self, tools: Sequence[str], args: Iterable[Any], times: Sequence[object] | None = None) -> None:
        """One trace: the tool each step calls (as the guard reads it), each step's arguments and,
        when known, each step's time (its "ts": seconds; anything else is no time)."""
        self.traces += 1
        self.steps += len(tools)
        counts = Counter(tools)
        self.traces_calling.update(counts.keys())
        for tool, n in counts.items():
            if n > self.most_calls.get(tool, 0):
                self.most_calls[tool] = n
        # The distinct tools in order of first call: those before B are a prefix.
        order = list(dict.fromkeys(tools))
        for position, tool in enumerate(order):
            earlier = order[:position]
            known = self.always_before.get(tool)
            if known is None:
                self.always_before[tool] = set(earlier)
            elif known:
                known.intersection_update(earlier)
        self._add_times(tools, times)
        for tool, given in zip(tools, args):
            if isinstance(given, Mapping):
                by_name = self.arguments.setdefault(tool, {})
                for name, value in given.items():
                    if isinstance(name, str):
                        by_name.setdefault(name, ArgumentValues()).add(value)

    def _add_times(self, tools: Sequence[str], times: Sequence[object] | None) -> None:
        by_tool: dict[str, list[float]] = {}
        for position, tool in enumerate(tools):
            ts = None if times is None or position >= len(times) else times[position]
            if isinstance(ts, bool) or not isinstance(ts, (int, float)) or not math.isfinite(ts):
                self.untimed.add(tool)
            else:
                by_tool.setdefault(tool, []).append(float(ts))
        for tool, stamps in by_tool.items():
            if tool in self.untimed:
                continue
            stamps.sort()
            # The most calls in a window (t - RATE_WINDOW, t]: what a limit over it counts.
            most, first = 0, 0
            for last, now in enumerate(stamps):
                while stamps[first] <= now - RATE_WINDOW:
                    first += 1
                # The calls at the same time as `now` after it count too.
                end = last
                while end + 1 < len(stamps) and stamps[end + 1] == now:
                    end += 1
                most = max(most, end - first + 1)
            if most > self.most_in_window.get(tool, 0):
                self.most_in_window[tool] = most
