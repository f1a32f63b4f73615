"""The framework adapters' own cost per tool call, beside Session.check. Prints medians.

For each adapter, 1,000 tool calls (each its own call id, allowed by the
policy) go through the adapter's entry point, the function its framework calls
for a tool call, given the framework's own request objects as a run with a
scripted model makes them:

  langchain        GuardMiddleware.wrap_tool_call (ToolCallRequest, a handler returning the ToolMessage)
  openai_agents    PolicyGuardrail's guardrail function (ToolInputGuardrailData with a ToolContext)
  claude_agent_sdk GuardHooks.pre_tool_use and post_tool_use (the hook inputs the SDK passes)
  adk              PolicyPlugin.before_tool_callback and after_tool_callback (ADK's ToolContext)
  pydantic_ai      PolicyToolset.call_tool (a RunContext, over a toolset answering at once)
  otel             ToolSpanRecorder.on_end with guard= (a finished execute_tool span); then writing its
                   line too, which flushes a line to the file per call

Beside each, Session.check of the same 1,000 calls (tool, args, call id) in a
fresh session. The adapter's own time is the difference: what the glue adds to
the engine. Medians over 15 rounds of 1,000 calls, in CPU time of the
thread (wall time on a shared machine also counts other processes' turns). Then, for scale, one run of
50 tool calls through each framework with its scripted model, end to end
(the framework's own time per call, which the adapter cannot change).

Usage: python bench/bench_integrations.py [adapter ...] [end_to_end[=framework,...]]   (all by default)
"""

import asyncio
import dataclasses
import json
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import ostik  # noqa: E402

CALLS = 1_000
# A scripted run's model reads its whole history every turn, and so does the framework: a long run would time
# the history rather than the calls.
END_TO_END_CALLS = 50
ROUNDS = 15
POLICY = """\
version: "1"
name: bench-integrations
tools:
  allow: [read_file, run_tests, git_commit]
sequences:
  - {type: max_calls, tool: read_file, max: 4000000000}
  - {type: before, first: run_tests, then: git_commit}
"""
ARGS = {"path": "src/app.py", "start": 1, "end": 40}


def guard():
    path = Path(tempfile.mkdtemp()) / "policy.yaml"
    path.write_text(POLICY)
    return ostik.Guard(ostik.Policy.from_file(str(path)))


def drive(coroutine):
    """Runs a coroutine that never waits to its end, without an event loop."""
    try:
        coroutine.send(None)
    except StopIteration as done:
        return done.value
    raise RuntimeError("the coroutine waited")


def per_call(fn, items):
    # CPU time of this thread: on a machine shared with other work, wall time counts the other work's turns too.
    start = time.thread_time_ns()
    for item in items:
        fn(item)
    return (time.thread_time_ns() - start) / len(items) / 1000


def engine(g):
    def rounds():
        session = g.session()
        return per_call(lambda i: session.check("read_file", ARGS, call_id=f"c{i}"), range(CALLS))
    return rounds


def nothing(*args, **kwargs):
    return None


def measure(name, make_adapter_round, g):
    # Interleaved, so that a busy machine slows all three alike.
    adapter, engine_times, plain = [], [], []
    check = engine(g)
    for _ in range(ROUNDS):
        adapter.append(make_adapter_round())
        engine_times.append(check())
        plain.append(per_call(lambda i: nothing("read_file", ARGS, call_id=i), range(CALLS)))
    total = statistics.median(adapter)
    core = statistics.median(engine_times)
    print(f"{name:17s} adapter+check {total:6.2f} µs   Session.check {core:5.2f} µs   "
          f"adapter's own {total - core:5.2f} µs   (a Python call doing nothing: {statistics.median(plain):4.2f} µs)")


def bench_langchain(g):
    from langchain_core.messages import AIMessage, ToolMessage
    from langgraph.prebuilt.tool_node import ToolCallRequest

    from ostik.integrations.langchain import GuardMiddleware

    requests = []
    for i in range(CALLS):
        call = {"name": "read_file", "args": ARGS, "id": f"c{i}", "type": "tool_call"}
        state = {"messages": [AIMessage(content="", tool_calls=[call])], "ostik_run": "run"}
        requests.append(ToolCallRequest(tool_call=call, tool=None, state=state, runtime=None))
    answer = ToolMessage(content="text", tool_call_id="c")

    def one_round():
        middleware = GuardMiddleware(g)
        return per_call(lambda r: middleware.wrap_tool_call(r, lambda _: answer), requests)

    measure("langchain", one_round, g)


def bench_openai_agents(g):
    from agents import Agent
    from agents.tool_context import ToolContext
    from agents.tool_guardrails import ToolInputGuardrailData
    from agents.usage import Usage

    from ostik.integrations.openai_agents import PolicyGuardrail

    agent = Agent(name="coder")
    text = json.dumps(ARGS)

    def one_round():
        guardrail = PolicyGuardrail(g)
        usage = Usage()
        data = [ToolInputGuardrailData(context=ToolContext(context=None, usage=usage, tool_name="read_file",
                                                           tool_call_id=f"c{i}", tool_arguments=text), agent=agent)
                for i in range(CALLS)]
        return per_call(guardrail.guardrail_function, data)

    measure("openai_agents", one_round, g)


def bench_claude_agent_sdk(g):
    from ostik.integrations.claude_agent_sdk import GuardHooks

    base = {"session_id": "s", "prompt_id": "p", "transcript_path": "", "cwd": "/", "tool_name": "read_file",
            "tool_input": ARGS}
    pre = [{**base, "hook_event_name": "PreToolUse", "tool_use_id": f"c{i}"} for i in range(CALLS)]
    post = [{**item, "hook_event_name": "PostToolUse", "tool_response": "text"} for item in pre]
    context = {"signal": None}

    def one_round():
        hooks = GuardHooks(g)

        def call(i):
            drive(hooks.pre_tool_use(pre[i], pre[i]["tool_use_id"], context))
            drive(hooks.post_tool_use(post[i], pre[i]["tool_use_id"], context))

        return per_call(call, range(CALLS))

    measure("claude_agent_sdk", one_round, g)


def adk_tool_context():
    """A ToolContext as ADK makes it for a call, taken from a real run with a scripted model."""
    from google.adk.plugins.base_plugin import BasePlugin

    from test_integration_adk import Agent

    captured = []

    class Capture(BasePlugin):
        async def before_tool_callback(self, *, tool, tool_args, tool_context):
            captured.append((tool, tool_context))

    Agent(Capture(name="capture")).run([[("read_file", {"path": "a.py"}, "c0")]])
    return captured[0]


def bench_adk(g):
    from ostik.integrations.adk import PolicyPlugin

    tool, context = adk_tool_context()
    contexts = []
    for i in range(CALLS):
        copy = context.__class__.__new__(context.__class__)
        copy.__dict__.update(context.__dict__)
        copy._function_call_id = f"c{i}"
        contexts.append(copy)

    def one_round():
        plugin = PolicyPlugin(g)

        def call(c):
            drive(plugin.before_tool_callback(tool=tool, tool_args=ARGS, tool_context=c))
            drive(plugin.after_tool_callback(tool=tool, tool_args=ARGS, tool_context=c, result={"result": "text"}))

        return per_call(call, contexts)

    measure("adk", one_round, g)


def bench_pydantic_ai(g):
    from pydantic_ai import Agent, RunContext
    from pydantic_ai.models.test import TestModel
    from pydantic_ai.toolsets import FunctionToolset

    from ostik.integrations.pydantic_ai import PolicyToolset, policy_runs

    captured = []
    agent = Agent(TestModel(call_tools=["read_file"]))

    @agent.tool
    def read_file(ctx: RunContext[None], path: str) -> str:
        captured.append(ctx)
        return "text"

    agent.run_sync("go")
    contexts = [dataclasses.replace(captured[0], tool_call_id=f"c{i}") for i in range(CALLS)]

    class Answering(FunctionToolset):
        async def call_tool(self, name, tool_args, ctx, tool):
            return "text"

    def one_round():
        toolset = PolicyToolset(Answering([]), runs=policy_runs(g))
        return per_call(lambda c: drive(toolset.call_tool("read_file", ARGS, c, None)), contexts)

    measure("pydantic_ai", one_round, g)


def bench_otel(g):
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

    from ostik.integrations.otel import ToolSpanRecorder

    exporter = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    tracer = provider.get_tracer("bench")
    with tracer.start_as_current_span("invoke_agent"):
        for i in range(CALLS):
            with tracer.start_as_current_span("execute_tool read_file", attributes={
                    "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "read_file",
                    "gen_ai.tool.call.arguments": json.dumps(ARGS), "gen_ai.tool.call.id": f"c{i}"}):
                pass
    spans = [s for s in exporter.get_finished_spans() if s.name.startswith("execute_tool")]
    directory = Path(tempfile.mkdtemp())

    def judging():
        # A trace_file function answering None: the recorder judges, and writes nothing.
        recorder = ToolSpanRecorder(lambda key: None, guard=g)
        return per_call(recorder.on_end, spans)

    def writing():
        recorder = ToolSpanRecorder(trace_dir=directory, guard=g)
        return per_call(recorder.on_end, spans)

    measure("otel", judging, g)
    # Its job is the file: a line written and flushed per call (one write system call).
    measure("otel + its file", writing, g)


def end_to_end(only=None):
    """One run of 1,000 tool calls through each framework with its scripted model: the framework's time per call."""
    g = guard()
    script = [[("read_file", {"path": "src/app.py"}, f"e{i}")] for i in range(END_TO_END_CALLS)]
    runs = {}

    def langchain():
        from langchain.agents import create_agent

        from ostik.integrations.langchain import GuardMiddleware
        from test_integration_langchain_sessions import ScriptedModel, Tools

        create_agent(ScriptedModel(script=script), Tools().tools, middleware=[GuardMiddleware(g)]).invoke(
            {"messages": [{"role": "user", "content": "go"}]}, {"recursion_limit": 10 * END_TO_END_CALLS})

    def openai_agents():
        from agents import Agent, RunConfig, Runner, set_tracing_disabled

        from ostik.integrations.openai_agents import PolicyGuardrail, guard_agent
        from test_integration_openai_agents_sessions import ScriptedModel, tools

        set_tracing_disabled(True)
        agent = guard_agent(Agent(name="coder", model=ScriptedModel(script), tools=tools([])), PolicyGuardrail(g))
        Runner.run_sync(agent, "go", max_turns=END_TO_END_CALLS + 2, run_config=RunConfig(tracing_disabled=True))

    def claude_agent_sdk():
        from claude_agent_sdk import ClaudeAgentOptions

        from claude_cli import run
        from ostik.integrations.claude_agent_sdk import GuardHooks, guard_options

        asyncio.run(run(guard_options(ClaudeAgentOptions(), GuardHooks(g)), script))

    def pydantic_ai():
        from pydantic_ai import Agent
        from pydantic_ai.usage import UsageLimits

        from ostik.integrations.pydantic_ai import PolicyCapability
        from test_integration_pydantic_ai import scripted, toolset

        Agent(scripted(script), toolsets=[toolset([])], capabilities=[PolicyCapability(g)]).run_sync(
            "go", usage_limits=UsageLimits(request_limit=None))

    for name, run in [("langchain", langchain), ("openai_agents", openai_agents),
                      ("claude_agent_sdk", claude_agent_sdk), ("pydantic_ai", pydantic_ai)]:
        if only and name not in only:
            continue
        start = time.perf_counter()
        run()
        runs[name] = (time.perf_counter() - start) / END_TO_END_CALLS * 1e6
    for name, micros in runs.items():
        print(f"{name:17s} a whole run of {END_TO_END_CALLS} tool calls with its scripted model: "
              f"{micros:8.1f} µs per call (wall)")


BENCHES = {"langchain": bench_langchain, "openai_agents": bench_openai_agents,
           "claude_agent_sdk": bench_claude_agent_sdk, "adk": bench_adk, "pydantic_ai": bench_pydantic_ai,
           "otel": bench_otel}


def main():
    chosen = sys.argv[1:] or [*BENCHES, "end_to_end"]
    g = guard()
    print(f"{CALLS:,} allowed calls per round, median of {ROUNDS} rounds")
    for name in chosen:
        if name.startswith("end_to_end"):
            # end_to_end=langchain,pydantic_ai runs those frameworks only.
            end_to_end(name.partition("=")[2].split(",") if "=" in name else None)
        else:
            BENCHES[name](g)


if __name__ == "__main__":
    main()
