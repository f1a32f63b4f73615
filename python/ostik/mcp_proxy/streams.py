"""Newline-delimited JSON-RPC over byte streams: the framing of MCP's stdio transport.

A message is one line; its bytes go on exactly as they came. A line longer
than ``MAX_MESSAGE_BYTES`` is dropped (and said so on stderr), never held
whole in memory."""

from __future__ import annotations

import asyncio
import os
from collections.abc import AsyncIterator
from typing import Protocol

__all__ = ["MAX_MESSAGE_BYTES", "ByteReader", "LineWriter", "TooLong", "lines", "open_input", "open_output"]

MAX_MESSAGE_BYTES = 64 * 1024 * 1024
_CHUNK = 256 * 1024


class ByteReader(Protocol):
    async def read(self, n: int = -1) -> bytes: ...


class TooLong:
    """In place of a line that was longer than the limit."""

    def __init__(self, size: int) -> None:
        self.size = size


async def lines(reader: ByteReader, limit: int = MAX_MESSAGE_BYTES) -> AsyncIterator[bytes | TooLong]:
    """The stream's lines without their line feeds; blank lines are skipped; ends at end of stream
    (a last line without its line feed counts)."""
    buffer = bytearray()
    dropping = 0  # bytes of an overlong line thrown away so far
    while True:
        chunk = await reader.read(_CHUNK)
        if not chunk:
            break
        start = 0
        while True:
            end = chunk.find(b"\n", start)
            if end < 0:
                break
            if dropping:
                yield TooLong(dropping + end - start)
                dropping = 0
            else:
                buffer += chunk[start:end]
                if buffer.strip():
                    yield bytes(buffer)
                buffer.clear()
            start = end + 1
        rest = len(chunk) - start
        if dropping:
            dropping += rest
        elif len(buffer) + rest > limit:
            dropping = len(buffer) + rest
            buffer.clear()
        else:
            buffer += chunk[start:]
    if dropping:
        yield TooLong(dropping)
    elif buffer.strip():
        yield bytes(buffer)


class LineWriter:
    """Writes whole lines to a stream, one writer at a time; ``closed`` once the reader has gone."""

    def __init__(self, writer: asyncio.StreamWriter | _BlockingOutput) -> None:
        self._writer = writer
        self._lock = asyncio.Lock()
        self.closed = False

    async def write_line(self, data: bytes) -> bool:
        """False when the other side has gone (the line is lost)."""
        if self.closed:
            return False
        async with self._lock:
            try:
                self._writer.write(data + b"\n")
                await self._writer.drain()
            except (ConnectionError, OSError, RuntimeError):
                self.closed = True
                return False
        return True

    def close(self) -> None:
        self.closed = True
        try:
            self._writer.close()
        except (ConnectionError, OSError, RuntimeError):
            pass


class _BlockingInput:
    """A file that the event loop cannot watch (a regular file): read in a worker thread."""

    def __init__(self, fd: int) -> None:
        self._fd = fd

    async def read(self, n: int = -1) -> bytes:
        return await asyncio.to_thread(os.read, self._fd, n if n > 0 else _CHUNK)


class _BlockingOutput:
    def __init__(self, fd: int) -> None:
        self._fd = fd
        self._pending = bytearray()

    def write(self, data: bytes) -> None:
        self._pending += data

    async def drain(self) -> None:
        data, self._pending = bytes(self._pending), bytearray()
        await asyncio.to_thread(_write_all, self._fd, data)

    def close(self) -> None:
        os.close(self._fd)


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


async def open_input(fd: int) -> ByteReader:
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader(limit=_CHUNK, loop=loop)
    try:
        await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader, loop=loop),
                                     os.fdopen(fd, "rb", buffering=0, closefd=False))
    except ValueError:
        return _BlockingInput(fd)
    return reader


async def open_output(fd: int) -> LineWriter:
    loop = asyncio.get_running_loop()
    try:
        transport, protocol = await loop.connect_write_pipe(asyncio.streams.FlowControlMixin,
                                                            os.fdopen(fd, "wb", buffering=0))
    except ValueError:
        return LineWriter(_BlockingOutput(fd))
    return LineWriter(asyncio.StreamWriter(transport, protocol, None, loop))
