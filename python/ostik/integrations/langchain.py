"""A LangChain agent middleware that judges every tool call before it runs.

    from langchain.agents import create_agent
    from ostik.integrations.langchain import GuardMiddleware

    agent = create_agent(model, tools, middleware=[GuardMiddleware(guard, trace_dir="traces")])

Runs. Every start of the agent (``invoke``, ``stream``, ``ainvoke``,
``astream``) is a run with a session of its own: the middleware's
``before_agent`` hook, which the agent runs once as it starts, makes the
session and writes the run's id into the agent state (a private key,
"ostik_run"); every tool call of the run finds its session through that id,
and ``after_agent``, run once as the agent finishes, ends it. Runs of one
agent, concurrent or not, never share a session. An agent without a
checkpointer cannot resume a run, so the run's session also goes when the run
stops half-way (an exception): it is held by a value in the run's state that
is not checkpointed. An agent with a checkpointer (a ``thread_id`` in the run's
config) can resume a run that stopped half-way, after an interrupt (human in
the loop) or an error, so the session is kept until the run finishes, or
until the next run on the same thread starts instead of resuming it. A run
resumed in another process, where its session is not, continues in a new one.

Calls. ``wrap_tool_call`` (and ``awrap_tool_call`` for ``ainvoke`` and
``astream``) checks each call, its tool name and its args, as the next step of
the run. An allowed call runs. A blocked call does not: the model receives a
``ToolMessage`` answering the call (its ``tool_call_id``, status "error")
whose content is the reason, "blocked by RULE_ID: REASON" (or what ``message``
makes of the decision); with ``raise_on_block=True`` the middleware raises
``ostik.PolicyViolation`` instead, which ends the run. Args that cannot be
judged follow the policy's ``on_error``, as the guard's wrappers do. A model's
parallel calls are judged in the order the agent starts them, which the trace
file records. Put the middleware first in the list so that it sees each call
once: a middleware before it that retries calls would have it judge each try.

Trace files: see ostik.integrations.runs; a run's id is also the id in its
state.
"""

from __future__ import annotations

import os
import weakref
from collections.abc import Awaitable, Callable
from typing import TYPE_CHECKING, Annotated, Any, NotRequired

try:
    from langchain.agents.middleware import AgentMiddleware, AgentState
    from langchain.agents.middleware.types import PrivateStateAttr
    from langchain_core.messages import ToolMessage
    from langgraph.channels.untracked_value import UntrackedValue
    from langgraph.config import get_config
except ImportError as error:
    raise ImportError("ostik.integrations.langchain needs LangChain 1.x: pip install 'ostik[langchain]'") from error

if TYPE_CHECKING:
    # Where these live has moved between LangChain 1.x releases; only their types are needed.
    from langgraph.prebuilt.tool_node import ToolCallRequest
    from langgraph.runtime import Runtime
    from langgraph.types import Command

from ostik._engine import Decision, Guard
from ostik._native import Policy
from ostik.guarding import PolicyViolation
from ostik.integrations.runs import RunSessions, TraceFile, judge, new_run_id, refusal_message

__all__ = ["GuardMiddleware", "GuardState"]

RUN_KEY = "ostik_run"
HOLDER_KEY = "ostik_run_holder"


class GuardState(AgentState[Any]):
    """The agent state with the run's id, which the middleware adds."""

    # Checkpointed with the rest, so a resumed run finds its session again.
    ostik_run: NotRequired[Annotated[str, PrivateStateAttr]]
    # Lives as long as the run's state in memory; never checkpointed.
    ostik_run_holder: NotRequired[Annotated[Any, UntrackedValue, PrivateStateAttr]]


class _RunHolder:
    """Ends its run's session when the run's state lets go of it."""


def _checkpointed() -> bool:
    """Whether the running agent keeps its state in a checkpointer (the run has a thread)."""
    try:
        config = get_config()
    except RuntimeError:
        return False
    return config.get("configurable", {}).get("thread_id") is not None


class GuardMiddleware(AgentMiddleware[GuardState, Any]):
    """Judges every tool call of an agent run by an ostik guard before the tool runs.

    ``guard`` is an ``ostik.Guard`` (or a ``Policy`` to make one from).
    ``trace_file`` or ``trace_dir`` records each run's calls (see
    ostik.integrations.runs). ``raise_on_block`` raises ``PolicyViolation`` at
    a blocked call instead of telling the model. ``message`` makes the text the
    model receives for a blocked call from its decision.
    """

    state_schema = GuardState

    def __init__(self, guard: Guard | Policy, *, trace_file: TraceFile | None = None,
                 trace_dir: str | os.PathLike[str] | None = None, raise_on_block: bool = False,
                 message: Callable[[Decision], str] = refusal_message) -> None:
        super().__init__()
        self.runs = RunSessions(guard, trace_file, trace_dir)
        self.raise_on_block = raise_on_block
        self.message = message

    @property
    def guard(self) -> Guard:
        return self.runs.guard

    def before_agent(self, state: GuardState, runtime: Runtime[Any]) -> dict[str, Any] | None:
        previous = state.get("ostik_run")
        if previous is not None:
            # The thread's last run, left unfinished (interrupted and never resumed): it is over now.
            self.runs.end(previous)
        run_id = new_run_id()
        self.runs.start(run_id)
        update: dict[str, Any] = {RUN_KEY: run_id}
        if not _checkpointed():
            holder = _RunHolder()
            weakref.finalize(holder, self.runs.end, run_id)
            update[HOLDER_KEY] = holder
        return update

    async def abefore_agent(self, state: GuardState, runtime: Runtime[Any]) -> dict[str, Any] | None:
        return self.before_agent(state, runtime)

    def after_agent(self, state: GuardState, runtime: Runtime[Any]) -> dict[str, Any] | None:
        run_id = state.get("ostik_run")
        if run_id is not None:
            self.runs.end(run_id)
        return None

    async def aafter_agent(self, state: GuardState, runtime: Runtime[Any]) -> dict[str, Any] | None:
        return self.after_agent(state, runtime)

    def wrap_tool_call(self, request: ToolCallRequest,
                       handler: Callable[[ToolCallRequest], ToolMessage | Command[Any]]) -> ToolMessage | Command[Any]:
        refused = self._refusal(request)
        if refused is not None:
            return refused
        return handler(request)

    async def awrap_tool_call(
            self, request: ToolCallRequest,
            handler: Callable[[ToolCallRequest], Awaitable[ToolMessage | Command[Any]]]) -> ToolMessage | Command[Any]:
        refused = self._refusal(request)
        if refused is not None:
            return refused
        return await handler(request)

    def _refusal(self, request: ToolCallRequest) -> ToolMessage | None:
        """Judges the call; the message answering it when it is blocked."""
        state = request.state
        run_id = state.get(RUN_KEY) if isinstance(state, dict) else None
        if run_id is None:
            raise RuntimeError("GuardMiddleware judged a tool call outside an agent run: "
                               "give it to create_agent(..., middleware=[...])")
        call = request.tool_call
        decision = judge(self.runs.get(run_id), call["name"], call["args"], self.guard.on_error)
        if decision is None or decision.allowed:
            return None
        if self.raise_on_block:
            raise PolicyViolation(decision)
        return ToolMessage(content=self.message(decision), tool_call_id=call["id"] or "", name=call["name"],
                           status="error")
