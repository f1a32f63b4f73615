"""An OpenAI Agents SDK tool input guardrail that judges every function tool call.

    from ostik.integrations.openai_agents import PolicyGuardrail, guard_agent

    guard_agent(agent, PolicyGuardrail(guard, trace_dir="traces"))

``PolicyGuardrail`` is a ``ToolInputGuardrail``: the SDK runs it before each
call of a function tool that lists it in ``tool_input_guardrails``, and
``guard_agent`` adds it to every function tool of an agent and of the agents it
hands off to. It judges the call, its tool name and its arguments (the JSON
text the model sent, parsed), as the next step of the run. An allowed call
runs. A blocked call does not: the guardrail rejects it and the model receives
the reason as the call's output, "blocked by RULE_ID: REASON" (or what
``message`` makes of the decision); with ``raise_on_block=True`` the guardrail
trips instead and the run stops with the SDK's
``ToolInputGuardrailTripwireTriggered``. Either way the decision (an
``ostik.Decision``) is the guardrail result's ``output_info``, listed in the
run result's ``tool_input_guardrail_results``. Arguments that cannot be judged
follow the policy's ``on_error``, as the guard's wrappers do.

Runs. A session per run, keyed by the run's context: the ``RunContextWrapper``
that ``Runner.run`` (``run_sync``, ``run_streamed``) makes for the run is
copied into every tool call's ``ToolContext``, and the copies share the run's
``usage`` object, so the guardrail keeps one session per ``usage`` object, and
forgets it when that object goes with its run. An agent used as a tool
(``Agent.as_tool``) runs inside the calling run's context, with its usage, so
its calls are steps of the calling run. A run resumed from a ``RunState`` (after
an approval interruption) has a usage of its own, so it continues in a new
session. Handoffs are not function tool calls and are not judged; tools that
an agent gets only while it runs (from MCP servers) have no guardrail unless
given one.

Trace files: see ostik.integrations.runs.
"""

from __future__ import annotations

import os
import threading
import weakref
from collections.abc import Callable
from typing import Any

try:
    from agents import Agent, FunctionTool, Handoff
    from agents.tool_guardrails import ToolGuardrailFunctionOutput, ToolInputGuardrail, ToolInputGuardrailData
    from agents.usage import Usage
except ImportError as error:
    raise ImportError("ostik.integrations.openai_agents needs the OpenAI Agents SDK: "
                      "pip install 'ostik[openai-agents]'") from error

from ostik._engine import Decision, Guard, Session
from ostik._native import Policy
from ostik.integrations.runs import RunSessions, TraceFile, call_arguments, judge, new_run_id, refusal_message

__all__ = ["PolicyGuardrail", "guard_agent"]


class PolicyGuardrail(ToolInputGuardrail[Any]):
    """A tool input guardrail judging each call by an ostik guard, with a session per run.

    ``guard`` is an ``ostik.Guard`` (or a ``Policy`` to make one from).
    ``trace_file`` or ``trace_dir`` records each run's calls (see
    ostik.integrations.runs). ``raise_on_block`` stops the run at a blocked
    call instead of telling the model. ``message`` makes the text the model
    receives for a blocked call from its decision.
    """

    def __init__(self, guard: Guard | Policy, *, trace_file: TraceFile | None = None,
                 trace_dir: str | os.PathLike[str] | None = None, raise_on_block: bool = False,
                 message: Callable[[Decision], str] = refusal_message, name: str = "ostik_policy") -> None:
        super().__init__(guardrail_function=self._judge, name=name)
        self.runs = RunSessions(guard, trace_file, trace_dir)
        self.raise_on_block = raise_on_block
        self.message = message
        # id(usage) -> run id; an entry goes when its usage object does, so an id is never reused under it.
        self._run_ids: dict[int, str] = {}
        # Reentrant: garbage collected while it is held may end a run (a finalizer) here.
        self._lock = threading.RLock()

    @property
    def guard(self) -> Guard:
        return self.runs.guard

    def session(self, usage: Usage) -> Session:
        """The session of the run whose usage this is; started at its first call."""
        key = id(usage)
        with self._lock:
            run_id = self._run_ids.get(key)
            if run_id is None:
                run_id = self._run_ids[key] = new_run_id()
                weakref.finalize(usage, self._end, key, run_id)
        return self.runs.get(run_id)

    def _end(self, key: int, run_id: str) -> None:
        with self._lock:
            self._run_ids.pop(key, None)
        self.runs.end(run_id)

    def _judge(self, data: ToolInputGuardrailData) -> ToolGuardrailFunctionOutput:
        context = data.context
        decision = judge(self.session(context.usage), context.tool_name, call_arguments(context.tool_arguments),
                         self.guard.on_error)
        if decision is None or decision.allowed:
            return ToolGuardrailFunctionOutput.allow(output_info=decision)
        if self.raise_on_block:
            return ToolGuardrailFunctionOutput.raise_exception(output_info=decision)
        return ToolGuardrailFunctionOutput.reject_content(self.message(decision), output_info=decision)


def guard_agent(agent: Agent[Any], guardrail: PolicyGuardrail) -> Agent[Any]:
    """Adds ``guardrail`` to every function tool of ``agent`` and of the agents it hands off to; returns ``agent``.

    The tools are changed in place (an agent sharing a tool object shares its
    guardrail), and a tool that has the guardrail already is left as it is. An
    agent reached through a ``handoff(...)`` object is included when the object
    still refers to it."""
    seen: set[int] = set()
    pending: list[Agent[Any]] = [agent]
    while pending:
        current = pending.pop()
        if id(current) in seen:
            continue
        seen.add(id(current))
        for tool in current.tools:
            if isinstance(tool, FunctionTool):
                guardrails = tool.tool_input_guardrails or []
                if not any(g is guardrail for g in guardrails):
                    tool.tool_input_guardrails = [*guardrails, guardrail]
        for target in current.handoffs:
            if isinstance(target, Agent):
                pending.append(target)
            elif isinstance(target, Handoff):
                # handoff() keeps a weak reference to its agent; nothing public names it.
                reference = getattr(target, "_agent_ref", None)
                handed = reference() if callable(reference) else None
                if isinstance(handed, Agent):
                    pending.append(handed)
    return agent
