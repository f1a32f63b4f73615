"""Claude Agent SDK hooks that judge every tool call before Claude Code runs it.

    from claude_agent_sdk import ClaudeAgentOptions, query
    from ostik.integrations.claude_agent_sdk import GuardHooks, guard_options

    options = guard_options(ClaudeAgentOptions(...), GuardHooks(guard, trace_dir="traces"))
    async for message in query(prompt="Fix the date parser", options=options): ...

``GuardHooks`` gives the SDK four hooks (``hooks``): ``PreToolUse``, which
the SDK documents as the hook that sees every tool call (a ``can_use_tool``
callback is skipped for calls that a permission mode or an allow rule
approves), ``PostToolUse`` and ``PostToolUseFailure``, which hand each tool's
result (its ``tool_response``, or the ``error`` of a call that failed) to the
session for the policy's flows, and ``Stop``, which ends a run's session. ``guard_options`` returns a copy of the
options with the hooks put first beside the caller's own; the caller's options
are not changed.

Calls. ``PreToolUse`` checks the call, its tool name (Claude Code's own, such
as "Bash" or "Read", and "mcp__SERVER__TOOL" for MCP tools), its input as the
args and its ``tool_use_id``, so a call seen twice is judged once. An allowed
call gets no decision from the hook: Claude Code's own permissions still
apply to it. A refused call is denied (``permissionDecision: "deny"``) with
the decision's ``message`` as the reason, which Claude Code gives the model as
the call's error result; with ``raise_on_block=True`` the hook also stops the
agent (``continue: false``, the message as ``stopReason``). With
``mode="observe"`` no call is denied and what would have been is logged.
Claude Code asks the hooks of a turn's calls in the order the model listed
them, so decisions follow the model's order.

Approvals. A call the policy's ``ask`` entries apply to is handed to Claude
Code's own permission prompt: the hook answers ``permissionDecision: "ask"``
with the decision's message as the reason, and Claude Code asks the SDK's
permission callback, ``can_use_tool``, which ``guard_options`` sets to the
hooks' own: for a call the guard asked about it asks ``approver`` (a callable
given the ``Decision``, returning a bool or an awaitable of one) when the
hooks have one, or else the options' own ``can_use_tool``; any other call goes
to the options' callback unchanged. Allowed, the call is approved in the
session and runs, counted once; denied (``PermissionResultDeny(message=...)``,
or false), it is denied in the session, the callback's message as the reason,
and Claude receives the denial's message. With neither an approver nor a
``can_use_tool`` of the options, nothing could answer, and an ask is refused
like a block. Observing, nothing waits.

Sessions. With ``scope="run"`` a session per prompt (the hook input's
``prompt_id``; the Claude Code session when a CLI sends none), ended by the
``Stop`` hook. With ``scope="thread"`` a session per Claude Code session
(``session_id``): every prompt of a ``ClaudeSDKClient`` conversation, and a
conversation resumed with ``resume=`` (in this process or, with a ``store``,
another), continue it. ``key=`` is a function of the hook input giving the
key instead. Trace files: see ostik.integrations.runs.
"""

from __future__ import annotations

import dataclasses
import inspect
import os
import threading
from collections.abc import Awaitable, Callable
from typing import TYPE_CHECKING, Any

try:
    from claude_agent_sdk import (ClaudeAgentOptions, HookContext, HookInput, HookMatcher, PermissionResultAllow,
                                  PermissionResultDeny, ToolPermissionContext)
    from claude_agent_sdk.types import CanUseTool, HookEvent, HookJSONOutput, PermissionResult, SyncHookJSONOutput
except ImportError as error:
    raise ImportError("ostik.integrations.claude_agent_sdk needs the Claude Agent SDK: "
                      "pip install 'ostik[claude-agent-sdk]'") from error

from ostik._engine import Decision, Guard
from ostik._native import Policy
from ostik.integrations.runs import GuardedRuns, Mode, Scope, TraceFile, given_key, refusal_message

if TYPE_CHECKING:
    from ostik import SessionStore

__all__ = ["Approver", "GuardHooks", "guard_options"]

Approver = Callable[[Decision], "bool | Awaitable[bool]"]
"""Given the decision of a call that needs approval; true approves it."""


class GuardHooks:
    """The hooks that judge a Claude Agent SDK agent's tool calls by an ostik guard.

    ``guard`` is an ``ostik.Guard`` (or a ``Policy`` to make one from).
    ``mode`` is "enforce" or "observe"; ``scope`` "run" (a session per
    prompt) or "thread" (per Claude Code session); ``key`` a function of the
    hook input giving the session's key instead; ``store`` keeps the sessions
    (any ``ostik.SessionStore``). ``trace_file`` or ``trace_dir`` records each
    session's calls. ``raise_on_block`` stops the agent at a refused call.
    ``message`` makes the reason Claude is given from the decision.
    ``approver`` answers the calls that need approval (see the module's doc).
    """

    def __init__(self, guard: Guard | Policy, *, mode: Mode = "enforce", scope: Scope = "run",
                 key: Callable[[HookInput], str] | None = None, store: SessionStore | None = None,
                 trace_file: TraceFile | None = None, trace_dir: str | os.PathLike[str] | None = None,
                 raise_on_block: bool = False, message: Callable[[Decision], str] = refusal_message,
                 approver: Approver | None = None) -> None:
        self.runs = GuardedRuns(guard, mode=mode, scope=scope, store=store, trace_file=trace_file,
                                trace_dir=trace_dir, raise_on_block=raise_on_block, message=message)
        self.key = key
        self.approver = approver
        # Whether options carrying the hooks' permission callback were made: an ask can then be answered.
        self.answered = approver is not None
        # The calls handed to the permission prompt, by tool use id: their session's key and decision.
        self._asked: dict[str, tuple[str, Decision]] = {}
        self._lock = threading.Lock()

    @property
    def guard(self) -> Guard:
        return self.runs.guard

    @property
    def hooks(self) -> dict[HookEvent, list[HookMatcher]]:
        """The hooks to give ``ClaudeAgentOptions(hooks=...)``, by event."""
        return {"PreToolUse": [HookMatcher(hooks=[self.pre_tool_use])],
                "PostToolUse": [HookMatcher(hooks=[self.post_tool_use])],
                "PostToolUseFailure": [HookMatcher(hooks=[self.post_tool_use])],
                "Stop": [HookMatcher(hooks=[self.stop])]}

    def session_key(self, data: HookInput) -> str:
        """The key of the session that the hook input belongs to."""
        if self.key is not None:
            return given_key(self.key, data)
        fields: dict[str, Any] = data  # type: ignore[assignment]
        if self.runs.scope == "run":
            prompt = fields.get("prompt_id")
            if isinstance(prompt, str) and prompt:
                return prompt
        return str(fields.get("session_id", ""))

    async def pre_tool_use(self, data: HookInput, tool_use_id: str | None, context: HookContext) -> HookJSONOutput:
        fields: dict[str, Any] = data  # type: ignore[assignment]
        tool = fields.get("tool_name")
        if fields.get("hook_event_name") != "PreToolUse" or not isinstance(tool, str):
            return {}
        call_id = fields.get("tool_use_id") or tool_use_id
        runs = self.runs
        key = self.session_key(data)
        decision = runs.decide(key, tool, fields.get("tool_input"), call_id)
        if not runs.refuses(decision):
            return {}
        assert decision is not None
        if call_id and self.answered and runs.asks(decision):
            with self._lock:
                self._asked[call_id] = (key, decision)
            return {"hookSpecificOutput": {"hookEventName": "PreToolUse", "permissionDecision": "ask",
                                           "permissionDecisionReason": decision.message}}
        reason = runs.message(decision)
        output: SyncHookJSONOutput = {"hookSpecificOutput": {"hookEventName": "PreToolUse", "permissionDecision": "deny",
                                                         "permissionDecisionReason": reason}}
        if runs.raise_on_block:
            output["continue_"] = False
            output["stopReason"] = reason
        return output

    async def post_tool_use(self, data: HookInput, tool_use_id: str | None, context: HookContext) -> HookJSONOutput:
        fields: dict[str, Any] = data  # type: ignore[assignment]
        event = fields.get("hook_event_name")
        if event == "PostToolUse":
            self.runs.record_result(self.session_key(data), fields.get("tool_use_id") or tool_use_id,
                                    str(fields.get("tool_name")), fields.get("tool_response"))
        elif event == "PostToolUseFailure":
            self.runs.record_result(self.session_key(data), fields.get("tool_use_id") or tool_use_id,
                                    str(fields.get("tool_name")), fields.get("error"), is_error=True)
        return {}

    async def stop(self, data: HookInput, tool_use_id: str | None, context: HookContext) -> HookJSONOutput:
        if self.runs.scope == "run" and self.key is None:
            self.runs.end(self.session_key(data))
        return {}

    def permission_callback(self, fallback: CanUseTool | None = None) -> CanUseTool:
        """The ``can_use_tool`` callback answering the calls the hooks asked about; ``fallback`` answers the others
        (and the asked ones, without an approver)."""

        async def can_use_tool(tool: str, tool_input: dict[str, Any],
                               context: ToolPermissionContext) -> PermissionResult:
            call_id = context.tool_use_id
            with self._lock:
                asked = self._asked.pop(call_id, None) if call_id else None
            if asked is None or call_id is None:
                if fallback is None:
                    return PermissionResultDeny(message=f"no permission callback answers a call of '{tool}'")
                return await fallback(tool, tool_input, context)
            key, decision = asked
            denial: str | None = None
            allowed: PermissionResult = PermissionResultAllow()
            if self.approver is not None:
                answer: object = self.approver(decision)
                if inspect.isawaitable(answer):
                    answer = await answer
                approved = answer is True
                if not approved and answer is not False:
                    denial = f"the approver returned {type(answer).__qualname__}, not a bool"
            elif fallback is not None:
                result = await fallback(tool, tool_input, context)
                approved = isinstance(result, PermissionResultAllow)
                if approved:
                    # As the callback allowed it (with its updated input or permissions, if any).
                    allowed = result
                elif isinstance(result, PermissionResultDeny) and result.message:
                    denial = result.message
            else:
                approved = False
            if approved:
                self.runs.approve(key, call_id, tool, tool_input)
                return allowed
            denied = self.runs.deny(key, call_id, tool, tool_input, denial)
            return PermissionResultDeny(message=self.runs.message(denied))

        return can_use_tool


def guard_options(options: ClaudeAgentOptions, hooks: GuardHooks) -> ClaudeAgentOptions:
    """A copy of ``options`` with the guard's hooks first beside the caller's own, and, when the hooks have an
    approver or the options a ``can_use_tool``, the hooks' permission callback in front of it; ``options`` is not
    changed."""
    merged: dict[HookEvent, list[HookMatcher]] = {event: list(matchers) for event, matchers in (options.hooks or {}).items()}
    for event, matchers in hooks.hooks.items():
        merged[event] = [*matchers, *merged.get(event, [])]
    if hooks.approver is None and options.can_use_tool is None:
        return dataclasses.replace(options, hooks=merged)
    hooks.answered = True
    return dataclasses.replace(options, hooks=merged, can_use_tool=hooks.permission_callback(options.can_use_tool))
