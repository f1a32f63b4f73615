"""Anthropic Messages API transcripts: the tool_use blocks of the assistant messages.

A transcript is a conversation, a list of messages ({"role": "user" |
"assistant", "content": a string or a list of content blocks}), held in a
file as:

- one JSON array of messages, or an object whose "messages" is that array (a
  request body): one trace;
- JSON lines: a line holding a message (a response message included) is part
  of the file's trace; a line holding an array of messages, or an object with
  "messages", is a whole trace of its own.

Every "tool_use" block of an assistant message is a step, its "input" the
step's args, in the order of the blocks (parallel calls stay in their given
order). Calls of server tools and of MCP connector tools ("server_tool_use",
"mcp_tool_use") have the same name and input and are steps too. A user
message's "tool_result" block is the result of the call its "tool_use_id"
names, with its "is_error"; so are the result blocks of server and MCP tools.
An assistant message that also holds OpenAI Chat's "tool_calls" is
ambiguous. Every other block (text, thinking) is dropped.
"""

from __future__ import annotations

from typing import Any

from ostik.formats.conversations import ItemReader, conversation_traces
from ostik.formats.reading import Reading, Source, Step, child, item, read_as, step
from ostik.formats.json_text import JsonSource
from ostik.formats.trace_files import Trace

NAME = "anthropic"

_TOOL_USES = frozenset({"tool_use", "server_tool_use", "mcp_tool_use"})
_CONTENT = "the message content (a string or an array of content blocks)"


def read(source: Source) -> list[list[Step]]:
    """The traces of a Messages API transcript (a path, or parsed JSON), each a list of steps in call order."""
    return read_as(traces_from, NAME, source)


def traces_from(source: JsonSource, reading: Reading) -> list[Trace]:
    return conversation_traces(source, reading, _message, _line_item)


def _line_item(value: dict[str, Any]) -> ItemReader | None:
    return _message if "role" in value else None


def _message(message: Any, place: str, reading: Reading, steps: list[Step], places: list[str]) -> None:
    if not isinstance(message, dict):
        reading.wrong(place, 'a message (an object with "role")', message)
    role = reading.string(message, "role", place, "the role of the message's author (a string)")
    content = reading.member(message, "content", place, _CONTENT)
    if isinstance(content, str):
        return
    content_place = child(place, "content")
    if not isinstance(content, list):
        reading.wrong(content_place, _CONTENT, content)
    if role != "assistant":
        if role == "user":
            tool_results(content, reading, steps)
        return
    if "tool_calls" in message or "function_call" in message:
        reading.ambiguous(place, 'the message holds both OpenAI Chat\'s tool calls and Anthropic content blocks; '
                                 "read in either format, the other's calls would be dropped",
                          ("openai-chat", "anthropic"))
    tool_uses(content, content_place, reading, steps, places)


def tool_uses(content: list[Any], content_place: str, reading: Reading, steps: list[Step], places: list[str]) -> None:
    """The calls among an assistant message's content blocks, and the results that server
    tools give in the same message."""
    for index, block in enumerate(content):
        block_place = item(content_place, index)
        if not isinstance(block, dict):
            reading.wrong(block_place, 'a content block (an object with "type")', block)
        kind = reading.string(block, "type", block_place, "the block's type (a string)")
        if kind in _TOOL_USES:
            tool = reading.string(block, "name", block_place, "the tool name (a string)")
            made = step(tool, block.get("input"))
            steps.append(made)
            places.append(block_place)
            reading.called(steps, block.get("id"), made)
        elif kind.endswith("_tool_result") and "tool_use_id" in block:
            reading.answered(steps, block["tool_use_id"], block.get("content"), block.get("is_error"))


def tool_results(content: list[Any], reading: Reading, steps: list[Step]) -> None:
    """The results a user message's "tool_result" blocks give the calls they name."""
    for block in content:
        if isinstance(block, dict) and block.get("type") == "tool_result":
            reading.answered(steps, block.get("tool_use_id"), block.get("content"), block.get("is_error", False))
