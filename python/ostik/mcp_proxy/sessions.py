"""The guard's sessions of a proxy: one per client connection, kept in this process or in a store.

A session in a store is resumed, used and saved for each decision, in a worker
thread, so that a store that waits for another process's hold keeps no other
connection waiting; a session of this process is used in place. Either way
the decisions of one connection are made one at a time, in the order asked."""

from __future__ import annotations

import asyncio
import hashlib
import logging
import os
import re
from collections.abc import Callable
from typing import Any, Literal, TypeVar

from ostik._engine import Decision, Guard, Session
from ostik.guarding.stores import SessionStore

__all__ = ["GuardedSession", "Sessions"]

logger = logging.getLogger("ostik.mcp_proxy")

_T = TypeVar("_T")

# The failures that refuse a call for its name alone, whatever its arguments and the session's state.
_NAME_RULE_TYPES = frozenset({"allow", "deny", "blocklist"})

_UNSAFE_IN_FILE_NAMES = re.compile(r"[^A-Za-z0-9._-]")


def trace_file_name(key: str) -> str:
    """A session key as a file name: the key itself when it is safe, else a safe form told apart by a hash."""
    safe = _UNSAFE_IN_FILE_NAMES.sub("_", key)[:100]
    if safe != key or safe.startswith("."):
        safe = f"{safe}-{hashlib.sha256(key.encode()).hexdigest()[:12]}"
    return safe + ".jsonl"


class Sessions:
    """What every session of one proxy shares: the guard, the mode, where trace files go, the store."""

    def __init__(self, guard: Guard, *, mode: Literal["enforce", "observe"] = "enforce",
                 trace_dir: str | None = None, store: SessionStore | None = None) -> None:
        self.guard = guard
        self.mode = mode
        self.trace_dir = trace_dir
        self.store = store
        self._refused_by_name: dict[str, bool] = {}

    def open(self, key: str) -> GuardedSession:
        trace_file = None if self.trace_dir is None else os.path.join(self.trace_dir, trace_file_name(key))
        return GuardedSession(self, key, trace_file)

    def refused_by_name(self, tool: str) -> bool:
        """Whether the policy refuses every call of `tool` for its name alone (its tool lists, a blocklist)."""
        known = self._refused_by_name.get(tool)
        if known is None:
            decision = self.guard.judge([{"tool": tool}]).decisions[0]
            known = any(failure.rule_type in _NAME_RULE_TYPES for failure in decision.failures)
            if len(self._refused_by_name) < 65536:
                self._refused_by_name[tool] = known
        return known


class GuardedSession:
    """One connection's session: its decisions, approvals and results."""

    def __init__(self, sessions: Sessions, key: str, trace_file: str | None) -> None:
        self.key = key
        self.trace_file = trace_file
        self._sessions = sessions
        self._lock = asyncio.Lock()
        self._live: Session | None = None
        if sessions.store is None:
            self._live = sessions.guard.session(trace_file, mode=sessions.mode)

    @property
    def mode(self) -> str:
        return self._sessions.mode

    async def _use(self, action: Callable[[Session], _T]) -> _T:
        async with self._lock:
            if self._live is not None:
                return action(self._live)
            store = self._sessions.store
            assert store is not None
            options: dict[str, Any] = {"mode": self._sessions.mode}
            if self.trace_file is not None:
                options["trace_file"] = self.trace_file

            def held() -> _T:
                with store.session(self._sessions.guard, self.key, **options) as session:
                    return action(session)

            return await asyncio.to_thread(held)

    async def check(self, tool: str, args: object, call_id: str | None) -> Decision | None:
        """The decision on a call; None for a call whose arguments cannot be judged and that the
        policy's ``on_error: allow`` lets through unjudged."""
        on_error = self._sessions.guard.on_error

        def check(session: Session) -> Decision | None:
            try:
                return session.check(tool, args, call_id=call_id)
            except ValueError as err:
                if on_error == "allow" and not str(err).startswith("call_id "):
                    # A reused request id is the client's fault, never a reason to let a call through.
                    session._unjudged(tool, str(err))
                    logger.warning("ostik mcp-proxy: %s runs unjudged (on_error: allow): %s", tool, err)
                    return None
                return session._refusal(str(err), tool)

        return await self._use(check)

    async def approve(self, call_id: str) -> Decision:
        return await self._use(lambda session: session.approve(call_id))

    async def deny(self, call_id: str, reason: str) -> Decision:
        return await self._use(lambda session: session.deny(call_id, reason=reason))

    async def record_result(self, call_id: str, result: object, is_error: bool) -> None:
        await self._use(lambda session: session.record_result(call_id, result, is_error=is_error))

    def finish(self) -> None:
        """The connection ended: a store forgets the session (its trace file keeps the run)."""
        store = self._sessions.store
        delete = getattr(store, "delete", None)
        if delete is not None:
            try:
                delete(self.key)
            except RuntimeError as err:
                logger.warning("ostik mcp-proxy: %s", err)
