"""What the message-transcript formats (openai-chat, anthropic) share: how a file holds conversations.

A conversation is a list of messages, held in a file as one JSON array of
messages or an object whose "messages" is that array (one trace), or as JSON
lines: a line holding an array of messages, or an object with "messages", is a
whole trace of its own; a line holding one message (or whatever else the
format takes as a line of the file's trace) is part of the file's one trace.
Each format reads its own messages into steps.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from ostik.formats.reading import Reading, Step, child, item, line_place
from ostik.formats.json_text import JsonSource
from ostik.formats.trace_files import Trace

__all__ = ["CONVERSATION", "ItemReader", "conversation", "conversation_traces"]

CONVERSATION = 'an array of messages, an object with "messages" or a message (an object with "role")'

# Reads one message (or line item) at a place into the steps and their places.
ItemReader = Callable[[Any, str, Reading, list[Step], list[str]], None]


def conversation(value: Any, reading: Reading, message: ItemReader, place: str = "") -> tuple[list[Step], list[str]]:
    """The steps (and their places) of a conversation: an array of messages, an object with
    "messages", or one message."""
    steps: list[Step] = []
    places: list[str] = []
    if isinstance(value, dict):
        if "messages" in value:
            place = child(place, "messages")
            value = value["messages"]
            if not isinstance(value, list):
                reading.wrong(place, "an array of messages", value)
        elif "role" in value:
            message(value, place, reading, steps, places)
            return steps, places
        else:
            reading.wrong(place, CONVERSATION, value)
    elif not isinstance(value, list):
        reading.wrong(place, CONVERSATION, value)
    for index, entry in enumerate(value):
        message(entry, item(place, index), reading, steps, places)
    return steps, places


def conversation_traces(source: JsonSource, reading: Reading, message: ItemReader,
                        line_item: Callable[[dict[str, Any]], ItemReader | None]) -> list[Trace]:
    """The traces of a file of conversations. `line_item` gives the reader of a JSON line
    that is part of the file's trace (a message, say), or None for a line that is not."""
    name = source.name
    if source.lines is None:
        steps, places = conversation(source.document, reading, message)
        return [Trace(name, steps, step_places=places)]
    traces: list[Trace] = []
    file_trace: Trace | None = None
    for number, value in source.lines:
        place = line_place(number)
        if isinstance(value, list) or (isinstance(value, dict) and "messages" in value):
            steps, places = conversation(value, reading, message, place)
            traces.append(Trace(name, steps, line=number, step_places=places))
            continue
        read_item = line_item(value) if isinstance(value, dict) else None
        if read_item is None:
            reading.wrong(place, CONVERSATION, value)
        if file_trace is None:
            file_trace = Trace(name, [])
            traces.append(file_trace)
        read_item(value, place, reading, file_trace.steps, file_trace.step_places)
    return traces or [Trace(name, [])]
