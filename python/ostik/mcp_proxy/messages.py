"""The JSON-RPC messages the proxy reads and the few it writes itself.

Messages are relayed as the bytes they came in; these helpers only look into
them (a request's method and id, a response's id) and build the proxy's own:
a refused call's tool result, the approval request, JSON-RPC errors."""

from __future__ import annotations

import json
from typing import Any

from mcp_types import INVALID_PARAMS, INVALID_REQUEST, PARSE_ERROR, ClientCapabilities, ElicitResult

__all__ = ["INVALID_PARAMS", "INVALID_REQUEST", "PARSE_ERROR", "Unreadable", "approval_answer", "approval_request",
           "declares_elicitation", "dumps", "error_response", "id_key", "loads", "tool_result_error"]

# Longest text of a call's arguments shown to the person asked to approve it.
_SHOWN_ARGUMENTS = 2000


class Unreadable(ValueError):
    """Bytes that are not JSON: the JSON-RPC parse error."""


def loads(data: bytes | str) -> Any:
    try:
        return json.loads(data)
    except (ValueError, RecursionError) as err:
        raise Unreadable(str(err)) from None


def dumps(message: object) -> bytes:
    return json.dumps(message, ensure_ascii=False, separators=(",", ":")).encode()


def id_key(request_id: object) -> tuple[str, object] | None:
    """A request id as a dict key that keeps 1 and "1" apart; None for an id JSON-RPC does not allow."""
    if isinstance(request_id, bool):
        return None
    if isinstance(request_id, (int, str)):
        return type(request_id).__name__, request_id
    return None


def error_response(request_id: object, code: int, message: str) -> dict[str, Any]:
    return {"jsonrpc": "2.0", "id": request_id, "error": {"code": code, "message": message}}


def tool_result_error(request_id: object, text: str) -> dict[str, Any]:
    """A tools/call answered with a tool error, which the model sees (unlike a JSON-RPC error)."""
    return {"jsonrpc": "2.0", "id": request_id,
            "result": {"content": [{"type": "text", "text": text}], "isError": True}}


def declares_elicitation(params: object) -> bool:
    """Whether an initialize request's client can be asked a question in a form."""
    if not isinstance(params, dict):
        return False
    try:
        capabilities = ClientCapabilities.model_validate(params.get("capabilities") or {})
    except ValueError:
        return False
    elicitation = capabilities.elicitation
    if elicitation is None:
        return False
    # An empty capability is the form mode of the first protocol revisions that had elicitation.
    return elicitation.form is not None or elicitation.url is None


def approval_request(request_id: str, tool: str, args: object, reason: str) -> dict[str, Any]:
    shown = json.dumps(args, ensure_ascii=False) if args is not None else "no arguments"
    if len(shown) > _SHOWN_ARGUMENTS:
        shown = shown[:_SHOWN_ARGUMENTS] + "..."
    return {"jsonrpc": "2.0", "id": request_id, "method": "elicitation/create",
            "params": {"mode": "form", "message": f"{reason}. Allow the call of '{tool}' with {shown}?",
                       "requestedSchema": {"type": "object", "properties": {}}}}


def approval_answer(response: dict[str, Any]) -> str | None:
    """None when the client's answer to an approval request approves the call; otherwise why not."""
    if "error" in response:
        error = response["error"]
        text = error.get("message") if isinstance(error, dict) else None
        return f"the client could not ask: {text}" if isinstance(text, str) else "the client could not ask"
    try:
        answer = ElicitResult.model_validate(response.get("result"))
    except ValueError:
        return "the client's answer could not be read"
    if answer.action == "accept":
        return None
    return "the user declined" if answer.action == "decline" else "the user cancelled the question"
