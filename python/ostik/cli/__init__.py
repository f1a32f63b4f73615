"""The ostik command line: check a policy; explain, test and report on traces; diff two policies on them;
measure coverage; suggest a first policy; print the policy language's schema.

Exit codes: 0 success; 1 the input was read and judged, and failed (a blocked
step, an end-of-trace check, a coverage threshold, a warning under --strict);
2 unusable input (a bad policy, an unreadable trace file, a bad command line);
70 a fault of ostik's own, with its traceback.
A trace fails when a step is blocked or an end-of-trace check fails; a trace
without steps fails when the policy has require rules.
"""

from __future__ import annotations

import argparse
import os
import sys
import traceback
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager

from ostik import __version__
from ostik.cli import check, coverage, diff, explain, hook, mcp_proxy, report, schema, suggest, test
from ostik.cli.common import EXIT_FAILED, EXIT_UNUSABLE, UnusableInput
from ostik.formats import json_text
from ostik.formats.reading import collector_paused
from ostik.reports.escaping import printable
from ostik.reports.github import CommandGuard

__all__ = ["build_parser", "main"]

# The commands in the order `ostik --help` lists them; each adds its own parser.
COMMANDS = (check, explain, test, diff, coverage, report, suggest, schema, hook, mcp_proxy)


# What an error that ostik did not foresee exits with (EX_SOFTWARE): never 0, 1 or 2.
EXIT_INTERNAL_ERROR = 70


@contextmanager
def guarded_output() -> Iterator[None]:
    """stdout and stderr behind a CommandGuard for the block: names from input cannot forge a
    GitHub workflow command, whatever prints them (argparse, warnings, a traceback)."""
    streams = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = CommandGuard(sys.stdout), CommandGuard(sys.stderr)
    try:
        yield
    finally:
        sys.stdout, sys.stderr = streams


def main(argv: Sequence[str] | None = None) -> int:
    with guarded_output():
        try:
            return _main(argv)
        except SystemExit:
            raise
        except Exception:
            # A fault of ostik's: its traceback through the guard, and a status of its own.
            traceback.print_exc()
            return EXIT_INTERNAL_ERROR


def _main(argv: Sequence[str] | None) -> int:
    args = build_parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    if getattr(args, "max_record_bytes", None) is not None:
        # Read by this process and by the workers it forks.
        json_text.max_record_bytes = args.max_record_bytes
    try:
        # One command's data holds no reference cycles worth collecting, and
        # the collector's passes over a long trace's steps cost more than the
        # judging (see ostik.formats.reading).
        with collector_paused():
            return run(args)
    except UnusableInput as err:
        if str(err):
            print(printable(str(err)), file=sys.stderr)
        return EXIT_UNUSABLE
    except BrokenPipeError:
        # The reader went away (`ostik explain ... | head`): stop quietly, and
        # keep the interpreter from complaining while it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILED
    except KeyboardInterrupt:
        return 130


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="ostik",
        description="Check agent tool-call traces against a YAML policy.",
        epilog="Exit status: 0 success, 1 a trace or check failed, 2 unusable input.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND")
    for command in COMMANDS:
        command.add_command(commands)
    return parser
