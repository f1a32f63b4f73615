"""Server-sent events as the Streamable HTTP transport carries them: split into events as
they arrive, so that each JSON-RPC message is relayed as soon as it is whole.

An event keeps its lines (event, id, retry, comments, fields of other names) in
their order; only its data may be replaced, by a message the proxy changed."""

from __future__ import annotations

from collections.abc import AsyncIterator

from ostik.mcp_proxy.messages import dumps

__all__ = ["Event", "events", "message_event"]


class Event:
    def __init__(self, lines: list[str]) -> None:
        self.lines = lines

    @property
    def data(self) -> str | None:
        """The event's data (its data lines joined by line feeds); None for an event without data."""
        values = [_value(line) for line in self.lines if line == "data" or line.startswith("data:")]
        return "\n".join(values) if values else None

    def with_data(self, data: str) -> Event:
        kept: list[str] = []
        placed = False
        for line in self.lines:
            if line == "data" or line.startswith("data:"):
                if not placed:
                    kept.append("data: " + data)
                    placed = True
            else:
                kept.append(line)
        return Event(kept)

    def encode(self) -> bytes:
        return ("\n".join(self.lines) + "\n\n").encode()


def _value(line: str) -> str:
    _, _, value = line.partition(":")
    return value[1:] if value.startswith(" ") else value


def message_event(message: object) -> bytes:
    return b"event: message\ndata: " + dumps(message) + b"\n\n"


async def events(chunks: AsyncIterator[bytes]) -> AsyncIterator[Event]:
    """The events of a stream of bytes; an event cut off by the end of the stream is dropped,
    as a reader of the stream would drop it."""
    import codecs

    decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
    pending = ""
    lines: list[str] = []
    async for chunk in chunks:
        pending += decoder.decode(chunk)
        start = 0
        while True:
            cr = pending.find("\r", start)
            lf = pending.find("\n", start)
            if cr < 0 and lf < 0:
                break
            end = lf if cr < 0 else cr if lf < 0 else min(cr, lf)
            if pending[end] == "\r":
                if end + 1 == len(pending):
                    break  # a line feed may follow in the next chunk
                step = 2 if pending[end + 1] == "\n" else 1
            else:
                step = 1
            line = pending[start:end]
            start = end + step
            if line:
                lines.append(line)
            elif lines:
                yield Event(lines)
                lines = []
        pending = pending[start:]
