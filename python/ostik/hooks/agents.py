"""The coding agents whose tool hooks ostik answers: what each sends on stdin and what it reads back.

Each agent runs the hook command once per tool call with one JSON object on
stdin, and reads one JSON object from stdout when the command exits with 0.
Exit status 2 blocks the call (the agent gives stderr to the model as the
reason); any other status is a non-blocking error (the call goes on, stderr is
shown to the user). That much the three agents share:

- Claude Code: ``PreToolUse`` and ``PostToolUse`` (``PostToolUseFailure`` for
  a call that failed), with ``session_id``, ``tool_name``, ``tool_input``,
  ``tool_use_id`` and, after the call, ``tool_response`` (or ``error``). The
  answer to ``PreToolUse`` is ``hookSpecificOutput`` with ``hookEventName``,
  ``permissionDecision`` (allow, deny or ask) and ``permissionDecisionReason``.
- Gemini CLI: ``BeforeTool`` and ``AfterTool``, with ``session_id``,
  ``tool_name``, ``tool_input`` and, after the call, ``tool_response``
  (``llmContent``, ``returnDisplay``, ``error``); no call id. The answer is
  ``decision`` (allow or deny) and ``reason``; there is no asking.
- Codex CLI: ``PreToolUse`` and ``PostToolUse`` as Claude Code names them,
  with ``tool_use_id``; its ``PreToolUse`` honours only a ``deny`` decision
  (``allow`` and ``ask`` are not supported), so ostik answers an allowed call
  with nothing and refuses a call that needs approval.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

__all__ = ["AGENTS", "Agent", "HookCall", "HookInputError", "UnhandledEvent"]

BEFORE, AFTER = "before", "after"


class HookInputError(ValueError):
    """Hook input that is not what the agent documents: its on_error decides the call."""


class UnhandledEvent(Exception):
    """A well-formed hook input of an event that ostik does not answer (the hook is set up for the wrong event)."""


# Plain classes, not dataclasses: a hook runs in a new interpreter for every tool call, and
# dataclasses (with the inspect module it imports) would be a good part of its start-up.


class HookCall:
    """One tool call as a hook input gives it, before or after the tool ran."""

    __slots__ = ("when", "event", "session_id", "tool", "args", "call_id", "result", "is_error")

    def __init__(self, when: str, event: str, session_id: str, tool: str, args: dict[str, Any],
                 call_id: str | None, result: object = None, is_error: bool = False) -> None:
        self.when = when  # BEFORE or AFTER
        self.event = event  # the agent's name of the event, for messages
        self.session_id = session_id
        self.tool = tool
        self.args = args
        self.call_id = call_id
        self.result = result
        self.is_error = is_error


class Agent:
    """One agent's hook protocol."""

    __slots__ = ("name", "title", "events", "call_id_key", "can_ask", "can_approve")

    def __init__(self, name: str, title: str, events: dict[str, str], *, call_id_key: str | None,
                 can_ask: bool, can_approve: bool) -> None:
        self.name = name  # as `ostik hook NAME` spells it
        self.title = title  # as people spell it
        self.events = events  # event name -> BEFORE or AFTER
        self.call_id_key = call_id_key  # the input's key of the call id, None when it sends none
        self.can_ask = can_ask  # whether a hook can hand the call to a person for approval
        self.can_approve = can_approve  # whether an "allow" answer is honoured (it skips the agent's own prompt)

    def __repr__(self) -> str:
        return f"Agent({self.name!r})"

    def read(self, data: object) -> HookCall:
        """The call a parsed hook input describes; HookInputError or UnhandledEvent otherwise."""
        if not isinstance(data, dict):
            raise HookInputError(f"the hook input must be a JSON object, not {_kind(data)}")
        event = data.get("hook_event_name")
        if not isinstance(event, str):
            raise HookInputError(_missing("hook_event_name", data, "str"))
        when = self.events.get(event)
        if when is None:
            known = ", ".join(self.events)
            raise UnhandledEvent(f"ostik hook {self.name} answers only {known}, not {event!r}: "
                                 "set the hook up for those events")
        session_id = data.get("session_id")
        if not isinstance(session_id, str) or not session_id:
            raise HookInputError(_missing("session_id", data, "non-empty str"))
        tool = data.get("tool_name")
        if not isinstance(tool, str) or not tool:
            raise HookInputError(_missing("tool_name", data, "non-empty str"))
        args = data.get("tool_input")
        if not isinstance(args, dict):
            raise HookInputError(_missing("tool_input", data, "object"))
        call_id = None
        if self.call_id_key is not None:
            call_id = data.get(self.call_id_key)
            if call_id is not None and not isinstance(call_id, str):
                raise HookInputError(_missing(self.call_id_key, data, "str"))
        if when == BEFORE:
            return HookCall(when, event, session_id, tool, args, call_id)
        result, is_error = self._result(event, data)
        return HookCall(when, event, session_id, tool, args, call_id, result, is_error)

    def _result(self, event: str, data: dict[str, Any]) -> tuple[object, bool]:
        if event == "PostToolUseFailure":
            error = data.get("error")
            if not isinstance(error, str):
                raise HookInputError(_missing("error", data, "str"))
            return error, True
        if "tool_response" not in data:
            raise HookInputError(_missing("tool_response", data, "value"))
        response = data["tool_response"]
        if self.name == "gemini-cli" and isinstance(response, dict):
            # What the model sees is llmContent; a failed call carries "error".
            error = response.get("error")
            content = response.get("llmContent", response)
            return content, error is not None and error is not False and error != ""
        return response, False

    def answer(self, verdict: str, reason: str) -> dict[str, Any]:
        """The answer to a before-tool event: `verdict` is "allow", "deny", "ask", or "" (no objection: the
        agent's own permissions decide)."""
        if verdict == "" or (verdict == "allow" and not self.can_approve):
            return {}
        if self.name == "gemini-cli":
            return {"decision": verdict, "reason": reason}
        return {"hookSpecificOutput": {"hookEventName": "PreToolUse", "permissionDecision": verdict,
                                       "permissionDecisionReason": reason}}


def _kind(value: object) -> str:
    if value is None:
        return "null"
    return {dict: "an object", list: "an array", str: "a string", bool: "a boolean"}.get(
        type(value), "a number")


def _missing(key: str, data: dict[str, Any], expected: str) -> str:
    if key not in data:
        return f"the hook input has no {key!r}"
    return f"the hook input's {key!r} must be a {expected}, not {_kind(data[key])}"


AGENTS = {
    agent.name: agent
    for agent in (
        Agent("claude-code", "Claude Code",
              {"PreToolUse": BEFORE, "PostToolUse": AFTER, "PostToolUseFailure": AFTER},
              call_id_key="tool_use_id", can_ask=True, can_approve=True),
        Agent("gemini-cli", "Gemini CLI", {"BeforeTool": BEFORE, "AfterTool": AFTER},
              call_id_key=None, can_ask=False, can_approve=True),
        Agent("codex", "Codex CLI", {"PreToolUse": BEFORE, "PostToolUse": AFTER},
              call_id_key="tool_use_id", can_ask=False, can_approve=False),
    )
}
