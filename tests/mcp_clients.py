"""The MCP SDK's own clients of tests/mcp/server.py, direct or through `ostik mcp-proxy`: what the proxy's
tests and bench/bench_mcp_proxy.py share. Imports no pytest (the bench runs without it)."""

from __future__ import annotations

import os
import sys
from collections.abc import AsyncIterator, Awaitable, Callable
from contextlib import asynccontextmanager
from pathlib import Path
from typing import Any, TextIO

from mcp import ClientSession, StdioServerParameters, stdio_client
from mcp.client.streamable_http import streamable_http_client

SERVER = str(Path(__file__).resolve().parent / "mcp" / "server.py")

Elicit = Callable[[Any, Any], Awaitable[Any]]


def policy_text(echo_calls: int = 3) -> str:
    """The proxy's policy: allow and deny lists, a blocklist, max_calls of echo, an ask entry."""
    return f"""\
version: "1"
tools:
  allow: [echo, big, slow, crash, git_push, noise, shell_exec, cancelled]
  deny: [delete_repo]
sequences:
  - type: blocklist
    pattern: exec
  - type: max_calls
    tool: echo
    max: {echo_calls}
ask:
  - tool: git_push
"""


def server_command(transport: str = "stdio", *args: str) -> list[str]:
    return [sys.executable, SERVER, transport, *args]


def proxy_command(policy: str, *options: str) -> list[str]:
    """`ostik mcp-proxy POLICY OPTIONS -- the server over stdio`."""
    return [sys.executable, "-m", "ostik", "mcp-proxy", policy, *options, "--", *server_command()]


@asynccontextmanager
async def stdio_client_session(command: list[str], *, elicit: Elicit | None = None,
                        errlog: TextIO | None = None) -> AsyncIterator[ClientSession]:
    """An initialized ClientSession of the MCP server that `command` starts, over stdio."""
    params = StdioServerParameters(command=command[0], args=command[1:], env=dict(os.environ))
    async with stdio_client(params, errlog=errlog or sys.stderr) as (read, write):
        async with ClientSession(read, write, elicitation_callback=elicit) as session:
            await session.initialize()
            yield session


@asynccontextmanager
async def http_session(url: str, elicit: Elicit | None = None) -> AsyncIterator[ClientSession]:
    """An initialized ClientSession of the MCP server at `url`, over Streamable HTTP."""
    async with streamable_http_client(url) as (read, write):
        async with ClientSession(read, write, elicitation_callback=elicit) as session:
            await session.initialize()
            yield session
