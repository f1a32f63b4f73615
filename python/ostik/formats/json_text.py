"""Reading a file of JSON text: one JSON document, or one JSON value per line.

Every trace format ostik reads is JSON text in one of these two shapes, and
which one a file holds is decided here once, so that every format reports a
bad file the same way: the file, the line, and what was wrong there.

A file named ``*.json`` is read as one document, and anything else as JSON
lines. A ``.json`` file holding more than one value is read as JSON lines
(telemetry exporters save JSON lines under that name), and a file of lines
whose first line is not JSON by itself is tried as one document (a
pretty-printed document, on standard input for instance). Blank lines are
skipped. A write that failed part-way can leave an incomplete last line with no
final newline; such a line is skipped with a warning rather than failing the file.
"""

from __future__ import annotations

import json
import json.scanner
import re
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any

STDIN = "-"
STDIN_NAME = "<stdin>"
"""How messages and reports name standard input."""


class JsonSourceError(Exception):
    """A file that cannot be read as JSON; the message names the file and, where known, the line."""


@dataclass
class JsonSource:
    """The JSON values of one file: either one document or the values of its lines."""

    name: str
    # The whole file's value when it holds one document; None otherwise.
    document: Any = None
    # For a file of JSON lines, the number of each non-blank line and its value
    # (in two lists, which a reader may take over as they are); None for a document.
    line_numbers: list[int] | None = None
    line_values: list[Any] | None = None
    warnings: list[str] = field(default_factory=list)

    @property
    def is_document(self) -> bool:
        return self.line_numbers is None

    @property
    def lines(self) -> Iterator[tuple[int, Any]] | None:
        """(line number, value) for each non-blank line of a file of JSON lines; None for a document."""
        if self.line_numbers is None or self.line_values is None:
            return None
        return zip(self.line_numbers, self.line_values)


def read_json_source(path: str) -> JsonSource:
    """Reads a file ("-" is standard input) as one JSON document or as JSON lines."""
    if path == STDIN:
        name, data = STDIN_NAME, sys.stdin.buffer.read()
    else:
        name = path
        try:
            with open(path, "rb") as file:
                data = file.read()
        except OSError as err:
            raise JsonSourceError(f"{path}: {err.strerror or err}") from None
    return json_source_from_bytes(name, data, named_json=path.endswith(".json"))


def json_source_from_bytes(name: str, data: bytes, *, named_json: bool) -> JsonSource:
    if named_json:
        try:
            return JsonSource(name, document=_load_document(name, data))
        except _ExtraData:
            # One value followed by more: JSON lines under a .json name.
            return _read_lines(name, data, named_json=True)
    return _read_lines(name, data, named_json=False)


class _ExtraData(Exception):
    pass


def _load_document(name: str, data: bytes) -> Any:
    try:
        return json.loads(data.decode("utf-8"))
    except UnicodeDecodeError as err:
        raise JsonSourceError(f"{name}: not valid UTF-8 (byte {err.start})") from None
    except json.JSONDecodeError as err:
        if err.msg == "Extra data":
            raise _ExtraData from None
        raise JsonSourceError(f"{name}: line {err.lineno} column {err.colno}: not valid JSON: {err.msg}") from None
    except RecursionError:
        raise JsonSourceError(f"{name}: JSON nested too deeply") from None


def _read_lines(name: str, data: bytes, *, named_json: bool) -> JsonSource:
    return _read_lines_quickly(name, data) or _read_lines_one_by_one(name, data, named_json=named_json)


# The decoder json.loads uses, without json.loads's own Python layers around
# it: most of the time of reading a line of a few hundred bytes goes into those.
_scan_once: Callable[[str, int], tuple[Any, int]] = json.scanner.make_scanner(
    json.JSONDecoder())  # type: ignore[arg-type]
# What json.loads takes for whitespace around a value.
_json_whitespace = re.compile(r"[ \t\n\r]*")


def _read_lines_quickly(name: str, data: bytes) -> JsonSource | None:
    """The values of a file whose every non-empty line is one JSON value as it stands, which is
    what writers of JSON lines write; None for any other file, which the careful reader then
    reads with its messages and warnings. The values are those json.loads gives for each line."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return None
    numbers: list[int] = []
    values: list[Any] = []
    add_number, add_value = numbers.append, values.append
    scan = _scan_once
    try:
        for number, line in enumerate(text.split("\n"), start=1):
            if not line:
                continue
            value, end = scan(line, 0)
            if end != len(line) and not _json_whitespace.fullmatch(line, end):
                return None
            add_number(number)
            add_value(value)
    except (StopIteration, ValueError, RecursionError):
        # StopIteration: no value where one should start (blank or indented lines included).
        return None
    return JsonSource(name, line_numbers=numbers, line_values=values)


def _read_lines_one_by_one(name: str, data: bytes, *, named_json: bool) -> JsonSource:
    lines = data.split(b"\n")
    # With a final newline the split leaves one empty piece after it; without
    # one, the last line may be what an interrupted write left behind.
    unterminated = None if _blank(lines[-1]) else len(lines)
    numbers: list[int] = []
    values: list[Any] = []
    result = JsonSource(name, line_numbers=numbers, line_values=values)
    loads = json.loads
    first = True
    for number, raw in enumerate(lines, start=1):
        if _blank(raw):
            continue
        try:
            values.append(loads(raw.decode("utf-8")))
            numbers.append(number)
        except (UnicodeDecodeError, json.JSONDecodeError, RecursionError) as err:
            if first and not named_json:
                # A first line that is not JSON by itself may open a document
                # spread over many lines.
                try:
                    return JsonSource(name, document=_load_document(name, data))
                except (JsonSourceError, _ExtraData):
                    pass
            if number == unterminated:
                result.warnings.append(
                    f"{name}: line {number}: skipped an incomplete last line (no final newline, "
                    f"probably left by an interrupted write)")
                continue
            raise JsonSourceError(f"{name}: line {number}: {_describe(err)}") from None
        first = False
    return result


def _blank(line: bytes) -> bool:
    # isspace() stops at the first other byte; strip() would copy every line.
    return not line or line.isspace()


def _describe(err: Exception) -> str:
    if isinstance(err, UnicodeDecodeError):
        return f"not valid UTF-8 (byte {err.start} of the line)"
    if isinstance(err, json.JSONDecodeError):
        return f"not valid JSON: {err.msg} (column {err.colno})"
    return "JSON nested too deeply"


def kind_of(value: object) -> str:
    """How a JSON value is named in messages: "an object", "a string", "null"..."""
    names = {dict: "an object", list: "an array", str: "a string", bool: "a boolean", type(None): "null"}
    return names.get(type(value), "a number")
