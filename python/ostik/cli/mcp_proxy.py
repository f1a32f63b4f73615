"""`ostik mcp-proxy POLICY -- COMMAND...` and `ostik mcp-proxy POLICY --listen HOST:PORT --upstream URL`:
an MCP server behind the guard (see ostik.mcp_proxy)."""

from __future__ import annotations

import argparse
import asyncio
import logging
import os
import sys
import uuid
from collections.abc import Sequence
from typing import TYPE_CHECKING

from ostik.cli.common import EXIT_UNUSABLE, UnusableInput, load_guard_file

if TYPE_CHECKING:
    from ostik.cli.common import Commands

DESCRIPTION = (
    "Stand between an MCP client and an MCP server and judge every tools/call by the policy: allowed "
    "calls go on, refused ones are answered as tool errors with the decision's message, calls that need "
    "approval are asked about through the client (elicitation). Over stdio: ostik mcp-proxy POLICY -- "
    "COMMAND [ARGS...] starts the server COMMAND. Over Streamable HTTP: ostik mcp-proxy POLICY --listen "
    "HOST:PORT --upstream URL. Exit status: the server's (stdio), 2 unusable input.")


class _ProxyParser(argparse.ArgumentParser):
    """Everything after the first `--` is the server's command line, options of its own included."""

    def parse_known_args(self, args: Sequence[str] | None = None,  # type: ignore[override]
                         namespace: argparse.Namespace | None = None) -> tuple[argparse.Namespace, list[str]]:
        given = list(sys.argv[1:] if args is None else args)
        command: list[str] = []
        if "--" in given:
            at = given.index("--")
            given, command = given[:at], given[at + 1:]
        parsed, rest = super().parse_known_args(given, namespace)
        parsed.command = command
        return parsed, rest


def add_command(commands: Commands) -> None:
    proxy = commands.add_parser("mcp-proxy", help="guard an MCP server: judge its tools/call requests live",
                                description=DESCRIPTION,
                                usage="ostik mcp-proxy POLICY [options] -- COMMAND [ARGS...]\n"
                                      "       ostik mcp-proxy POLICY [options] --listen HOST:PORT --upstream URL")
    # The commands share one parser class; this one only parses its arguments otherwise, and adds no state.
    proxy.__class__ = _ProxyParser
    proxy.add_argument("policy", metavar="POLICY", help="the policy file")
    proxy.add_argument("--observe", action="store_true",
                       help="relay every call and only record the decisions (shadow mode)")
    proxy.add_argument("--trace-dir", metavar="DIR",
                       help="write one trace file per session here, named for the session")
    proxy.add_argument("--store", metavar="PATH",
                       help="keep the sessions in this SQLite file (shared by proxies and hooks that open it)")
    proxy.add_argument("--hide-denied", action="store_true",
                       help="leave out of tools/list the tools that the policy refuses by name")
    proxy.add_argument("--session", metavar="KEY",
                       help="stdio: the session's key in the store and its trace file's name "
                            "(default: a new key per run)")
    proxy.add_argument("--listen", metavar="HOST:PORT", help="serve Streamable HTTP on this address")
    proxy.add_argument("--upstream", metavar="URL", help="with --listen: the MCP server's Streamable HTTP URL")
    proxy.set_defaults(run=run)


def _address(text: str) -> tuple[str, int]:
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise UnusableInput(f"--listen {text}: expected HOST:PORT, such as 127.0.0.1:8080")
    return host.strip("[]"), int(port)


def run(args: argparse.Namespace) -> int:
    command: list[str] = args.command
    if args.listen is None and not command:
        raise UnusableInput("ostik mcp-proxy: give the server to start after --, or --listen and --upstream")
    if args.listen is not None and command:
        raise UnusableInput("ostik mcp-proxy: --listen proxies an HTTP server; it takes no command")
    if (args.listen is None) != (args.upstream is None):
        raise UnusableInput("ostik mcp-proxy: --listen and --upstream go together")
    if args.upstream is not None and not args.upstream.startswith(("http://", "https://")):
        raise UnusableInput(f"--upstream {args.upstream}: expected an http:// or https:// URL")
    address = None if args.listen is None else _address(args.listen)
    guard = load_guard_file(args.policy)
    try:
        from ostik.mcp_proxy import Sessions
    except ImportError as err:
        raise UnusableInput(f"ostik mcp-proxy needs the MCP SDK ({err}): pip install 'ostik[mcp]'") from None
    store = None
    if args.store is not None:
        from ostik.guarding.stores import SqliteStore

        try:
            store = SqliteStore(args.store)
        except RuntimeError as err:
            raise UnusableInput(str(err)) from None
    if args.trace_dir is not None:
        try:
            os.makedirs(args.trace_dir, exist_ok=True)
        except OSError as err:
            raise UnusableInput(f"--trace-dir {args.trace_dir}: {err.strerror or err}") from None
    _log_to_stderr()
    sessions = Sessions(guard, mode="observe" if args.observe else "enforce", trace_dir=args.trace_dir,
                        store=store)
    if address is not None:
        from ostik.mcp_proxy.http import serve

        return asyncio.run(serve(sessions, address, args.upstream, hide_denied=args.hide_denied))
    from ostik.mcp_proxy.stdio import StartFailed, run_stdio

    run_id = uuid.uuid4().hex
    key = args.session if args.session is not None else f"mcp-{run_id}"
    # A session resumed by many runs tells their calls apart by the run.
    prefix = "" if args.session is None else f"{run_id[:12]}:"
    try:
        return asyncio.run(run_stdio(sessions, command, session_key=key, hide_denied=args.hide_denied,
                                     call_prefix=prefix))
    except StartFailed as err:
        print(err, file=sys.stderr)
        return EXIT_UNUSABLE


def _log_to_stderr() -> None:
    logger = logging.getLogger("ostik.mcp_proxy")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(message)s"))
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    logger.propagate = False
