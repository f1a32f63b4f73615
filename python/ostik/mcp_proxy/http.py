"""The proxy over Streamable HTTP: it stands in front of the server's URL.

Every request is sent to the upstream's origin with the same method, path,
query, headers (authorization among them; only the hop-by-hop ones are left to
each connection) and body, and its response comes back the same way, SSE
streams event by event as they arrive. Bodies of POST requests to the MCP
endpoint (the upstream URL's path) are read as JSON-RPC messages, and the
messages of the responses to them and of the GET stream too: ``connection``
decides about them, one Connection per ``Mcp-Session-Id``.

A call refused by the proxy is answered in the POST's response, as JSON; a
call that needs approval gets an SSE response in which the proxy first sends
its question, and then the call's own answer: the server's when approved, the
refusal otherwise."""

from __future__ import annotations

import asyncio
import logging
import socket
from collections.abc import AsyncIterator, Mapping
from typing import Any
from urllib.parse import urlsplit

import httpx2
import uvicorn
from starlette.requests import Request
from starlette.responses import JSONResponse, Response, StreamingResponse
from starlette.types import Receive, Scope, Send

from ostik.mcp_proxy.connection import Asked, Connection, Outcome
from ostik.mcp_proxy.messages import PARSE_ERROR, Unreadable, dumps, error_response, loads
from ostik.mcp_proxy.sessions import Sessions
from ostik.mcp_proxy.sse import events, message_event

__all__ = ["HttpProxy", "serve"]

logger = logging.getLogger("ostik.mcp_proxy")

SESSION_HEADER = "mcp-session-id"
# The connections' own headers, which a proxy never passes on; and those it sets itself.
_HOP_BY_HOP = frozenset({"connection", "keep-alive", "proxy-authenticate", "proxy-authorization", "te", "trailer",
                         "transfer-encoding", "upgrade", "host", "content-length"})
# The session of requests to a server that gives no session ids.
STATELESS_KEY = Connection.default_key
_BAD_GATEWAY = -32000


class HttpProxy:
    """The ASGI application of the proxy."""

    def __init__(self, sessions: Sessions, upstream: str, *, hide_denied: bool = False,
                 client: httpx2.AsyncClient | None = None) -> None:
        parts = urlsplit(upstream)
        self.sessions = sessions
        self.origin = f"{parts.scheme}://{parts.netloc}"
        self.path = parts.path or "/"
        self.hide_denied = hide_denied
        # No read timeout: an SSE stream, or a tool call, may take as long as it takes.
        self.client = client or httpx2.AsyncClient(timeout=httpx2.Timeout(None, connect=10.0))
        self.connections: dict[str, Connection] = {}

    def connection(self, key: str) -> Connection:
        connection = self.connections.get(key)
        if connection is None:
            connection = self.connections[key] = Connection(self.sessions, key, hide_denied=self.hide_denied)
        return connection

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "lifespan":
            await self._lifespan(receive, send)
            return
        if scope["type"] != "http":
            return
        request = Request(scope, receive)
        response = await self.handle(request)
        await response(scope, receive, send)

    async def _lifespan(self, receive: Receive, send: Send) -> None:
        while True:
            event = await receive()
            if event["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif event["type"] == "lifespan.shutdown":
                await self.client.aclose()
                await send({"type": "lifespan.shutdown.complete"})
                return

    def _upstream(self, request: Request) -> tuple[str, dict[str, str]]:
        url = self.origin + request.url.path
        if request.url.query:
            url += "?" + request.url.query
        headers = {name: value for name, value in request.headers.items() if name not in _HOP_BY_HOP}
        # The proxy reads the bodies it relays: it asks for them as they are.
        headers.pop("accept-encoding", None)
        return url, headers

    async def handle(self, request: Request) -> Response:
        url, headers = self._upstream(request)
        body = await request.body()
        at_endpoint = request.url.path == self.path
        key = request.headers.get(SESSION_HEADER)
        if at_endpoint and request.method == "POST":
            return await self._post(request, url, headers, body, key)
        connection = self.connections.get(key) if at_endpoint and key is not None else None
        response = await self._send(request.method, url, headers, body)
        if isinstance(response, Response):
            return response
        if request.method == "DELETE" and key is not None and response.status_code < 300:
            ended = self.connections.pop(key, None)
            if ended is not None:
                ended.close()
                ended.session.finish()
        return await self._relay(response, connection)

    async def _send(self, method: str, url: str, headers: Mapping[str, str], body: bytes,
                    request_id: object = None) -> httpx2.Response | Response:
        try:
            upstream = self.client.build_request(method, url, headers=headers, content=body)
            return await self.client.send(upstream, stream=True)
        except httpx2.HTTPError as err:
            logger.error("ostik mcp-proxy: %s %s: %s", method, url, err or type(err).__name__)
            return JSONResponse(error_response(request_id, _BAD_GATEWAY,
                                               f"ostik mcp-proxy cannot reach the MCP server: {err}"),
                                status_code=502)

    # Responses.

    @staticmethod
    def _headers(response: httpx2.Response, rewritten: bool) -> dict[str, str]:
        headers = {name: value for name, value in response.headers.items() if name not in _HOP_BY_HOP}
        if rewritten:
            headers.pop("content-encoding", None)
        return headers

    async def _relay(self, response: httpx2.Response, connection: Connection | None,
                     answers: list[dict[str, Any]] | None = None, batch: bool = False) -> Response:
        kind = response.headers.get("content-type", "").split(";")[0].strip().lower()
        if connection is not None and kind == "text/event-stream":
            return StreamingResponse(self._stream(response, connection, answers or []), response.status_code,
                                     headers=self._headers(response, True))
        if connection is not None and kind == "application/json":
            try:
                body = await response.aread()
            finally:
                await response.aclose()
            return await self._json(response, body, connection, answers or [], batch)
        if answers:
            # The server accepted what it was sent (notifications, responses) and answers nothing.
            await response.aclose()
            return JSONResponse(answers if batch else answers[0])
        return StreamingResponse(self._raw(response), response.status_code, headers=self._headers(response, False))

    @staticmethod
    async def _raw(response: httpx2.Response) -> AsyncIterator[bytes]:
        try:
            async for chunk in response.aiter_raw():
                yield chunk
        except httpx2.HTTPError as err:
            logger.error("ostik mcp-proxy: the server's response broke off: %s", err)
        finally:
            await response.aclose()

    async def _json(self, response: httpx2.Response, body: bytes, connection: Connection,
                    answers: list[dict[str, Any]], batch: bool) -> Response:
        headers = self._headers(response, True)
        if not body.strip():
            # The server's 202 to notifications and responses: nothing to read, whatever its content type says.
            return Response(body, response.status_code, headers=headers)
        try:
            message = loads(body)
        except Unreadable as err:
            logger.error("ostik mcp-proxy: a response of the server is not JSON (%s): dropped", err)
            return JSONResponse(error_response(None, _BAD_GATEWAY, "the MCP server's response is not JSON"),
                                status_code=502)
        if isinstance(message, list):
            items = [await connection.from_server(item) for item in message]
            changed = any(a is not b for a, b in zip(items, message, strict=True))
            relayed: object = items + answers
        else:
            relayed = await connection.from_server(message)
            changed = relayed is not message
            if answers:
                relayed = [relayed, *answers]
        content = body if not changed and not answers else dumps(relayed)
        headers.pop("content-type", None)
        return Response(content, response.status_code, headers=headers, media_type="application/json")

    async def _stream(self, response: httpx2.Response, connection: Connection,
                      answers: list[dict[str, Any]]) -> AsyncIterator[bytes]:
        for answer in answers:
            yield message_event(answer)
        async for event in self._events(response, connection):
            yield event

    async def _events(self, response: httpx2.Response, connection: Connection) -> AsyncIterator[bytes]:
        try:
            async for event in events(response.aiter_bytes()):
                data = event.data
                if not data:
                    yield event.encode()
                    continue
                try:
                    message = loads(data)
                except Unreadable as err:
                    logger.error("ostik mcp-proxy: a message of the server is not JSON (%s): dropped", err)
                    continue
                if isinstance(message, list):
                    items = [await connection.from_server(item) for item in message]
                    changed = any(a is not b for a, b in zip(items, message, strict=True))
                    relayed: object = items
                else:
                    relayed = await connection.from_server(message)
                    changed = relayed is not message
                yield (event.with_data(dumps(relayed).decode()) if changed else event).encode()
        except httpx2.HTTPError as err:
            logger.error("ostik mcp-proxy: the server's stream broke off: %s", err)
        finally:
            await response.aclose()

    # Requests.

    async def _post(self, request: Request, url: str, headers: dict[str, str], body: bytes,
                    key: str | None) -> Response:
        try:
            received = loads(body)
        except Unreadable as err:
            logger.error("ostik mcp-proxy: a POST body from the client is not JSON (%s): answered with a parse "
                         "error", err)
            return JSONResponse(error_response(None, PARSE_ERROR, f"Parse error: {err}"), status_code=400)
        batch = isinstance(received, list)
        items: list[Any] = received if isinstance(received, list) else [received]
        initializing = any(isinstance(item, dict) and item.get("method") == "initialize" for item in items)
        if key is not None:
            connection = self.connection(key)
        elif initializing:
            # Its session id comes with the server's answer.
            connection = Connection(self.sessions, None, hide_denied=self.hide_denied)
        else:
            connection = self.connection(STATELESS_KEY)
        forward: list[Any] = []
        answers: list[dict[str, Any]] = []
        asked: list[tuple[Asked, Any]] = []
        for item in items:
            outcome = await connection.from_client(item)
            if outcome.forward:
                forward.append(item)
            elif outcome.answer is not None:
                answers.append(outcome.answer)
            elif outcome.asked is not None:
                asked.append((outcome.asked, item))
        if asked:
            return StreamingResponse(self._asking(connection, url, headers, forward, batch, answers, asked),
                                     headers={"cache-control": "no-cache"}, media_type="text/event-stream")
        if not forward:
            if answers:
                return JSONResponse(answers if batch else answers[0])
            return Response(status_code=202)
        content = body if len(forward) == len(items) else dumps(forward if batch else forward[0])
        request_id = None if batch or not isinstance(forward[0], dict) else forward[0].get("id")
        response = await self._send("POST", url, headers, content, request_id)
        if isinstance(response, Response):
            return response
        if initializing and key is None:
            given = response.headers.get(SESSION_HEADER)
            if given is not None:
                connection.key = given
                self.connections[given] = connection
            else:
                self.connections[STATELESS_KEY] = connection
        return await self._relay(response, connection, answers, batch)

    async def _asking(self, connection: Connection, url: str, headers: dict[str, str], forward: list[Any],
                      batch: bool, answers: list[dict[str, Any]],
                      asked: list[tuple[Asked, Any]]) -> AsyncIterator[bytes]:
        """The SSE response to a POST with calls that need approval: the proxy's questions, then
        every answer (the proxy's own and the server's) as it comes."""
        queue: asyncio.Queue[bytes | None] = asyncio.Queue()

        async def relay(content: bytes, request_id: object) -> None:
            response = await self._send("POST", url, headers, content, request_id)
            if isinstance(response, Response):
                await queue.put(message_event(loads(bytes(response.body))))
                return
            kind = response.headers.get("content-type", "").split(";")[0].strip().lower()
            if kind == "text/event-stream":
                async for event in self._events(response, connection):
                    await queue.put(event)
                return
            try:
                body = await response.aread()
            finally:
                await response.aclose()
            if kind == "application/json" and body:
                relayed = await self._json(response, body, connection, [], False)
                await queue.put(message_event(loads(bytes(relayed.body))))

        async def send(message: dict[str, Any]) -> None:
            await queue.put(message_event(message))

        async def resolve(item: Asked, message: Any) -> None:
            outcome: Outcome = await connection.ask(item, send)
            if outcome.forward:
                await relay(dumps(message), message.get("id"))
            elif outcome.answer is not None:
                await send(outcome.answer)

        async def run_all() -> None:
            try:
                async with asyncio.TaskGroup() as group:
                    if forward:
                        group.create_task(relay(dumps(forward if batch else forward[0]), None))
                    for item, message in asked:
                        group.create_task(resolve(item, message))
            except Exception:
                logger.exception("ostik mcp-proxy: answering a POST failed")
            finally:
                await queue.put(None)

        for answer in answers:
            yield message_event(answer)
        worker = asyncio.create_task(run_all())
        try:
            while (event := await queue.get()) is not None:
                yield event
        finally:
            worker.cancel()
            await asyncio.gather(worker, return_exceptions=True)


async def serve(sessions: Sessions, address: tuple[str, int], upstream: str, *, hide_denied: bool = False) -> int:
    """Serves the proxy on `address` until interrupted."""
    host, port = address
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        listener.bind((host, port))
    except OSError as err:
        listener.close()
        logger.error("ostik mcp-proxy: cannot listen on %s:%d: %s", host, port, err.strerror or err)
        return 2
    app = HttpProxy(sessions, upstream, hide_denied=hide_denied)
    config = uvicorn.Config(app, log_config=None, access_log=False, lifespan="on", log_level="warning")
    server = uvicorn.Server(config)
    bound_host, bound_port = listener.getsockname()[:2]
    logger.info("ostik mcp-proxy: listening on http://%s:%d%s, upstream %s", bound_host if family == socket.AF_INET
                else f"[{bound_host}]", bound_port, app.path, upstream)
    await server.serve(sockets=[listener])
    return 0
