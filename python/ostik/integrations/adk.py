"""A Google ADK plugin that judges every tool call before the tool runs.

    from google.adk.apps import App
    from ostik.integrations.adk import PolicyPlugin

    app = App(name="coder", root_agent=agent, plugins=[PolicyPlugin(guard, trace_dir="traces")])

ADK recommends plugins over agent callbacks for security guardrails: a
plugin of the app sees every tool call of every agent its runner runs, and the agents and tools are left as they are. ``PolicyPlugin``'s
``before_tool_callback`` checks each call, its tool name, its args and its
``function_call_id``, so a call seen twice is judged once. An allowed call runs.
A refused call does not: the callback answers for the tool with
``{"error": MESSAGE}``, the decision's ``message`` (or what ``message=``
makes of the decision), which ADK gives the model as the tool's response; with
``raise_on_block=True`` it raises ``ostik.PolicyViolation`` instead, which
ends the run. With ``mode="observe"`` every call runs and what would have been
refused is logged. ``after_tool_callback`` hands each tool's result to the
session, for the policy's flows, and ``on_tool_error_callback`` the error of a
tool that raised (as a failed result; the error goes on as ADK would raise it).

Parallel calls. ADK runs the calls of one model response concurrently, each
in a task of its own. The plugin's ``on_event_callback`` sees the model's
response event before the calls run, with the calls in the model's order, and
each call is decided after those listed before it, whichever task comes first.

Approvals. A call the policy's ``ask`` entries apply to asks for ADK's tool
confirmation: the callback calls ``tool_context.request_confirmation`` with
the decision's message as the hint and answers the call for now with
``{"error": MESSAGE}``; ADK ends the invocation with an
``adk_request_confirmation`` function call for it. Answered with a
``FunctionResponse`` of that name carrying a ``ToolConfirmation``
(``{"confirmed": true}``, or false, with ``payload={"reason": TEXT}`` for a
denial's reason), ADK runs the call again with the confirmation, and the
callback finds it by its id: confirmed, the call runs and counts once, in the
session of the invocation that asked (the invocation that answers continues
that session); rejected, it is denied and the model receives
``{"error": MESSAGE}`` with the denial. An invocation that ends with a call
waiting keeps its session for the answer. Observing, nothing waits.

Sessions. With ``scope="run"`` a session per invocation (``invocation_id``:
one ``run_async`` of the runner, and the same invocation resumed), ended by
``after_run_callback``. With ``scope="thread"`` a session per ADK session
(``session.id``, the conversation): every user turn continues it. ``key=`` is
a function of the ``ToolContext`` giving the key instead. Trace files: see
ostik.integrations.runs.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

try:
    from google.adk.agents.invocation_context import InvocationContext
    from google.adk.events import Event
    from google.adk.plugins.base_plugin import BasePlugin
    from google.adk.tools.base_tool import BaseTool
    from google.adk.tools.tool_context import ToolContext
except ImportError as error:
    raise ImportError("ostik.integrations.adk needs Google ADK: pip install 'ostik[adk]'") from error

from ostik._engine import Decision, Guard
from ostik._native import Policy
from ostik.guarding import PolicyViolation
from ostik.integrations.runs import Call, GuardedRuns, Mode, Scope, TraceFile, given_key, refusal_message

if TYPE_CHECKING:
    from ostik import SessionStore

__all__ = ["PolicyPlugin"]


class PolicyPlugin(BasePlugin):
    """An ADK plugin judging each tool call by an ostik guard, with a session per invocation or conversation.

    ``guard`` is an ``ostik.Guard`` (or a ``Policy`` to make one from).
    ``mode`` is "enforce" or "observe"; ``scope`` "run" (per invocation) or
    "thread" (per ADK session); ``key`` a function of the ``ToolContext``
    giving the session's key instead; ``store`` keeps the sessions (any
    ``ostik.SessionStore``). ``trace_file`` or ``trace_dir`` records each
    session's calls. ``raise_on_block`` raises ``PolicyViolation`` at a
    refused call. ``message`` makes the error the model receives from the
    decision.
    """

    def __init__(self, guard: Guard | Policy, *, mode: Mode = "enforce", scope: Scope = "run",
                 key: Callable[[ToolContext], str] | None = None, store: SessionStore | None = None,
                 trace_file: TraceFile | None = None, trace_dir: str | os.PathLike[str] | None = None,
                 raise_on_block: bool = False, message: Callable[[Decision], str] = refusal_message,
                 name: str = "ostik_policy") -> None:
        super().__init__(name=name)
        self.runs = GuardedRuns(guard, mode=mode, scope=scope, store=store, trace_file=trace_file,
                                trace_dir=trace_dir, raise_on_block=raise_on_block, message=message)
        self.key = key
        # The calls of each invocation's latest model response that made more than one, in its order.
        self._turns: dict[str, list[Call]] = {}
        self._lock = threading.Lock()

    @property
    def guard(self) -> Guard:
        return self.runs.guard

    def session_key(self, tool_context: ToolContext) -> str:
        """The key of the session that the tool call belongs to."""
        if self.key is not None:
            return given_key(self.key, tool_context)
        if self.runs.scope == "thread":
            return tool_context.session.id
        return self.runs.continued(tool_context.invocation_id)

    async def on_event_callback(self, *, invocation_context: InvocationContext, event: Event) -> Event | None:
        calls = event.get_function_calls()
        if len(calls) > 1:
            with self._lock:
                self._turns[invocation_context.invocation_id] = [Call(c.id, c.name or "", c.args) for c in calls]
        return None

    async def before_tool_callback(self, *, tool: BaseTool, tool_args: dict[str, Any],
                                   tool_context: ToolContext) -> dict[str, Any] | None:
        runs = self.runs
        call_id = tool_context.function_call_id
        turn = self._turns.get(tool_context.invocation_id) if call_id else None
        confirmation = tool_context.tool_confirmation
        if call_id and confirmation is not None and self.key is None and runs.scope == "run":
            # The answer comes in an invocation of its own: it continues the session that asked.
            runs.continue_session(tool_context.invocation_id, call_id)
        key = self.session_key(tool_context)
        decision = runs.decide(key, tool.name, tool_args, call_id, turn)
        if call_id and runs.asks(decision):
            assert decision is not None
            if confirmation is None:
                tool_context.request_confirmation(hint=decision.message)
                # The pause is no result for the model to summarise.
                tool_context.actions.skip_summarization = True
                return {"error": decision.message}
            if confirmation.confirmed:
                decision = runs.approve(key, call_id, tool.name, tool_args)
            else:
                payload = confirmation.payload
                reason = payload.get("reason") if isinstance(payload, dict) else None
                decision = runs.deny(key, call_id, tool.name, tool_args, reason if isinstance(reason, str) else None)
        if not runs.refuses(decision):
            return None
        assert decision is not None
        if runs.raise_on_block:
            raise PolicyViolation(decision)
        return {"error": runs.message(decision)}

    async def after_tool_callback(self, *, tool: BaseTool, tool_args: dict[str, Any], tool_context: ToolContext,
                                  result: dict[str, Any]) -> dict[str, Any] | None:
        self.runs.record_result(self.session_key(tool_context), tool_context.function_call_id, tool.name, result)
        return None

    async def on_tool_error_callback(self, *, tool: BaseTool, tool_args: dict[str, Any], tool_context: ToolContext,
                                     error: Exception) -> dict[str, Any] | None:
        self.runs.record_result(self.session_key(tool_context), tool_context.function_call_id, tool.name, str(error),
                                is_error=True)
        return None

    async def after_run_callback(self, *, invocation_context: InvocationContext) -> None:
        invocation = invocation_context.invocation_id
        with self._lock:
            self._turns.pop(invocation, None)
        # A run that ends with a call waiting for its confirmation keeps its session for the answer.
        if self.runs.scope == "run" and self.key is None:
            self.runs.end_run(invocation)
