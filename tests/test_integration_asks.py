"""The verdict "ask" through every adapter, each with its framework's own approval mechanism, against the real packages.

Each framework runs the same script with scripted models: the tests, a push that
the policy asks about, and a commit that needs the tests of the same session. A
person approves or denies the push (or, observing, nobody is asked)."""

import asyncio
import json
import logging
from dataclasses import dataclass

import pytest
from adapter_cases import (ASK_TOOLS, DENIAL, PUSH_THEN_COMMIT, adk_model, ask_guard, denied_message, explains_clean,
                           langchain_model, openai_agents_model, plain_tools)

ANSWERS = ["approve", "deny", "observe"]


@dataclass
class Outcome:
    ran: list  # the tools that ran, in order
    told: object  # what the model received for the push
    waited: bool  # whether the run stopped for the answer
    runs: object = None  # the adapter's GuardedRuns, where a test looks at its sessions


# ---- LangChain: interrupt, and resume with Command(resume=...) ----

def langchain_run(guard, traces, answer, mode):
    from langchain.agents import create_agent
    from langchain_core.messages import ToolMessage
    from langchain_core.tools import tool
    from langgraph.checkpoint.memory import InMemorySaver
    from langgraph.types import Command

    from ostik.integrations.langchain import GuardMiddleware

    ran = []
    agent = create_agent(langchain_model()(script=PUSH_THEN_COMMIT), [tool(f) for f in plain_tools(ran, ASK_TOOLS)],
                         checkpointer=InMemorySaver(), middleware=[GuardMiddleware(guard, mode=mode, trace_dir=traces)])
    config = {"configurable": {"thread_id": "chat-1"}}
    result = agent.invoke({"messages": [{"role": "user", "content": "go"}]}, config, version="v2")
    waited = bool(result.interrupts)
    while result.interrupts:
        for interrupt in result.interrupts:
            assert interrupt.value["type"] == "tool_approval" and interrupt.value["tool_call_id"] == "p1"
            assert interrupt.value["args"] == {"branch": "main"}
        reply = {"type": "approve"} if answer == "approve" else {"type": "reject", "message": DENIAL}
        result = agent.invoke(Command(resume={i.id: reply for i in result.interrupts}), config, version="v2")
    told = {m.tool_call_id: m for m in result.value["messages"] if isinstance(m, ToolMessage)}["p1"]
    return Outcome(ran, told.content if told.status == "error" else "ran", waited)


# ---- OpenAI Agents SDK: needs_approval, interruptions, RunState approve/reject ----

def openai_run(guard, traces, answer, mode, **options):
    """`answer` "approve" and "deny" through the guardrail's own helpers; "reject" is the SDK's own
    `state.reject(item)`, and ("reject", text) with `rejection_message=text`."""
    from agents import Agent, Runner, function_tool, set_tracing_disabled

    from ostik.integrations.openai_agents import PolicyGuardrail, guard_agent

    set_tracing_disabled(True)
    ran = []
    model = openai_agents_model()(PUSH_THEN_COMMIT)
    guardrail = PolicyGuardrail(guard, mode=mode, trace_dir=traces, **options)
    tools = [function_tool(f) for f in plain_tools(ran, ASK_TOOLS)]
    agent = guard_agent(Agent(name="coder", model=model, tools=tools), guardrail)

    async def run():
        result = await Runner.run(agent, "go")
        waited = bool(result.interruptions)
        while result.interruptions:
            state = result.to_state()
            for item in result.interruptions:
                assert item.call_id == "p1"
                if answer == "approve":
                    guardrail.approve(state, item)
                elif answer == "deny":
                    guardrail.reject(state, item, DENIAL)
                elif answer == "reject":
                    state.reject(item)
                else:
                    state.reject(item, rejection_message=answer[1])
            result = await Runner.run(agent, state)
        return waited

    waited = asyncio.run(run())
    told = model.outputs["p1"]
    return Outcome(ran, "ran" if told.startswith("pushed") else told, waited, guardrail.runs)


# ---- Claude Agent SDK: permissionDecision "ask" and the can_use_tool callback ----

def claude_run(guard, traces, answer, mode):
    from claude_agent_sdk import ClaudeAgentOptions, PermissionResultAllow, PermissionResultDeny
    from claude_cli import run

    from ostik.integrations.claude_agent_sdk import GuardHooks, guard_options

    async def can_use_tool(tool, tool_input, context):
        if answer == "approve":
            return PermissionResultAllow()
        return PermissionResultDeny(message=DENIAL)

    hooks = GuardHooks(guard, mode=mode, trace_dir=traces)
    options = guard_options(ClaudeAgentOptions(can_use_tool=can_use_tool), hooks)
    cli, _ = asyncio.run(run(options, PUSH_THEN_COMMIT))
    told = cli.results["p1"]
    return Outcome(cli.ran, "ran" if told.startswith("pushed") else told, bool(cli.asked))


# ---- Google ADK: tool confirmation ----

def adk_run(guard, traces, answer, mode):
    from google.adk.agents import LlmAgent
    from google.adk.apps import App
    from google.adk.runners import InMemoryRunner
    from google.genai import types

    from ostik.integrations.adk import PolicyPlugin

    logging.getLogger("google_adk").setLevel(logging.ERROR)
    ran = []
    model = adk_model()(model="scripted", script=PUSH_THEN_COMMIT, turns={})
    plugin = PolicyPlugin(guard, mode=mode, trace_dir=traces)
    agent = LlmAgent(name="coder", model=model, tools=plain_tools(ran, ASK_TOOLS))
    runner = InMemoryRunner(app=App(name="app", root_agent=agent, plugins=[plugin]))

    async def run():
        session = await runner.session_service.create_session(app_name="app", user_id="u")
        message = types.Content(role="user", parts=[types.Part(text="go")])
        responses, waited = {}, False
        while message is not None:
            asked = None
            async for event in runner.run_async(user_id="u", session_id=session.id, new_message=message):
                for part in (event.content.parts if event.content else None) or []:
                    if part.function_response:
                        responses[part.function_response.id] = part.function_response.response
                    if part.function_call and part.function_call.name == "adk_request_confirmation":
                        asked = part.function_call.id
            message = None
            if asked is not None:
                waited = True
                confirmation = {"confirmed": answer == "approve", "payload": {"reason": DENIAL}}
                message = types.Content(role="user", parts=[types.Part(function_response=types.FunctionResponse(
                    id=asked, name="adk_request_confirmation", response=confirmation))])
        return responses, waited

    responses, waited = asyncio.run(run())
    told = responses["p1"]
    return Outcome(ran, told["error"] if "error" in told else "ran", waited)


# ---- Pydantic AI: ApprovalRequired, DeferredToolRequests and DeferredToolResults ----

def pydantic_ai_run(guard, traces, answer, mode):
    from pydantic_ai import Agent, DeferredToolRequests, DeferredToolResults, ToolDenied
    from pydantic_ai.messages import ModelRequest, ModelResponse, TextPart, ToolCallPart, ToolReturnPart
    from pydantic_ai.models.function import FunctionModel
    from pydantic_ai.toolsets import FunctionToolset

    from ostik.integrations.pydantic_ai import PolicyCapability

    turns = iter(PUSH_THEN_COMMIT)

    async def respond(messages, info):
        calls = next(turns, [])
        if not calls:
            return ModelResponse(parts=[TextPart("done")])
        return ModelResponse(parts=[ToolCallPart(n, a, i) for n, a, i in calls])

    ran = []
    agent = Agent(FunctionModel(respond), toolsets=[FunctionToolset(plain_tools(ran, ASK_TOOLS))],
                  output_type=[str, DeferredToolRequests],
                  capabilities=[PolicyCapability(guard, mode=mode, trace_dir=traces)])

    async def run():
        result = await agent.run("go")
        waited = isinstance(result.output, DeferredToolRequests)
        while isinstance(result.output, DeferredToolRequests):
            assert [call.tool_call_id for call in result.output.approvals] == ["p1"]
            assert result.output.metadata["p1"]["ostik"]["rule_id"] == "ask_git_push"
            approvals = {call.tool_call_id: True if answer == "approve" else ToolDenied(DENIAL)
                         for call in result.output.approvals}
            result = await agent.run(message_history=result.all_messages(),
                                     deferred_tool_results=DeferredToolResults(approvals=approvals))
        return result, waited

    result, waited = asyncio.run(run())
    returns = {part.tool_call_id: part for message in result.all_messages() if isinstance(message, ModelRequest)
               for part in message.parts if isinstance(part, ToolReturnPart)}
    told = returns["p1"]
    return Outcome(ran, "ran" if told.outcome == "success" else told.content, waited)


FRAMEWORKS = {"langchain": langchain_run, "openai_agents": openai_run, "claude_agent_sdk": claude_run,
              "adk": adk_run, "pydantic_ai": pydantic_ai_run}
# What the model is told of a denied push: the denial's message, or the person's own text where the framework
# gives it to the model unchanged.
TOLD_THE_DENIAL = {"langchain": "message", "openai_agents": "message", "claude_agent_sdk": "message",
                   "adk": "message", "pydantic_ai": "reason"}


@pytest.mark.parametrize("answer", ANSWERS)
@pytest.mark.parametrize("framework", FRAMEWORKS)
def test_an_asked_call_waits_for_the_frameworks_approval_and_the_resumed_run_continues_its_session(
        tmp_path, caplog, framework, answer):
    guard = ask_guard(tmp_path)
    traces = tmp_path / "traces"
    mode = "observe" if answer == "observe" else "enforce"
    with caplog.at_level(logging.WARNING, logger="ostik"):
        outcome = FRAMEWORKS[framework](guard, traces, answer, mode)
    # Observing, nothing waits; enforcing, the run stops for the push, once.
    assert outcome.waited == (answer != "observe")
    # The commit after the push is allowed: the run that resumed after the answer is the session of the tests.
    if answer == "deny":
        assert outcome.ran == ["run_tests", "git_commit"]
        wanted = denied_message(guard) if TOLD_THE_DENIAL[framework] == "message" else DENIAL
        assert outcome.told == wanted
        assert DENIAL in wanted
    else:
        assert outcome.ran == ["run_tests", "git_push", "git_commit"]
        assert outcome.told == "ran"
    # One trace file: the tests, the push with its answer, the commit.
    (path,) = traces.iterdir()
    # Its calls' lines (results have lines of their own).
    lines = [line for line in map(json.loads, path.read_text().splitlines()) if "tool" in line]
    assert [line["tool"] for line in lines] == ["run_tests", "git_push", "git_commit"]
    push = lines[1]
    assert push["ask"]["rule_id"] == "ask_git_push" and push["args"] == {"branch": "main"}
    if answer == "observe":
        assert "approved" not in push
        assert any("git_push would need approval" in r.getMessage() for r in caplog.records if r.name == "ostik")
    else:
        assert push["approved"] == (answer == "approve")
        assert push.get("denial") == (DENIAL if answer == "deny" else None)
    # Read back, the approved push is a step, the denied one a refused attempt: every executed call passes.
    assert explains_clean(tmp_path / "policy.yaml", path)[0] == 0


@pytest.mark.parametrize("store", [None, "sqlite"])
@pytest.mark.parametrize("answer", ["reject", ("reject", DENIAL)], ids=["plain", "with-message"])
def test_the_sdks_own_rejection_denies_the_asked_call_in_its_session(tmp_path, answer, store):
    import ostik
    from agents.tool import DEFAULT_APPROVAL_REJECTION_MESSAGE

    guard = ask_guard(tmp_path)
    traces = tmp_path / "traces"
    stores = {None: None, "sqlite": ostik.SqliteStore(str(tmp_path / "s.db"))}
    outcome = openai_run(guard, traces, answer, "enforce", scope="thread", key=lambda context: "chat",
                         store=stores[store])
    assert outcome.waited and outcome.ran == ["run_tests", "git_commit"]
    reason = None if answer == "reject" else DENIAL
    # The model is told what the SDK says of a rejection: the person's text, or its own default.
    assert outcome.told == (reason or DEFAULT_APPROVAL_REJECTION_MESSAGE)
    # The session waits for nothing: the push is denied, with the person's text as the denial's reason.
    assert outcome.runs.pending("chat") == []
    session = outcome.runs.session("chat")
    assert session.steps == 2
    assert session.check("git_push", {"branch": "main"}, call_id="p1").message == denied_message(guard, reason)
    (path,) = traces.iterdir()
    lines = [line for line in map(json.loads, path.read_text().splitlines()) if "tool" in line]
    assert [line["tool"] for line in lines] == ["run_tests", "git_push", "git_commit"]
    assert lines[1]["approved"] is False and lines[1].get("denial") == reason
    assert explains_clean(tmp_path / "policy.yaml", path)[0] == 0


SECTIONS = {"LangChain": "Approvals in LangChain", "OpenAI Agents SDK": "Approvals in the OpenAI Agents SDK",
            "Claude Agent SDK": "Approvals in the Claude Agent SDK", "Google ADK": "Approvals in Google ADK",
            "Pydantic AI": "Approvals in Pydantic AI"}


@pytest.mark.parametrize("framework", SECTIONS)
def test_the_documented_approval_flows_are_the_type_checked_examples(framework):
    import re
    import textwrap

    from adapter_cases import ROOT
    from docs_text import code, page, section

    (block,) = code(section(page("frameworks.md"), SECTIONS[framework]), "python")
    source = (ROOT / "examples" / "approvals.py").read_text()
    found = re.search(rf"^ *# docs: {re.escape(framework)}\n(.*?)^ *# end$", source, flags=re.MULTILINE | re.DOTALL)
    assert found, framework
    assert textwrap.dedent(found.group(1)) == block


# ---- What the adapters share: GuardedRuns' answers ----

@pytest.mark.parametrize("store", [None, "memory", "sqlite"])
@pytest.mark.parametrize("approved", [True, False])
def test_an_answer_resolves_the_pending_call_once_and_writes_its_line(tmp_path, store, approved):
    import ostik
    from ostik.integrations.runs import GuardedRuns

    guard = ask_guard(tmp_path)
    stores = {None: None, "memory": ostik.MemoryStore(), "sqlite": ostik.SqliteStore(str(tmp_path / "s.db"))}
    runs = GuardedRuns(guard, store=stores[store], trace_file=tmp_path / "t.jsonl")
    asked = runs.decide("k", "git_push", {"branch": "main"}, "p1")
    assert asked.verdict == "ask" and runs.asks(asked) and runs.refuses(asked)
    assert runs.pending("k") == ["p1"] and runs.asker("p1") == "k"
    # Seen again before the answer: still waiting, counted for nothing.
    assert runs.decide("k", "git_push", {"branch": "main"}, "p1").verdict == "ask"
    answer = runs.approve if approved else (lambda *a: runs.deny(*a, DENIAL))
    first = answer("k", "p1", "git_push", {"branch": "main"})
    again = answer("k", "p1", "git_push", {"branch": "main"})
    assert first.verdict == again.verdict == ("allowed" if approved else "blocked")
    assert runs.decide("k", "git_push", {"branch": "main"}, "p1").verdict == first.verdict
    assert runs.pending("k") == [] and runs.asker("p1") is None
    assert runs.session("k").steps == (1 if approved else 0)
    lines = [json.loads(line) for line in (tmp_path / "t.jsonl").read_text().splitlines()]
    assert len(lines) == 1
    assert lines[0]["approved"] is approved and lines[0]["ask"]["rule_id"] == "ask_git_push"
    assert lines[0].get("denial") == (None if approved else DENIAL)


def test_a_run_that_answers_another_runs_ask_continues_its_session_and_ends_it(tmp_path):
    from ostik.integrations.runs import GuardedRuns

    runs = GuardedRuns(ask_guard(tmp_path))
    runs.decide("first", "run_tests", {}, "t1")
    runs.decide("first", "git_push", {"branch": "main"}, "p1")
    # The asking run ends waiting: its session stays for the answer.
    runs.end_run("first")
    assert "first" in runs
    assert runs.continue_session("second", "p1") == "first" and runs.continued("second") == "first"
    runs.approve("first", "p1", "git_push", {"branch": "main"})
    assert runs.decide(runs.continued("second"), "git_commit", {}, "c1").allowed
    runs.end_run("second")
    assert "first" not in runs and runs.continued("second") == "second"
    # A call nobody asked about links nothing.
    assert runs.continue_session("third", "unknown") == "third"


# ---- Where a framework has no way to ask, an ask is refused like a block ----

def test_a_langchain_agent_without_a_checkpointer_refuses_an_ask(tmp_path):
    from langchain.agents import create_agent
    from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
    from langchain_core.messages import AIMessage, ToolMessage
    from langchain_core.tools import tool

    from ostik.integrations.langchain import GuardMiddleware

    guard = ask_guard(tmp_path)
    ran = []

    @tool
    def git_push(branch: str) -> str:
        """Pushes."""
        ran.append(branch)
        return "pushed"

    class Model(GenericFakeChatModel):
        def bind_tools(self, tools, **kwargs):
            return self

    model = Model(messages=iter([AIMessage(content="", tool_calls=[
        {"name": "git_push", "args": {"branch": "main"}, "id": "p1"}]), AIMessage(content="done")]))
    agent = create_agent(model, [git_push], middleware=[GuardMiddleware(guard)])
    result = agent.invoke({"messages": [{"role": "user", "content": "go"}]})
    (told,) = [m for m in result["messages"] if isinstance(m, ToolMessage)]
    assert ran == [] and told.status == "error"
    assert "approval" in told.content


@pytest.mark.parametrize("answer", [True, False, "yes"])
@pytest.mark.parametrize("asynchronous", [False, True])
def test_claude_hooks_approver_answers_the_permission_prompt(tmp_path, answer, asynchronous):
    from claude_agent_sdk import ClaudeAgentOptions
    from claude_cli import run

    from ostik.integrations.claude_agent_sdk import GuardHooks, guard_options

    seen = []

    def approve(decision):
        seen.append((decision.verdict, decision.call_id))
        return answer

    async def approve_later(decision):
        return approve(decision)

    guard = ask_guard(tmp_path)
    hooks = GuardHooks(guard, approver=approve_later if asynchronous else approve)
    cli, _ = asyncio.run(run(guard_options(ClaudeAgentOptions(), hooks), PUSH_THEN_COMMIT))
    assert seen == [("ask", "p1")]
    assert cli.ran == (["run_tests", "git_push", "git_commit"] if answer is True else ["run_tests", "git_commit"])
    if answer is False:
        assert cli.results["p1"] == denied_message(guard, None)
    if answer == "yes":
        assert cli.results["p1"] == denied_message(guard, "the approver returned str, not a bool")


def test_claude_hooks_with_nothing_to_answer_refuse_an_ask(tmp_path):
    from claude_agent_sdk import ClaudeAgentOptions
    from claude_cli import run

    from ostik.integrations.claude_agent_sdk import GuardHooks, guard_options

    guard = ask_guard(tmp_path)
    cli, _ = asyncio.run(run(guard_options(ClaudeAgentOptions(), GuardHooks(guard)), PUSH_THEN_COMMIT))
    assert cli.asked == [] and cli.ran == ["run_tests", "git_commit"]
    assert "approval" in cli.results["p1"]
