"""The frameworks page's approval flows as typed code: what `mypy --strict` holds them to (run by the test command).

Each function holds one of the page's examples as it is written there (a test
compares them); nothing here runs a model. `person_says_yes` stands for your
way of asking someone.
"""

from __future__ import annotations

from typing import Any

from agents import Agent, Runner
from claude_agent_sdk import ClaudeAgentOptions
from google.adk.runners import InMemoryRunner
from google.genai import types
from langchain_core.runnables import RunnableConfig
from langgraph.graph.state import CompiledStateGraph
from langgraph.types import Command
import pydantic_ai
from pydantic_ai import DeferredToolRequests, DeferredToolResults, ToolDenied

import ostik
from ostik.integrations.claude_agent_sdk import GuardHooks, guard_options
from ostik.integrations.openai_agents import PolicyGuardrail


def person_says_yes(question: str) -> bool:
    """Your way of asking a person."""
    return input(f"{question} [y/N] ").strip().lower() == "y"


def langchain_approvals(agent: CompiledStateGraph[Any, Any, Any, Any]) -> None:
    # docs: LangChain
    config: RunnableConfig = {"configurable": {"thread_id": "chat-1"}}
    result = agent.invoke({"messages": [{"role": "user", "content": "Push the fix"}]}, config, version="v2")
    while result.interrupts:
        answers: dict[str, dict[str, str]] = {}
        for asked in result.interrupts:
            if person_says_yes(asked.value["description"]):
                answers[asked.id] = {"type": "approve"}
            else:
                answers[asked.id] = {"type": "reject", "message": "not on Fridays"}
        result = agent.invoke(Command(resume=answers), config, version="v2")
    # end


# docs: OpenAI Agents SDK
async def push(agent: Agent[Any], guardrail: PolicyGuardrail) -> None:
    result = await Runner.run(agent, "Push the fix")
    while result.interruptions:
        state = result.to_state()
        for item in result.interruptions:
            if person_says_yes(f"{item.tool_name}({item.arguments})"):
                guardrail.approve(state, item)
            else:
                guardrail.reject(state, item, reason="not on Fridays")
        result = await Runner.run(agent, state)
# end


def claude_options(guard: ostik.Guard) -> ClaudeAgentOptions:
    # docs: Claude Agent SDK
    async def ask_person(decision: ostik.Decision) -> bool:
        return person_says_yes(decision.message)

    options = guard_options(ClaudeAgentOptions(max_turns=20), GuardHooks(guard, approver=ask_person))
    # end
    return options


# docs: Google ADK
async def adk_push(runner: InMemoryRunner, session_id: str) -> None:
    message: types.Content | None = types.Content(role="user", parts=[types.Part(text="Push the fix")])
    while message is not None:
        asked: list[types.FunctionCall] = []
        async for event in runner.run_async(user_id="u", session_id=session_id, new_message=message):
            asked += [call for call in event.get_function_calls() if call.name == "adk_request_confirmation"]
        message = None
        if asked:
            message = types.Content(role="user", parts=[types.Part(function_response=types.FunctionResponse(
                id=call.id, name="adk_request_confirmation",
                response={"confirmed": person_says_yes(str(call.args)), "payload": {"reason": "not on Fridays"}}))
                for call in asked])
# end


# docs: Pydantic AI
async def pydantic_push(agent: pydantic_ai.Agent[None, str | DeferredToolRequests]) -> str:
    result = await agent.run("Push the fix")
    while isinstance(result.output, DeferredToolRequests):
        answers = DeferredToolResults()
        for call in result.output.approvals:
            asked = result.output.metadata.get(call.tool_call_id, {}).get("ostik", {})
            if person_says_yes(asked.get("reason", call.tool_name)):
                answers.approvals[call.tool_call_id] = True
            else:
                answers.approvals[call.tool_call_id] = ToolDenied("not on Fridays")
        result = await agent.run(message_history=result.all_messages(), deferred_tool_results=answers)
    return result.output
# end
