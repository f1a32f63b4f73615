"""An OpenAI Agents SDK tool input guardrail that judges every function tool call.

    from ostik.integrations.openai_agents import PolicyGuardrail, guard_agent

    guarded = guard_agent(agent, PolicyGuardrail(guard, trace_dir="traces"))

``PolicyGuardrail`` is a ``ToolInputGuardrail``: the SDK runs it before each
call of a function tool that lists it in ``tool_input_guardrails``.
``guard_agent`` returns a guarded copy of an agent: new agent objects (the
agent and those it hands off to) whose function tools are copies that list the
guardrail. The caller's agent, its tools and its handoffs are not changed, and
stay usable unguarded or under another guard at the same time. The guardrail
judges each call, its tool name, its arguments (the JSON text the model sent,
parsed) and its call id, as the next call of its session. An allowed call
runs. A refused call does not: the guardrail rejects it and the model receives
the decision's ``message`` as the call's output (or what ``message=`` makes of
the decision); with ``raise_on_block=True`` the guardrail trips instead and the
run stops with the SDK's ``ToolInputGuardrailTripwireTriggered``. Either way
the decision (an ``ostik.Decision``) is the guardrail result's ``output_info``,
listed in the run result's ``tool_input_guardrail_results``. With
``mode="observe"`` every call runs and what would have been refused is logged.
Arguments that cannot be judged follow the policy's ``on_error``. A call that
the SDK puts through its guardrails twice (before and after an approval) is
judged once, by its call id.

Approvals. A call the policy's ``ask`` entries apply to waits for the SDK's
own approval: the function tools of ``guard_agent``'s copy carry a
``needs_approval`` check that decides the call (the tool's own
``needs_approval`` still applies too) and asks for approval when the verdict
is "ask", so the run stops with the call among ``result.interruptions``.
Approve it with ``state.approve(item)`` (or ``guardrail.approve(state,
item)``) and run the state again: the guardrail finds the call by its id,
approved, and it runs and counts once. Deny it with ``guardrail.reject(state,
item, reason=None)``: the call is denied in the session and the model
receives the denial's message when the run resumes. A plain
``state.reject(item)`` (with or without ``rejection_message``) denies it too:
the SDK tells the model its own rejection message, and the agents of
``guard_agent``'s copy carry hooks (beside their own ``hooks``, which still
run) that find the rejected call in the resumed run's state before its next
model call, or its end, and deny it in its session with the rejection message as the
denial's reason. A tool that lists the guardrail without
``guard_agent`` has no approval check: an ask on it is refused like a block.
Observing, nothing waits. The ``key`` function is given the run's
``RunContextWrapper`` when the check decides a call (``ctx.context`` is your
context object in both). The check is given only to the tools of a guard
whose policy has ask entries; the SDK asks for approval of a call to such a
tool whose arguments are not a JSON object, since it cannot run the check.

Results. ``guardrail.result_guardrail`` is its companion ``ToolOutputGuardrail``,
which hands each call's output to the call's session for the policy's flows,
and lets the output through unchanged. ``guard_agent`` lists both on every
function tool; a tool guarded by hand lists ``result_guardrail`` in its
``tool_output_guardrails`` beside the guardrail in its
``tool_input_guardrails``. (The SDK gives a tool's error to the model as its
output, so a failed call's error is handed over as a result too.)

Sessions. With ``scope="run"`` a session per run: the ``RunContextWrapper``
that ``Runner.run`` (``run_sync``, ``run_streamed``) makes is copied into every
tool call's ``ToolContext``, and the copies share the run's ``usage`` object,
which the guardrail tags with the run's id on its first call. A ``RunState``
taken from the run (``result.to_state()``, after an approval interruption)
copies that usage, tag and all, so the run resumed from it continues its
session and its trace file; the session is forgotten when no usage carrying
the tag is left. An agent used as a tool (``Agent.as_tool``) runs within the
calling run. With ``scope="thread"``, or whenever ``key=`` is given, the
session's key is ``key(context)``, a function of the tool call's context
(the ``ToolContext``; your own context object is ``context.context``) giving the
conversation's id: a run resumed in another process from a ``RunState`` read
from JSON, or runs sharing a ``store``, find their session by it. Handoffs are
not function tool calls and are not judged; tools that an agent gets only
while it runs (from MCP servers) have no guardrail unless given one.

Parallel calls: the SDK starts a turn's function calls in the order the model
listed them, and each call is decided as it starts, so decisions follow the
model's order.

Trace files: see ostik.integrations.runs; a run's key is 32 hex digits.
"""

from __future__ import annotations

import copy
import inspect
import os
import threading
import weakref
from collections import OrderedDict
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, TypeVar

try:
    from agents import Agent, AgentHooks, FunctionTool, Handoff, RunState, Tool, ToolApprovalItem
    from agents.run_context import RunContextWrapper
    from agents.tool_context import ToolContext
    from agents.tool_guardrails import (ToolGuardrailFunctionOutput, ToolInputGuardrail, ToolInputGuardrailData,
                                        ToolOutputGuardrail, ToolOutputGuardrailData)
    from agents.usage import Usage
except ImportError as error:
    raise ImportError("ostik.integrations.openai_agents needs the OpenAI Agents SDK: "
                      "pip install 'ostik[openai-agents]'") from error

from ostik._engine import Decision, Guard
from ostik._native import Policy
from ostik.integrations.runs import (REMEMBERED_IDS, GuardedRuns, Mode, Scope, TraceFile, call_arguments, given_key,
                                     new_run_id, refusal_message)

if TYPE_CHECKING:
    from ostik import SessionStore

__all__ = ["PolicyGuardrail", "guard_agent"]

TContext = TypeVar("TContext")

RUN_TAG = "_ostik_runs"


class _RunTag:
    """The run's id, kept on its usage object and shared by every copy of it; its end is the run's end."""

    __slots__ = ("run_id", "__weakref__")

    def __init__(self, run_id: str) -> None:
        self.run_id = run_id

    def __deepcopy__(self, memo: dict[int, Any]) -> _RunTag:
        # A RunState copies the usage: the copy continues the same run.
        return self

    def __copy__(self) -> _RunTag:
        return self


class PolicyGuardrail(ToolInputGuardrail[Any]):
    """A tool input guardrail judging each call by an ostik guard, with a session per run or conversation.

    ``guard`` is an ``ostik.Guard`` (or a ``Policy`` to make one from).
    ``mode`` is "enforce" or "observe"; ``scope`` "run" or "thread", the
    latter with ``key``, a function of the tool call's ``ToolContext`` giving
    the conversation's key; ``store`` keeps the sessions (any
    ``ostik.SessionStore``). ``trace_file`` or ``trace_dir`` records each
    session's calls (see ostik.integrations.runs). ``raise_on_block`` stops
    the run at a refused call instead of telling the model. ``message`` makes
    the text the model receives for a refused call from its decision.
    """

    def __init__(self, guard: Guard | Policy, *, mode: Mode = "enforce", scope: Scope = "run",
                 key: Callable[[ToolContext[Any]], str] | None = None, store: SessionStore | None = None,
                 trace_file: TraceFile | None = None, trace_dir: str | os.PathLike[str] | None = None,
                 raise_on_block: bool = False, message: Callable[[Decision], str] = refusal_message,
                 name: str = "ostik_policy") -> None:
        if scope == "thread" and key is None:
            raise ValueError("scope='thread' needs key=: a function of the tool call's context giving the "
                             "conversation's key")
        super().__init__(guardrail_function=self._judge, name=name)
        self.runs = GuardedRuns(guard, mode=mode, scope=scope, store=store, trace_file=trace_file,
                                trace_dir=trace_dir, raise_on_block=raise_on_block, message=message)
        self.key = key
        # Each guardrail tags usages under a name of its own: two guards of one run keep apart.
        self._tag = f"{RUN_TAG}_{id(self):x}"
        # Whether the policy has ask entries: only then do the guarded tools get an approval check.
        self.asks = any(entry["rule_type"] == "ask" for entry in self.runs.guard.entries)
        # The calls whose approval check asked for approval, until their guardrail sees them approved or the
        # run's state rejects them: their tool and args.
        self._asking: OrderedDict[str, tuple[str, Any]] = OrderedDict()
        self._lock = threading.Lock()
        self.result_guardrail: ToolOutputGuardrail[Any] = ToolOutputGuardrail(guardrail_function=self._record,
                                                                              name=f"{name}_results")

    @property
    def guard(self) -> Guard:
        return self.runs.guard

    def session_key(self, context: RunContextWrapper[Any]) -> str:
        """The key of the session a call in this context belongs to."""
        if self.key is not None:
            # The approval check has the run's context, the guardrail the tool call's: ctx.context in both.
            return given_key(self.key, context)
        return self._run_key(context.usage)

    def _run_key(self, usage: Usage) -> str:
        tag = usage.__dict__.get(self._tag)
        if tag is None:
            tag = _RunTag(new_run_id())
            usage.__dict__[self._tag] = tag
            weakref.finalize(tag, self.runs.end, tag.run_id)
        assert isinstance(tag, _RunTag)
        return tag.run_id

    def _judge(self, data: ToolInputGuardrailData) -> ToolGuardrailFunctionOutput:
        context = data.context
        runs = self.runs
        key = self.session_key(context)
        call_id = context.tool_call_id or None
        args = call_arguments(context.tool_arguments)
        decision = runs.decide(key, context.tool_name, args, call_id)
        if call_id is not None and runs.asks(decision):
            status = context.is_tool_approved(context.tool_name, call_id)
            if status is True:
                with self._lock:
                    self._asking.pop(call_id, None)
                decision = runs.approve(key, call_id, context.tool_name, args)
            elif status is None and call_id in self._asking:
                # Looked at before the approval is asked for (pre-approval guardrails): the SDK stops for it.
                return ToolGuardrailFunctionOutput.allow(output_info=decision)
        if not runs.refuses(decision):
            return ToolGuardrailFunctionOutput.allow(output_info=decision)
        assert decision is not None
        if runs.raise_on_block:
            return ToolGuardrailFunctionOutput.raise_exception(output_info=decision)
        return ToolGuardrailFunctionOutput.reject_content(runs.message(decision), output_info=decision)


    def needs_approval(self, tool: FunctionTool) -> Callable[[RunContextWrapper[Any], dict[str, Any], str], Any]:
        """The approval check of a guarded copy of ``tool``: the tool's own, or the guard's verdict "ask"."""
        own = tool.needs_approval
        name = tool.name

        async def needs_approval(context: RunContextWrapper[Any], params: dict[str, Any], call_id: str) -> bool:
            if own is True:
                return True
            if callable(own):
                answer: object = own(context, params, call_id)
                if inspect.isawaitable(answer):
                    answer = await answer
                if answer:
                    return True
            runs = self.runs
            if not call_id or runs.mode != "enforce":
                return False
            decision = runs.decide(self.session_key(context), name, params, call_id)
            if not runs.asks(decision):
                return False
            with self._lock:
                self._asking[call_id] = (name, params)
                if len(self._asking) > REMEMBERED_IDS:
                    self._asking.popitem(last=False)
            return True

        return needs_approval

    def approve(self, state: RunState[Any, Any], item: ToolApprovalItem) -> None:
        """Approves an interrupted call in the state (``state.approve``); the guardrail approves it in the session
        when the resumed run comes to it."""
        state.approve(item)

    def reject(self, state: RunState[Any, Any], item: ToolApprovalItem, reason: str | None = None) -> None:
        """Rejects an interrupted call: denied in its session (with ``reason``), and the model is told the
        denial's message when the state runs again."""
        call_id = item.call_id
        # The state's run context (which the SDK keeps under this name) holds what the session's key is made of.
        context = state._context
        if call_id and context is not None and item.tool_name:
            denied = self.runs.deny(self.session_key(context), call_id, item.tool_name,
                                    call_arguments(item.arguments or ""), reason)
            with self._lock:
                self._asking.pop(call_id, None)
            state.reject(item, rejection_message=self.runs.message(denied))
            return
        state.reject(item, rejection_message=reason)

    def settle_rejections(self, context: RunContextWrapper[Any], items: Sequence[object] = ()) -> None:
        """Denies in their sessions the asked calls that the run's state rejected (``state.reject``).

        The candidates are the calls this guardrail asked about and the function calls among ``items`` (the
        input of a model call: a run resumed in another process has only those); a call is denied when the
        context's approvals reject it and its session still waits for its answer."""
        if not self.asks or self.runs.mode != "enforce":
            return
        with self._lock:
            candidates = dict(self._asking)
        for item in items:
            if isinstance(item, dict) and item.get("type") == "function_call":
                call_id, tool = item.get("call_id"), item.get("name")
                if isinstance(call_id, str) and isinstance(tool, str) and call_id not in candidates:
                    candidates[call_id] = (tool, call_arguments(item.get("arguments") or ""))
        rejected = [(call_id, tool, args) for call_id, (tool, args) in candidates.items()
                    if context.is_tool_approved(tool, call_id) is False]
        if not rejected:
            return
        key = self.session_key(context)
        pending = self.runs.pending(key)
        for call_id, tool, args in rejected:
            with self._lock:
                self._asking.pop(call_id, None)
            if call_id in pending:
                self.runs.deny(key, call_id, tool, args, context.get_rejection_message(tool, call_id))

    def _record(self, data: ToolOutputGuardrailData) -> ToolGuardrailFunctionOutput:
        context = data.context
        self.runs.record_result(self.session_key(context), context.tool_call_id or None, context.tool_name, data.output)
        return ToolGuardrailFunctionOutput.allow()


def guard_agent(agent: Agent[TContext], guardrail: PolicyGuardrail) -> Agent[TContext]:
    """A guarded copy of ``agent``: its function tools, and those of the agents it hands off to, list ``guardrail``
    (and its ``result_guardrail``).

    Nothing of the caller's is changed: the agents are clones (``Agent.clone``)
    and the tools copies. A tool that lists the guardrail already is kept as it
    is. An agent reached through a ``handoff(...)`` object is guarded too,
    through a copy of that object handing off to the guarded clone."""
    clones: dict[int, Agent[Any]] = {}

    def guarded(current: Agent[Any]) -> Agent[Any]:
        done = clones.get(id(current))
        if done is not None:
            return done
        clone = current.clone(tools=[_guarded_tool(tool, guardrail) for tool in current.tools])
        if guardrail.asks:
            clone.hooks = _SettlingHooks(guardrail, current.hooks)
        # Before the handoffs: an agent handing back to one that hands off to it finds its clone.
        clones[id(current)] = clone
        clone.handoffs = [_guarded_handoff(target, guarded) for target in current.handoffs]
        return clone

    return guarded(agent)


class _SettlingHooks(AgentHooks[Any]):
    """The hooks of a guarded agent: its own (if any), and the guardrail's look for rejected asks (see
    ``PolicyGuardrail.settle_rejections``) before each model call and at the agent's end."""

    def __init__(self, guardrail: PolicyGuardrail, own: AgentHooks[Any] | None) -> None:
        self.guardrail = guardrail
        self.own: AgentHooks[Any] | None = own.own if isinstance(own, _SettlingHooks) else own

    async def on_llm_start(self, context: RunContextWrapper[Any], agent: Agent[Any], system_prompt: str | None,
                           input_items: list[Any]) -> None:
        self.guardrail.settle_rejections(context, input_items)
        if self.own is not None:
            await self.own.on_llm_start(context, agent, system_prompt, input_items)

    async def on_end(self, context: Any, agent: Agent[Any], output: Any) -> None:
        self.guardrail.settle_rejections(context)
        if self.own is not None:
            await self.own.on_end(context, agent, output)

    async def on_start(self, context: Any, agent: Agent[Any]) -> None:
        if self.own is not None:
            await self.own.on_start(context, agent)

    async def on_handoff(self, context: RunContextWrapper[Any], agent: Agent[Any], source: Agent[Any]) -> None:
        if self.own is not None:
            await self.own.on_handoff(context, agent, source)

    async def on_tool_start(self, context: RunContextWrapper[Any], agent: Agent[Any], tool: Tool) -> None:
        if self.own is not None:
            await self.own.on_tool_start(context, agent, tool)

    async def on_tool_end(self, context: RunContextWrapper[Any], agent: Agent[Any], tool: Tool,
                          result: object) -> None:
        if self.own is not None:
            await self.own.on_tool_end(context, agent, tool, result)

    async def on_llm_end(self, context: RunContextWrapper[Any], agent: Agent[Any], response: Any) -> None:
        if self.own is not None:
            await self.own.on_llm_end(context, agent, response)


def _guarded_tool(tool: Any, guardrail: PolicyGuardrail) -> Any:
    if not isinstance(tool, FunctionTool):
        return tool
    guardrails = tool.tool_input_guardrails or []
    outputs = tool.tool_output_guardrails or []
    listed = any(g is guardrail for g in guardrails)
    results = guardrail.result_guardrail
    if listed and any(g is results for g in outputs):
        return tool
    copied = copy.copy(tool)
    if not listed:
        copied.tool_input_guardrails = [*guardrails, guardrail]
        if guardrail.asks:
            copied.needs_approval = guardrail.needs_approval(tool)
    if not any(g is results for g in outputs):
        copied.tool_output_guardrails = [*outputs, results]
    return copied


def _guarded_handoff(target: Any, guarded: Callable[[Agent[Any]], Agent[Any]]) -> Any:
    if isinstance(target, Agent):
        return guarded(target)
    if not isinstance(target, Handoff):
        return target
    # handoff() keeps a weak reference to its agent; nothing public names it.
    reference = getattr(target, "_agent_ref", None)
    original = reference() if callable(reference) else None
    if not isinstance(original, Agent):
        return target
    clone = guarded(original)
    invoke = target.on_invoke_handoff

    async def on_invoke_handoff(context: RunContextWrapper[Any], arguments: str) -> Any:
        handed = await invoke(context, arguments)
        return clone if handed is original else handed

    copied = copy.copy(target)
    copied.on_invoke_handoff = on_invoke_handoff
    copied._agent_ref = weakref.ref(clone)
    return copied
