"""`ostik hook AGENT POLICY`: listed among the commands; the `ostik` command sends it straight to
ostik.hooks.command, which imports none of the others (see ostik._launcher)."""

from __future__ import annotations

from typing import TYPE_CHECKING

from ostik.hooks.command import DESCRIPTION, add_arguments, run

if TYPE_CHECKING:
    from ostik.cli.common import Commands


def add_command(commands: Commands) -> None:
    hook = commands.add_parser("hook", help="answer a coding agent's tool hook (Claude Code, Gemini CLI, Codex CLI)",
                               description=DESCRIPTION)
    add_arguments(hook)
    hook.set_defaults(run=run)
