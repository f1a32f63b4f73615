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
empty text means no args; its "gen_ai.tool.call.result" is the step's result,
and a span whose status is an error (or that has "error.type") has
``"is_error": true``. The step, ``{"tool": ..., "args": ..., "result": ...}``,
is appended as one JSON line through ``ostik.OstikClient``, and flushed (with
``guard=``, as the guards write it: the step line, then the result's line).

Where: ``trace_dir`` writes each session to a file of its own, ``<key>.jsonl``
in that directory. With ``scope="run"`` (the default) a session is an
OpenTelemetry trace (an agent run, when the framework opens a span for the
run), its key the trace id in 32 lowercase hex digits, as OTLP/JSON exports
write it; with ``scope="thread"`` it is the conversation, the span's
"gen_ai.conversation.id" (the trace id for a span without one). ``trace_file``
is one path for every session, each line carrying its session's key
(``"session": KEY``), which ostik's readers split into one trace per key; or a
function of the key giving the path (``None`` for a session not to record).
Files are opened for appending as their sessions' calls come, and at most 32
stay open. A span carrying "gen_ai.tool.call.id" is recorded once per id
(among the last 4,096), however often it ends up here.

``guard=`` also judges each recorded call in an observe session of its key
(``store=`` keeps those sessions, as for the guards; a trace's session is
forgotten when its root span ends), and hands the call's result to the
session, for the policy's flows: a recorder sees calls that have already run,
so it refuses nothing, and logs each call that the policy blocks as a warning
on the logger "ostik".

This is what ``ostik.formats`` reads from an OTLP/JSON export of the same spans
(``--format otel``), but for the order: a recorder sees a span only when it
ends, so the calls are in the order they ended, which is the order they started
unless calls ran at the same time. ``OtlpJsonLinesExporter`` writes such an
export itself: every finished span as OTLP/JSON, a line per batch.

A span processor must not fail the code that ends the span: spans that cannot
be recorded (an "execute_tool" span naming no tool, a tool name that is not a
string, a file that cannot be written) are reported through the logger
"ostik.integrations.otel" and left out.
"""

from __future__ import annotations

import json
import logging
import os
import threading
from collections import OrderedDict
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

try:
    from opentelemetry.context import Context
    from opentelemetry.sdk.trace import ReadableSpan, Span, SpanProcessor
    from opentelemetry.sdk.trace.export import SpanExporter, SpanExportResult
    from opentelemetry.trace import StatusCode
except ImportError as error:
    raise ImportError("ostik.integrations.otel needs the OpenTelemetry SDK: pip install 'ostik[otel]'") from error

from ostik._engine import Guard, UnreadableArguments
from ostik._native import Policy
from ostik.integrations.otlp_json import export_request
from ostik.integrations.runs import (REMEMBERED_IDS, SCOPES, GuardedRuns, Scope, TraceFile, TracePaths, TraceWriter,
                                     call_arguments)

if TYPE_CHECKING:
    from ostik import SessionStore

__all__ = ["OtlpJsonLinesExporter", "ToolSpanRecorder", "tool_step"]

OPERATION = "gen_ai.operation.name"
TOOL_NAME = "gen_ai.tool.name"
ARGUMENTS = "gen_ai.tool.call.arguments"
CALL_ID = "gen_ai.tool.call.id"
CONVERSATION = "gen_ai.conversation.id"
RESULT = "gen_ai.tool.call.result"
ERROR_TYPE = "error.type"
EXECUTE_TOOL = "execute_tool"

logger = logging.getLogger(__name__)

# Read once: a member looked up on its enum class at every span costs more than the rest of its status.
_UNSET, _ERROR, _OK = StatusCode.UNSET, StatusCode.ERROR, StatusCode.OK


def tool_step(span: ReadableSpan) -> dict[str, Any] | None:
    """The span's tool call as an ostik step, or None when the span is no tool call.

    Raises ValueError for a span that is a tool call but names no tool."""
    return _tool_step(span.attributes or {}, span)


def _tool_step(attributes: Mapping[str, Any], span: ReadableSpan | None = None) -> dict[str, Any] | None:
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
    step: dict[str, Any] = {"tool": tool} if args is None else {"tool": tool, "args": args}
    result = attributes.get(RESULT)
    if result is not None:
        step["result"] = result if isinstance(result, str) or not isinstance(result, Sequence) else list(result)
    status = span.status.status_code if span is not None and span.status is not None else _UNSET
    if status is _ERROR or ERROR_TYPE in attributes:
        step["is_error"] = True
    elif status is _OK:
        step["is_error"] = False
    return step


def _attributes_of(span: ReadableSpan) -> Mapping[str, Any]:
    """The span's attributes, read once.

    The SDK's ``span.attributes`` is a new read-only view of its bounded mapping at
    every read, and every lookup in that mapping runs Python code; a finished span's
    attributes change no more, so its plain dict is read where the SDK keeps one."""
    held = getattr(span, "_attributes", None)
    plain = getattr(held, "_dict", held)
    if type(plain) is dict:
        return plain
    return span.attributes or {}


class ToolSpanRecorder(SpanProcessor):
    """Appends the tool call of every ended GenAI tool span to its session's trace file.

    Give ``trace_dir`` (a file per session) or ``trace_file`` (one path, or a
    function of the session's key giving one). ``scope`` is "run" (a session
    per trace id) or "thread" (per "gen_ai.conversation.id"). ``guard``
    judges the calls in observe sessions, kept in ``store`` when given."""

    def __init__(self, trace_file: TraceFile | None = None, *,
                 trace_dir: str | os.PathLike[str] | None = None, scope: Scope = "run",
                 guard: Guard | Policy | None = None, store: SessionStore | None = None) -> None:
        if scope not in SCOPES:
            raise ValueError(f"scope must be 'run' or 'thread', not {scope!r}")
        self.trace_path = TracePaths(trace_file, trace_dir)
        if not self.trace_path:
            raise ValueError("give trace_file or trace_dir: where to record the calls")
        self.scope = scope
        self.runs = None if guard is None else GuardedRuns(guard, mode="observe", scope=scope, store=store,
                                                           trace_file=trace_file, trace_dir=trace_dir)
        self._writer = TraceWriter(self.trace_path)
        self._seen: OrderedDict[str, None] = OrderedDict()
        self._lock = threading.Lock()
        self._shut = False
        self._last_trace: tuple[int, str] = (-1, "")

    def on_start(self, span: Span, parent_context: Context | None = None) -> None:
        pass

    def session_key(self, span: ReadableSpan, attributes: Mapping[str, Any] | None = None) -> str:
        """The key of the session that the span's call belongs to."""
        if self.scope == "thread":
            conversation = (attributes if attributes is not None else span.attributes or {}).get(CONVERSATION)
            if isinstance(conversation, str) and conversation:
                return conversation
        context = span.context
        return format(context.trace_id if context is not None else 0, "032x")

    def _key_of(self, span: ReadableSpan, attributes: Mapping[str, Any]) -> str:
        if self.scope == "thread":
            conversation = attributes.get(CONVERSATION)
            if isinstance(conversation, str) and conversation:
                return conversation
        context = span.context
        trace_id = context.trace_id if context is not None else 0
        # The spans of one trace come together: its key is made once.
        last = self._last_trace
        if last[0] == trace_id:
            return last[1]
        key = format(trace_id, "032x")
        self._last_trace = (trace_id, key)
        return key

    def on_end(self, span: ReadableSpan) -> None:
        if self._shut:
            return
        attributes = _attributes_of(span)
        try:
            step = _tool_step(attributes, span)
        except ValueError as error:
            logger.warning("span %r not recorded: %s", span.name, error)
            return
        if step is None:
            if span.parent is None and self.runs is not None and self.scope == "run":
                # A trace's root span ends last: the run is over, and its session goes.
                self.runs.end(self.session_key(span))
            return
        key = self._key_of(span, attributes)
        call_id = attributes.get(CALL_ID)
        call_id = call_id if isinstance(call_id, str) and call_id else None
        try:
            if self.runs is not None and "unjudged" not in step:
                # The session knows the ids it judged: a span seen again is neither counted nor written again.
                runs = self.runs
                runs.decide(key, step["tool"], step.get("args"), call_id)
                if "result" in step:
                    runs.record_result(key, call_id, step["tool"], step["result"], is_error=step.get("is_error", False))
                return
            if call_id is not None:
                with self._lock:
                    if call_id in self._seen:
                        return
                    self._seen[call_id] = None
                    if len(self._seen) > REMEMBERED_IDS:
                        self._seen.popitem(last=False)
            self._writer.write_line(key, step)
        except Exception:
            logger.exception("tool call of span %r (session %s) not recorded", span.name, key)

    def shutdown(self) -> None:
        """Closes the files; spans that end afterwards are not recorded."""
        self._shut = True
        self._writer.close()
        if self.runs is not None:
            self.runs.close()

    def force_flush(self, timeout_millis: int = 30000) -> bool:
        # Every call is flushed as it is written.
        return True


class OtlpJsonLinesExporter(SpanExporter):
    """Writes every batch of finished spans as one line of OTLP/JSON to a file, which ``--format otel`` reads.

    Give it to a span processor: ``SimpleSpanProcessor(exporter)`` writes each
    span as it ends, ``BatchSpanProcessor(exporter)`` a batch at a time. The
    file at ``path`` is opened for appending, so runs of several processes or
    of one process over time add up in one file; each line is one
    ``{"resourceSpans": [...]}`` export, written whole and flushed. Every span
    is kept, not only the GenAI ones: the reader picks out the tool calls. A
    batch that cannot be written is reported through the logger
    "ostik.integrations.otel" and the export fails, as exporters do.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        directory = os.path.dirname(self.path)
        if directory:
            os.makedirs(directory, exist_ok=True)
        # Unbuffered: each line goes to the file in one write of its own.
        self._file = open(self.path, "ab", buffering=0)
        self._lock = threading.Lock()

    def export(self, spans: Sequence[ReadableSpan]) -> SpanExportResult:
        if not spans:
            return SpanExportResult.SUCCESS
        try:
            line = (json.dumps(export_request(spans), separators=(",", ":")) + "\n").encode()
            with self._lock:
                if self._file.closed:
                    return SpanExportResult.FAILURE
                # One write per line: lines of processes appending to the file at once do not interleave.
                self._file.write(line)
        except Exception:
            logger.exception("%d spans not exported to %s", len(spans), self.path)
            return SpanExportResult.FAILURE
        return SpanExportResult.SUCCESS

    def shutdown(self) -> None:
        with self._lock:
            self._file.close()

    def force_flush(self, timeout_millis: int = 30000) -> bool:
        # Every batch is flushed as it is written.
        return True
