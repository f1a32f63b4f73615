"""The command line of `ostik hook AGENT POLICY`, kept apart from the other commands' so that a hook,
which runs once per tool call, imports none of them (`ostik hook` is dispatched here first).

argparse defines the command line (``add_arguments``: its help, its messages), but setting up a
parser costs a hook more than the rest of its work (gettext looks for translations, the help
formatter imports shutil): ``main`` reads the lines a hook's settings hold, the positionals and
the options spelled out in full, itself, and hands every other line (``--help``, a mistake, an
abbreviated option) to argparse."""

from __future__ import annotations

import sys

from ostik.hooks.agents import AGENTS
from ostik.hooks.running import DEFAULT_LOCK_TIMEOUT, EXIT_BLOCK, HookOptions, default_store, run_hook

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Sequence
    from typing import Any

ON_ERROR_CHOICES = ("block", "allow")

__all__ = ["add_arguments", "main", "run"]

DESCRIPTION = ("The command a coding agent runs as its tool hook (Claude Code PreToolUse/PostToolUse, "
               "Gemini CLI BeforeTool/AfterTool, Codex CLI PreToolUse/PostToolUse): reads the hook's JSON "
               "from stdin, judges the call in the session stored under its session id, and answers on stdout. "
               "Exit status: 0 answered; 2 the call could not be judged and is refused (on_error: block); "
               "1 the call could not be judged and goes on (on_error: allow, or --observe).")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("agent", metavar="AGENT", choices=sorted(AGENTS),
                        help="the agent whose hook this is: " + ", ".join(sorted(AGENTS)))
    parser.add_argument("policy", metavar="POLICY", help="the policy file (YAML)")
    parser.add_argument("--store", metavar="PATH", default=None,
                        help="the SQLite file the sessions are kept in (default: $XDG_STATE_HOME/ostik/"
                             "hook-sessions.db, else ~/.local/state/ostik/hook-sessions.db)")
    parser.add_argument("--observe", action="store_true",
                        help="record the decisions and never refuse (shadow mode)")
    parser.add_argument("--on-error", choices=ON_ERROR_CHOICES, default=None,
                        help="what a call that cannot be judged gets (default: the policy's on_error)")
    parser.add_argument("--approve", action="store_true",
                        help="answer 'allow' for calls the policy allows, which skips the agent's own permission "
                             "prompt (by default ostik only refuses and asks, and leaves the rest to the agent)")
    parser.add_argument("--lock-timeout", metavar="SECONDS", type=_seconds, default=DEFAULT_LOCK_TIMEOUT,
                        help="how long to wait for the store while other hooks hold it "
                             f"(default: {DEFAULT_LOCK_TIMEOUT:g})")
    parser.add_argument("--trace-dir", metavar="DIR", default=None,
                        help="append every judged call to DIR/SESSION_ID.jsonl, for ostik explain and ostik test")


def _seconds(text: str) -> float:
    import argparse

    value = _seconds_or_none(text)
    if value is None:
        try:
            float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        raise argparse.ArgumentTypeError(f"must be more than 0 and less than 3600: {text!r}")
    return value


def _seconds_or_none(text: str) -> float | None:
    try:
        value = float(text)
    except ValueError:
        return None
    return value if 0 < value < 3600 else None


# The options of add_arguments, by the attribute argparse gives each.
_FLAGS = {"--observe": "observe", "--approve": "approve"}
_VALUED = {"--store": "store", "--on-error": "on_error", "--lock-timeout": "lock_timeout", "--trace-dir": "trace_dir"}


def _read(argv: Sequence[str]) -> dict[str, Any] | None:
    """The command line as argparse reads it, if it is one that needs none of argparse's help: the
    two positionals and the options spelled out in full (``--store PATH`` or ``--store=PATH``); None
    for any other."""
    read: dict[str, Any] = {"store": None, "observe": False, "on_error": None, "approve": False,
                            "lock_timeout": DEFAULT_LOCK_TIMEOUT, "trace_dir": None}
    positionals: list[str] = []
    words = iter(argv)
    for word in words:
        if not word.startswith("-") or word == "-":
            positionals.append(word)
            continue
        name, equals, value = word.partition("=")
        if name in _FLAGS and not equals:
            read[_FLAGS[name]] = True
            continue
        if name not in _VALUED:
            return None  # --, --help, an abbreviation, a mistake
        if not equals:
            following = next(words, None)
            if following is None or following.startswith("-"):
                return None
            value = following
        key = _VALUED[name]
        if key == "lock_timeout":
            seconds = _seconds_or_none(value)
            if seconds is None:
                return None
            read[key] = seconds
        elif key == "on_error" and value not in ON_ERROR_CHOICES:
            return None
        else:
            read[key] = value
    if len(positionals) != 2 or positionals[0] not in AGENTS:
        return None
    read["agent"], read["policy"] = positionals
    return read


def run(args: argparse.Namespace) -> int:
    return _run(vars(args))


def _run(args: dict[str, Any]) -> int:
    options = HookOptions(agent=AGENTS[args["agent"]], policy=args["policy"], store=args["store"] or default_store(),
                          observe=args["observe"], on_error=args["on_error"], approve=args["approve"],
                          lock_timeout=args["lock_timeout"], trace_dir=args["trace_dir"])
    outcome = run_hook(options, sys.stdin.buffer.read())
    if outcome.stdout:
        sys.stdout.write(outcome.stdout)
        sys.stdout.flush()
    if outcome.stderr:
        sys.stderr.write(outcome.stderr)
        sys.stderr.flush()
    return outcome.status


def main(argv: Sequence[str]) -> int:
    """`ostik hook ARGS...` with `argv` the arguments after "hook"."""
    read = _read(argv)
    if read is not None:
        return _run(read)
    import argparse

    parser = argparse.ArgumentParser(prog="ostik hook", description=DESCRIPTION)
    add_arguments(parser)
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit:
        # A bad command line is a hook set up wrongly: it blocks (status 2), with argparse's message.
        return exit.code if isinstance(exit.code, int) else EXIT_BLOCK
    return run(args)
