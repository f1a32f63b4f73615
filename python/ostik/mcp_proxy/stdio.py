"""The proxy over stdio: the MCP server is a child process, the client is whoever runs the proxy.

The proxy's stdout is the client's channel and nothing else writes to it: the
file descriptor is taken over for the channel, and descriptor 1 is pointed at
stderr, where every message of the proxy's own goes. The server's stderr is the
proxy's. The proxy ends when the server does, with the server's exit status
(128 + N for a server killed by signal N), closing the client's channel; when
the client closes its side, the server's stdin is closed and the server gets a
few seconds to exit before it is terminated."""

from __future__ import annotations

import asyncio
import logging
import os
import signal
import sys
from collections.abc import Sequence

from ostik.mcp_proxy.connection import Asked, Connection, Outcome
from ostik.mcp_proxy.messages import PARSE_ERROR, Unreadable, dumps, error_response, loads
from ostik.mcp_proxy.sessions import Sessions
from ostik.mcp_proxy.streams import (
    MAX_MESSAGE_BYTES,
    ByteReader,
    LineWriter,
    TooLong,
    lines,
    open_input,
    open_output,
)

__all__ = ["run_stdio"]

logger = logging.getLogger("ostik.mcp_proxy")

# How long a server whose stdin was closed may take to exit before it is terminated, then killed.
EXIT_GRACE_SECONDS = 5.0


def exit_status(returncode: int) -> int:
    return 128 - returncode if returncode < 0 else returncode


async def run_stdio(sessions: Sessions, command: Sequence[str], *, session_key: str,
                    hide_denied: bool = False, call_prefix: str = "") -> int:
    """Relays between this process's stdin/stdout and the server `command`; the server's exit status."""
    channel = os.dup(sys.stdout.fileno())
    os.dup2(sys.stderr.fileno(), sys.stdout.fileno())
    try:
        server = await asyncio.create_subprocess_exec(*command, stdin=asyncio.subprocess.PIPE,
                                                      stdout=asyncio.subprocess.PIPE)
    except OSError as err:
        os.close(channel)
        raise StartFailed(f"ostik mcp-proxy: cannot start {command[0]!r}: {err.strerror or err}") from None
    assert server.stdin is not None and server.stdout is not None
    to_client = await open_output(channel)
    to_server = LineWriter(server.stdin)
    client_input = await open_input(sys.stdin.fileno())
    connection = Connection(sessions, session_key, hide_denied=hide_denied, call_prefix=call_prefix)
    relay = _Relay(connection, to_client, to_server)
    from_client = asyncio.create_task(relay.client_to_server(client_input))
    try:
        await relay.server_to_client(server.stdout)
    finally:
        from_client.cancel()
        connection.close()
        to_client.close()
    # The server closed its stdout: it has ended, or is about to.
    try:
        returncode = await asyncio.wait_for(server.wait(), EXIT_GRACE_SECONDS)
    except TimeoutError:
        returncode = await _stop(server)
    await asyncio.gather(from_client, *relay.tasks, return_exceptions=True)
    return exit_status(returncode)


class StartFailed(RuntimeError):
    """The server command could not be started."""


async def _stop(server: asyncio.subprocess.Process) -> int:
    for stop in (signal.SIGTERM, signal.SIGKILL):
        try:
            server.send_signal(stop)
        except ProcessLookupError:
            break
        try:
            return await asyncio.wait_for(server.wait(), EXIT_GRACE_SECONDS)
        except TimeoutError:
            continue
    return await server.wait()


class _Relay:
    def __init__(self, connection: Connection, to_client: LineWriter, to_server: LineWriter) -> None:
        self.connection = connection
        self.to_client = to_client
        self.to_server = to_server
        self.tasks: set[asyncio.Task[None]] = set()

    async def send_to_client(self, message: object) -> None:
        await self.to_client.write_line(dumps(message))

    async def client_to_server(self, reader: ByteReader) -> None:
        try:
            async for line in lines(reader):
                if isinstance(line, TooLong):
                    logger.error("ostik mcp-proxy: a message from the client of %d bytes (more than %d) is dropped",
                                 line.size, MAX_MESSAGE_BYTES)
                    continue
                await self._from_client(line)
        finally:
            # The client has gone: the server's stdin closes, and the server ends as it does without a client.
            self.to_server.close()

    async def _from_client(self, line: bytes) -> None:
        try:
            message = loads(line)
        except Unreadable as err:
            logger.error("ostik mcp-proxy: a message from the client is not JSON (%s): answered with a parse error",
                         err)
            await self.send_to_client(error_response(None, PARSE_ERROR, f"Parse error: {err}"))
            return
        if isinstance(message, list):
            await self._batch_from_client(line, message)
            return
        outcome = await self.connection.from_client(message)
        await self._carry_out(outcome, line)

    async def _carry_out(self, outcome: Outcome, line: bytes) -> None:
        if outcome.forward:
            await self.to_server.write_line(line)
        elif outcome.answer is not None:
            await self.send_to_client(outcome.answer)
        elif outcome.asked is not None:
            # The question may take long: the client's other messages (the answer among them) go on meanwhile.
            asked = outcome.asked
            task = asyncio.create_task(self._ask(asked, line))
            self.tasks.add(task)
            task.add_done_callback(self.tasks.discard)

    async def _ask(self, asked: Asked, line: bytes) -> None:
        try:
            outcome = await self.connection.ask(asked, self.send_to_client)
        except Exception:
            logger.exception("ostik mcp-proxy: asking about a call failed")
            return
        await self._carry_out(outcome, line)

    async def _batch_from_client(self, line: bytes, batch: list[object]) -> None:
        forward: list[object] = []
        answers: list[object] = []
        changed = False
        for message in batch:
            outcome = await self.connection.from_client(message)
            if outcome.forward:
                forward.append(message)
                continue
            changed = True
            if outcome.answer is not None:
                answers.append(outcome.answer)
            elif outcome.asked is not None:
                await self._carry_out(outcome, dumps(message))
        if forward:
            await self.to_server.write_line(line if not changed else dumps(forward))
        if answers:
            await self.send_to_client(answers)

    async def server_to_client(self, reader: asyncio.StreamReader) -> None:
        async for line in lines(reader):
            if isinstance(line, TooLong):
                logger.error("ostik mcp-proxy: a message from the server of %d bytes (more than %d) is dropped",
                             line.size, MAX_MESSAGE_BYTES)
                continue
            try:
                message = loads(line)
            except Unreadable as err:
                logger.error("ostik mcp-proxy: a message from the server is not JSON (%s): dropped", err)
                continue
            if isinstance(message, list):
                items = [await self.connection.from_server(item) for item in message]
                same = all(a is b for a, b in zip(items, message, strict=True))
                relayed: object = items
            else:
                relayed = await self.connection.from_server(message)
                same = relayed is message
            await self.to_client.write_line(line if same else dumps(relayed))
