"""ostik mcp-proxy between the MCP SDK's own clients and servers: an MCPServer started as a
subprocess (tests/mcp/server.py), ClientSession over stdio and over Streamable HTTP."""

from __future__ import annotations

import asyncio
import json
import socket
import subprocess
import sys
import time
from collections.abc import Iterator
from contextlib import AbstractAsyncContextManager
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("mcp")

import httpx2  # noqa: E402
from mcp import ClientSession  # noqa: E402
from mcp import types as mcp_types  # noqa: E402
from mcp_clients import (Elicit, http_session, policy_text, proxy_command, server_command,  # noqa: E402
                         stdio_client_session)

POLICY = policy_text()


@pytest.fixture
def policy(tmp_path: Path) -> str:
    path = tmp_path / "policy.yaml"
    path.write_text(POLICY)
    return str(path)


async def answering(answer: str) -> Elicit:
    async def elicit(context: Any, params: Any) -> Any:
        asked.append(params.message)
        return mcp_types.ElicitResult(action=answer, content={} if answer == "accept" else None)

    asked: list[str] = []
    elicit.asked = asked  # type: ignore[attr-defined]
    return elicit


def stdio_session(policy: str, *options: str, elicit: Elicit | None = None,
                  errlog: Any = None) -> AbstractAsyncContextManager[ClientSession]:
    return stdio_client_session(proxy_command(policy, *options), elicit=elicit, errlog=errlog)


def text(result: mcp_types.CallToolResult) -> str:
    block = result.content[0]
    assert isinstance(block, mcp_types.TextContent)
    return block.text


def trace_lines(trace_dir: Path) -> list[dict[str, Any]]:
    files = list(trace_dir.iterdir())
    assert len(files) == 1, files
    return [json.loads(line) for line in files[0].read_text().splitlines()]


# stdio


def test_stdio_allowed_refused_and_traced(policy: str, tmp_path: Path) -> None:
    traces = tmp_path / "traces"

    async def run() -> None:
        async with stdio_session(policy, "--trace-dir", str(traces)) as session:
            result = await session.call_tool("echo", {"text": "hello"})
            assert (text(result), result.is_error) == ("hello", False)
            for tool, args, said in [("delete_repo", {}, "'delete_repo'"), ("shell_exec", {"command": "ls"}, "exec")]:
                refused = await session.call_tool(tool, args)
                assert refused.is_error and said in text(refused), text(refused)
            for _ in range(2):
                assert not (await session.call_tool("echo", {"text": "again"})).is_error
            over = await session.call_tool("echo", {"text": "one too many"})
            assert over.is_error and "max_calls" in text(over) or "at most" in text(over), text(over)
            listed = {tool.name for tool in (await session.list_tools()).tools}
            assert {"delete_repo", "shell_exec", "echo"} <= listed  # nothing hidden without --hide-denied

    asyncio.run(run())
    lines = [line for line in trace_lines(traces) if "tool" in line]  # results have lines of their own
    assert [line["tool"] for line in lines if "refused" not in json.dumps(line)][:1] == ["echo"]
    assert {line["tool"] for line in lines} == {"echo", "delete_repo", "shell_exec"}


def test_stdio_hide_denied_and_observe(policy: str, tmp_path: Path) -> None:
    traces = tmp_path / "traces"

    async def run() -> None:
        async with stdio_session(policy, "--hide-denied", "--observe", "--trace-dir", str(traces)) as session:
            listed = {tool.name for tool in (await session.list_tools()).tools}
            assert listed == {"echo", "big", "slow", "crash", "git_push", "noise", "cancelled"}
            # Observing, the refused tool runs, and so does the one that needs approval.
            assert text(await session.call_tool("delete_repo", {})) == "deleted"
            assert text(await session.call_tool("git_push", {"branch": "main"})) == "pushed main"

    asyncio.run(run())
    assert [line["tool"] for line in trace_lines(traces) if "tool" in line] == ["delete_repo", "git_push"]


@pytest.mark.parametrize("answer", ["accept", "decline", None])
def test_stdio_ask(policy: str, answer: str | None) -> None:
    async def run() -> None:
        elicit = None if answer is None else await answering(answer)
        async with stdio_session(policy, elicit=elicit) as session:
            result = await session.call_tool("git_push", {"branch": "main"})
            if answer == "accept":
                assert (text(result), result.is_error) == ("pushed main", False)
            else:
                assert result.is_error
                said = "cannot ask" if answer is None else "denied"
                assert said in text(result), text(result)
            if elicit is not None:
                (question,) = elicit.asked  # type: ignore[attr-defined]
                assert "git_push" in question and "main" in question
            # The session goes on.
            assert text(await session.call_tool("echo", {"text": "after"})) == "after"

    asyncio.run(run())


def test_stdio_concurrent_cancelled_and_large(policy: str) -> None:
    async def run() -> None:
        async with stdio_session(policy) as session:
            slow = [session.call_tool("slow", {"seconds": 0.3 + i / 100}) for i in range(8)]
            results = await asyncio.gather(*slow, session.call_tool("echo", {"text": "quick"}))
            assert [text(result) for result in results[:-1]] == [f"slept {0.3 + i / 100}" for i in range(8)]
            assert text(results[-1]) == "quick"
            # A call given up by the client (which then sends notifications/cancelled) leaves the relay working.
            with pytest.raises(Exception):
                await session.call_tool("slow", {"seconds": 30}, read_timeout_seconds=0.5)
            size = 6_000_000
            assert len(text(await session.call_tool("big", {"size": size}))) == size
            assert text(await session.call_tool("echo", {"text": "still here"})) == "still here"

    asyncio.run(run())


async def cancel_a_slow_call(session: ClientSession) -> None:
    """A call the client cancels while the server runs it: the server learns of it, and the proxy serves on."""
    started = asyncio.Event()

    async def progress(progress: float, total: float | None, message: str | None) -> None:
        started.set()

    call = asyncio.create_task(session.call_tool("slow", {"seconds": 60}, progress_callback=progress))
    await asyncio.wait_for(started.wait(), 60)  # the server runs it
    call.cancel()
    with pytest.raises(asyncio.CancelledError):
        await call
    deadline = time.monotonic() + 30
    while (seen := json.loads(text(await session.call_tool("cancelled", {})))) != [60]:
        assert time.monotonic() < deadline, f"the server saw no cancellation: {seen}"
        await asyncio.sleep(0.1)
    assert text(await session.call_tool("slow", {"seconds": 0.1})) == "slept 0.1"


def test_stdio_a_cancelled_call_is_cancelled_at_the_server(policy: str) -> None:
    async def run() -> None:
        async with stdio_session(policy) as session:
            await asyncio.wait_for(cancel_a_slow_call(session), 120)

    asyncio.run(run())


def test_stdio_store_keeps_the_session_across_runs(policy: str, tmp_path: Path) -> None:
    store = str(tmp_path / "sessions.db")

    async def run(calls: int) -> list[bool]:
        async with stdio_session(policy, "--store", store, "--session", "run-1") as session:
            return [(await session.call_tool("echo", {"text": "x"})).is_error for _ in range(calls)]

    assert asyncio.run(run(2)) == [False, False]
    # The third call of max_calls: 3 is the last one allowed, in the next run of the same session.
    assert asyncio.run(run(2)) == [False, True]


# The raw channel: what an SDK client would not send, and the proxy's exit.


class RawProxy:
    def __init__(self, policy: str, *options: str) -> None:
        self.process = subprocess.Popen(proxy_command(policy, *options), stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.next_id = 0

    def send(self, message: object) -> None:
        assert self.process.stdin is not None
        data = message if isinstance(message, bytes) else json.dumps(message).encode()
        self.process.stdin.write(data + b"\n")
        self.process.stdin.flush()

    def receive(self) -> Any:
        assert self.process.stdout is not None
        line = self.process.stdout.readline()
        assert line, "the proxy closed its stdout"
        return json.loads(line)  # every line on the channel is JSON

    def request(self, method: str, params: dict[str, Any] | None = None) -> Any:
        self.next_id += 1
        self.send({"jsonrpc": "2.0", "id": self.next_id, "method": method, "params": params or {}})
        return self.receive()

    def initialize(self) -> None:
        answer = self.request("initialize", {"protocolVersion": "2025-06-18", "capabilities": {},
                                             "clientInfo": {"name": "raw", "version": "1"}})
        assert "result" in answer, answer
        self.send({"jsonrpc": "2.0", "method": "notifications/initialized"})

    def finish(self, timeout: float = 30) -> tuple[int, str]:
        """The client closes its side (if it has not yet); the proxy's exit status and stderr."""
        if self.process.stdin is not None:
            self.process.stdin.close()
            self.process.stdin = None
        _, stderr = self.process.communicate(timeout=timeout)
        return self.process.returncode, stderr.decode()


def test_malformed_json_from_either_side(policy: str) -> None:
    proxy = RawProxy(policy)
    proxy.send(b"{this is not json")
    answer = proxy.receive()
    assert answer["id"] is None and answer["error"]["code"] == -32700
    proxy.initialize()
    # The server writes a line that is no JSON before its answer: dropped, never on the client's channel.
    answer = proxy.request("tools/call", {"name": "noise", "arguments": {}})
    assert answer["result"]["content"][0]["text"] == "after the noise"
    # Unknown fields, and ids of either kind, go through; a call without a name is the proxy's to answer.
    proxy.send({"jsonrpc": "2.0", "id": "s-1", "method": "tools/call", "x-extra": [1],
                "params": {"name": "echo", "arguments": {"text": "str id"}}})
    assert proxy.receive()["id"] == "s-1"
    assert proxy.request("tools/call", {"arguments": {}})["error"]["code"] == -32602
    # A batch (which this server, like the current protocol, does not take): the proxy answers the refused
    # call in it, and the channel goes on.
    proxy.send([{"jsonrpc": "2.0", "id": 100, "method": "tools/call", "params": {"name": "delete_repo"}},
                {"jsonrpc": "2.0", "method": "notifications/roots/list_changed"}])
    (refused,) = proxy.receive()
    assert refused["id"] == 100 and refused["result"]["isError"] is True
    assert proxy.request("ping")["result"] == {}
    status, stderr = proxy.finish()
    assert status == 0
    assert "not JSON" in stderr and "parse error" in stderr and "dropped" in stderr


def test_server_crash_ends_the_proxy_with_its_status(policy: str) -> None:
    proxy = RawProxy(policy)
    proxy.initialize()
    proxy.send({"jsonrpc": "2.0", "id": 9, "method": "tools/call", "params": {"name": "crash",
                                                                             "arguments": {"status": 7}}})
    assert proxy.process.stdout is not None
    assert proxy.process.stdout.read() == b""  # the client's side is closed
    status, _ = proxy.finish()
    assert status == 7


@pytest.mark.parametrize("arguments, said", [
    ([], "give the server"),
    (["--listen", "127.0.0.1:1"], "go together"),
    (["--listen", "nowhere", "--upstream", "http://127.0.0.1:1/mcp"], "HOST:PORT"),
    (["--", "/no/such/server"], "cannot start"),
])
def test_unusable_command_lines(policy: str, arguments: list[str], said: str) -> None:
    done = subprocess.run([sys.executable, "-m", "ostik", "mcp-proxy", policy, *arguments],
                          capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
    assert (done.returncode, done.stdout) == (2, "")
    assert said in done.stderr


def test_unusable_policy(tmp_path: Path) -> None:
    bad = tmp_path / "bad.yaml"
    bad.write_text("version: [\n")
    done = subprocess.run([sys.executable, "-m", "ostik", "mcp-proxy", str(bad), "--", "true"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and str(bad) in done.stderr and done.stdout == ""


# Streamable HTTP


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def wait_for_port(port: int, process: subprocess.Popen[bytes]) -> None:
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        assert process.poll() is None, "the process ended"
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.1)
    raise TimeoutError(port)


class HttpProcesses:
    """The server over Streamable HTTP and the proxy in front of it (at `url`)."""

    def __init__(self, policy: str, traces: Path) -> None:
        server_port, proxy_port = free_port(), free_port()
        self.url = f"http://127.0.0.1:{proxy_port}/mcp"
        self.traces = traces
        self.server = subprocess.Popen(server_command("http", str(server_port)))
        self.proxy = subprocess.Popen([sys.executable, "-m", "ostik", "mcp-proxy", policy, "--hide-denied",
                                       "--trace-dir", str(traces), "--listen", f"127.0.0.1:{proxy_port}",
                                       "--upstream", f"http://127.0.0.1:{server_port}/mcp"],
                                      stderr=subprocess.PIPE)
        try:
            wait_for_port(server_port, self.server)
            wait_for_port(proxy_port, self.proxy)
        except BaseException:
            self.stop()
            raise

    def stop(self) -> str:
        """Ends both; the proxy's stderr."""
        for process in (self.proxy, self.server):
            if process.poll() is None:
                process.terminate()
        self.server.wait(timeout=30)
        _, stderr = self.proxy.communicate(timeout=30)
        return stderr.decode()


@pytest.fixture
def http_processes(policy: str, tmp_path: Path) -> Iterator[HttpProcesses]:
    processes = HttpProcesses(policy, tmp_path / "traces")
    try:
        yield processes
    finally:
        sys.stderr.write(processes.stop())


@pytest.fixture
def http_proxy(http_processes: HttpProcesses) -> tuple[str, Path]:
    return http_processes.url, http_processes.traces


def test_http(http_proxy: tuple[str, Path]) -> None:
    url, traces = http_proxy

    async def run() -> None:
        elicit = await answering("accept")
        async with http_session(url, elicit) as first, http_session(url) as second:
            listed = {tool.name for tool in (await first.list_tools()).tools}
            assert "delete_repo" not in listed and "shell_exec" not in listed and "echo" in listed
            assert text(await first.call_tool("echo", {"text": "hi"})) == "hi"
            refused = await first.call_tool("delete_repo", {})
            assert refused.is_error and "delete_repo" in text(refused)
            # Approval asked through the client that can be asked; the other is refused.
            assert text(await first.call_tool("git_push", {"branch": "dev"})) == "pushed dev"
            assert len(elicit.asked) == 1  # type: ignore[attr-defined]
            unasked = await second.call_tool("git_push", {"branch": "dev"})
            assert unasked.is_error and "cannot ask" in text(unasked)
            # Sessions are per Mcp-Session-Id: max_calls counts each one's calls.
            for _ in range(2):
                assert not (await first.call_tool("echo", {"text": "x"})).is_error
            assert (await first.call_tool("echo", {"text": "x"})).is_error
            assert not (await second.call_tool("echo", {"text": "x"})).is_error
            calls = [first.call_tool("slow", {"seconds": 0.2}) for _ in range(5)]
            calls.append(second.call_tool("big", {"size": 400_000}))  # SSE events: at most 1 MiB
            results = await asyncio.gather(*calls)
            assert [text(result) for result in results[:-1]] == ["slept 0.2"] * 5
            assert len(text(results[-1])) == 400_000

    asyncio.run(run())
    assert len(list(traces.iterdir())) == 2


def test_http_a_cancelled_call_is_cancelled_at_the_server(http_proxy: tuple[str, Path]) -> None:
    url, _ = http_proxy

    async def run() -> None:
        async with http_session(url) as session, http_session(url) as other:
            await asyncio.wait_for(cancel_a_slow_call(session), 120)
            assert text(await other.call_tool("echo", {"text": "other"})) == "other"

    asyncio.run(run())


def test_http_server_crash_is_an_error_for_the_client(http_processes: HttpProcesses) -> None:
    async def run() -> None:
        async with http_session(http_processes.url) as session:
            # The server dies while it answers: the client gets an error, not a wait without end.
            with pytest.raises(Exception) as raised:
                await asyncio.wait_for(session.call_tool("crash", {"status": 5}), 60)
            assert not isinstance(raised.value, TimeoutError), "the call was never answered"
            assert http_processes.server.wait(timeout=30) == 5
            # Later calls are answered too, with an error, while the server is gone.
            with pytest.raises(Exception) as later:
                await asyncio.wait_for(session.call_tool("echo", {"text": "anyone?"}), 60)
            assert "cannot reach the MCP server" in str(later.value)

    asyncio.run(run())
    assert http_processes.proxy.poll() is None  # the proxy serves on
    stderr = http_processes.stop()
    assert "broke off" in stderr and "Traceback" not in stderr, stderr
    # A notification's empty 202 is relayed as it came, not taken for a response that is not JSON.
    assert "not JSON" not in stderr, stderr


def test_http_raw_requests(http_proxy: tuple[str, Path]) -> None:
    url, _ = http_proxy
    with httpx2.Client(timeout=30) as client:
        answer = client.post(url, content=b"{nope", headers={"content-type": "application/json",
                                                             "accept": "application/json, text/event-stream"})
        assert answer.status_code == 400 and answer.json()["error"]["code"] == -32700
        answer = client.post(url, json={"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
            "protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "raw", "version": "1"}}},
            headers={"accept": "application/json, text/event-stream"})
        assert answer.status_code == 200 and answer.headers.get("mcp-session-id")
        # A notification: the server's empty 202 comes back as it is.
        accepted = client.post(url, json={"jsonrpc": "2.0", "method": "notifications/initialized"},
                               headers={"accept": "application/json, text/event-stream",
                                        "mcp-session-id": answer.headers["mcp-session-id"]})
        assert (accepted.status_code, accepted.content) == (202, b"")
        # Other paths of the server's origin go through too, with their headers, authorization among them.
        seen = client.get(url.removesuffix("/mcp") + "/headers?q=1",
                          headers={"authorization": "Bearer secret", "x-custom": "kept"}).json()
        assert seen["authorization"] == "Bearer secret" and seen["x-custom"] == "kept"
