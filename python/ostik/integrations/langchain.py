"""A LangChain agent middleware that judges every tool call before it runs.

    from langchain.agents import create_agent
    from ostik.integrations.langchain import GuardMiddleware

    agent = create_agent(model, tools, middleware=[GuardMiddleware(guard, trace_dir="traces")])

Sessions. With ``scope="run"`` (the default) every start of the agent
(``invoke``, ``stream``, ``ainvoke``, ``astream``) is a run with a session of
its own: the middleware's ``before_agent`` hook, which the agent runs once as
it starts, writes a fresh run id into the agent state (a private key,
"ostik_run"); every tool call of the run finds its session by that id, and
``after_agent``, run once as the agent finishes, ends it. A run interrupted
(human in the loop) and resumed with ``Command(resume=...)`` continues its
session, since its state (and the id in it) is checkpointed. With
``scope="thread"`` the session is the thread's, ``config["configurable"]
["thread_id"]``: every run on the thread, every user turn of one chat,
continues it (a run without a thread_id has a session of its own, as under
"run"). Sessions live in memory, or in ``store`` (a ``SessionStore``; a
``SqliteStore`` lets processes share them and a run resumed in another process
continue).

Calls. ``wrap_tool_call`` (and ``awrap_tool_call`` for ``ainvoke`` and
``astream``) checks each call with its tool name, its args and its
``tool_call_id``, so a call that comes again (a resumed approval in
``HumanInTheLoopMiddleware(interrupt_mode="per_call")``, which runs the
middleware before it again, or a second look) is judged and counted once. A
model turn's parallel calls are decided in the order the model listed them in
its message, whatever order the agent runs them in. An allowed call runs. A
refused call does not: the model receives a ``ToolMessage`` answering the call
(its ``tool_call_id``, status "error") whose content is the decision's
``message`` (or what ``message=`` makes of the decision); with
``raise_on_block=True`` the middleware raises ``ostik.PolicyViolation``
instead, which ends the run. With ``mode="observe"`` every call runs and what
the policy would have refused is logged. Args that cannot be judged follow the
policy's ``on_error``. Each tool's result (its ``ToolMessage``'s content, status "error" as a failure)
is handed to the session, for the policy's flows.

Approvals. A call the policy's ``ask`` entries apply to waits for a person
the way LangChain's ``HumanInTheLoopMiddleware`` waits: the middleware calls
LangGraph's ``interrupt`` with a "tool_approval" request (``tool_call_id``,
``name``, ``args``, and the decision's message as ``description``), the run
stops with the interrupt in its result, and it is answered with
``Command(resume={interrupt_id: {"type": "approve"}})`` or ``{"type":
"reject", "message": REASON}`` (a bare ``True`` or ``False`` too). Resumed,
the call is looked up by its id: approved, it runs and counts once; rejected,
it is denied in the session and the model receives a ``ToolMessage`` (status
"error") with the denial's message. Interrupts need a checkpointer: without
one (nothing could resume the run) an ask is refused like a block. Observing,
nothing waits.

Trace files and their keys: see ostik.integrations.runs; a session's key is
its run id (32 hex digits) or its thread id.
"""

from __future__ import annotations

import os
import weakref
from collections.abc import Awaitable, Callable
from typing import TYPE_CHECKING, Annotated, Any, NotRequired

try:
    from langchain.agents.middleware import AgentMiddleware, AgentState
    from langchain.agents.middleware.types import PrivateStateAttr
    from langchain_core.messages import ToolCall, ToolMessage
    from langgraph.channels.untracked_value import UntrackedValue
    from langgraph.config import get_config
    from langgraph.types import interrupt
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
from ostik.integrations.runs import Call, GuardedRuns, Mode, Scope, TraceFile, new_run_id, refusal_message

if TYPE_CHECKING:
    from ostik import SessionStore

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


def _thread_id() -> str | None:
    """The running agent's thread, when it has a checkpointer and the run's config names one."""
    try:
        config = get_config()
    except RuntimeError:
        return None
    thread = config.get("configurable", {}).get("thread_id")
    return None if thread is None else str(thread)


def _turn(state: Any) -> list[Call] | None:
    """The calls of the model turn being run, in the model's order, when it made more than one."""
    messages = state.get("messages") if isinstance(state, dict) else None
    if not messages:
        return None
    for message in reversed(messages):
        # By its type field: an isinstance check of a LangChain message class costs more than the rest of the call.
        if getattr(message, "type", None) == "ai":
            calls: list[ToolCall] = getattr(message, "tool_calls", None) or []
            if len(calls) < 2:
                return None
            return [Call(call["id"], call["name"], call["args"]) for call in calls]
    return None


class GuardMiddleware(AgentMiddleware[AgentState[Any], Any]):
    """Judges every tool call of an agent by an ostik guard before the tool runs.

    ``guard`` is an ``ostik.Guard`` (or a ``Policy`` to make one from).
    ``mode`` is "enforce" (refuse what the policy blocks) or "observe" (log
    it, refuse nothing). ``scope`` is "run" (a session per run) or "thread" (a
    session per thread id). ``store`` keeps the sessions (any
    ``ostik.SessionStore``) instead of memory. ``trace_file`` or ``trace_dir``
    records each session's calls (see ostik.integrations.runs).
    ``raise_on_block`` raises ``PolicyViolation`` at a refused call instead of
    telling the model. ``message`` makes the text the model receives for a
    refused call from its decision.
    """

    # The hooks' state is typed as the plain agent state, not GuardState: the middleware base class is
    # invariant in its state, and the plain type is what lets GuardMiddleware stand in a middleware list
    # beside LangChain's own (create_agent solves the list's state type to AgentState). The agent's
    # state still has the private keys, as state_schema says.
    state_schema = GuardState

    def __init__(self, guard: Guard | Policy, *, mode: Mode = "enforce", scope: Scope = "run",
                 store: SessionStore | None = None, trace_file: TraceFile | None = None,
                 trace_dir: str | os.PathLike[str] | None = None, raise_on_block: bool = False,
                 message: Callable[[Decision], str] = refusal_message) -> None:
        super().__init__()
        self.runs = GuardedRuns(guard, mode=mode, scope=scope, store=store, trace_file=trace_file,
                                trace_dir=trace_dir, raise_on_block=raise_on_block, message=message)

    @property
    def guard(self) -> Guard:
        return self.runs.guard

    def before_agent(self, state: AgentState[Any], runtime: Runtime[Any]) -> dict[str, Any] | None:
        thread = _thread_id()
        previous = state.get(RUN_KEY)
        if isinstance(previous, str) and previous != thread:
            # The thread's last run, left unfinished (interrupted and never resumed): it is over now.
            self.runs.end(previous)
        if self.runs.scope == "thread" and thread is not None:
            return {RUN_KEY: thread}
        run_id = new_run_id()
        update: dict[str, Any] = {RUN_KEY: run_id}
        if thread is None:
            # Without a checkpointer nothing can resume the run: its session goes with its state.
            holder = _RunHolder()
            weakref.finalize(holder, self.runs.end, run_id)
            update[HOLDER_KEY] = holder
        return update

    async def abefore_agent(self, state: AgentState[Any], runtime: Runtime[Any]) -> dict[str, Any] | None:
        return self.before_agent(state, runtime)

    def after_agent(self, state: AgentState[Any], runtime: Runtime[Any]) -> dict[str, Any] | None:
        run_id = state.get(RUN_KEY)
        if isinstance(run_id, str) and self.runs.scope == "run":
            self.runs.end(run_id)
        return None

    async def aafter_agent(self, state: AgentState[Any], runtime: Runtime[Any]) -> dict[str, Any] | None:
        return self.after_agent(state, runtime)

    def wrap_tool_call(self, request: ToolCallRequest,
                       handler: Callable[[ToolCallRequest], ToolMessage | Command[Any]]) -> ToolMessage | Command[Any]:
        key, refused = self._refusal(request)
        if refused is not None:
            return refused
        result = handler(request)
        self._hand_over(key, request, result)
        return result

    async def awrap_tool_call(
            self, request: ToolCallRequest,
            handler: Callable[[ToolCallRequest], Awaitable[ToolMessage | Command[Any]]]) -> ToolMessage | Command[Any]:
        key, refused = self._refusal(request)
        if refused is not None:
            return refused
        result = await handler(request)
        self._hand_over(key, request, result)
        return result

    def _refusal(self, request: ToolCallRequest) -> tuple[str, ToolMessage | None]:
        """Judges the call: its session's key, and the message answering it when it is refused (or denied)."""
        state = request.state
        key = state.get(RUN_KEY) if isinstance(state, dict) else None
        if key is None:
            raise RuntimeError("GuardMiddleware judged a tool call outside an agent run: "
                               "give it to create_agent(..., middleware=[...])")
        call = request.tool_call
        call_id = call["id"]
        runs = self.runs
        decision = runs.decide(key, call["name"], call["args"], call_id, _turn(state) if call_id else None)
        if call_id and runs.asks(decision) and _thread_id() is not None:
            assert decision is not None
            decision = self._ask(key, call, call_id, decision)
        if not runs.refuses(decision):
            return key, None
        assert decision is not None
        if runs.raise_on_block:
            raise PolicyViolation(decision)
        return key, ToolMessage(content=runs.message(decision), tool_call_id=call_id or "", name=call["name"],
                                status="error")

    def _ask(self, key: str, call: ToolCall, call_id: str, decision: Decision) -> Decision:
        """Stops the run for a person's answer (resumed, the answer), and resolves the call by it."""
        answer = interrupt({"type": "tool_approval", "tool_call_id": call_id, "name": call["name"],
                            "args": call["args"], "description": decision.message})
        kind = answer.get("type") if isinstance(answer, dict) else answer
        if kind == "approve" or kind is True:
            return self.runs.approve(key, call_id, call["name"], call["args"])
        reason = answer.get("message") if isinstance(answer, dict) else None
        if kind != "reject" and kind is not False:
            reason = f"the answer {answer!r} is neither an approval nor a rejection"
        return self.runs.deny(key, call_id, call["name"], call["args"], reason if isinstance(reason, str) else None)

    def _hand_over(self, key: str, request: ToolCallRequest, result: ToolMessage | Command[Any]) -> None:
        call = request.tool_call
        message = _tool_message(result, call["id"])
        if message is not None:
            self.runs.record_result(key, call["id"], call["name"], message.content, is_error=message.status == "error")


def _tool_message(result: ToolMessage | Command[Any], call_id: str | None) -> ToolMessage | None:
    """The message answering the call: the tool's own, or the one a Command it returned adds to the state."""
    if isinstance(result, ToolMessage):
        return result
    update = getattr(result, "update", None)
    messages = update.get("messages") if isinstance(update, dict) else None
    for message in messages if isinstance(messages, list) else ():
        if isinstance(message, ToolMessage) and message.tool_call_id == call_id:
            return message
    return None
