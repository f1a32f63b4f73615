"""Reading a large transcript of each format, against json.loads of the same file. Prints medians and the ratio.

For each format a transcript of about 100 MB (the first argument, in MB, sets
another size) is generated with realistic content: long multilingual text in
messages and tool results, several tool calls per turn, small JSON arguments.
The baseline is reading the file and json.loads on it (on each line, for a
file of JSON lines); the reader is ostik.formats.read with the format named,
and with "auto" (detection included). The target is a ratio under 2.
"""

import json
import random
import statistics
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from pathlib import Path

from ostik import formats

RUNS = 7
WORDS = ("the agent reads the failing test before it edits anything and then runs the suite again "
         "Rückerstattung Änderung prüfen Größe Straße 返金 処理 確認 テスト 失敗 修正 "
         "build deploy cache queue retry timeout payload invoice customer refund discount ledger").split()


class Text:
    """Long text from a fixed pool of paragraphs, so that generating 100 MB takes seconds."""

    def __init__(self, rng: random.Random) -> None:
        self.rng = rng
        self.pool = [" ".join(rng.choice(WORDS) for _ in range(rng.randint(80, 900))) for _ in range(300)]

    def long(self) -> str:
        return self.pool[self.rng.randrange(len(self.pool))]

    def short(self) -> str:
        return " ".join(self.rng.choice(WORDS) for _ in range(self.rng.randint(2, 8)))


TOOLS = ["read_file", "search_code", "edit_file", "run_tests", "git_diff", "ドキュメント検索", "prüfe_änderungen"]


def arguments(rng: random.Random, text: Text) -> dict[str, object]:
    return {"path": f"src/module_{rng.randrange(500)}.py", "query": text.short(), "limit": rng.randrange(1, 50)}


def chat_lines(rng: random.Random, text: Text) -> Iterator[str]:
    """Chat Completions: one conversation per line, as an evaluation set keeps them."""
    n = 0
    while True:
        messages: list[dict[str, object]] = [{"role": "system", "content": text.long()},
                                             {"role": "user", "content": text.long()}]
        for _ in range(rng.randint(3, 8)):
            calls = [{"id": f"call_{(n := n + 1)}", "type": "function",
                      "function": {"name": rng.choice(TOOLS), "arguments": json.dumps(arguments(rng, text))}}
                     for _ in range(rng.randint(1, 3))]
            messages.append({"role": "assistant", "content": None, "tool_calls": calls})
            messages += [{"role": "tool", "tool_call_id": c["id"], "content": text.long()} for c in calls]
        messages.append({"role": "assistant", "content": text.long()})
        yield json.dumps({"messages": messages}, ensure_ascii=False)


def responses_lines(rng: random.Random, text: Text) -> Iterator[str]:
    """Responses API: one response object per line, a run that chains responses."""
    n = 0
    while True:
        output: list[dict[str, object]] = [
            {"id": f"rs_{n}", "type": "reasoning", "summary": [{"type": "summary_text", "text": text.long()}]},
            {"id": f"msg_{n}", "type": "message", "role": "assistant", "status": "completed",
             "content": [{"type": "output_text", "text": text.long(), "annotations": []}]}]
        for _ in range(rng.randint(1, 3)):
            n += 1
            output.append({"id": f"fc_{n}", "type": "function_call", "call_id": f"call_{n}", "status": "completed",
                           "name": rng.choice(TOOLS), "arguments": json.dumps(arguments(rng, text))})
        yield json.dumps({"id": f"resp_{n}", "object": "response", "status": "completed", "model": "gpt-5",
                          "output": output, "usage": {"input_tokens": 5000, "output_tokens": 300}}, ensure_ascii=False)


def anthropic_messages(rng: random.Random, text: Text) -> Iterator[dict[str, object]]:
    """Anthropic Messages: one long conversation (a .json document)."""
    n = 0
    while True:
        yield {"role": "user", "content": text.long()}
        uses = []
        for _ in range(rng.randint(1, 3)):
            n += 1
            uses.append({"type": "tool_use", "id": f"toolu_{n}", "name": rng.choice(TOOLS),
                         "input": arguments(rng, text)})
        yield {"role": "assistant", "content": [{"type": "thinking", "thinking": text.long(), "signature": "sig"},
                                                {"type": "text", "text": text.long()}, *uses]}
        yield {"role": "user", "content": [{"type": "tool_result", "tool_use_id": u["id"], "content": text.long()}
                                           for u in uses]}


def otel_spans(rng: random.Random, text: Text) -> Iterator[dict[str, object]]:
    """The spans of agent runs: each run a trace of model calls and tool executions."""
    n = 0
    while True:
        trace = f"{rng.randrange(16 ** 32):032x}"
        for _ in range(rng.randint(10, 60)):
            n += 1
            attributes: list[dict[str, object]]
            if rng.random() < 0.4:
                attributes = [{"key": "gen_ai.operation.name", "value": {"stringValue": "chat"}},
                              {"key": "gen_ai.request.model", "value": {"stringValue": "gpt-4.1"}},
                              {"key": "gen_ai.output.messages", "value": {"stringValue": text.long()}},
                              {"key": "gen_ai.usage.input_tokens", "value": {"intValue": "4096"}}]
            else:
                attributes = [{"key": "gen_ai.operation.name", "value": {"stringValue": "execute_tool"}},
                              {"key": "gen_ai.tool.name", "value": {"stringValue": rng.choice(TOOLS)}},
                              {"key": "gen_ai.tool.call.id", "value": {"stringValue": f"call_{n}"}},
                              {"key": "gen_ai.tool.call.arguments",
                               "value": {"stringValue": json.dumps(arguments(rng, text))}},
                              {"key": "gen_ai.tool.call.result", "value": {"stringValue": text.long()}}]
            start = 1757412000000000000 + n * 1000
            yield {"traceId": trace, "spanId": f"{n:016x}", "name": "span", "kind": 1,
                   "startTimeUnixNano": str(start), "endTimeUnixNano": str(start + 500),
                   "attributes": attributes, "status": {}}


def otel_lines(rng: random.Random, text: Text) -> Iterator[str]:
    """OTLP/JSON: one export per line, each a batch of 40 spans (of one run or two)."""
    spans = otel_spans(rng, text)
    resource = {"attributes": [{"key": "service.name", "value": {"stringValue": "agent"}}]}
    while True:
        batch = [next(spans) for _ in range(40)]
        yield json.dumps({"resourceSpans": [{"resource": resource, "scopeSpans": [{"spans": batch}]}]},
                         ensure_ascii=False)


def mcp_lines(rng: random.Random, text: Text) -> Iterator[str]:
    """MCP: the JSON-RPC messages of a stdio session."""
    n = 0
    while True:
        n += 1
        yield json.dumps({"jsonrpc": "2.0", "id": n, "method": "tools/call",
                          "params": {"name": rng.choice(TOOLS), "arguments": arguments(rng, text)}},
                         ensure_ascii=False)
        yield json.dumps({"jsonrpc": "2.0", "id": n, "result": {"content": [{"type": "text", "text": text.long()}],
                                                                "isError": False}}, ensure_ascii=False)


def ostik_lines(rng: random.Random, text: Text) -> Iterator[str]:
    """ostik's own steps, one per line, with long arguments."""
    while True:
        yield json.dumps({"tool": rng.choice(TOOLS), "args": {**arguments(rng, text), "patch": text.long()}},
                         ensure_ascii=False)


def claude_code_lines(rng: random.Random, text: Text) -> Iterator[str]:
    """A Claude Code session: assistant lines of one tool_use block each, user lines with the results."""
    n = 0
    tools = ["Bash", "Edit", "Read", "Grep", "mcp__github__create_issue"]
    while True:
        n += 1
        envelope = {"parentUuid": f"u{n - 1}", "isSidechain": False, "userType": "external", "cwd": "/home/dev/shop",
                    "sessionId": "7d3c9b2e", "version": "1.0.98", "gitBranch": "main",
                    "timestamp": "2026-03-02T09:00:00.000Z"}
        yield json.dumps({**envelope, "type": "assistant", "uuid": f"a{n}", "requestId": f"req_{n}", "message": {
            "id": f"msg_{n}", "type": "message", "role": "assistant", "model": "claude-sonnet-4-5",
            "content": [{"type": "text", "text": text.long()},
                        {"type": "tool_use", "id": f"toolu_{n}", "name": rng.choice(tools),
                         "input": arguments(rng, text)}],
            "usage": {"input_tokens": 4000, "output_tokens": 300}}}, ensure_ascii=False)
        yield json.dumps({**envelope, "type": "user", "uuid": f"u{n}", "message": {"role": "user", "content": [
            {"type": "tool_result", "tool_use_id": f"toolu_{n}", "content": text.long()}]}}, ensure_ascii=False)


def codex_lines(rng: random.Random, text: Text) -> Iterator[str]:
    """A Codex rollout: reasoning, a call and its output as response items, with event lines between."""
    n = 0
    while True:
        n += 1
        stamp = "2026-03-04T10:00:00.000Z"
        yield json.dumps({"timestamp": stamp, "type": "response_item", "payload": {
            "type": "reasoning", "summary": [{"type": "summary_text", "text": text.long()}]}}, ensure_ascii=False)
        yield json.dumps({"timestamp": stamp, "type": "response_item", "payload": {
            "type": "function_call", "name": rng.choice(["shell", "exec_command", "update_plan"]),
            "arguments": json.dumps(arguments(rng, text)), "call_id": f"call_{n}"}}, ensure_ascii=False)
        yield json.dumps({"timestamp": stamp, "type": "event_msg", "payload": {
            "type": "exec_command_end", "call_id": f"call_{n}", "stdout": text.long()}}, ensure_ascii=False)
        yield json.dumps({"timestamp": stamp, "type": "response_item", "payload": {
            "type": "function_call_output", "call_id": f"call_{n}",
            "output": json.dumps({"output": text.long(), "metadata": {"exit_code": 0}})}}, ensure_ascii=False)


def gemini_messages(rng: random.Random, text: Text) -> Iterator[dict[str, object]]:
    """A Gemini CLI session's messages: the model's turns with their tool calls and results."""
    n = 0
    while True:
        n += 1
        yield {"id": f"m{n}u", "timestamp": "2026-03-05T08:00:00.000Z", "type": "user", "content": text.long()}
        yield {"id": f"m{n}", "timestamp": "2026-03-05T08:00:05.000Z", "type": "gemini", "content": text.long(),
               "model": "gemini-2.5-pro", "tokens": {"input": 900, "output": 20, "total": 920},
               "toolCalls": [{"id": f"c{n}-{i}", "name": rng.choice(["read_file", "run_shell_command", "replace"]),
                              "args": arguments(rng, text), "status": "success",
                              "result": [{"functionResponse": {"id": f"c{n}-{i}", "name": "read_file",
                                                               "response": {"output": text.long()}}}]}
                             for i in range(rng.randint(1, 3))]}


def langchain_messages(rng: random.Random, text: Text) -> Iterator[dict[str, object]]:
    """A LangChain conversation as messages_to_dict writes it."""
    n = 0
    while True:
        yield {"type": "human", "data": {"content": text.long(), "additional_kwargs": {}, "response_metadata": {},
                                         "type": "human", "name": None, "id": None}}
        calls = []
        for _ in range(rng.randint(1, 3)):
            n += 1
            calls.append({"name": rng.choice(TOOLS), "args": arguments(rng, text), "id": f"call_{n}",
                          "type": "tool_call"})
        yield {"type": "ai", "data": {"content": text.long(), "additional_kwargs": {}, "response_metadata": {},
                                      "type": "ai", "name": None, "id": None, "tool_calls": calls,
                                      "invalid_tool_calls": [], "usage_metadata": None}}
        for call in calls:
            yield {"type": "tool", "data": {"content": text.long(), "additional_kwargs": {}, "response_metadata": {},
                                            "type": "tool", "name": call["name"], "id": None,
                                            "tool_call_id": call["id"], "artifact": None, "status": "success"}}


def write_lines(path: Path, lines: Iterator[str], size: int) -> None:
    written = 0
    with path.open("w", encoding="utf-8") as out:
        while written < size:
            line = next(lines) + "\n"
            out.write(line)
            written += len(line.encode())


def write_document(path: Path, messages: Iterator[dict[str, object]], size: int,
                   around: Callable[[list[dict[str, object]]], object] | None = None) -> None:
    chosen, written = [], 0
    while written < size:
        message = next(messages)
        chosen.append(message)
        written += len(json.dumps(message, ensure_ascii=False).encode()) + 2
    document = {"model": "claude-sonnet-4-5", "messages": chosen} if around is None else around(chosen)
    path.write_text(json.dumps(document, ensure_ascii=False), encoding="utf-8")


def baseline(path: Path) -> object:
    """The file's values, as json.loads gives them (kept, as a reader must keep them)."""
    data = path.read_bytes()
    if path.suffix == ".json":
        return json.loads(data)
    return [json.loads(line) for line in data.split(b"\n") if line.strip()]


def medians(actions: dict[str, Callable[[], object]]) -> dict[str, float]:
    """The median time of each action; the runs take turns, so that load from elsewhere falls on all alike."""
    times: dict[str, list[float]] = {name: [] for name in actions}
    for _ in range(RUNS):
        for name, action in actions.items():
            start = time.perf_counter()
            result = action()
            times[name].append(time.perf_counter() - start)
            del result
    return {name: statistics.median(values) for name, values in times.items()}


def main() -> None:
    size = int(float(sys.argv[1]) * 1_000_000) if len(sys.argv) > 1 else 100_000_000
    makers: dict[str, tuple[str, Callable[[Path, random.Random, Text], None]]] = {
        "openai-chat": (".jsonl", lambda p, r, t: write_lines(p, chat_lines(r, t), size)),
        "openai-responses": (".jsonl", lambda p, r, t: write_lines(p, responses_lines(r, t), size)),
        "anthropic": (".json", lambda p, r, t: write_document(p, anthropic_messages(r, t), size)),
        "otel": (".jsonl", lambda p, r, t: write_lines(p, otel_lines(r, t), size)),
        "mcp": (".jsonl", lambda p, r, t: write_lines(p, mcp_lines(r, t), size)),
        "claude-code": (".jsonl", lambda p, r, t: write_lines(p, claude_code_lines(r, t), size)),
        "codex": (".jsonl", lambda p, r, t: write_lines(p, codex_lines(r, t), size)),
        "gemini-cli": (".json", lambda p, r, t: write_document(p, gemini_messages(r, t), size, lambda m: {
            "sessionId": "5b0c8a7e", "projectHash": "3f1e", "startTime": "2026-03-05T08:00:00.000Z", "messages": m})),
        "langchain": (".json", lambda p, r, t: write_document(p, langchain_messages(r, t), size, lambda m: m)),
        "ostik": (".jsonl", lambda p, r, t: write_lines(p, ostik_lines(r, t), size)),
    }
    # The formats to measure: all, or those named after the size.
    wanted = sys.argv[2:] or list(makers)
    with tempfile.TemporaryDirectory() as tmp:
        for fmt, (suffix, make) in makers.items():
            if fmt not in wanted:
                continue
            rng = random.Random(12)
            path = Path(tmp) / f"{fmt}{suffix}"
            make(path, rng, Text(rng))
            steps = sum(len(trace) for trace in formats.read(path, fmt))
            timed = medians({"loads": lambda: baseline(path), "named": lambda: formats.read(path, fmt),
                             "auto": lambda: formats.read(path)})
            loads, named, auto = timed["loads"], timed["named"], timed["auto"]
            print(f"{fmt:17} {path.stat().st_size / 1e6:6.1f} MB {steps:7} steps: json.loads {loads:.3f} s, "
                  f"read {named:.3f} s ({named / loads:.2f}x), auto {auto:.3f} s ({auto / loads:.2f}x)", flush=True)
            path.unlink()


if __name__ == "__main__":
    main()
