"""ToolSpanRecorder in a real OpenTelemetry SDK TracerProvider."""

import json
import logging
import re
import subprocess
import sys
from pathlib import Path

import pytest
from docs_text import code, page, section
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter
from opentelemetry.trace import Status, StatusCode, set_span_in_context

import ostik
import ostik.formats
from ostik import Guard, PolicyViolation, TraceExplainer
from ostik.integrations.otel import ToolSpanRecorder

ROOT = Path(__file__).resolve().parents[1]

POLICY = """\
version: "1"
name: otel-test
tools:
  allow: [read_file, edit_file, run_tests]
  deny: [force_push]
sequences:
  - {type: before, first: read_file, then: edit_file}
"""


class Telemetry:
    """A tracer provider with the recorder under test, and an in-memory export of the same spans."""

    def __init__(self, recorder):
        self.exporter = InMemorySpanExporter()
        self.provider = TracerProvider()
        self.provider.add_span_processor(recorder)
        self.provider.add_span_processor(SimpleSpanProcessor(self.exporter))
        self.tracer = self.provider.get_tracer("test-agent")

    def tool_span(self, name, arguments=None, **attributes):
        attributes = {"gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": name, **attributes}
        if arguments is not None:
            attributes["gen_ai.tool.call.arguments"] = arguments
        return self.tracer.start_as_current_span(f"execute_tool {name}", attributes=attributes)

    def otlp_export(self):
        """The finished spans as an OTLP/JSON trace export."""
        spans = [{"traceId": format(s.context.trace_id, "032x"), "spanId": format(s.context.span_id, "016x"),
                  "name": s.name, "startTimeUnixNano": str(s.start_time), "endTimeUnixNano": str(s.end_time),
                  "attributes": [{"key": k, "value": any_value(v)} for k, v in s.attributes.items()]}
                 for s in self.exporter.get_finished_spans()]
        return {"resourceSpans": [{"resource": {}, "scopeSpans": [{"scope": {"name": "test-agent"}, "spans": spans}]}]}


def any_value(value):
    if isinstance(value, bool):
        return {"boolValue": value}
    if isinstance(value, int):
        return {"intValue": str(value)}
    if isinstance(value, float):
        return {"doubleValue": value}
    if isinstance(value, str):
        return {"stringValue": value}
    return {"arrayValue": {"values": [any_value(v) for v in value]}}


def canonical(value):
    return json.dumps(value, sort_keys=True)


def untimed(traces):
    """Traces read from spans less each step's time (its span's start), which the guard's own
    trace files of these runs do not write."""
    return [[{k: v for k, v in step.items() if k != "ts"} for step in trace] for trace in traces]


def recorded(directory):
    """{trace id: steps} of the files a recorder wrote to ``directory``."""
    return {p.stem: ostik.formats.read(str(p), "ostik")[0] for p in sorted(Path(directory).iterdir())}


def test_a_guarded_agent_recorded_through_its_spans(write_policy, tmp_path):
    """An agent loop instrumented with GenAI spans, its tools guarded: the recording explains to its decisions."""
    policy = ostik.Policy.from_file(write_policy(POLICY))
    telemetry = Telemetry(ToolSpanRecorder(trace_dir=tmp_path / "traces"))
    ran, decisions = [], []
    script = {"first": [("read_file", {"path": "a.py"}), ("force_push", {"branch": "main"}), ("edit_file", {"path": "a.py"})],
              "second": [("edit_file", {"path": "b.py"}), ("run_tests", {})]}
    for prompt, calls in script.items():
        session = Guard(policy).session()
        tools = {name: session.guarded(lambda name=name, **args: ran.append((prompt, name)), name=name)
                 for name in ("read_file", "edit_file", "run_tests", "force_push")}
        with telemetry.tracer.start_as_current_span("invoke_agent", attributes={"gen_ai.operation.name": "invoke_agent"}):
            for name, args in calls:
                with telemetry.tracer.start_as_current_span("chat", attributes={"gen_ai.operation.name": "chat"}):
                    pass
                with telemetry.tool_span(name, json.dumps(args)) as span:
                    try:
                        tools[name](**args)
                        decisions.append((name, "allowed", None))
                    except PolicyViolation as refused:
                        span.set_status(Status(StatusCode.ERROR, str(refused)))
                        decisions.append((name, "blocked", refused.decision.blocked_by))

    assert ran == [("first", "read_file"), ("first", "edit_file"), ("second", "run_tests")]
    traces = recorded(tmp_path / "traces")
    # The export's traces come in the order they started, the files in trace id order.
    assert sorted(traces.values(), key=canonical) == sorted(untimed(ostik.formats.read(telemetry.otlp_export(),
                                                                                       "otel")), key=canonical)
    explained = []
    for steps in traces.values():
        for step in json.loads(TraceExplainer(policy).explain(steps))["steps"]:
            failed = next((e["rule_id"] for e in step["rules_evaluated"] if not e["passed"]), None)
            explained.append((step["tool"], step["verdict"], failed))
    assert sorted(explained) == sorted(decisions)
    assert ("force_push", "blocked", "deny_list") in decisions and ("edit_file", "blocked", "before_read_file_then_edit_file") in decisions
    assert all(re.fullmatch(r"[0-9a-f]{32}", trace_id) for trace_id in traces)


def test_arguments_and_names_as_the_reader_takes_them(tmp_path):
    telemetry = Telemetry(ToolSpanRecorder(trace_dir=tmp_path))
    with telemetry.tracer.start_as_current_span("run"):
        for name, arguments in [("read_file", '{"path": "a.py"}'), ("search", "{not json"), ("list_dir", ""),
                                ("tag", ("a", "b")), ("git_diff", None), ("lire_fichier_é", '{"chemin": "ü"}'),
                                ("count", "[1, 2.5]")]:
            with telemetry.tool_span(name, arguments):
                pass
        # A tool name without the execute_tool operation is a call all the same; other GenAI spans are not.
        with telemetry.tracer.start_as_current_span("x", attributes={"gen_ai.tool.name": "ask_user"}):
            pass
        with telemetry.tracer.start_as_current_span("chat", attributes={"gen_ai.operation.name": "chat"}):
            pass
    (path,) = tmp_path.iterdir()
    assert path.read_text().splitlines() == [
        '{"args":{"path":"a.py"},"tool":"read_file"}', '{"args":"{not json","tool":"search"}', '{"tool":"list_dir"}',
        '{"args":["a","b"],"tool":"tag"}', '{"tool":"git_diff"}', '{"args":{"chemin":"ü"},"tool":"lire_fichier_é"}',
        '{"args":[1,2.5],"tool":"count"}', '{"tool":"ask_user"}']
    with pytest.warns(ostik.formats.TraceFormatWarning):
        assert [ostik.formats.read(str(path), "ostik")[0]] == untimed(ostik.formats.read(telemetry.otlp_export(),
                                                                                         "otel"))


def test_one_file_or_a_path_per_trace(tmp_path):
    everything = tmp_path / "all.jsonl"
    telemetry = Telemetry(ToolSpanRecorder(str(everything)))
    chosen = []

    def path_for(trace_id):
        chosen.append(trace_id)
        return None if len(chosen) == 2 else tmp_path / f"{len(chosen)}.jsonl"

    per_trace = Telemetry(ToolSpanRecorder(path_for))
    for t in (telemetry, per_trace):
        for run in range(3):
            with t.tracer.start_as_current_span("run"), t.tool_span("read_file", json.dumps({"run": run})):
                pass
    assert [json.loads(line)["args"]["run"] for line in everything.read_text().splitlines()] == [0, 1, 2]
    # Each line names its trace: the file reads as the three traces, not one.
    assert ostik.formats.read(str(everything), "ostik") == [[{"tool": "read_file", "args": {"run": run}}]
                                                             for run in range(3)]
    assert len(set(chosen)) == 3
    # The second trace's path was None: not recorded.
    assert sorted(p.name for p in tmp_path.glob("[0-9].jsonl")) == ["1.jsonl", "3.jsonl"]


def test_many_traces_at_once_close_and_reopen_their_files(tmp_path):
    telemetry = Telemetry(ToolSpanRecorder(trace_dir=tmp_path))
    runs = [telemetry.tracer.start_span("run") for _ in range(40)]
    for round in range(3):
        for n, run in enumerate(runs):
            with telemetry.tracer.start_as_current_span("execute_tool", context=set_span_in_context(run),
                                                        attributes={"gen_ai.tool.name": "read_file",
                                                                    "gen_ai.tool.call.arguments": f'{{"n": {n}, "round": {round}}}'}):
                pass
    files = recorded(tmp_path)
    assert len(files) == 40
    assert sorted(files.values(), key=lambda steps: steps[0]["args"]["n"]) == [
        [{"tool": "read_file", "args": {"n": n, "round": r}} for r in range(3)] for n in range(40)]


def test_spans_that_cannot_be_recorded_are_logged_and_never_raise(tmp_path, caplog):
    telemetry = Telemetry(ToolSpanRecorder(trace_file=str(tmp_path / "missing" / "run.jsonl")))
    with caplog.at_level(logging.WARNING, logger="ostik.integrations.otel"):
        with telemetry.tracer.start_as_current_span("anonymous", attributes={"gen_ai.operation.name": "execute_tool"}):
            pass
        with telemetry.tracer.start_as_current_span("numbered", attributes={"gen_ai.tool.name": 7}):
            pass
        with telemetry.tool_span("read_file", "{}"):
            pass
    messages = [r.getMessage() for r in caplog.records]
    assert messages[:2] == ["span 'anonymous' not recorded: an execute_tool span without \"gen_ai.tool.name\"",
                            "span 'numbered' not recorded: \"gen_ai.tool.name\" is not a string: 7"]
    assert re.fullmatch(r"tool call of span 'execute_tool read_file' \(session [0-9a-f]{32}\) not recorded",
                        messages[2])
    assert "Failed to open trace file" in caplog.records[2].exc_text
    assert not (tmp_path / "missing").exists()


def test_shutdown_stops_recording(tmp_path):
    recorder = ToolSpanRecorder(trace_dir=tmp_path)
    telemetry = Telemetry(recorder)
    with telemetry.tool_span("read_file"):
        pass
    assert recorder.force_flush() is True
    telemetry.provider.shutdown()
    with telemetry.tool_span("edit_file"):
        pass
    assert [steps for steps in recorded(tmp_path).values()] == [[{"tool": "read_file"}]]


def test_bad_arguments(tmp_path):
    with pytest.raises(ValueError, match="^give trace_file or trace_dir: where to record the calls$"):
        ToolSpanRecorder()
    with pytest.raises(ValueError, match="^give trace_file or trace_dir, not both$"):
        ToolSpanRecorder("a.jsonl", trace_dir=tmp_path)


def test_the_documented_example(tmp_path):
    (block,) = code(section(page("frameworks.md"), "OpenTelemetry"), "python")
    agent = block + """
tracer = trace.get_tracer("agent")
with tracer.start_as_current_span("invoke_agent"):
    with tracer.start_as_current_span("execute_tool read_file", attributes={
            "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "read_file",
            "gen_ai.tool.call.arguments": '{"path": "src/app.py"}'}):
        pass
"""
    result = subprocess.run([sys.executable, "-c", agent], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    (path,) = (tmp_path / "traces").iterdir()
    assert path.read_text() == '{"args":{"path":"src/app.py"},"tool":"read_file"}\n'


def test_the_otlp_json_lines_exporter_writes_what_the_otel_reader_reads(tmp_path):
    """Spans exported a batch per line, read back by --format otel as the same tool calls as the export's."""
    from opentelemetry.sdk.resources import Resource
    from opentelemetry.sdk.trace.export import BatchSpanProcessor
    from ostik.integrations.otel import OtlpJsonLinesExporter

    path = tmp_path / "spans" / "export.jsonl"
    exporter = OtlpJsonLinesExporter(path)
    provider = TracerProvider(resource=Resource.create({"service.name": "coder"}))
    in_memory = InMemorySpanExporter()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    provider.add_span_processor(SimpleSpanProcessor(in_memory))
    tracer = provider.get_tracer("agent", "1.0")
    for run in range(2):
        with tracer.start_as_current_span("invoke_agent", attributes={"gen_ai.operation.name": "invoke_agent"}):
            with tracer.start_as_current_span("chat", attributes={"gen_ai.operation.name": "chat", "tokens": 12,
                                                                  "ratio": float("nan"), "tags": ("a", "b")}) as chat:
                chat.add_event("choice", {"index": 0})
            for name, arguments in [("read_file", {"path": f"{run}.py"}), ("run_tests", {})]:
                with tracer.start_as_current_span(f"execute_tool {name}", attributes={
                        "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": name,
                        "gen_ai.tool.call.arguments": json.dumps(arguments)}) as span:
                    span.set_status(Status(StatusCode.ERROR, "no"))
    # A batch processor hands several spans at once: one line.
    batch = BatchSpanProcessor(exporter)
    provider.add_span_processor(batch)
    with tracer.start_as_current_span("execute_tool git_diff", attributes={"gen_ai.tool.name": "git_diff"}):
        pass
    provider.force_flush()
    provider.shutdown()

    lines = path.read_text().splitlines()
    assert len(lines) == 2 * 4 + 2  # every span as it ended, then the last one once more by the batch
    first = json.loads(lines[0])
    (resource,) = first["resourceSpans"]
    assert {"key": "service.name", "value": {"stringValue": "coder"}} in resource["resource"]["attributes"]
    (scope,) = resource["scopeSpans"]
    assert scope["scope"] == {"name": "agent", "version": "1.0"}
    (chat,) = scope["spans"]
    assert re.fullmatch(r"[0-9a-f]{32}", chat["traceId"]) and re.fullmatch(r"[0-9a-f]{16}", chat["spanId"])
    assert chat["kind"] == 1 and chat["startTimeUnixNano"].isdigit() and "parentSpanId" in chat
    assert {"key": "ratio", "value": {"doubleValue": "NaN"}} in chat["attributes"]
    assert {"key": "tokens", "value": {"intValue": "12"}} in chat["attributes"]
    assert {"key": "tags", "value": {"arrayValue": {"values": [{"stringValue": "a"}, {"stringValue": "b"}]}}} \
        in chat["attributes"]
    assert chat["events"][0]["name"] == "choice"
    tool = json.loads(lines[1])["resourceSpans"][0]["scopeSpans"][0]["spans"][0]
    assert tool["status"] == {"code": 2, "message": "no"}

    traces = ostik.formats.read(str(path), "otel")
    # Each call carries its span's start as its time.
    assert all(isinstance(step.pop("ts"), float) for trace in traces for step in trace)
    # The tool spans' error status comes back as each call's is_error.
    assert traces[:2] == [[{"tool": "read_file", "args": {"path": f"{run}.py"}, "is_error": True},
                           {"tool": "run_tests", "args": {}, "is_error": True}] for run in range(2)]
    # Read as the export of the same spans would be (the last span twice, as it was exported twice).
    spans = in_memory.get_finished_spans()
    telemetry_export = {"resourceSpans": [{"scopeSpans": [{"spans": [
        {"traceId": format(s.context.trace_id, "032x"), "spanId": format(s.context.span_id, "016x"), "name": s.name,
         "startTimeUnixNano": str(s.start_time),
         "attributes": [{"key": k, "value": any_value(v)} for k, v in s.attributes.items()
                        if k.startswith("gen_ai.")],
         "status": {"code": s.status.status_code.value}} for s in spans]}]}]}
    assert traces[:2] == untimed(ostik.formats.read(telemetry_export, "otel"))[:2]


def test_the_exporter_reports_a_batch_it_cannot_write(tmp_path, caplog):
    from opentelemetry.sdk.trace.export import SpanExportResult
    from ostik.integrations.otel import OtlpJsonLinesExporter

    exporter = OtlpJsonLinesExporter(tmp_path / "export.jsonl")
    exporter.shutdown()
    provider = TracerProvider()
    in_memory = InMemorySpanExporter()
    provider.add_span_processor(SimpleSpanProcessor(in_memory))
    with provider.get_tracer("t").start_as_current_span("x"):
        pass
    assert exporter.export(in_memory.get_finished_spans()) is SpanExportResult.FAILURE
    assert exporter.export([]) is SpanExportResult.SUCCESS


def test_a_recorder_with_a_guard_judges_what_it_records_and_forgets_finished_runs(write_policy, tmp_path, caplog):
    policy = ostik.Policy.from_file(write_policy(POLICY))
    recorder = ToolSpanRecorder(trace_dir=tmp_path / "traces", guard=policy)
    telemetry = Telemetry(recorder)
    with caplog.at_level(logging.WARNING, logger="ostik"):
        with telemetry.tracer.start_as_current_span("invoke_agent"):
            for name, call_id in [("edit_file", "e1"), ("read_file", "r1"), ("read_file", "r1")]:
                with telemetry.tool_span(name, "{}", **{"gen_ai.tool.call.id": call_id}):
                    pass
            assert len(recorder.runs) == 1
    # The calls ran: the recorder refuses nothing, it tells what the policy would have; a span seen twice counts once.
    assert [r.getMessage() for r in caplog.records if r.name == "ostik"] == [
        "observed: edit_file would be refused: 'edit_file' needs 'read_file' to be called first."]
    assert [[s["tool"] for s in steps] for steps in recorded(tmp_path / "traces").values()] == [
        ["edit_file", "read_file"]]
    assert len(recorder.runs) == 0


def test_thread_scope_keys_a_conversation_across_traces(tmp_path):
    telemetry = Telemetry(ToolSpanRecorder(trace_file=tmp_path / "all.jsonl", scope="thread"))
    for run in range(2):
        with telemetry.tracer.start_as_current_span("run"):
            for chat in ("chat-a", "chat-b"):
                with telemetry.tool_span("read_file", json.dumps({"run": run}), **{"gen_ai.conversation.id": chat}):
                    pass
    traces = ostik.formats.read(str(tmp_path / "all.jsonl"), "ostik")
    assert traces == [[{"tool": "read_file", "args": {"run": r}} for r in range(2)]] * 2
    assert {json.loads(line)["session"] for line in (tmp_path / "all.jsonl").read_text().splitlines()} == {
        "chat-a", "chat-b"}
