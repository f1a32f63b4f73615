"""The framework adapters as typed code: what `mypy --strict` holds them to (run by the test command).

Each function builds a guarded agent the way the docs' frameworks page shows;
nothing here runs a model. The frameworks' own stubs decide what type checks:
none of these needs a cast or an ignore.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, assert_type

from agents import Agent, RunContextWrapper, function_tool
from agents.tool_context import ToolContext
from langchain.agents import create_agent
from langchain.agents.middleware import (AgentMiddleware, HumanInTheLoopMiddleware, ModelCallLimitMiddleware,
                                         SummarizationMiddleware, ToolCallLimitMiddleware)
from langchain_core.language_models import BaseChatModel
from langchain_core.tools import BaseTool
from langgraph.checkpoint.memory import InMemorySaver
from langgraph.graph.state import CompiledStateGraph

from ostik import Guard, SqliteStore
from ostik.integrations.langchain import GuardMiddleware
from ostik.integrations.openai_agents import PolicyGuardrail, guard_agent


def langchain_agent(model: BaseChatModel, tools: list[BaseTool], guard: Guard) -> CompiledStateGraph[Any, Any, Any, Any]:
    """GuardMiddleware first in a list with LangChain's own middleware, written inline as the docs write it."""
    return create_agent(model, tools, checkpointer=InMemorySaver(), middleware=[
        GuardMiddleware(guard, scope="thread", store=SqliteStore("sessions.db"), trace_dir="traces"),
        HumanInTheLoopMiddleware(interrupt_on={"git_commit": True}, interrupt_mode="per_call"),
        SummarizationMiddleware(model, trigger=("tokens", 4000)),
    ])


def langchain_agent_with_limits(model: BaseChatModel, tools: list[BaseTool], guard: Guard) -> object:
    """LangChain's call limits type their middleware with states of their own, and its middleware class is
    invariant in the state: a list mixing them with any other middleware (ostik's or LangChain's) type-checks
    when it is annotated with the base class, as here."""
    middleware: list[AgentMiddleware[Any, Any, Any]] = [
        GuardMiddleware(guard, mode="observe"),
        HumanInTheLoopMiddleware(interrupt_on={"git_commit": True}),
        ModelCallLimitMiddleware(run_limit=20),
        ToolCallLimitMiddleware(tool_name="read_file", run_limit=10),
    ]
    return create_agent(model, tools, middleware=middleware)


@dataclass
class CoderContext:
    """What the caller's tools get in their run context."""

    repository: str
    conversation: str


@function_tool
def read_file(context: RunContextWrapper[CoderContext], path: str) -> str:
    """Reads a file of the run's repository."""
    return f"{context.context.repository}/{path}"


def conversation_of(context: ToolContext[Any]) -> str:
    coder: CoderContext = context.context
    return coder.conversation


def openai_agent(guard: Guard) -> Agent[CoderContext]:
    """guard_agent keeps the agent's context type."""
    agent = Agent[CoderContext](name="coder", tools=[read_file])
    guarded = guard_agent(agent, PolicyGuardrail(guard, scope="thread", key=conversation_of, trace_dir="traces"))
    assert_type(guarded, Agent[CoderContext])
    return guarded
