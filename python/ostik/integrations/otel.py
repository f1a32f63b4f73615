"""An OpenTelemetry span processor that records the tool calls of GenAI spans as ostik steps.

    from opentelemetry.sdk.trace import TracerProvider
    from ostik.integrations.otel import ToolSpanRecorder

    provider = TracerProvider()
    provider.add_span_processor(ToolSpanRecorder(trace_dir="traces"))

Any framework instrumented with the OpenTelemetry GenAI conventions can then be
recorded. Every span that ends is looked at; a tool call is a span that
carries "gen_ai.tool.name" (the tool), usually one whose
"gen_ai.operation.name" is "execute_tool". Its "gen_ai.tool.call.arguments"
(recorded by instrumentations only when content capture is on) become the
step's args: JSON text is parsed, text that is not JSON is kept as text, and
empty text means no args. The step, ``{"tool": ..., "args": ...}``, is
appended as one JSON line through ``ostik.OstikClient``, and flushed.

Where: ``trace_dir`` writes each OpenTelemetry trace (an agent run, when the
framework opens a span for the run) to ``<trace id>.jsonl`` in that directory,
the trace id in 32 lowercase hex digits, as OTLP/JSON exports write it.
``trace_file`` is one path for every trace, which suits a process running one
agent run, or a function of the trace id giving the path (``None`` for a trace
not to record). Files are opened for appending as their traces' calls come,
and at most 32 stay open.

This is what ``ostik.formats`` reads from an OTLP/JSON export of the same spans
(``--format otel``), but for the order: a recorder sees a span only when it
ends, so the calls are in the order they ended, which is the order they started
unless calls ran at the same time.

A span processor must not fail the code that ends the span: spans that cannot
be recorded (an "execute_tool" span naming no tool, a tool name that is not a
string, a file that cannot be written) are reported through the logger
"ostik.integrations.otel" and left out.
"""

from __future__ import annotations

import logging
import os
import threading
from collections import OrderedDict
from collections.abc import Sequence
from typing import Any

try:
    from opentelemetry.context import Context
    from opentelemetry.sdk.trace import ReadableSpan, Span, SpanProcessor
except ImportError as error:
    raise ImportError("ostik.integrations.otel needs the OpenTelemetry SDK: pip install 'ostik[otel]'") from error

from ostik._engine import UnreadableArguments
from ostik._native import OstikClient
from ostik.integrations.runs import TraceFile, TracePaths, call_arguments

__all__ = ["ToolSpanRecorder", "tool_step"]

OPERATION = "gen_ai.operation.name"
TOOL_NAME = "gen_ai.tool.name"
ARGUMENTS = "gen_ai.tool.call.arguments"
EXECUTE_TOOL = "execute_tool"

OPEN_FILES = 32

logger = logging.getLogger(__name__)


def tool_step(span: ReadableSpan) -> dict[str, Any] | None:
    """The span's tool call as an ostik step, or None when the span is no tool call.

    Raises ValueError for a span that is a tool call but names no tool."""
    attributes = span.attributes or {}
    tool = attributes.get(TOOL_NAME)
    if tool is None:
        if attributes.get(OPERATION) == EXECUTE_TOOL:
            raise ValueError(f'an {EXECUTE_TOOL} span without "{TOOL_NAME}"')
        return None
    if not isinstance(tool, str):
        raise ValueError(f'"{TOOL_NAME}" is not a string: {tool!r}')
    arguments = attributes.get(ARGUMENTS)
    args: Any = arguments
    if isinstance(arguments, str):
        args = call_arguments(arguments)
        if isinstance(args, UnreadableArguments):
            # Recorded as a call that could not be judged, rather than lost for want of its arguments.
            return {"tool": tool, "unjudged": args.problem}
    elif isinstance(arguments, Sequence):
        args = list(arguments)
    return {"tool": tool} if args is None else {"tool": tool, "args": args}


class ToolSpanRecorder(SpanProcessor):
    """Appends the tool call of every ended GenAI tool span to a trace file.

    Give ``trace_dir`` (a file per trace id) or ``trace_file`` (a path, or a
    function of the trace id giving one)."""

    def __init__(self, trace_file: TraceFile | None = None, *,
                 trace_dir: str | os.PathLike[str] | None = None) -> None:
        self.trace_path = TracePaths(trace_file, trace_dir)
        if not self.trace_path:
            raise ValueError("give trace_file or trace_dir: where to record the calls")
        self._clients: OrderedDict[str, OstikClient] = OrderedDict()
        self._lock = threading.Lock()
        self._shut = False

    def on_start(self, span: Span, parent_context: Context | None = None) -> None:
        pass

    def on_end(self, span: ReadableSpan) -> None:
        if self._shut:
            return
        try:
            step = tool_step(span)
        except ValueError as error:
            logger.warning("span %r not recorded: %s", span.name, error)
            return
        if step is None:
            return
        context = span.context
        trace_id = format(context.trace_id if context is not None else 0, "032x")
        try:
            path = self.trace_path(trace_id)
            if path is None:
                return
            with self._lock:
                self._client(path).record_trace(step)
        except Exception:
            logger.exception("tool call of span %r (trace %s) not recorded", span.name, trace_id)

    def _client(self, path: str) -> OstikClient:
        """The open file at ``path``; the one used longest ago is closed past OPEN_FILES."""
        client = self._clients.get(path)
        if client is None:
            client = self._clients[path] = OstikClient(path)
            if len(self._clients) > OPEN_FILES:
                self._clients.popitem(last=False)
        else:
            self._clients.move_to_end(path)
        return client

    def shutdown(self) -> None:
        """Closes the files; spans that end afterwards are not recorded."""
        with self._lock:
            self._shut = True
            self._clients.clear()

    def force_flush(self, timeout_millis: int = 30000) -> bool:
        # Every call is flushed as it is written.
        return True
