"""Telling a transcript's format from its content.

Each record of a file (its document, each element of a top-level array, each
line) is matched against the marks that only some formats leave: "jsonrpc"
(mcp), "resourceSpans" (otel), an item "type" such as "function_call"
(openai-responses), "tool_calls" or a "tool" role (openai-chat), "tool_use"
content blocks (anthropic), a "tool" key (ostik). A record that fits one
format only decides; a record that fits several (a user message with plain
text is the same in three formats) narrows the choice. A file whose records
decide for two formats, or that is left with more than one, is ambiguous; a
file with no mark at all is taken as ostik's own form, as it always was.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import Any

from ostik.formats.reading import AmbiguousFormatError
from ostik.formats.json_text import JsonSource

CHAT, RESPONSES, ANTHROPIC, OTEL, MCP, OSTIK = "openai-chat", "openai-responses", "anthropic", "otel", "mcp", "ostik"
ORDER = (CHAT, RESPONSES, ANTHROPIC, OTEL, MCP, OSTIK)

_ANY_MESSAGE = frozenset({CHAT, RESPONSES, ANTHROPIC})
_CONVERSATION = frozenset({CHAT, ANTHROPIC})
_NOTHING: frozenset[str] = frozenset()

_RESPONSES_ITEMS = frozenset({
    "function_call", "function_call_output", "custom_tool_call", "custom_tool_call_output", "reasoning",
    "mcp_call", "mcp_list_tools", "mcp_approval_request", "mcp_approval_response", "web_search_call",
    "file_search_call", "computer_call", "computer_call_output", "code_interpreter_call", "image_generation_call",
    "local_shell_call", "local_shell_call_output", "item_reference",
})
# The formats in which a content part or block of each type occurs.
_PARTS = {
    "text": _CONVERSATION,
    "image_url": frozenset({CHAT}),
    "file": frozenset({CHAT}),
    "refusal": frozenset({CHAT, RESPONSES}),
    "input_audio": frozenset({CHAT, RESPONSES}),
    **dict.fromkeys(("input_text", "output_text", "input_image", "input_file", "summary_text"),
                    frozenset({RESPONSES})),
    **dict.fromkeys(("tool_use", "tool_result", "thinking", "redacted_thinking", "server_tool_use", "mcp_tool_use",
                     "mcp_tool_result", "web_search_tool_result", "image", "document", "search_result"),
                    frozenset({ANTHROPIC})),
}
_STEP_KEYS = frozenset({"tool", "name", "tool_name", "args", "params", "arguments"})


def detect_source(source: JsonSource) -> str:
    """The format of a file read as JSON; raises AmbiguousFormatError when the content does not tell."""
    decided: dict[str, str] = {}
    remaining: frozenset[str] | None = None
    for where, value in _records(source):
        marks = _marks(value)
        if len(marks) == 1:
            (fmt,) = marks
            if fmt not in decided:
                decided[fmt] = _place(source, where)
        elif marks:
            remaining = marks if remaining is None else remaining & marks or remaining | marks
    if len(decided) == 1:
        return next(iter(decided))
    name = source.name or "the value"
    if decided:
        found = sorted(decided, key=ORDER.index)
        described = " and ".join(f"{fmt} ({decided[fmt]})" if decided[fmt] else fmt for fmt in found)
        raise AmbiguousFormatError(f"{name}: cannot tell the format: it holds records of {described}",
                                   tuple(found))
    if remaining is None:
        return OSTIK
    if len(remaining) == 1:
        return next(iter(remaining))
    candidates = tuple(sorted(remaining, key=ORDER.index))
    raise AmbiguousFormatError(
        f"{name}: cannot tell the format: it could be {', '.join(candidates[:-1])} or {candidates[-1]}", candidates)


_OSTIK_ONLY = frozenset({OSTIK})


def _is_ostik_step(value: Any) -> bool:
    """A step of ostik's own form, by far the most common record: what _marks() decides
    for it, without the checks for the other formats' marks that it lacks."""
    return type(value) is dict and "tool" in value and "jsonrpc" not in value and "resourceSpans" not in value


def _records(source: JsonSource) -> Iterator[tuple[int | None, Any]]:
    """Each record with its line number or array index (None for the whole document)."""
    if source.lines is not None:
        yield from source.lines
    elif isinstance(source.document, list):
        yield from enumerate(source.document)
    else:
        yield None, source.document


def _place(source: JsonSource, where: int | None) -> str:
    if where is None:
        return ""
    return f"line {where}" if source.lines is not None else f"[{where}]"


def _combined(marks: Iterable[frozenset[str]]) -> frozenset[str]:
    """What a group of values says together: the formats some decide for, else what all of them allow."""
    decided: set[str] = set()
    remaining: frozenset[str] | None = None
    for mark in marks:
        if len(mark) == 1:
            decided |= mark
        elif mark:
            remaining = mark if remaining is None else remaining & mark or remaining
    if decided:
        return frozenset(decided)
    return remaining or _NOTHING


def _marks(value: Any) -> frozenset[str]:
    """The formats a record can belong to; empty when it says nothing."""
    if _is_ostik_step(value):
        return _OSTIK_ONLY
    if isinstance(value, list):
        # An array of records (a trace line, a batch): its elements are objects, never arrays again.
        if value and all(type(e) is dict and "tool" in e and "jsonrpc" not in e and "resourceSpans" not in e
                         for e in value):  # a trace of ostik's own steps (_is_ostik_step, inlined)
            return _OSTIK_ONLY
        return _combined(_marks(element) for element in value if isinstance(element, dict))
    if not isinstance(value, dict):
        return _NOTHING
    if "jsonrpc" in value:
        return frozenset({MCP})
    if "resourceSpans" in value:
        return frozenset({OTEL})
    if "tool" in value or "tool_name" in value:
        return frozenset({OSTIK})
    kind = value.get("type")
    if "messages" in value and isinstance(value["messages"], list):
        if "system" in value:  # a top-level system prompt is Anthropic's request body
            return frozenset({ANTHROPIC})
        return (_combined(_message_marks(m) for m in value["messages"]) & _CONVERSATION) or _CONVERSATION
    if "role" in value or kind == "message":
        return _message_marks(value)
    if isinstance(kind, str):
        if kind in _RESPONSES_ITEMS:
            return frozenset({RESPONSES})
        if kind == "function" and isinstance(value.get("function"), dict):
            return frozenset({CHAT})  # a single Chat Completions tool call
        return _NOTHING
    if isinstance(value.get("output"), list) or value.get("object") == "response":
        return frozenset({RESPONSES})
    if isinstance(value.get("function"), dict):
        return frozenset({CHAT})
    if value and value.keys() <= _STEP_KEYS or "name" in value:
        return frozenset({OSTIK})
    return _NOTHING


def _message_marks(message: Any) -> frozenset[str]:
    if not isinstance(message, dict):
        return _NOTHING
    role = message.get("role")
    if "tool_calls" in message or "function_call" in message or "tool_call_id" in message or role in ("tool", "function"):
        return frozenset({CHAT})
    if message.get("type") == "message":
        allowed = frozenset({RESPONSES, ANTHROPIC})
    elif role in ("system", "developer"):
        allowed = frozenset({CHAT, RESPONSES})
    else:
        allowed = _ANY_MESSAGE
    content = message.get("content")
    if isinstance(content, list):
        parts = _combined(_part_marks(part) for part in content)
        allowed = (allowed & parts) or (parts if len(parts) == 1 else allowed)
    return allowed


def _part_marks(part: Any) -> frozenset[str]:
    kind = part.get("type") if isinstance(part, dict) else None
    return _PARTS.get(kind, _NOTHING) if isinstance(kind, str) else _NOTHING
