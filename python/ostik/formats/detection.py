"""Telling a transcript's format from its content.

Each record of a file (its document, each element of a top-level array, each
line) is matched against the marks that only some formats leave: "jsonrpc"
(mcp), "resourceSpans" (otel), an item "type" such as "function_call"
(openai-responses), "tool_calls" or a "tool" role (openai-chat), "tool_use"
content blocks (anthropic), "parentUuid" (claude-code), a "payload" under a
rollout line's "type" (codex), a "projectHash" or "gemini" messages
(gemini-cli), a message's "type" and "data" (langchain), a tool name under
"tool", "name" or "tool_name" (ostik). A record that fits one format only
decides; a record that fits several (a user message with plain text is the
same in three formats) narrows the choice. A file whose records decide for two
formats, or that is left with more than one, is ambiguous, and so is a single
record that holds the marks of two formats (a message with both "tool_calls"
and a "tool_use" block): reading it in either would drop the other's calls.

A file is taken as ostik's own steps only when every record that has any keys
names a tool; anything else is in no format ostik reads, and says so with
what its first record looks like, rather than becoming calls of 'unknown'.
A format named on the command line is checked the same way: a file whose
records decide only for other formats is refused, naming the one it looks like.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
import json
from typing import Any, NoReturn

from ostik.formats.reading import AmbiguousFormatError, TraceFormatError
from ostik.formats.json_text import JsonSource, kind_of

CHAT, RESPONSES, ANTHROPIC, OTEL, MCP, OSTIK = "openai-chat", "openai-responses", "anthropic", "otel", "mcp", "ostik"
CLAUDE_CODE, CODEX, GEMINI, LANGCHAIN = "claude-code", "codex", "gemini-cli", "langchain"
ORDER = (CHAT, RESPONSES, ANTHROPIC, OTEL, MCP, CLAUDE_CODE, CODEX, GEMINI, LANGCHAIN, OSTIK)

# The "type" of each line of a Codex rollout, whose "payload" holds the rest.
_CODEX_LINES = frozenset({"session_meta", "response_item", "event_msg", "turn_context", "compacted"})
# LangChain's message types, as messages_to_dict names them.
_LANGCHAIN_TYPES = frozenset({"human", "ai", "system", "tool", "function", "chat", "remove", "developer"})
# The blocks that are calls in an Anthropic message, and the keys that are calls in a Chat one.
_ANTHROPIC_CALLS = frozenset({"tool_use", "server_tool_use", "mcp_tool_use"})
_CHAT_CALLS = ("tool_calls", "function_call")


def _text(value: Any) -> str | None:
    return value if isinstance(value, str) else None


class _TwoFormats(Exception):
    """A record with the marks of two formats."""

    def __init__(self, formats: tuple[str, ...], why: str) -> None:
        super().__init__(why)
        self.formats = formats
        self.why = why

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


class _Survey:
    """What a file's records say of its format: the formats they decide for (with the place
    of the first record deciding each), what the undecided ones leave, and the first record
    that has keys but names no tool."""

    def __init__(self, source: JsonSource, enough: str | None = None) -> None:
        """`enough`: a format whose first deciding record ends the survey (all a check needs)."""
        self.decided: dict[str, str] = {}
        self.remaining: frozenset[str] | None = None
        self.first: tuple[str, Any] | None = None
        self.unnamed: tuple[str, Any] | None = None
        self.two: tuple[str, _TwoFormats] | None = None
        for where, value in _records(source):
            if self.first is None:
                self.first = (_place(source, where), value)
            try:
                marks = _marks(value)
            except _TwoFormats as both:
                if self.two is None:
                    self.two = (_place(source, where), both)
                continue
            if marks is _OSTIK_ONLY:
                if OSTIK not in self.decided:
                    self.decided[OSTIK] = _place(source, where)
                    if enough == OSTIK:
                        return
                continue
            if self.unnamed is None and _unnamed(value):
                self.unnamed = (_place(source, where), value)
            if len(marks) == 1:
                (fmt,) = marks
                if fmt not in self.decided:
                    self.decided[fmt] = _place(source, where)
                    if fmt == enough:
                        return
            elif marks:
                self.remaining = marks if self.remaining is None else self.remaining & marks or self.remaining | marks


def _unnamed(value: Any) -> bool:
    """A record with keys that is no step of ostik's (an array's elements are its records)."""
    if isinstance(value, list):
        return any(_unnamed(element) for element in value if not isinstance(element, list))
    # A value that is no object at all is left to the reader, which says what it expected there.
    return isinstance(value, dict) and bool(value) and not _names_tool(value) and not _is_result_line(value)


def _is_result_line(value: dict[str, Any]) -> bool:
    """A live session's line with the result of an earlier step: part of an ostik trace, deciding nothing."""
    return "result_of" in value and "result" in value


def _names_tool(value: dict[str, Any]) -> bool:
    return "tool" in value or "tool_name" in value or type(value.get("name")) is str


def detect_source(source: JsonSource) -> str:
    """The format of a file read as JSON; raises AmbiguousFormatError when the content does not
    tell, and TraceFormatError when it is in no format ostik reads."""
    survey = _Survey(source)
    name = source.name or "the value"
    if survey.two is not None:
        where, both = survey.two
        raise AmbiguousFormatError(f"{_at(name, where)}: cannot tell the format: {both.why}", both.formats)
    decided = survey.decided
    if len(decided) == 1:
        fmt = next(iter(decided))
        if fmt != OSTIK or survey.unnamed is None:
            return fmt
        _no_format(name, *survey.unnamed)
    if decided:
        found = sorted(decided, key=ORDER.index)
        described = " and ".join(f"{fmt} ({decided[fmt]})" if decided[fmt] else fmt for fmt in found)
        raise AmbiguousFormatError(f"{name}: cannot tell the format: it holds records of {described}",
                                   tuple(found))
    remaining = survey.remaining
    if remaining is None:
        if survey.unnamed is not None:
            _no_format(name, *survey.unnamed)
        return OSTIK  # no records, or only empty ones: an agent that called nothing
    if len(remaining) == 1:
        return next(iter(remaining))
    candidates = tuple(sorted(remaining, key=ORDER.index))
    raise AmbiguousFormatError(
        f"{name}: cannot tell the format: it could be {', '.join(candidates[:-1])} or {candidates[-1]}", candidates)


def check_format(source: JsonSource, fmt: str) -> None:
    """Refuses a file named to be in `fmt` whose records say it is not: records that decide
    only for other formats, or (for ostik) none that names a tool."""
    survey = _Survey(source, enough=fmt)
    name = source.name or "the value"
    if fmt in survey.decided:
        return
    others = sorted(survey.decided, key=ORDER.index)
    if others:
        other = others[0]
        raise TraceFormatError(f"{_at(name, survey.decided[other])}: no record of the file is in format {fmt}: "
                               f"this record looks like {other} (read it with --format {other}, or auto)")
    if fmt == OSTIK and survey.unnamed is not None:
        where, value = survey.unnamed
        raise TraceFormatError(f"{_at(name, where)}: no record of the file is a step in format ostik (an object "
                               f"with a tool name under \"tool\", \"name\" or \"tool_name\"): this record is "
                               f"{describe_record(value)}")


def _no_format(name: str, where: str, value: Any) -> NoReturn:
    raise TraceFormatError(f"{_at(name, where)}: in no format ostik reads: this first record that is not a step is "
                           f"{describe_record(value)}; ostik reads {', '.join(ORDER)}")


def _at(name: str, where: str) -> str:
    return f"{name}: {where}" if where else name


def describe_record(value: Any) -> str:
    """What a record looks like, in a few words: 'an object with "type": "summary" and keys "leafUuid", ...'."""
    if isinstance(value, list):
        return f"an array of {len(value)} value{'' if len(value) == 1 else 's'}"
    if not isinstance(value, dict):
        return kind_of(value)
    if not value:
        return "an empty object"
    kind = value.get("type")
    head = f'"type": {json.dumps(kind[:40], ensure_ascii=False)}' if isinstance(kind, str) else ""
    keys = [key for key in value if key != "type" or not head]
    shown_keys = ", ".join(json.dumps(key[:40], ensure_ascii=False) for key in keys[:5])
    more = f" and {len(keys) - 5} more" if len(keys) > 5 else ""
    if head and keys:
        return f"an object with {head} and keys {shown_keys}{more}"
    return f"an object with {head}" if head else f"an object with keys {shown_keys}{more}"


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
        return _OSTIK_ONLY
    kind = value.get("type")
    if not isinstance(kind, str):
        kind = None  # a list or object is no type, and no key of a set
    if "payload" in value and kind in _CODEX_LINES:
        return frozenset({CODEX})
    if "parentUuid" in value or "leafUuid" in value or ("isSidechain" in value and "message" in value):
        return frozenset({CLAUDE_CODE})
    if ("projectHash" in value or "$set" in value or (kind == "gemini" and "role" not in value)
            or ("parts" in value and "role" in value)):
        return frozenset({GEMINI})
    if _is_langchain_message(value):
        return frozenset({LANGCHAIN})
    values = value.get("values")
    if isinstance(values, dict) and isinstance(values.get("messages"), list):
        return _marks(values)  # a LangGraph state snapshot
    if "messages" in value and isinstance(value["messages"], list):
        if "system" in value:  # a top-level system prompt is Anthropic's request body
            return frozenset({ANTHROPIC})
        messages = _combined(_message_marks(m) for m in value["messages"])
        if messages == {LANGCHAIN}:
            return messages
        return (messages & _CONVERSATION) or _CONVERSATION
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
    if type(value.get("name")) is str:
        return _OSTIK_ONLY
    return _NOTHING


def _is_langchain_message(value: dict[str, Any]) -> bool:
    """A message as messages_to_dict writes it ({"type": "ai", "data": {...}}), as LangChain
    serializes it ({"lc": 1, "type": "constructor", "id": [..., "AIMessage"], ...}), or as
    model_dump() gives it (its "type" beside "content", with no "role")."""
    kind = value.get("type")
    if not isinstance(kind, str):
        return False
    if kind in _LANGCHAIN_TYPES or kind.endswith("MessageChunk"):
        return isinstance(value.get("data"), dict) or ("content" in value and "role" not in value)
    return kind == "constructor" and "lc" in value and isinstance(value.get("id"), list) and "kwargs" in value


def _message_marks(message: Any) -> frozenset[str]:
    if not isinstance(message, dict):
        return _NOTHING
    if _is_langchain_message(message):
        return frozenset({LANGCHAIN})
    if "parts" in message and "role" in message:
        return frozenset({GEMINI})  # a content of the Gemini API
    role = message.get("role")
    content = message.get("content")
    if any(key in message for key in _CHAT_CALLS):
        if isinstance(content, list) and any(isinstance(part, dict) and _text(part.get("type")) in _ANTHROPIC_CALLS
                                             for part in content):
            key = "tool_calls" if "tool_calls" in message else "function_call"
            raise _TwoFormats((CHAT, ANTHROPIC), f'a message holds both OpenAI Chat\'s "{key}" and an Anthropic '
                                                 f'"tool_use" block, and reading it in either format would drop '
                                                 f'the other\'s calls')
        return frozenset({CHAT})
    if "tool_call_id" in message or role in ("tool", "function"):
        return frozenset({CHAT})
    if message.get("type") == "message":
        allowed = frozenset({RESPONSES, ANTHROPIC})
    elif role in ("system", "developer"):
        allowed = frozenset({CHAT, RESPONSES})
    else:
        allowed = _ANY_MESSAGE
    if isinstance(content, list):
        parts = _combined(_part_marks(part) for part in content)
        allowed = (allowed & parts) or (parts if len(parts) == 1 else allowed)
    return allowed


def _part_marks(part: Any) -> frozenset[str]:
    kind = part.get("type") if isinstance(part, dict) else None
    return _PARTS.get(kind, _NOTHING) if isinstance(kind, str) else _NOTHING
