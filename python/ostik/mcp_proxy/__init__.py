"""ostik's MCP proxy: an MCP server behind the guard, for any MCP client (``ostik mcp-proxy``).

The proxy relays JSON-RPC messages as they come, and judges each ``tools/call``
request first in the session of its client connection (see ``connection``).
Over stdio (``stdio``) it starts the server as a child process; over
Streamable HTTP (``http``) it stands in front of the server's URL. It needs
the MCP SDK (``pip install 'ostik[mcp]'``); ``import ostik`` does not import it."""

from ostik.mcp_proxy.connection import Connection
from ostik.mcp_proxy.sessions import GuardedSession, Sessions

__all__ = ["Connection", "GuardedSession", "Sessions"]
