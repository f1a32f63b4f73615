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

A file of JSON documents one after another (pretty-printed objects, as jq and
many exporters write them, or an RFC 7464 JSON text sequence, each document
after a record separator) is read as JSON lines whose every document is a
line, numbered by the line it starts on.

Only regular files are read (and "-", standard input): a directory, FIFO,
device or socket is refused before anything is read, and a FIFO is opened
without waiting for a writer. A record (a line, or a document) longer than
``max_record_bytes`` is refused with its place rather than read into memory.
"""

from __future__ import annotations

import json
import json.scanner
import os
import re
import stat
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any

STDIN = "-"
STDIN_NAME = "<stdin>"
"""How messages and reports name standard input."""

MAX_RECORD_BYTES = 256 * 1024 * 1024
"""The longest record (line or document) read by default; the command line's --max-record-bytes."""

max_record_bytes = MAX_RECORD_BYTES
"""The longest record read, for the reading of this process and the workers it forks."""

_RECORD_SEPARATOR = "\x1e"
_READ_CHUNK = 1 << 20


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


def read_json_source(path: str, limit: int | None = None) -> JsonSource:
    """Reads a file ("-" is standard input) as one JSON document or as JSON lines."""
    limit = max_record_bytes if limit is None else limit
    if path == STDIN:
        name = STDIN_NAME
        data = _read_limited(name, sys.stdin.buffer.fileno(), limit)
    else:
        name = path
        try:
            # Non-blocking: a FIFO with no writer must not hang the open.
            fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
        except OSError as err:
            raise JsonSourceError(f"{path}: {err.strerror or err}") from None
        except ValueError as err:  # a NUL byte in the name, which no file has
            raise JsonSourceError(f"{path!r}: {err}") from None
        try:
            mode = os.fstat(fd).st_mode
            if not stat.S_ISREG(mode):
                raise JsonSourceError(f"{path}: not a regular file ({file_kind(mode)}); only regular files and - "
                                      "(standard input) are read")
            os.set_blocking(fd, True)
            data = _read_limited(name, fd, limit)
        except OSError as err:
            raise JsonSourceError(f"{path}: {err.strerror or err}") from None
        finally:
            os.close(fd)
    return json_source_from_bytes(name, data, named_json=path.endswith(".json"))


def file_kind(mode: int) -> str:
    """What a file that is not a regular one is, in a word or two."""
    for test, kind in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return kind
    return "not a regular file"


def _read_limited(name: str, fd: int, limit: int) -> bytes:
    """The bytes of a file, refused at the first record (the run of bytes between line feeds)
    longer than `limit`, so that an endless stream without line feeds cannot fill memory."""
    pieces: list[bytes] = []
    line, since_newline = 1, 0
    while True:
        piece = os.read(fd, _READ_CHUNK)
        if not piece:
            break
        newline = piece.rfind(b"\n")
        if newline < 0:
            since_newline += len(piece)
        else:
            # The longest run within the piece is checked only when it could be too long.
            if since_newline + newline > limit or len(piece) > limit:
                _check_records(name, pieces, piece, line, since_newline, limit)
            line += piece.count(b"\n")
            since_newline = len(piece) - newline - 1
        if since_newline > limit:
            raise JsonSourceError(f"{name}: line {line}: a record of more than {limit} bytes "
                                  "(see --max-record-bytes)")
        pieces.append(piece)
    return b"".join(pieces)


def _check_records(name: str, pieces: list[bytes], piece: bytes, line: int, since_newline: int, limit: int) -> None:
    start = 0
    run = since_newline
    while True:
        end = piece.find(b"\n", start)
        length = run + (len(piece) if end < 0 else end) - start
        if length > limit:
            raise JsonSourceError(f"{name}: line {line}: a record of more than {limit} bytes "
                                  "(see --max-record-bytes)")
        if end < 0:
            return
        line += 1
        run = 0
        start = end + 1


def json_source_from_bytes(name: str, data: bytes, *, named_json: bool) -> JsonSource:
    if named_json:
        try:
            return JsonSource(name, document=_load_document(name, data))
        except _ExtraData:
            # One value followed by more: JSON lines under a .json name.
            return _read_lines(name, data, named_json=True)
        except JsonSourceError:
            if data.lstrip(b" \t\r\n").startswith(_RECORD_SEPARATOR.encode()):
                documents = _read_documents(name, data)
                if documents is not None:
                    return documents
            raise
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


def _read_documents(name: str, data: bytes) -> JsonSource | None:
    """The documents of a file of JSON documents one after another (whitespace, and RFC 7464's
    record separators, between them), each numbered by the line it starts on; None for a
    file that is not one."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return None
    decode = json.JSONDecoder().raw_decode
    numbers: list[int] = []
    values: list[Any] = []
    position, line, length = 0, 1, len(text)
    skip = re.compile(r"[ \t\n\r\x1e]*")
    while True:
        gap = skip.match(text, position)
        assert gap is not None
        line += text.count("\n", position, gap.end())
        position = gap.end()
        if position >= length:
            break
        try:
            value, end = decode(text, position)
        except (json.JSONDecodeError, RecursionError, ValueError):
            return None
        numbers.append(line)
        values.append(value)
        line += text.count("\n", position, end)
        position = end
    if len(values) < 2 and _RECORD_SEPARATOR not in text:
        return None  # one document (or none) is not a sequence: the other readings say what is wrong
    return JsonSource(name, line_numbers=numbers, line_values=values)


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
            # Or documents one after another, pretty-printed or as a JSON text sequence.
            documents = _read_documents(name, data)
            if documents is not None:
                return documents
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
