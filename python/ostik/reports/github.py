"""Workflow commands for GitHub Actions: error annotations on the files of failing traces.

A line ``::error file=F,line=N,title=T::MESSAGE`` printed by a step becomes an
annotation on that file and line in the run's summary and in pull requests.
The runner reads ``%25``, ``%0D`` and ``%0A`` in the message as ``%``, CR and
LF, and in property values also ``%3A`` and ``%2C`` as ``:`` and ``,`` (which
would otherwise end a value); everything else is taken as written.
"""

from __future__ import annotations

import os

from ostik.reports.escaping import printable

__all__ = ["error_command", "escape_data", "escape_property", "in_github_actions", "workspace_path"]


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
    """An ``::error`` line. The file and title are made printable; the message is
    taken as given, line breaks included (show it printable line by line)."""
    properties = []
    if file is not None:
        properties.append(f"file={escape_property(printable(workspace_path(file)))}")
    if line is not None:
        properties.append(f"line={line}")
    if title is not None:
        properties.append(f"title={escape_property(printable(title))}")
    head = "::error " + ",".join(properties) if properties else "::error"
    return f"{head}::{escape_data(message)}"
