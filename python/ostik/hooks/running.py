"""One hook invocation: read the call, judge it in the session stored under the agent's session id, answer.

Before a tool runs, the call is checked (``Session.check``, the hook's call id
as the call id) and the answer says allow, deny or ask; an ``ask`` that the
agent cannot put to a person is denied in the session and refused. After it
ran, a call that waited for approval is approved (the person said yes in the
agent's prompt, or the tool would not have run) and the tool's response is
recorded as the call's result.

Whatever keeps the call from being judged (input that is not what the agent
documents, a policy that does not load, a store that stays locked past the
timeout or cannot be opened, a fault of ostik's) is answered by ``on_error``:
``block`` exits with status 2, which every agent takes as a refusal and whose
stderr it gives the model; ``allow`` exits with status 1, a non-blocking
error: the call goes on and stderr is shown to the user. An observing hook
never blocks.
"""

from __future__ import annotations

import json
import os
import re
from contextlib import ExitStack

from ostik.hooks.agents import BEFORE, Agent, HookCall, HookInputError, UnhandledEvent
from ostik.reports.escaping import printable

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from ostik._engine import Decision, Guard, Session
    from ostik.guarding.stores import SqliteStore

__all__ = ["EXIT_ANSWERED", "EXIT_BLOCK", "EXIT_WARN", "HookOptions", "Outcome", "default_store", "run_hook"]

# What the agents read from the exit status: 0 the JSON answer on stdout; 2 a
# refusal, stderr its reason; any other status a non-blocking error.
EXIT_ANSWERED, EXIT_WARN, EXIT_BLOCK = 0, 1, 2

# How long a hook waits for another holder of the store before giving up by on_error.
DEFAULT_LOCK_TIMEOUT = 5.0

STORE_FILE = "hook-sessions.db"

# A session id used as it is in a trace file's name; any other is hashed.
_PLAIN_ID = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,127}")


class HookOptions:
    """What the command line says."""

    __slots__ = ("agent", "policy", "store", "observe", "on_error", "approve", "lock_timeout", "trace_dir")

    def __init__(self, agent: Agent, policy: str, store: str, observe: bool = False, on_error: str | None = None,
                 approve: bool = False, lock_timeout: float = DEFAULT_LOCK_TIMEOUT,
                 trace_dir: str | None = None) -> None:
        self.agent = agent
        self.policy = policy
        self.store = store
        self.observe = observe
        self.on_error = on_error  # None: the policy's own
        self.approve = approve
        self.lock_timeout = lock_timeout
        self.trace_dir = trace_dir


class Outcome:
    """What the command writes and the status it exits with."""

    __slots__ = ("status", "stdout", "stderr")

    def __init__(self, status: int, stdout: str = "", stderr: str = "") -> None:
        self.status = status
        self.stdout = stdout
        self.stderr = stderr

    def __repr__(self) -> str:
        return f"Outcome(status={self.status!r}, stdout={self.stdout!r}, stderr={self.stderr!r})"


def default_store() -> str:
    """The store every hook of the user shares: under $XDG_STATE_HOME, else ~/.local/state."""
    base = os.environ.get("XDG_STATE_HOME", "")
    if not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(base, "ostik", STORE_FILE)


class _Unjudged(Exception):
    """The call cannot be judged; on_error answers it."""


def run_hook(options: HookOptions, stdin: bytes) -> Outcome:
    """The outcome of one invocation with `stdin` as the hook's input; never raises."""
    on_error = options.on_error or "block"
    try:
        guard = _load(options.policy)
        on_error = options.on_error or guard.on_error
        call = options.agent.read(_parse(stdin))
        store = _open_store(options)
        try:
            return _judge(options, guard, store, call, on_error)
        finally:
            store.close()
    except UnhandledEvent as err:
        return Outcome(EXIT_WARN, stderr=f"ostik hook: {printable(str(err))}\n")
    except (_Unjudged, HookInputError) as err:
        return _failed(options, on_error, str(err))
    except Exception as err:  # a fault of ostik's: the agent must not take it for an allowed call
        import traceback

        detail = traceback.format_exc()
        return _failed(options, on_error, f"internal error: {type(err).__name__}: {err}", detail)


def _failed(options: HookOptions, on_error: str, problem: str, detail: str = "") -> Outcome:
    blocks = on_error == "block" and not options.observe
    then = ("the call is refused (on_error: block)" if blocks else
            "the call goes on unjudged (observing)" if options.observe else
            "the call goes on unjudged (on_error: allow)")
    text = f"ostik hook: cannot judge this call: {printable(problem)}; {then}\n{detail}"
    return Outcome(EXIT_BLOCK if blocks else EXIT_WARN, stderr=text)


def _load(path: str) -> Guard:
    from ostik._engine import Guard

    try:
        return Guard.from_file(path)
    except (OSError, ValueError) as err:
        raise _Unjudged(f"the policy {path} cannot be used: {err}") from None


def _parse(stdin: bytes) -> object:
    try:
        text = stdin.decode("utf-8")
    except UnicodeDecodeError as err:
        raise HookInputError(f"the hook input is not UTF-8: {err}") from None
    if not text.strip():
        raise HookInputError("the hook input is empty (the agent sends one JSON object on stdin)")
    try:
        return json.loads(text, parse_constant=_no_constant)
    except ValueError as err:
        raise HookInputError(f"the hook input is not JSON: {err}") from None
    except RecursionError:
        raise HookInputError("the hook input is nested too deeply") from None


def _no_constant(name: str) -> object:
    raise ValueError(f"{name} is not JSON")


def _open_store(options: HookOptions) -> SqliteStore:
    from ostik.guarding.stores import SqliteStore

    folder = os.path.dirname(options.store)
    try:
        if folder:
            os.makedirs(folder, mode=0o700, exist_ok=True)
        return SqliteStore(options.store, timeout=options.lock_timeout)
    except (OSError, RuntimeError) as err:
        raise _Unjudged(str(err)) from None


def _trace_file(options: HookOptions, session_id: str) -> str | None:
    if options.trace_dir is None:
        return None
    if _PLAIN_ID.fullmatch(session_id):
        name = session_id
    else:
        import hashlib

        name = hashlib.sha256(session_id.encode("utf-8", "surrogatepass")).hexdigest()[:32]
    os.makedirs(options.trace_dir, exist_ok=True)
    return os.path.join(options.trace_dir, name + ".jsonl")


def _stale(err: ValueError) -> bool:
    """Whether stored session bytes are of another policy or mode: the policy file was edited, or
    --observe added or dropped, since the session began."""
    text = str(err)
    return "made with another policy" in text or " mode, not " in text


def _judge(options: HookOptions, guard: Guard, store: SqliteStore, call: HookCall, on_error: str) -> Outcome:
    session_options: dict[str, Any] = {"mode": "observe" if options.observe else "enforce"}
    note = ""
    try:
        trace_file = _trace_file(options, call.session_id)
        if trace_file is not None:
            session_options["trace_file"] = trace_file
        with ExitStack() as stack:
            try:
                session = stack.enter_context(store.session(guard, call.session_id, **session_options))
            except ValueError as err:
                if not _stale(err):
                    raise
                # Judging the rest of the run under the policy it now has beats refusing every call.
                store.delete(call.session_id)
                session = stack.enter_context(store.session(guard, call.session_id, **session_options))
                note = (f"ostik hook: session {printable(call.session_id)} was begun under another policy or "
                        "mode; it starts again from here\n")
            if call.when == BEFORE:
                outcome = _before(options, session, call, on_error)
            else:
                outcome = _after(session, call)
    except (RuntimeError, ValueError, OSError) as err:
        raise _Unjudged(str(err)) from None
    return Outcome(outcome.status, outcome.stdout, note + outcome.stderr)


def _answer(options: HookOptions, verdict: str, reason: str) -> Outcome:
    if options.observe:
        verdict = ""
    text = json.dumps(options.agent.answer(verdict, reason), separators=(",", ":"))
    return Outcome(EXIT_ANSWERED, text + "\n")


def _before(options: HookOptions, session: Session, call: HookCall, on_error: str) -> Outcome:
    agent = options.agent
    try:
        decision: Decision = session.check(call.tool, call.args, call_id=call.call_id)
    except ValueError as err:
        # Arguments the guard cannot judge, or a call id reused for another call: the policy's
        # on_error decides, as the guard's wrappers do.
        if on_error == "allow" or options.observe:
            session._unjudged(call.tool, str(err))
            return Outcome(EXIT_ANSWERED, "{}\n", f"ostik hook: {printable(str(err))}; the call goes on "
                                                  "unjudged\n")
        decision = session._refusal(str(err), call.tool)
    if decision.allowed:
        return _answer(options, "allow" if options.approve else "", "allowed by the ostik policy")
    if decision.needs_approval and not options.observe:
        if agent.can_ask:
            return _answer(options, "ask", decision.message)
        # Nobody can be asked: the call is refused, and the session says why.
        asked = decision.message
        assert decision.call_id is not None  # an enforcing session names every call that waits
        session.deny(decision.call_id, reason=f"{agent.title}'s hooks cannot ask for approval")
        return _answer(options, "deny", f"{asked} {agent.title} cannot ask a person through its hooks, so the "
                                        "call is refused; run it yourself if you approve it.")
    return _answer(options, "deny", decision.message)


def _after(session: Session, call: HookCall) -> Outcome:
    if call.call_id is not None and call.call_id in session.pending:
        # The agent asked its user, who said yes: the tool ran.
        session.approve(call.call_id)
    # Without a call id (Gemini CLI sends none) the result is the last counted call's.
    target: str | int | None = call.call_id if call.call_id is not None else (
        session.steps - 1 if session.steps else None)
    if target is None:
        return Outcome(EXIT_WARN, stderr=f"ostik hook: no call of {printable(call.tool)} was judged in this "
                                         "session: its result is not recorded\n")
    session.record_result(target, call.result, is_error=call.is_error)
    return Outcome(EXIT_ANSWERED, "{}\n")
