"""The `ostik` command: `ostik hook`, which an agent runs once per tool call, goes straight to its own
module; every other command to ostik.cli, which imports them all."""

from __future__ import annotations

import sys


def main() -> int:
    argv = sys.argv[1:]
    if argv[:1] == ["hook"]:
        from ostik.hooks.command import main as hook

        return hook(argv[1:])
    from ostik.cli import main as cli

    return cli(argv)
