"""One agent run under an adapter whose sessions live in a SqliteStore, in a process of its own.

    python tests/adapter_processes.py ADAPTER POLICY DATABASE KEY TAG

runs the model script "three reads, the tests, a commit" (call ids made
unique by TAG) in the conversation KEY, and prints the tools that ran as JSON.
Two of these at once on one database share the conversation's session."""

import asyncio
import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import ostik  # noqa: E402


def script(tag):
    return [[("read_file", {"path": f"{n}.py"}, f"{tag}-r{n}")] for n in range(3)] + [
        [("run_tests", {}, f"{tag}-t")], [("git_commit", {}, f"{tag}-c")]]


def langchain(guard, store, key, turns):
    from langchain.agents import create_agent
    from ostik.integrations.langchain import GuardMiddleware
    from test_integration_langchain_sessions import ScriptedModel, Tools

    tools = Tools()
    agent = create_agent(ScriptedModel(script=turns), tools.tools,
                         middleware=[GuardMiddleware(guard, scope="thread", store=store)])
    agent.invoke({"messages": [{"role": "user", "content": "go"}]}, {"configurable": {"thread_id": key}})
    return tools.ran


def openai_agents(guard, store, key, turns):
    from agents import Agent, Runner, set_tracing_disabled
    from ostik.integrations.openai_agents import PolicyGuardrail, guard_agent
    from test_integration_openai_agents_sessions import ScriptedModel, tools

    set_tracing_disabled(True)
    ran = []
    guardrail = PolicyGuardrail(guard, scope="thread", key=lambda ctx: ctx.context["chat"], store=store)
    Runner.run_sync(guard_agent(Agent(name="coder", model=ScriptedModel(turns), tools=tools(ran)), guardrail), "go",
                    context={"chat": key})
    return ran


def claude_agent_sdk(guard, store, key, turns):
    from claude_agent_sdk import ClaudeAgentOptions
    from claude_cli import run
    from ostik.integrations.claude_agent_sdk import GuardHooks, guard_options

    options = guard_options(ClaudeAgentOptions(), GuardHooks(guard, scope="thread", store=store))
    cli, _ = asyncio.run(run(options, turns, session_id=key))
    return cli.ran


def adk(guard, store, key, turns):
    from ostik.integrations.adk import PolicyPlugin
    from test_integration_adk import Agent

    agent = Agent(PolicyPlugin(guard, scope="thread", store=store))
    agent.run(turns, session_id=key)
    return agent.ran


def pydantic_ai(guard, store, key, turns):
    from pydantic_ai import Agent
    from ostik.integrations.pydantic_ai import PolicyCapability
    from test_integration_pydantic_ai import scripted, toolset

    ran = []
    Agent(scripted(turns), toolsets=[toolset(ran)],
          capabilities=[PolicyCapability(guard, key=lambda ctx: key, store=store)]).run_sync("go")
    return ran


def otel(guard, store, key, turns):
    """A recorder judging what it records: the calls all ran; it tells which the policy would have refused."""
    import logging

    from opentelemetry.sdk.trace import TracerProvider
    from ostik.integrations.otel import ToolSpanRecorder

    would_refuse = []

    class Collect(logging.Handler):
        def emit(self, record):
            would_refuse.append(record.getMessage().split(":")[1].split()[0])

    logging.getLogger("ostik").addHandler(Collect())
    provider = TracerProvider()
    provider.add_span_processor(ToolSpanRecorder(trace_dir=Path(store.path).parent / "otel", scope="thread",
                                                 guard=guard, store=store))
    tracer = provider.get_tracer("agent")
    ran = []
    for turn in turns:
        for name, args, call_id in turn:
            with tracer.start_as_current_span(f"execute_tool {name}", attributes={
                    "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": name,
                    "gen_ai.tool.call.arguments": json.dumps(args), "gen_ai.tool.call.id": call_id,
                    "gen_ai.conversation.id": key}):
                pass
            ran.append(name)
    # What an enforcing guard would have let run.
    for name in would_refuse:
        ran.remove(name)
    return ran


def main():
    adapter, policy, database, key, tag = sys.argv[1:]
    guard = ostik.Guard(ostik.Policy.from_file(policy))
    store = ostik.SqliteStore(database)
    print(json.dumps(globals()[adapter](guard, store, key, script(tag))))


if __name__ == "__main__":
    main()
