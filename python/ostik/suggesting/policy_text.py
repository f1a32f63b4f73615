"""A suggestion written as a policy file: every rule with its support as a YAML comment.

Every name is a double-quoted YAML scalar, with whatever is not printable as
itself (and the quote and backslash) escaped, so that a tool or argument name
holding anything reads back as the same text; numbers and booleans are written
as plain scalars that read back as the same value and type.
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from typing import Any

from ostik.reports.escaping import printable
from ostik.suggesting.suggestion import Suggestion

__all__ = ["policy_text", "yaml_scalar", "yaml_string"]


def yaml_string(text: str) -> str:
    out = []
    for ch in text:
        if ch == '"' or ch == "\\":
            out.append("\\" + ch)
        elif ch.isprintable():
            out.append(ch)
        else:
            code = ord(ch)
            out.append(f"\\x{code:02x}" if code <= 0xFF else f"\\u{code:04x}" if code <= 0xFFFF else f"\\U{code:08x}")
    return '"' + "".join(out) + '"'


def yaml_scalar(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"not a finite number: {value!r}")
        text = repr(value)
        # A float must read back as one: with a point, and an exponent with a sign.
        if "e" in text:
            mantissa, exponent = text.split("e")
            if "." not in mantissa:
                mantissa += ".0"
            sign = "" if exponent.startswith(("-", "+")) else "+"
            text = f"{mantissa}e{sign}{exponent}"
        return text
    if isinstance(value, str):
        return yaml_string(value)
    raise TypeError(f"not a scalar: {type(value).__name__}")


def _comment(text: str, indent: str) -> str:
    return f"{indent}# {printable(text)}"


def _flow(fields: tuple[tuple[str, Any], ...]) -> str:
    parts = [f"{key}: {value if key == 'type' else yaml_scalar(value)}" for key, value in fields]
    return "{" + ", ".join(parts) + "}"


def _lines(suggestion: Suggestion, heading: list[str]) -> Iterator[str]:
    seen = suggestion.observations
    for line in heading:
        yield _comment(line, "")
    yield 'version: "1"'
    yield 'name: "suggested"'
    yield "tools:"
    yield _comment(f"the tools called in {seen.traces} of {seen.traces} trace{'' if seen.traces == 1 else 's'}", "  ")
    if suggestion.allow:
        yield "  allow:"
        for tool in suggestion.allow:
            yield f"    - {yaml_string(tool)}"
    else:
        yield "  allow: []"
    if suggestion.arguments:
        yield "  arg_constraints:"
        under: str | None = None
        for argument in suggestion.arguments:
            if argument.tool != under:
                under = argument.tool
                yield f"    {yaml_string(under)}:"
            yield _comment(argument.support, "      ")
            values = ", ".join(yaml_scalar(v) for v in argument.values)
            yield f"      {yaml_string(argument.argument)}: {{one_of: [{values}]}}"
    if suggestion.rules:
        yield "sequences:"
        for rule in suggestion.rules:
            yield _comment(rule.support, "  ")
            yield f"  - {_flow(rule.fields)}"
    else:
        yield "sequences: []"
    if suggestion.limits:
        yield "limits:"
        for limit in suggestion.limits:
            yield _comment(limit.support, "  ")
            yield f"  - {{tool: {yaml_string(limit.tool)}, max: {limit.max}, per: {limit.per_text}}}"


def policy_text(suggestion: Suggestion, heading: list[str]) -> str:
    """The policy file, after comment lines of `heading`."""
    return "\n".join(_lines(suggestion, heading)) + "\n"
