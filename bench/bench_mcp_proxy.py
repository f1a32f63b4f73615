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
import statistics
import sys
import tempfile
import time
from pathlib import Path

# The clients and the server are the proxy's tests' own (tests/mcp_clients.py, without pytest).
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from mcp_clients import policy_text, proxy_command, server_command, stdio_client_session  # noqa: E402

WARM_UP = 100
REPEATS = 2


async def round_trips(command: list[str], calls: int) -> list[float]:
    async with stdio_client_session(command) as session:
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
    with tempfile.TemporaryDirectory() as tmp:
        policy = Path(tmp) / "policy.yaml"
        # No call refused: max_calls far above the calls made.
        policy.write_text(policy_text(echo_calls=1_000_000))
        direct = median_ms(server_command(), calls)
        proxied = median_ms(proxy_command(str(policy)), calls)
    print(f"tools/call round trip, median of {calls}: direct {direct:.3f} ms, through ostik mcp-proxy "
          f"{proxied:.3f} ms, added {proxied - direct:.3f} ms (target: at most 1 ms)")


if __name__ == "__main__":
    main()
