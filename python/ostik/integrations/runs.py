"""What the framework adapters share: a guard session per conversation key, and deciding a call in it.

Each adapter names the session a tool call belongs to by a key taken from its
framework: with ``scope="run"`` the run (one invoke, one ``Runner.run``, one
invocation), with ``scope="thread"`` the conversation the run continues (a
LangChain thread, an ADK session, a Claude Code session, or what the caller's
key function says). ``GuardedRuns`` keeps the session of each key, in memory or
in a ``SessionStore`` (``store=``: runs of one key in several processes, or
resumed after the process that began them is gone), decides each call in it
with the call's id, and writes what was decided to the key's trace file.

Parallel calls. A model turn may list several calls, which a framework can run
in any order (threads, tasks). An adapter that knows the turn's calls passes
them with each call (``turn=``): the calls listed before it that are not
decided yet are decided first, in the listed order, each under its own id, so
that a call's decision depends on the calls listed before it and never on
which thread came first. When a listed call comes to run, its id finds its
decision again (a session remembers the ids it decided): it is judged and
counted once.

Modes. ``mode="enforce"`` refuses what the policy blocks, and a refused call
never ran: it changes nothing in its session. ``mode="observe"`` judges and
counts every call and refuses none: the adapter lets each call run and logs
each blocked decision as a warning on the logger "ostik".

Trace files. ``trace_dir`` writes each key's calls to a file of its own,
``<key>.jsonl`` (a key that is not a plain file name is written as the hex
SHA-256 of the key). ``trace_file`` is one path that every key writes to: each
line then carries the key, ``"session": KEY``, and ostik's readers split the
file into one trace per key; or a function of the key giving each key its
path (``None`` for a key not to record). Allowed calls are steps; in enforce
mode a refused call is a line ``{"tool", "args", "refused": {"rule_id",
"reason"}}``, which the readers show and do not judge; a call that could not
be judged under ``on_error: allow`` is ``{"tool", "unjudged": REASON}``. At most
32 files stay open at once.

Approvals. A call that the policy's ``ask`` entries apply to gets a decision
whose verdict is "ask" (``Decision.needs_approval``). In enforce mode it has
not run and counts for nothing: its session keeps it pending under its call
id, the adapter hands it to its framework's own approval mechanism (an
interrupt, a needs-approval flag, a permission prompt, a confirmation, a
deferred call), and when the answer comes back the adapter calls
``approve`` or ``deny`` with the call's id: an approved call is allowed (it
runs, and counts once), a denied one blocked by the ask entry, with a reason
that says it was denied. The key's trace file gets the call's line when it
is resolved, ``{"tool", "args", "ask": {"reason", "rule_id"}, "approved":
true|false}`` (and ``"denial"`` with a given reason), as a session's own
file has it. In observe mode nothing waits: the call runs and counts, its
line is the ask without ``"approved"``, and a warning is logged. An adapter
whose framework has no way to ask refuses the call with the decision's
message.

Results. The adapters hand each tool's result over with ``record_result``
(its value, and whether the tool failed), which gives it to the key's session
(``Session.record_result``), when the policy has flows, under the call's id,
or, for a call without one, under the step of that tool's last call. The session indexes it for the
policy's flows: a later call whose args carry text of it can be refused. A
result of a call the session never counted (refused, or run unjudged under
``on_error: allow``) has nowhere to go and is dropped. A value that cannot be
converted (a framework's own object) is given as its ``model_dump`` (a
Pydantic model) or its text. With flows, a key's trace file gets the result as a line of
its own after the call's step line, ``{"result": ..., "result_of": STEP}``
(and ``"is_error": true`` for a failed call), as a session's trace file does.
The last 64 results of each key are also kept here (``results``).

Memory. Without a store, every key's session is held until the adapter ends
it (the end of a run; a conversation's session stays for its next turn, so a
process serving many conversations gives ``store=``). With a store, what is
held beside it (the turn in progress, the ids written) is kept for the 4,096
keys used last.
"""

from __future__ import annotations

import hashlib
import logging
import os
import re
import threading
import uuid
from collections import OrderedDict, deque
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, TypeAlias

from ostik._engine import Decision, Guard, Session
from ostik._native import OstikClient, Policy
from ostik.formats.reading import call_arguments as read_call_arguments
from ostik.guarding import PolicyViolation

if TYPE_CHECKING:
    from ostik import SessionStore

__all__ = ["Call", "GuardedRuns", "Mode", "Scope", "ToolResult", "TraceFile", "TracePaths", "TraceWriter", "call_arguments",
           "given_key", "guard_of", "judge", "new_run_id", "refusal_message", "result_value"]

TraceFile: TypeAlias = "str | os.PathLike[str] | Callable[[str], str | os.PathLike[str] | None]"
"""Where sessions record their calls: one path for every key, or a function of the key."""

Mode: TypeAlias = Literal["enforce", "observe"]
Scope: TypeAlias = Literal["run", "thread"]

MODES = ("enforce", "observe")
SCOPES = ("run", "thread")
OPEN_FILES = 32
KEPT_RESULTS = 64
# As many as a session remembers.
REMEMBERED_IDS = 4096
# The keys whose turn and ids are held beside a store's sessions.
HELD_KEYS = 4096

logger = logging.getLogger("ostik")

_UNASKED = object()

_PLAIN_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,127}")


class Call(NamedTuple):
    """One call of a model turn, as the model listed it."""

    call_id: str | None
    tool: str
    args: object


@dataclass(frozen=True)
class ToolResult:
    """What a tool returned for a call, handed over for its session."""

    call_id: str | None
    tool: str
    result: object


def guard_of(guard: Guard | Policy) -> Guard:
    """The guard to judge with: the one given, or a new one for a policy."""
    if isinstance(guard, Guard):
        return guard
    if isinstance(guard, Policy):
        return Guard(guard)
    raise TypeError(f"argument 'guard': expected an ostik.Guard or ostik.Policy, got '{type(guard).__qualname__}'")


def new_run_id() -> str:
    return uuid.uuid4().hex


def given_key(key: Callable[[Any], object], context: object) -> str:
    """The session key that a caller's ``key=`` function gives for a call's context; a TypeError for
    anything but a str."""
    found = key(context)
    if not isinstance(found, str):
        raise TypeError(f"key() must return a str, not '{type(found).__qualname__}'")
    return found


def refusal_message(decision: Decision) -> str:
    """What the model is told about a refused call: the decision's message, one sentence without rule ids."""
    return decision.message or str(PolicyViolation(decision))


def file_name_of(key: str) -> str:
    """The name of a key's file in a trace directory: the key itself when it is a plain name."""
    if _PLAIN_NAME.fullmatch(key) and key not in (".", ".."):
        return f"{key}.jsonl"
    return hashlib.sha256(key.encode("utf-8", "surrogatepass")).hexdigest() + ".jsonl"


class TracePaths:
    """Where each key records its calls, if anywhere: ``paths(key)``; ``shared`` when keys share one file."""

    def __init__(self, trace_file: TraceFile | None = None, trace_dir: str | os.PathLike[str] | None = None) -> None:
        if trace_file is not None and trace_dir is not None:
            raise ValueError("give trace_file or trace_dir, not both")
        self.trace_file = trace_file
        self.trace_dir = None if trace_dir is None else os.fspath(trace_dir)
        self.shared = trace_file is not None and not callable(trace_file)

    def __call__(self, key: str) -> str | None:
        if self.trace_dir is not None:
            os.makedirs(self.trace_dir, exist_ok=True)
            return os.path.join(self.trace_dir, file_name_of(key))
        target = self.trace_file
        if callable(target):
            target = target(key)
        return None if target is None else os.fspath(target)

    def __bool__(self) -> bool:
        """Whether anything is recorded."""
        return self.trace_file is not None or self.trace_dir is not None


class TraceWriter:
    """The lines of each key's decisions, appended to its trace file; keeps the files used last open."""

    def __init__(self, paths: TracePaths) -> None:
        self.paths = paths
        self._paths: OrderedDict[str, str | None] = OrderedDict()
        self._clients: OrderedDict[str, OstikClient] = OrderedDict()
        self._lock = threading.Lock()

    def records(self, key: str) -> bool:
        """Whether the key's calls are written anywhere."""
        return self._path_of(key) is not None

    def write(self, key: str, tool: str, args: object, decision: Decision | None, unjudged: str | None,
              enforce: bool) -> None:
        line: dict[str, Any] = {"tool": tool}
        if unjudged is not None:
            line["unjudged"] = unjudged
        else:
            if args is not None:
                line["args"] = args
            if decision is not None and decision.needs_approval:
                line["ask"] = {"reason": decision.reason, "rule_id": decision.blocked_by}
            elif enforce and decision is not None and not decision.allowed:
                line["refused"] = {"rule_id": decision.blocked_by, "reason": decision.reason}
        self.write_line(key, line)

    def write_answer(self, key: str, tool: str, args: object, asked: Decision, approved: bool,
                     denial: str | None) -> None:
        """The line of an asked call as it was resolved."""
        line: dict[str, Any] = {"tool": tool, "approved": approved}
        if args is not None:
            line["args"] = args
        line["ask"] = {"reason": asked.reason, "rule_id": asked.blocked_by}
        if denial is not None:
            line["denial"] = denial
        self.write_line(key, line)

    def write_result(self, key: str, step: int, result: object, is_error: bool) -> None:
        """Appends the result of the key's call at ``step``, a line of its own after the call's step line."""
        if isinstance(result, (bytes, bytearray, memoryview)):
            result = bytes(result).decode("utf-8", "replace")
        line: dict[str, Any] = {"result": result, "result_of": step}
        if is_error:
            line["is_error"] = True
        try:
            self.write_line(key, line)
        except (TypeError, ValueError):
            # A value with no JSON form: its text, as the session was given it.
            line["result"] = str(result)
            self.write_line(key, line)

    def write_line(self, key: str, line: dict[str, Any]) -> None:
        """Appends a line to the key's file; with the key in it when keys share the file."""
        path = self._path_of(key)
        if path is None:
            return
        if self.paths.shared:
            line = {"session": key, **line}
        with self._lock:
            client = self._clients.get(path)
            if client is None:
                client = self._clients[path] = OstikClient(path)
                if len(self._clients) > OPEN_FILES:
                    self._clients.popitem(last=False)
            else:
                self._clients.move_to_end(path)
            try:
                client.record_trace(line)
            except ValueError:
                if "args" not in line:
                    raise
                # Args that have no JSON form (why the call was refused under on_error: block) are left out.
                del line["args"]
                client.record_trace(line)

    def _path_of(self, key: str) -> str | None:
        # Asked once per key (a function given for trace_file is called once per session), remembered for the
        # keys written to last.
        known = self._paths.get(key, _UNASKED)
        if known is not _UNASKED:
            return known  # type: ignore[return-value]
        path = self.paths(key)
        with self._lock:
            self._paths[key] = path
            if len(self._paths) > REMEMBERED_IDS:
                self._paths.popitem(last=False)
        return path

    def close(self) -> None:
        """Closes the files; they open again for the next line."""
        with self._lock:
            self._clients.clear()


class _Key:
    """What is kept of one key besides its session: the turn in progress and the last results."""

    __slots__ = ("lock", "session", "turn", "decided", "results", "written", "unnamed", "steps")

    def __init__(self) -> None:
        # A finalizer that ends a run while a call is decided takes the adapter's lock, never this one.
        self.lock = threading.Lock()
        self.session: Session | None = None
        # The ids of the current turn's calls, in the listed order, and how many of them are decided.
        self.turn: tuple[str | None, ...] = ()
        self.decided = 0
        self.results: deque[tuple[str | None, str, object]] = deque(maxlen=KEPT_RESULTS)
        # The ids whose decision is in the trace file: a decision given again for one is not written again.
        self.written: OrderedDict[str, None] = OrderedDict()
        # The step of each tool's last counted call that came without an id: where its result goes.
        self.unnamed: dict[str, int] = {}
        # The step of each call written to the trace file, by id: the result line names it.
        self.steps: OrderedDict[str, int] = OrderedDict()

    def remember_step(self, call_id: str, step: int) -> None:
        self.steps[call_id] = step
        if len(self.steps) > REMEMBERED_IDS:
            self.steps.popitem(last=False)

    def first_time(self, call_id: str | None) -> bool:
        """Whether the call's decision is to be written (every call without an id is)."""
        if call_id is None:
            return True
        if call_id in self.written:
            return False
        self.written[call_id] = None
        if len(self.written) > REMEMBERED_IDS:
            self.written.popitem(last=False)
        return True


class GuardedRuns:
    """The sessions of an adapter, by key, and the decisions on the calls made in them; thread-safe."""

    def __init__(self, guard: Guard | Policy, *, mode: Mode = "enforce", scope: Scope = "run",
                 store: SessionStore | None = None, trace_file: TraceFile | None = None,
                 trace_dir: str | os.PathLike[str] | None = None, raise_on_block: bool = False,
                 message: Callable[[Decision], str] = refusal_message) -> None:
        if mode not in MODES:
            raise ValueError(f"mode must be 'enforce' or 'observe', not {mode!r}")
        if scope not in SCOPES:
            raise ValueError(f"scope must be 'run' or 'thread', not {scope!r}")
        self.guard = guard_of(guard)
        self.mode: Mode = mode
        self.scope: Scope = scope
        self.store = store
        self.raise_on_block = raise_on_block
        self.message = message
        self.trace_path = TracePaths(trace_file, trace_dir)
        self._writer = TraceWriter(self.trace_path) if self.trace_path else None
        self._on_error = self.guard.on_error
        # Only flows read results: without them a result is kept here and goes no further (no store round
        # trip, no trace line).
        self._takes_results = self.guard.has_flows
        self._enforce = mode == "enforce"
        self._keys: dict[str, _Key] = {}
        self._lock = threading.RLock()
        # The calls waiting for an answer, by id: the key of the session that asked.
        self._asked: OrderedDict[str, str] = OrderedDict()
        # The runs that answer another run's asks (the framework resumes in a run of its own): the key they continue.
        self._continued: dict[str, str] = {}

    # The sessions.

    def _key(self, key: str) -> _Key:
        entry = self._keys.get(key)
        if entry is None:
            with self._lock:
                entry = self._keys.get(key)
                if entry is None:
                    entry = self._keys[key] = _Key()
                    if self.store is not None and len(self._keys) > HELD_KEYS:
                        # With a store, memory holds only what helps: the sessions are in the store. The key
                        # held longest goes (its next call comes with an empty turn and id memory).
                        self._keys.pop(next(iter(self._keys)))
        return entry

    def _live(self, entry: _Key) -> Session:
        session = entry.session
        if session is None:
            session = entry.session = self.guard.session(mode=self.mode)
        return session

    def session(self, key: str) -> Session:
        """The key's session: the one in memory (a new one for a key not seen), or a copy of the stored one."""
        entry = self._key(key)
        with entry.lock:
            if self.store is None:
                return self._live(entry)
            with self.store.session(self.guard, key, mode=self.mode) as session:
                return session

    def end(self, key: str) -> None:
        """Forgets what is held in memory for the key (its run is over); a store keeps its session."""
        with self._lock:
            self._keys.pop(key, None)

    def close(self) -> None:
        """Closes the trace files; they open again for the next call."""
        if self._writer is not None:
            self._writer.close()

    def __contains__(self, key: object) -> bool:
        return key in self._keys

    def __len__(self) -> int:
        return len(self._keys)

    # Deciding.

    def decide(self, key: str, tool: str, args: object, call_id: str | None = None,
               turn: Sequence[Call] | None = None) -> Decision | None:
        """The decision on a call of the key's session; None for a call left unjudged (``on_error: allow``).

        ``turn`` is the model turn's calls in the order the model listed them,
        when the framework shows it; the listed calls before this one are
        decided first."""
        entry = self._keys.get(key)
        if entry is None:
            entry = self._key(key)
        with entry.lock:
            if self.store is None:
                session = entry.session
                if session is None:
                    session = self._live(entry)
                if turn and call_id is not None:
                    self._decide_before(entry, key, session, call_id, turn)
                return self._check(entry, key, session, tool, args, call_id)
            # The store holds the key's row while the calls are decided, and saves the session after.
            with self.store.session(self.guard, key, mode=self.mode) as session:
                if turn and call_id is not None:
                    self._decide_before(entry, key, session, call_id, turn)
                return self._check(entry, key, session, tool, args, call_id)

    def _decide_before(self, entry: _Key, key: str, session: Session, call_id: str, turn: Sequence[Call]) -> None:
        ids = tuple(call.call_id for call in turn)
        if ids != entry.turn:
            entry.turn, entry.decided = ids, 0
        try:
            position = ids.index(call_id)
        except ValueError:
            return  # not a call of the turn shown
        for listed in turn[entry.decided:position]:
            self._check(entry, key, session, listed.tool, listed.args, listed.call_id)
        entry.decided = max(entry.decided, position + 1)

    def _check(self, entry: _Key, key: str, session: Session, tool: str, args: object,
               call_id: str | None) -> Decision | None:
        unjudged = None
        try:
            decision: Decision | None = session.check(tool, args, call_id=call_id)
        except ValueError:
            decision, unjudged = _judged(session, tool, args, self._on_error, call_id)
        if decision is None:
            allowed = False
        else:
            allowed = decision.allowed
            if call_id is None and (allowed or not self._enforce):
                entry.unnamed[tool] = decision.step
        if decision is not None and not allowed:
            if not self._enforce:
                if decision.needs_approval:
                    logger.warning("observed: %s would need approval: %s", tool, refusal_message(decision))
                else:
                    logger.warning("observed: %s would be refused: %s", tool, refusal_message(decision))
            elif decision.needs_approval:
                if call_id is not None:
                    with self._lock:
                        self._asked[call_id] = key
                        if len(self._asked) > REMEMBERED_IDS:
                            self._asked.popitem(last=False)
                # Written when it is answered.
                return decision
        writer = self._writer
        if writer is not None and writer.records(key) and entry.first_time(call_id):
            writer.write(key, tool, args, decision, unjudged, self._enforce)
            if decision is not None and call_id is not None and (allowed or not self._enforce):
                entry.remember_step(call_id, decision.step)
        return decision

    def refuses(self, decision: Decision | None) -> bool:
        """Whether the adapter must keep the call from running: a blocked decision in enforce mode
        (one waiting for approval included)."""
        return self._enforce and decision is not None and not decision.allowed

    def asks(self, decision: Decision | None) -> bool:
        """Whether the call waits for a person's approval: an ask in enforce mode."""
        return self._enforce and decision is not None and decision.needs_approval

    # Approvals.

    def approve(self, key: str, call_id: str, tool: str, args: object) -> Decision:
        """Approves the key's pending call: its decision becomes allowed; it is to run."""
        return self._answer(key, call_id, tool, args, True, None)

    def deny(self, key: str, call_id: str, tool: str, args: object, reason: str | None = None) -> Decision:
        """Denies the key's pending call: its decision becomes blocked by the ask entry."""
        return self._answer(key, call_id, tool, args, False, reason)

    def _answer(self, key: str, call_id: str, tool: str, args: object, approved: bool,
                reason: str | None) -> Decision:
        entry = self._key(key)
        with entry.lock:
            if self.store is None:
                return self._resolve(entry, key, self._live(entry), call_id, tool, args, approved, reason)
            with self.store.session(self.guard, key, mode=self.mode) as session:
                return self._resolve(entry, key, session, call_id, tool, args, approved, reason)

    def _resolve(self, entry: _Key, key: str, session: Session, call_id: str, tool: str, args: object,
                 approved: bool, reason: str | None) -> Decision:
        if call_id not in session.pending:
            # Answered already (the framework shows the answer at every look): the decision it got.
            return session.check(tool, args, call_id=call_id)
        asked = session.check(tool, args, call_id=call_id)
        decision = session.approve(call_id) if approved else session.deny(call_id, reason=reason)
        with self._lock:
            self._asked.pop(call_id, None)
        writer = self._writer
        if writer is not None and writer.records(key) and entry.first_time(call_id):
            writer.write_answer(key, tool, args, asked, approved, reason)
            if approved:
                entry.remember_step(call_id, decision.step)
        return decision

    def asker(self, call_id: str) -> str | None:
        """The key of the session in which the call waits for its answer (None when none of this process's does)."""
        return self._asked.get(call_id)

    def continued(self, key: str) -> str:
        """The key of the session that the run ``key`` continues: its own, unless it answers another run's ask."""
        return self._continued.get(key, key) if self._continued else key

    def continue_session(self, key: str, call_id: str) -> str:
        """Makes the run ``key``, which answers the ask ``call_id``, continue the session that asked; its key."""
        asker = self._asked.get(call_id)
        if asker is None or asker == key:
            return self.continued(key)
        with self._lock:
            self._continued[key] = asker
        return asker

    def end_run(self, key: str) -> None:
        """Ends the run ``key``: the session it continues is forgotten, unless a call of it waits for an answer."""
        with self._lock:
            session_key = self._continued.pop(key, key)
        if not self.pending(session_key):
            self.end(session_key)

    def pending(self, key: str) -> list[str]:
        """The ids of the key's calls that wait for an answer."""
        entry = self._keys.get(key)
        if self.store is None:
            return [] if entry is None or entry.session is None else entry.session.pending
        return self.session(key).pending

    # Results.

    def record_result(self, key: str, call_id: str | None, tool: str, result: object, *,
                      is_error: bool = False) -> None:
        """Hands a tool's result over to the key's session (see Results above)."""
        entry = self._keys.get(key)
        if entry is None:
            if self.store is None:
                return  # the run is over, or never began here
            entry = self._key(key)
        value = result_value(result)
        with entry.lock:
            entry.results.append((call_id, tool, value))
            target: str | int | None = call_id if call_id is not None else entry.unnamed.pop(tool, None)
            if target is None:
                return
            if not self._takes_results:
                return
            writer = self._writer
            if writer is not None:
                step = target if isinstance(target, int) else entry.steps.pop(target, None)
                if step is not None and writer.records(key):
                    writer.write_result(key, step, value, is_error)
            if self.store is None:
                if entry.session is not None:
                    _hand_over(entry.session, target, value, is_error)
                return
            with self.store.session(self.guard, key, mode=self.mode) as session:
                _hand_over(session, target, value, is_error)

    def results(self, key: str) -> list[ToolResult]:
        """The last results handed over for the key (at most 64)."""
        entry = self._keys.get(key)
        return [] if entry is None else [ToolResult(*kept) for kept in entry.results]


# The results that are values as they are (most are), told apart without looking for a model_dump.
_PLAIN = frozenset({str, dict, list, tuple, int, float, bool, type(None), bytes})


def result_value(result: object) -> object:
    """What a session is given of a tool's result: the value itself, or a Pydantic model's JSON-able dump."""
    if type(result) in _PLAIN:
        return result
    dump = getattr(result, "model_dump", None)
    if callable(dump) and not isinstance(result, type):
        try:
            return dump(mode="json")
        except Exception:
            return str(result)
    return result


def _hand_over(session: Session, target: str | int, value: object, is_error: bool) -> None:
    try:
        session.record_result(target, value, is_error=is_error)
        return
    except (TypeError, ValueError) as error:
        problem = error
    try:
        # A value with no JSON form, or too deep: its text is what the tool gave.
        session.record_result(target, str(value), is_error=is_error)
    except ValueError:
        # A call the session did not count (refused, left unjudged, or forgotten): no result goes with it.
        logger.debug("result of %r not recorded: %s", target, problem)


def judge(session: Session, tool: str, args: object, on_error: str, call_id: str | None = None) -> Decision | None:
    """The decision on a call, as the guard's wrappers make it.

    Arguments that cannot be judged follow the policy's ``on_error``: ``block``
    refuses the call (a decision blocked by "on_error"), ``allow`` lets it run
    unjudged and uncounted, which is what ``None`` says."""
    return _judged(session, tool, args, on_error, call_id)[0]


def _judged(session: Session, tool: str, args: object, on_error: str,
            call_id: str | None) -> tuple[Decision | None, str | None]:
    """The decision, and why there is none for a call left unjudged."""
    try:
        return session.check(tool, args, call_id=call_id), None
    except ValueError as error:
        if on_error == "allow":
            return None, str(error)
        return session._refusal(str(error), tool), None


def call_arguments(text: str) -> Any:
    """A call's arguments sent as JSON text, as a value; text that is not JSON stays text.

    Empty text is a call without arguments (None), as models send it; JSON text
    that cannot be read into a value (nested too deeply, a number of too many
    digits) gives ``UnreadableArguments``, which the session cannot judge, so
    that the policy's ``on_error`` decides the call. This is how ostik.formats
    reads the arguments of a transcript."""
    return read_call_arguments(text)
