"""ostik mcp-proxy: the round trip of a tools/call through the proxy, against the same call made directly.

  (stdio) An MCP SDK ClientSession calls the `echo` tool of tests/mcp/server.py
          (an MCPServer) over stdio: once with the server started directly,
          once with it started behind ``ostik mcp-proxy POLICY -- ...`` (the
          tests' policy: allow/deny lists, a blocklist, max_calls and ask
          entries; max_calls raised so that no call is refused). Median of
          the round trips of 2,000 calls after 100 to warm up; each kind of
          run is repeated and the smaller median kept. Target: the proxy adds
          at most 1 ms, median.

Usage: python bench/bench_mcp_proxy.py [calls]
"""

import asyncio
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

from mcp import ClientSession, StdioServerParameters, stdio_client

SERVER = str(Path(__file__).resolve().parent.parent / "tests" / "mcp" / "server.py")
POLICY = """\
version: "1"
tools:
  allow: [echo, big, slow, crash, git_push, noise, shell_exec]
  deny: [delete_repo]
sequences:
  - type: blocklist
    pattern: exec
  - type: max_calls
    tool: echo
    max: 1000000
ask:
  - tool: git_push
"""
WARM_UP = 100
REPEATS = 2


async def round_trips(command: list[str], calls: int) -> list[float]:
    params = StdioServerParameters(command=command[0], args=command[1:], env=dict(os.environ))
    async with stdio_client(params) as (read, write):
        async with ClientSession(read, write) as session:
            await session.initialize()
            times = []
            for i in range(WARM_UP + calls):
                start = time.perf_counter()
                result = await session.call_tool("echo", {"text": f"call {i}"})
                times.append(time.perf_counter() - start)
                assert not result.is_error
            return times[WARM_UP:]


def median_ms(command: list[str], calls: int) -> float:
    return min(statistics.median(asyncio.run(round_trips(command, calls))) for _ in range(REPEATS)) * 1000


def main() -> None:
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 2_000
    server = [sys.executable, SERVER, "stdio"]
    with tempfile.TemporaryDirectory() as tmp:
        policy = Path(tmp) / "policy.yaml"
        policy.write_text(POLICY)
        direct = median_ms(server, calls)
        proxied = median_ms([sys.executable, "-m", "ostik", "mcp-proxy", str(policy), "--", *server], calls)
    print(f"tools/call round trip, median of {calls}: direct {direct:.3f} ms, through ostik mcp-proxy "
          f"{proxied:.3f} ms, added {proxied - direct:.3f} ms (target: at most 1 ms)")


if __name__ == "__main__":
    main()
