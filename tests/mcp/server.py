"""An MCP server for the proxy's tests, built with the SDK's MCPServer: python server.py stdio,
or python server.py http PORT (Streamable HTTP at /mcp)."""

import asyncio
import json
import os
import sys

from mcp.server.mcpserver import Context, MCPServer
from starlette.requests import Request
from starlette.responses import JSONResponse, Response

server = MCPServer("ostik-test-server", log_level="WARNING")

# The channel to the client, kept before the SDK points descriptor 1 elsewhere (so stray prints stay off it).
WIRE = os.dup(1)


@server.tool()
def echo(text: str) -> str:
    return text


@server.tool()
def big(size: int) -> str:
    return "x" * size


# The seconds of the slow calls that were cancelled (the client's notifications/cancelled reached the server).
CANCELLED: list[float] = []


@server.tool()
async def slow(seconds: float, ctx: Context) -> str:
    await ctx.report_progress(0, 1)
    try:
        await asyncio.sleep(seconds)
    except asyncio.CancelledError:
        CANCELLED.append(seconds)
        raise
    return f"slept {seconds}"


@server.tool()
def cancelled() -> str:
    return json.dumps(CANCELLED)


@server.tool()
def crash(status: int = 3) -> str:
    os._exit(status)


@server.tool()
def git_push(branch: str) -> str:
    return f"pushed {branch}"


@server.tool()
def delete_repo() -> str:
    return "deleted"


@server.tool()
def shell_exec(command: str) -> str:
    return "ran " + command


@server.tool()
def noise() -> str:
    # A line that is no JSON on the channel, before the answer.
    os.write(WIRE, b"this is not json\n")
    return "after the noise"


@server.custom_route("/headers", methods=["GET"])
async def headers(request: Request) -> Response:
    # What a request that came through a proxy carried.
    return JSONResponse(dict(request.headers))


if __name__ == "__main__":
    if sys.argv[1] == "stdio":
        server.run()
    else:
        server.run("streamable-http", host="127.0.0.1", port=int(sys.argv[2]))
