"""Codex CLI rollouts: the tool calls among the response items of a session, as Codex saves it.

A rollout is a JSON-lines file (``~/.codex/sessions/YYYY/MM/DD/rollout-*.jsonl``)
whose every line is {"timestamp": ..., "type": ..., "payload": {...}}: a
"session_meta" line first, then "turn_context", "event_msg" (what the terminal
shows) and "response_item" lines (what the model sees), interleaved. The whole
file is one trace.

The calls are the "response_item" payloads, items of the OpenAI Responses API:
a "function_call" is a step named by its "name" ("shell", "exec_command",
"update_plan", an MCP tool's name), with its "arguments" (JSON text) parsed
into the args as for the Responses API; a "custom_tool_call" (such as
"apply_patch") has its free-text "input" as the args; a "local_shell_call" is
a step of the tool "local_shell" whose args are its "action" ({"type": "exec",
"command": [...], ...}). The "function_call_output" or
"custom_tool_call_output" with a call's "call_id" is its result; an output
whose metadata gives an exit code says "is_error" by it. The event lines repeat
what the items say, for the screen, and are dropped with everything else.
"""

from __future__ import annotations

import json
from typing import Any

from ostik.formats.reading import (Reading, Source, Step, child, read_as, records, shown, step,
                                   timestamp_seconds)
from ostik.formats.json_text import JsonSource
from ostik.formats.trace_files import Trace

NAME = "codex"

LOCAL_SHELL = "local_shell"
_LINE = 'a line of a Codex rollout (an object with "type" and "payload")'
_OUTPUTS = frozenset({"function_call_output", "custom_tool_call_output", "local_shell_call_output"})


def read(source: Source) -> list[list[Step]]:
    """The traces of a Codex CLI rollout (a path, or parsed JSON), each a list of steps in call order."""
    return read_as(traces_from, NAME, source)


def traces_from(source: JsonSource, reading: Reading) -> list[Trace]:
    trace = Trace(source.name, [])
    for value, place in records(source, reading, "a Codex rollout (JSON lines, or an array of its lines)"):
        _line(value, place, reading, trace)
    return [trace]


def _line(value: Any, place: str, reading: Reading, trace: Trace) -> None:
    if not isinstance(value, dict) or "type" not in value:
        reading.wrong(place, _LINE, value)
    if value["type"] != "response_item":
        return
    payload_place = child(place, "payload")
    payload = reading.member(value, "payload", place, 'a response item (an object with "type")')
    if not isinstance(payload, dict):
        reading.wrong(payload_place, 'a response item (an object with "type")', payload)
    kind = payload.get("type")
    if not isinstance(kind, str):
        return  # an item of no type calls nothing
    steps = trace.steps
    if kind == "function_call":
        tool = reading.string(payload, "name", payload_place, "the tool name (a string)")
        arguments = payload.get("arguments")
        if isinstance(arguments, str):
            arguments = reading.arguments(arguments, child(payload_place, "arguments"))
        made = step(tool, arguments)
    elif kind == "custom_tool_call":
        tool = reading.string(payload, "name", payload_place, "the tool name (a string)")
        made = step(tool, payload.get("input"))
    elif kind == "local_shell_call":
        made = step(LOCAL_SHELL, payload.get("action"))
    elif kind in _OUTPUTS:
        output = payload.get("output")
        reading.answered(steps, payload.get("call_id"), output, _failed(output))
        return
    else:
        return
    ts = timestamp_seconds(value.get("timestamp"))
    if ts is not None:
        made["ts"] = ts
    steps.append(made)
    trace.step_places.append(shown(payload_place))
    reading.called(steps, payload.get("call_id") or payload.get("id"), made)


def _failed(output: Any) -> bool | None:
    """Whether an output says its command failed: the exit code in its metadata, when it has one."""
    if isinstance(output, str) and output.startswith("{"):
        try:
            output = json.loads(output)
        except (ValueError, RecursionError):
            return None
    if isinstance(output, dict):
        metadata = output.get("metadata")
        code = metadata.get("exit_code") if isinstance(metadata, dict) else None
        if isinstance(code, int) and not isinstance(code, bool):
            return code != 0
        success = output.get("success")
        if isinstance(success, bool):
            return not success
    return None
