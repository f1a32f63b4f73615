"""The command line of `ostik hook AGENT POLICY`, kept apart from the other commands' so that a hook,
which runs once per tool call, imports none of them (`ostik hook` is dispatched here first)."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from ostik.hooks.agents import AGENTS
from ostik.hooks.running import DEFAULT_LOCK_TIMEOUT, EXIT_BLOCK, HookOptions, default_store, run_hook

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
    parser.add_argument("--on-error", choices=("block", "allow"), default=None,
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
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value < 3600:
        raise argparse.ArgumentTypeError(f"must be more than 0 and less than 3600: {text!r}")
    return value


def run(args: argparse.Namespace) -> int:
    options = HookOptions(agent=AGENTS[args.agent], policy=args.policy, store=args.store or default_store(),
                          observe=args.observe, on_error=args.on_error, approve=args.approve,
                          lock_timeout=args.lock_timeout, trace_dir=args.trace_dir)
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
    parser = argparse.ArgumentParser(prog="ostik hook", description=DESCRIPTION)
    add_arguments(parser)
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit:
        # A bad command line is a hook set up wrongly: it blocks (status 2), with argparse's message.
        return exit.code if isinstance(exit.code, int) else EXIT_BLOCK
    return run(args)
