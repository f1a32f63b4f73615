"""Claude Code session logs: the tool_use blocks of the assistant lines, as Claude Code saves a session.

A session is a JSON-lines file (``~/.claude/projects/<project>/<session id>.jsonl``)
whose every line is one record: {"type": "user" | "assistant" | "summary" |
"system" | ..., "uuid": ..., "parentUuid": ..., "sessionId": ..., "isSidechain":
..., "message": {...}}. A user or assistant line's "message" is a message of the
Anthropic Messages API; an assistant message is often split over several lines,
one content block each, under the same message id.

Every "tool_use" block of an assistant line is a step, with its tool name as
Claude Code shows it ("Bash", "Edit", "Read", "Task", "mcp__server__tool") and
its "input" as the args, in the order of the lines; a block that a later line
repeats (same tool_use id) is one step. A user line's "tool_result" blocks are
the results of the calls they name, with their "is_error".

Sub-agents: the lines of a sub-agent's run (a Task call) have "isSidechain":
true. Each sub-agent's run is a trace of its own, after the session's main
trace: the lines of one "agentId" when the lines have one, else the lines that
descend from one first sidechain line (by "parentUuid"). A sub-agent's file of
its own (newer versions keep them apart, under ``<session id>/subagents/``) is
one trace like any session file. Every other line (summaries, snapshots, system
notes) is dropped.
"""

from __future__ import annotations

from typing import Any

from ostik.formats.anthropic import tool_results
from ostik.formats.reading import (Reading, Source, Step, child, item, read_as, records, shown, step,
                                   timestamp_seconds)
from ostik.formats.json_text import JsonSource
from ostik.formats.trace_files import Trace

NAME = "claude-code"

_TOOL_USES = frozenset({"tool_use", "server_tool_use", "mcp_tool_use"})
_LINE = 'a line of a Claude Code session (an object with "type")'


class _Chains:
    """The session's traces: the main one, and one per sub-agent run, in order of appearance."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.main = Trace(name, [])
        self.traces: list[Trace] = [self.main]
        self.by_key: dict[str, Trace] = {}
        self.of_line: dict[str, Trace] = {}
        self.seen: dict[int, set[str]] = {}

    def trace_of(self, line: dict[str, Any]) -> Trace:
        if line.get("isSidechain") is not True:
            return self.main
        agent = line.get("agentId")
        parent = line.get("parentUuid")
        if isinstance(agent, str):
            key = agent
        elif isinstance(parent, str) and parent in self.of_line:
            chained = self.of_line[parent]
            self._remember(line, chained)
            return chained
        else:
            uuid = line.get("uuid")
            key = uuid if isinstance(uuid, str) else f"#{len(self.traces)}"
        found = self.by_key.get(key)
        if found is None:
            found = self.by_key[key] = Trace(self.name, [], place=f"sub-agent {key}")
            self.traces.append(found)
        self._remember(line, found)
        return found

    def _remember(self, line: dict[str, Any], trace: Trace) -> None:
        uuid = line.get("uuid")
        if isinstance(uuid, str):
            self.of_line[uuid] = trace

    def first_time(self, trace: Trace, call_id: object) -> bool:
        """Whether a tool_use id is new in its trace (a repeated line is one call)."""
        if not isinstance(call_id, str):
            return True
        seen = self.seen.setdefault(id(trace), set())
        if call_id in seen:
            return False
        seen.add(call_id)
        return True


def read(source: Source) -> list[list[Step]]:
    """The traces of a Claude Code session log (a path, or parsed JSON), each a list of steps in call order."""
    return read_as(traces_from, NAME, source)


def traces_from(source: JsonSource, reading: Reading) -> list[Trace]:
    chains = _Chains(source.name)
    for value, place in records(source, reading, "a Claude Code session (JSON lines, or an array of its lines)"):
        _line(value, place, reading, chains)
    return [trace for trace in chains.traces if trace is chains.main or trace.steps] or [chains.main]


def _line(value: Any, place: str, reading: Reading, chains: _Chains) -> None:
    if not isinstance(value, dict):
        reading.wrong(place, _LINE, value)
    kind = value.get("type")
    if kind not in ("user", "assistant"):
        return
    message = value.get("message")
    if not isinstance(message, dict):
        reading.wrong(child(place, "message"), "the line's message (an object)", message)
    trace = chains.trace_of(value)
    content = message.get("content")
    if not isinstance(content, list):
        return  # a plain text message
    content_place = child(child(place, "message"), "content")
    if kind == "user":
        tool_results(content, reading, trace.steps)
        return
    ts = timestamp_seconds(value.get("timestamp"))
    for index, block in enumerate(content):
        block_place = item(content_place, index)
        if not isinstance(block, dict):
            reading.wrong(block_place, 'a content block (an object with "type")', block)
        kind = block.get("type")
        if not isinstance(kind, str) or kind not in _TOOL_USES:
            continue
        if not chains.first_time(trace, block.get("id")):
            continue
        tool = reading.string(block, "name", block_place, "the tool name (a string)")
        made = step(tool, block.get("input"))
        if ts is not None:
            made["ts"] = ts
        trace.steps.append(made)
        trace.step_places.append(shown(block_place))
        reading.called(trace.steps, block.get("id"), made)
