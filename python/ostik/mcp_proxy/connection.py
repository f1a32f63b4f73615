"""What the proxy does with the messages of one client connection, whatever carries them.

Every message goes on as it came, except:

- a `tools/call` request, judged first by the connection's session with the
  request id as call id: allowed, it goes on and its response is the call's
  result; refused, the proxy answers it with a tool error whose text is the
  decision's message; needing approval, the proxy asks the client's user
  (`elicitation/create`, when the client said in `initialize` that it can) and
  then lets it go on or answers it as refused;
- the client's answer to such a question, which is the proxy's;
- a `tools/list` response, from which `hide_denied` takes the tools that the
  policy refuses by name;
- a cancellation of a call that waits for approval, which ends the question.

The transports (stdio, Streamable HTTP) read and write; this class decides."""

from __future__ import annotations

import asyncio
import itertools
import logging
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from typing import Any

from ostik._engine import Decision
from ostik.mcp_proxy.messages import (
    INVALID_PARAMS,
    approval_answer,
    approval_request,
    declares_elicitation,
    error_response,
    id_key,
    tool_result_error,
)
from ostik.mcp_proxy.sessions import GuardedSession, Sessions

__all__ = ["Asked", "Connection", "Outcome"]

logger = logging.getLogger("ostik.mcp_proxy")

# Ids of the proxy's own requests to the client: strings no SDK makes, numbered per proxy.
_OWN_IDS = itertools.count(1)

SendToClient = Callable[[dict[str, Any]], Awaitable[None]]


@dataclass
class Asked:
    """A call that waits for approval: resolve it with ``Connection.ask``."""

    message: dict[str, Any]
    decision: Decision
    tool: str
    args: object


@dataclass
class Outcome:
    """What to do with one message from the client: send it on (``forward``), answer it
    (``answer``, the proxy's response), ask about it (``asked``), or nothing (all false)."""

    forward: bool = False
    answer: dict[str, Any] | None = None
    asked: Asked | None = None


FORWARD = Outcome(forward=True)
CONSUMED = Outcome()


class Connection:
    """One client connection; its session (under `key`, or ``default_key`` while it has none)
    is opened at its first call."""

    default_key = "mcp-stateless"

    def __init__(self, sessions: Sessions, key: str | None, *, hide_denied: bool = False,
                 call_prefix: str = "") -> None:
        self.sessions = sessions
        self.key = key
        # Before each request id in the call ids: a session that other connections resume (a key given to
        # many runs) would otherwise take a new connection's id 1 for the same call as an earlier one's.
        self.call_prefix = call_prefix
        self._session: GuardedSession | None = None
        self.hide_denied = hide_denied
        self.elicitation = False
        self._calls: dict[tuple[str, object], str] = {}  # request ids of calls that went on -> call ids
        self._lists: set[tuple[str, object]] = set()  # request ids of tools/list
        self._questions: dict[str, asyncio.Future[dict[str, Any]]] = {}  # own request id -> the answer
        self._waiting: dict[tuple[str, object], str] = {}  # request ids of calls being asked about -> own id

    @property
    def session(self) -> GuardedSession:
        if self._session is None:
            self._session = self.sessions.open(self.key if self.key is not None else self.default_key)
        return self._session

    # From the client.

    async def from_client(self, message: object) -> Outcome:
        if not isinstance(message, dict):
            return FORWARD
        method = message.get("method")
        if method is None:
            return self._answer_from_client(message)
        if method == "tools/call":
            return await self._judge(message)
        if method == "initialize":
            self.elicitation = declares_elicitation(message.get("params"))
        elif method == "tools/list" and self.hide_denied:
            key = id_key(message.get("id"))
            if key is not None:
                self._lists.add(key)
        elif method == "notifications/cancelled":
            return self._cancelled(message.get("params"))
        return FORWARD

    def _answer_from_client(self, message: dict[str, Any]) -> Outcome:
        request_id = message.get("id")
        if isinstance(request_id, str):
            question = self._questions.pop(request_id, None)
            if question is not None:
                if not question.done():
                    question.set_result(message)
                return CONSUMED
        return FORWARD

    def _cancelled(self, params: object) -> Outcome:
        if isinstance(params, dict):
            key = id_key(params.get("requestId"))
            if key is not None:
                own = self._waiting.get(key)
                if own is not None:
                    # The server never saw the call: the question ends here.
                    question = self._questions.get(own)
                    if question is not None and not question.done():
                        question.cancel()
                    return CONSUMED
                self._calls.pop(key, None)
        return FORWARD

    async def _judge(self, message: dict[str, Any]) -> Outcome:
        params = message.get("params")
        request_id = message.get("id")
        tool = params.get("name") if isinstance(params, dict) else None
        if not isinstance(tool, str):
            if "id" not in message:
                return CONSUMED
            return Outcome(answer=error_response(request_id, INVALID_PARAMS, "tools/call needs the tool's name"))
        assert isinstance(params, dict)
        args = params.get("arguments")
        call_id = None if request_id is None else self.call_prefix + str(request_id)
        decision = await self.session.check(tool, args, call_id)
        if decision is None or decision.allowed or self.session.mode == "observe":
            if decision is not None and not decision.allowed:
                logger.info("ostik mcp-proxy: observed: %s would be refused: %s", tool, decision.message)
            self._track(request_id, call_id)
            return FORWARD
        if decision.verdict == "ask":
            return Outcome(asked=Asked(message, decision, tool, args))
        if "id" not in message:
            return CONSUMED
        return Outcome(answer=tool_result_error(request_id, decision.message))

    def _track(self, request_id: object, call_id: str | None) -> None:
        key = id_key(request_id)
        if key is not None and call_id is not None:
            self._calls[key] = call_id

    async def ask(self, asked: Asked, send: SendToClient) -> Outcome:
        """Resolves a call that waits for approval: sent on when approved, otherwise answered as
        refused (or nothing, for a call without an id or one the client cancelled)."""
        message, decision = asked.message, asked.decision
        request_id = message.get("id")
        call_id = decision.call_id
        assert call_id is not None  # an enforcing session names every call that waits
        if not self.elicitation:
            await self.session.deny(call_id, "the MCP client cannot ask its user")
            logger.info("ostik mcp-proxy: %s refused: it needs approval, and the client cannot ask", asked.tool)
            text = (f"{decision.message} The MCP client cannot ask its user for approval (it declared no "
                    "elicitation capability), so the call is refused.")
            return CONSUMED if "id" not in message else Outcome(answer=tool_result_error(request_id, text))
        own = f"ostik-approval-{next(_OWN_IDS)}"
        question: asyncio.Future[dict[str, Any]] = asyncio.get_running_loop().create_future()
        self._questions[own] = question
        waiting = id_key(request_id)
        if waiting is not None:
            self._waiting[waiting] = own
        why: str | None
        try:
            await send(approval_request(own, asked.tool, asked.args, decision.reason))
            why = approval_answer(await question)
        except asyncio.CancelledError:
            if not question.cancelled():
                raise
            why = "the client cancelled the call"
            # The client's side of the question ends too.
            await send({"jsonrpc": "2.0", "method": "notifications/cancelled",
                        "params": {"requestId": own, "reason": "the call was cancelled"}})
        finally:
            self._questions.pop(own, None)
            if waiting is not None:
                self._waiting.pop(waiting, None)
        if why is None:
            await self.session.approve(call_id)
            self._track(request_id, call_id)
            return FORWARD
        denied = await self.session.deny(call_id, why)
        if "id" not in message or why == "the client cancelled the call":
            return CONSUMED
        return Outcome(answer=tool_result_error(request_id, denied.message))

    def close(self) -> None:
        """The client went away: the questions it never answered are cancelled."""
        for question in self._questions.values():
            if not question.done():
                question.cancel()

    # From the server.

    async def from_server(self, message: object) -> object:
        """The server's message as the client gets it (the same object unless a listing lost tools)."""
        if not isinstance(message, dict) or "method" in message:
            return message
        key = id_key(message.get("id"))
        if key is None:
            return message
        call_id = self._calls.pop(key, None)
        if call_id is not None:
            await self._record(call_id, message)
            return message
        if key in self._lists:
            self._lists.discard(key)
            return self._without_refused_tools(message)
        return message

    async def _record(self, call_id: str, response: dict[str, Any]) -> None:
        if "error" in response:
            result, is_error = response["error"], True
        else:
            result = response.get("result")
            is_error = isinstance(result, dict) and result.get("isError") is True
        try:
            await self.session.record_result(call_id, result, is_error)
        except (ValueError, RuntimeError) as err:
            logger.warning("ostik mcp-proxy: the result of call %s is not recorded: %s", call_id, err)

    def _without_refused_tools(self, response: dict[str, Any]) -> object:
        result = response.get("result")
        tools = result.get("tools") if isinstance(result, dict) else None
        if not isinstance(tools, list):
            return response
        kept = [tool for tool in tools
                if not (isinstance(tool, dict) and isinstance(tool.get("name"), str)
                        and self.sessions.refused_by_name(tool["name"]))]
        if len(kept) == len(tools):
            return response
        assert isinstance(result, dict)
        return {**response, "result": {**result, "tools": kept}}
