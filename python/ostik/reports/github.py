"""Workflow commands for GitHub Actions: error annotations on the files of failing traces.

A line ``::error file=F,line=N,title=T::MESSAGE`` printed by a step becomes an
annotation on that file and line in the run's summary and in pull requests.
The runner reads ``%25``, ``%0D`` and ``%0A`` in the message as ``%``, CR and
LF, and in property values also ``%3A`` and ``%2C`` as ``:`` and ``,`` (which
would otherwise end a value); everything else is taken as written.

The runner reads every line of a step's stdout and stderr this way: a line
that begins with ``::`` after leading white space (``::stop-commands::``,
``::error ...``) is a command, and the old form ``##[command]`` counts anywhere
in a line. Only ostik may write a command: ``CommandGuard`` stands in front of
stdout and stderr while the command line runs and escapes the first ``:`` of
any other line that would begin one (and the ``[`` of ``##[``), so that a file
or tool name holding a line break and ``::`` cannot forge one.
"""

from __future__ import annotations

import os
import re
from typing import Any, TextIO

from ostik.reports.escaping import printable

__all__ = ["CommandGuard", "error_command", "escape_data", "escape_property", "in_github_actions",
           "workspace_path", "write_command"]


def in_github_actions() -> bool:
    return os.environ.get("GITHUB_ACTIONS") == "true"


def escape_data(text: str) -> str:
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def escape_property(text: str) -> str:
    return escape_data(text).replace(":", "%3A").replace(",", "%2C")


def workspace_path(path: str) -> str:
    """The path as annotations need it: relative to the checked-out repository when it lies inside."""
    workspace = os.environ.get("GITHUB_WORKSPACE")
    if workspace and os.path.isabs(path):
        relative = os.path.relpath(path, workspace)
        if not relative.startswith(os.pardir):
            return relative
    return path


def error_command(message: str, *, file: str | None = None, line: int | None = None,
                  title: str | None = None) -> str:
    """An ``::error`` line. The file is the file's own name, in the runner's escaping (so that
    the annotation lands on it, whatever its name holds); the title is made printable; the
    message is taken as given, line breaks included (show it printable line by line)."""
    properties = []
    if file is not None:
        properties.append(f"file={escape_property(workspace_path(file))}")
    if line is not None:
        properties.append(f"line={line}")
    if title is not None:
        properties.append(f"title={escape_property(printable(title))}")
    head = "::error " + ",".join(properties) if properties else "::error"
    return f"{head}::{escape_data(message)}"


# A line start (after CR or LF, which the runner both takes as line breaks),
# white space, and the "::" of a command; or "##[" anywhere.
_COMMAND_START = re.compile(r"(?:(?<=[\r\n])|\A)([^\S\r\n]*):(?=:)|##\[")


def _disarmed(match: re.Match[str]) -> str:
    if match.group(0) == "##[":
        return "##\\u005b"
    return match.group(1) + "\\u003a"


class CommandGuard:
    """A text stream in front of another through which only ``command`` writes workflow commands."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        # Whether what was written since the last line break is white space
        # only, so that "::" coming next would begin a command.
        self._line_blank = True

    def write(self, text: str) -> int:
        if "::" not in text and "##[" not in text:
            # Neither can begin: most text, and a diff's listing may run to megabytes.
            guarded = text
        elif self._line_blank:
            guarded = _COMMAND_START.sub(_disarmed, text)
        else:
            # Not at a line start: only what follows a line break can begin a command.
            guarded = _COMMAND_START.sub(lambda m: m.group(0) if m.start() == 0 and m.group(0) != "##[" else
                                         _disarmed(m), text)
        last_break = max(text.rfind("\n"), text.rfind("\r"))
        if last_break >= 0:
            self._line_blank = not text[last_break + 1:].strip()
        elif text.strip():
            self._line_blank = False
        self.stream.write(guarded)
        return len(text)

    def command(self, line: str) -> None:
        """Writes a workflow command of ostik's own, as one line."""
        if not self._line_blank:
            self.stream.write("\n")
        self.stream.write(line + "\n")
        self._line_blank = True

    def __getattr__(self, name: str) -> Any:
        # flush, isatty, fileno, buffer, encoding...: the stream's own.
        return getattr(self.stream, name)


def write_command(line: str, stream: TextIO) -> None:
    """Writes ostik's own workflow command `line` to `stream` (through its guard, if it has one)."""
    if isinstance(stream, CommandGuard):
        stream.command(line)
    else:
        stream.write(line + "\n")
