"""Text from input made safe for where it goes: one function per kind of stream.

Names, values and messages that come from trace and policy files (file names
too) may hold anything. What reaches a reader passes through the function of
its stream:

- ``printable``: terminals and logs. C0 and C1 control characters, DEL, the
  bidirectional and invisible format characters (U+202E, U+200B, U+FEFF...),
  line and paragraph separators, unusual spaces, lone surrogates (from file
  names that are not UTF-8) and unassigned code points are shown as ``\\u``
  escapes, so that a name cannot move the cursor, hide or reorder text, or
  start a line of its own.
- ``xml_text``: JUnit XML, which cannot hold most control characters at all,
  not even as character references: the same visible escapes.
- ``visible_json``: JSON text written for people and tools alike (``--json``):
  the same characters as JSON's own ``\\u`` escapes, so that the text means
  what it meant and shows what it holds. ``VisibleJsonWriter`` does it to a
  binary stream of JSON text, piece by piece.
- GitHub workflow commands: ``ostik.reports.github`` (the runner's own
  escaping, and a guard on every other line of stdout and stderr).

The HTML report shows every name through ``printable`` too.
"""

from __future__ import annotations

import codecs
import re

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import BinaryIO

__all__ = ["VisibleJsonWriter", "printable", "quote", "visible_json", "xml_text"]


def _escape(ch: str) -> str:
    code = ord(ch)
    return f"\\u{code:04x}" if code <= 0xFFFF else f"\\U{code:08x}"


def printable(text: str) -> str:
    """Text with every character that is not visible as itself shown as a ``\\u`` escape."""
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() else _escape(ch) for ch in text)


def quote(name: str) -> str:
    """A name in single quotes, as the system's explanations write names."""
    return f"'{printable(name)}'"


# What JSON text may hold raw that printable() would escape: JSON's writers
# escape C0 controls themselves, not DEL, C1, format characters and the rest.
_HIDDEN_IN_JSON = re.compile("[^\x00-\x7e]|\x7f")


def _json_escape(match: re.Match[str]) -> str:
    ch = match.group(0)
    if ch.isprintable():
        return ch
    code = ord(ch)
    if code <= 0xFFFF:
        return f"\\u{code:04x}"
    code -= 0x10000
    return f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}"


def visible_json(text: str) -> str:
    """JSON text with every character printable() would escape written as a JSON ``\\u`` escape."""
    if text.isascii():
        return text.replace("\x7f", "\\u007f")
    return _HIDDEN_IN_JSON.sub(_json_escape, text)


class VisibleJsonWriter:
    """A binary stream of UTF-8 JSON text in front of another, through ``visible_json``."""

    def __init__(self, stream: BinaryIO) -> None:
        self.stream = stream
        self._decoder = codecs.getincrementaldecoder("utf-8")()

    def write(self, data: bytes) -> int:
        if data.isascii() and not self._decoder.getstate()[0] and b"\x7f" not in data:
            self.stream.write(data)  # most reports: as they are
        else:
            self.stream.write(visible_json(self._decoder.decode(data)).encode("utf-8"))
        return len(data)

    def flush(self) -> None:
        self.stream.flush()


def xml_text(text: str) -> str:
    """Text for an XML attribute or element: what XML 1.0 cannot hold, and what would spoof
    its reader, as the visible escapes of ``printable``."""
    return printable(text)
