"""Pydantic AI: a toolset wrapper, and a capability applying it, that judge every tool call before it runs.

    from pydantic_ai import Agent
    from ostik.integrations.pydantic_ai import PolicyCapability

    agent = Agent(model, tools=[...], capabilities=[PolicyCapability(guard, trace_dir="traces")])

``PolicyToolset`` is a ``WrapperToolset``: its ``call_tool`` checks each call,
its tool name, its validated args and its ``tool_call_id``, before the wrapped
toolset runs it, so a call seen twice is judged once. ``PolicyCapability``
wraps the agent's whole toolset (its own ``tools=`` and ``@agent.tool``
functions, its ``toolsets`` and those given to a run) in one at every run,
through the capability's documented ``get_wrapper_toolset``; a toolset can
also be wrapped by hand, ``PolicyToolset(toolset, runs=...)``, to guard only
its tools. An allowed call runs. A refused call does not: the toolset raises
Pydantic AI's ``ToolFailed`` with the decision's ``message`` (or what
``message=`` makes of the decision), so the model receives a failed tool
result, which costs none of the tool's retries; with ``raise_on_block=True``
it raises ``ostik.PolicyViolation`` instead, which ends the run. With
``mode="observe"`` every call runs and what would have been refused is
logged. Each tool's result is handed to the session, for the policy's flows (the text of the
exception of a tool that fails, as a failed result).

Approvals. A call the policy's ``ask`` entries apply to is deferred for
approval as Pydantic AI defers a tool that requires it: the toolset raises
``ApprovalRequired`` (metadata ``{"ostik": {"reason": MESSAGE, "rule_id":
ID}}``), and the run ends with a ``DeferredToolRequests`` output listing the
call in ``approvals`` (the agent's ``output_type`` must allow it). The run that
continues it (``message_history=`` the first run's messages and
``deferred_tool_results=DeferredToolResults(approvals={call_id: True})``, or
``ToolApproved()``) finds the call by its id and continues the session that
asked: approved, the call runs and counts once. Denied (``False`` or ``ToolDenied(message)``), the call
does not run and the model receives the denial; the capability sees it in the
next model request and denies the call in the session, its message as the
reason (a ``PolicyToolset`` given by hand sees approvals only). Observing,
nothing is deferred.

Parallel calls. Pydantic AI runs the calls of one model response
concurrently. The run's messages (``ctx.messages``) end with that response,
which lists the calls in the model's order, and each call is decided after the
calls listed before it, whichever task comes first.

Sessions. With ``scope="run"`` a session per run (``ctx.run_id``: one
``agent.run``, ``run_sync`` or ``iter``), forgotten when the run ends, unless
it ends waiting for the approval of a call the guard asked about: the run
that answers it continues the session (a run has an id of its own, and Pydantic
AI refuses a ``run_id=`` already in the history it continues). With
``scope="thread"`` a session per conversation (``ctx.conversation_id``, which
a run takes over from the ``message_history`` it continues). ``key=`` is a
function of the ``RunContext`` giving the key instead. Trace files: see
ostik.integrations.runs.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Generic

try:
    from pydantic_ai import AgentRunResult, DeferredToolRequests, RunContext, ToolFailed
    from pydantic_ai.exceptions import ApprovalRequired, CallDeferred
    from pydantic_ai.capabilities import AbstractCapability
    from pydantic_ai.capabilities.abstract import WrapRunHandler
    from pydantic_ai.models import ModelRequestContext
    from pydantic_ai.messages import ModelRequest, ModelResponse, ToolCallPart, ToolReturnPart
    from pydantic_ai.tools import AgentDepsT
    from pydantic_ai.toolsets import AbstractToolset, ToolsetTool, WrapperToolset
except ImportError as error:
    raise ImportError("ostik.integrations.pydantic_ai needs Pydantic AI: pip install 'ostik[pydantic-ai]'") from error

from ostik._engine import Decision, Guard
from ostik._native import Policy
from ostik.guarding import PolicyViolation
from ostik.integrations.runs import Call, GuardedRuns, Mode, Scope, TraceFile, given_key, refusal_message

if TYPE_CHECKING:
    from ostik import SessionStore

__all__ = ["PolicyCapability", "PolicyToolset", "policy_runs"]


def policy_runs(guard: Guard | Policy, *, mode: Mode = "enforce", scope: Scope = "run",
                store: SessionStore | None = None, trace_file: TraceFile | None = None,
                trace_dir: str | os.PathLike[str] | None = None, raise_on_block: bool = False,
                message: Callable[[Decision], str] = refusal_message) -> GuardedRuns:
    """The sessions that a ``PolicyToolset`` judges in (see ostik.integrations.runs for the options)."""
    return GuardedRuns(guard, mode=mode, scope=scope, store=store, trace_file=trace_file, trace_dir=trace_dir,
                       raise_on_block=raise_on_block, message=message)


def _session_key(runs: GuardedRuns, key: Callable[[RunContext[Any]], str] | None, ctx: RunContext[Any]) -> str:
    if key is not None:
        return given_key(key, ctx)
    if runs.scope == "thread":
        return str(ctx.conversation_id)
    return runs.continued(str(ctx.run_id))


def _turn(ctx: RunContext[Any]) -> list[Call] | None:
    """The calls of the model response being run, in the model's order, when it made more than one."""
    messages = ctx.messages
    for message in reversed(messages):
        if isinstance(message, ModelResponse):
            calls = [part for part in message.parts if isinstance(part, ToolCallPart)]
            if len(calls) < 2:
                return None
            return [Call(part.tool_call_id, part.tool_name, part.args_as_dict()) for part in calls]
    return None


@dataclass
class PolicyToolset(WrapperToolset[AgentDepsT]):
    """A toolset judging each call of the toolset it wraps by an ostik guard, before the call runs.

    ``runs`` holds the sessions (``policy_runs(guard, ...)``); ``key`` is a
    function of the ``RunContext`` giving a call's session key, when neither
    the run's id nor its conversation's is the one."""

    runs: GuardedRuns = field(kw_only=True)
    key: Callable[[RunContext[AgentDepsT]], str] | None = field(default=None, kw_only=True)

    def session_key(self, ctx: RunContext[AgentDepsT]) -> str:
        return _session_key(self.runs, self.key, ctx)

    async def call_tool(self, name: str, tool_args: dict[str, Any], ctx: RunContext[AgentDepsT],
                        tool: ToolsetTool[AgentDepsT]) -> Any:
        runs = self.runs
        call_id = ctx.tool_call_id
        if call_id and ctx.tool_call_approved and self.key is None and runs.scope == "run":
            # Approved in a run that continues the one that asked: its session.
            runs.continue_session(str(ctx.run_id), call_id)
        key = self.session_key(ctx)
        decision = runs.decide(key, name, tool_args, call_id, _turn(ctx) if call_id else None)
        if call_id and runs.asks(decision):
            assert decision is not None
            if not ctx.tool_call_approved:
                raise ApprovalRequired({"ostik": {"reason": decision.message, "rule_id": decision.blocked_by}})
            decision = runs.approve(key, call_id, name, tool_args)
        if runs.refuses(decision):
            assert decision is not None
            if runs.raise_on_block:
                raise PolicyViolation(decision)
            raise ToolFailed(runs.message(decision))
        try:
            result = await self.wrapped.call_tool(name, tool_args, ctx, tool)
        except (CallDeferred, ApprovalRequired):
            raise  # the call has not run yet
        except Exception as error:
            # What the model is told of a failed call (a retry prompt, a tool failure) is a result too.
            runs.record_result(key, call_id, name, str(error), is_error=True)
            raise
        runs.record_result(key, call_id, name, result)
        return result


def _deny_returned(runs: GuardedRuns, ctx: RunContext[Any], by_run: bool, key_of: Callable[[], str]) -> None:
    """Denies in its session each pending call that the last request answers as denied."""
    messages = ctx.messages
    if not messages or not isinstance(messages[-1], ModelRequest):
        return
    denied = [part for part in messages[-1].parts if isinstance(part, ToolReturnPart) and part.outcome == "denied"]
    if not denied:
        return
    calls = {part.tool_call_id: part for message in messages if isinstance(message, ModelResponse)
             for part in message.parts if isinstance(part, ToolCallPart)}
    for part in denied:
        if by_run:
            # Denied in a run that continues the one that asked: its session.
            runs.continue_session(str(ctx.run_id), part.tool_call_id)
        key = key_of()
        if part.tool_call_id in runs.pending(key):
            call = calls.get(part.tool_call_id)
            args = call.args_as_dict() if call is not None else None
            runs.deny(key, part.tool_call_id, part.tool_name, args, str(part.content))


@dataclass(init=False)
class PolicyCapability(AbstractCapability[AgentDepsT], Generic[AgentDepsT]):
    """A capability that guards every tool of the agent it is given to, by an ostik guard.

    ``guard`` is an ``ostik.Guard`` (or a ``Policy`` to make one from).
    ``mode`` is "enforce" or "observe"; ``scope`` "run" or "thread"; ``key``
    a function of the ``RunContext`` giving the session's key instead;
    ``store`` keeps the sessions (any ``ostik.SessionStore``). ``trace_file``
    or ``trace_dir`` records each session's calls. ``raise_on_block`` raises
    ``PolicyViolation`` at a refused call. ``message`` makes the failure the
    model receives from the decision.
    """

    runs: GuardedRuns
    key: Callable[[RunContext[AgentDepsT]], str] | None

    def __init__(self, guard: Guard | Policy, *, mode: Mode = "enforce", scope: Scope = "run",
                 key: Callable[[RunContext[AgentDepsT]], str] | None = None, store: SessionStore | None = None,
                 trace_file: TraceFile | None = None, trace_dir: str | os.PathLike[str] | None = None,
                 raise_on_block: bool = False, message: Callable[[Decision], str] = refusal_message) -> None:
        self.runs = policy_runs(guard, mode=mode, scope=scope, store=store, trace_file=trace_file,
                                trace_dir=trace_dir, raise_on_block=raise_on_block, message=message)
        self.key = key

    @property
    def guard(self) -> Guard:
        return self.runs.guard

    def get_wrapper_toolset(self, toolset: AbstractToolset[AgentDepsT]) -> AbstractToolset[AgentDepsT] | None:
        return PolicyToolset(toolset, runs=self.runs, key=self.key)

    async def before_model_request(self, ctx: RunContext[AgentDepsT],
                                   request_context: ModelRequestContext) -> ModelRequestContext:
        # The calls denied by the deferred results of a continued run come back as denied returns.
        if self.runs.mode == "enforce":
            _deny_returned(self.runs, ctx, self.key is None and self.runs.scope == "run",
                           lambda: self.session_key(ctx))
        return request_context

    def session_key(self, ctx: RunContext[AgentDepsT]) -> str:
        """The key of the session that the run's calls belong to."""
        return _session_key(self.runs, self.key, ctx)

    async def wrap_run(self, ctx: RunContext[AgentDepsT], *, handler: WrapRunHandler) -> AgentRunResult[Any]:
        # A run's session is forgotten when it ends, unless it ends waiting for deferred calls, which a
        # run given its run_id continues.
        ended = self.runs.scope == "run" and self.key is None
        try:
            result = await handler()
        except BaseException:
            if ended:
                self.runs.end_run(str(ctx.run_id))
            raise
        if ended and not isinstance(result.output, DeferredToolRequests):
            self.runs.end_run(str(ctx.run_id))
        return result
