"""Reading agent transcripts in the formats that agent frameworks write.

Each reader turns a transcript into traces, each trace a list of steps in
ostik's own form (``{"tool": name, "args": value}``, "args" left out for a
call without arguments) in call order, ready for ``TraceExplainer.explain``
and ``CoverageAnalyzer.analyze``:

    >>> import ostik.formats
    >>> ostik.formats.read([{"role": "assistant", "tool_calls": [
    ...     {"id": "call_1", "type": "function", "function": {"name": "read_file", "arguments": '{"path": "a.py"}'}}]}])
    [[{'tool': 'read_file', 'args': {'path': 'a.py'}}]]

Formats (see each module for the shapes it accepts):

- ``openai-chat``: OpenAI Chat Completions messages (ostik.formats.openai_chat)
- ``openai-responses``: OpenAI Responses API items (ostik.formats.openai_responses)
- ``anthropic``: Anthropic Messages API messages (ostik.formats.anthropic)
- ``otel``: OpenTelemetry GenAI spans, OTLP/JSON (ostik.formats.otel)
- ``mcp``: JSON-RPC messages of an MCP session (ostik.formats.mcp)
- ``claude-code``: Claude Code session logs (ostik.formats.claude_code)
- ``codex``: Codex CLI rollouts (ostik.formats.codex)
- ``gemini-cli``: Gemini CLI sessions and saved chats (ostik.formats.gemini_cli)
- ``langchain``: LangChain message dumps and LangGraph state snapshots (ostik.formats.langchain)
- ``ostik``: ostik's own steps, as OstikClient writes them (ostik.formats.ostik_steps)

``auto`` (the default) tells the format from the content (ostik.formats.detection),
and refuses a file in none of them. The calls become steps, each with its
result where the transcript has one ("result", and "is_error" where it says);
text, ids and timestamps are dropped. In ostik's own form, the calls a live
guard refused and those that ran unjudged are no steps: ``read_file`` keeps
them beside the steps of each trace (``Trace.refused``, ``Trace.unjudged``; see
ostik.formats.trace_files), and steps that carry a session's key are a trace
per key. A file that is not what its format expects raises TraceFormatError,
naming the file, the line or JSON path, and what was expected there; a call's
arguments that are not valid JSON are kept as text, with a TraceFormatWarning,
and JSON text that cannot be read into a value (nested too deeply) gives
UnreadableArguments, which leaves the call to the policy's on_error.
"""

from __future__ import annotations

from ostik.formats import (anthropic, claude_code, codex, gemini_cli, langchain, mcp, openai_chat, openai_responses,
                           ostik_steps, otel)
from ostik.formats.detection import check_format, detect_source
from ostik.formats.reading import (AmbiguousFormatError, Reader, Source, Step, TraceFormatError, TraceFormatWarning,
                                   collector_paused, json_source, plain_traces, trace_file)
from ostik.formats.trace_files import RefusedAttempt, Trace, TraceFile, UnjudgedCall

__all__ = ["AUTO", "FORMATS", "AmbiguousFormatError", "RefusedAttempt", "Source", "Step", "Trace", "TraceFile",
           "TraceFormatError", "TraceFormatWarning", "UnjudgedCall", "detect", "read", "read_file"]

AUTO = "auto"
_READERS: dict[str, Reader] = {
    module.NAME: module.traces_from for module in (openai_chat, openai_responses, anthropic, otel, mcp, claude_code,
                                                  codex, gemini_cli, langchain, ostik_steps)
}
FORMATS: tuple[str, ...] = tuple(_READERS)
"""The format names, as ``--format`` takes them (besides ``auto``)."""


def read(source: Source, format: str = AUTO) -> list[list[Step]]:
    """The traces of a transcript (a path, or parsed JSON), each a list of steps in call order.

    Warnings are issued as TraceFormatWarning."""
    return plain_traces(_read(source, format))


def read_file(path: str, format: str = AUTO) -> TraceFile:
    """Reads a trace file ("-" is standard input) in the given format, or the one its content shows.

    The result says where each trace and step came from, the warnings, and the
    format it was read in."""
    return _read(path, format)


def detect(source: Source) -> str:
    """The format of a transcript, told from its content; raises AmbiguousFormatError when it does not tell."""
    with collector_paused():
        return detect_source(json_source(source))


def _read(source: Source, format: str) -> TraceFile:
    if format != AUTO and format not in _READERS:
        raise ValueError(f"unknown trace format {format!r}; expected one of: {', '.join((AUTO, *FORMATS))}")
    with collector_paused():
        loaded = json_source(source)
        if format == AUTO:
            chosen = detect_source(loaded)
        else:
            check_format(loaded, format)
            chosen = format
        return trace_file(loaded, _READERS[chosen], chosen)
