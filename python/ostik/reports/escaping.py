"""Text from input made safe to show: names and values from trace and policy files cannot drive a terminal."""

from __future__ import annotations


def printable(text: str) -> str:
    """Text with anything unprintable escaped, so that names from a file cannot drive a terminal."""
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() else ch.encode("unicode_escape").decode("ascii") for ch in text)


def quote(name: str) -> str:
    """A name in single quotes, as the system's explanations write names."""
    return f"'{printable(name)}'"
