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

Results. The adapters hand each tool's result over with ``record_result``; the
session takes it when it has a use for it (a session's ``record_result``),
until then the last results of each key are kept here for it.

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
           "guard_of", "judge", "new_run_id", "refusal_message"]

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
            if enforce and decision is not None and not decision.allowed:
                line["refused"] = {"rule_id": decision.blocked_by, "reason": decision.reason}
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

    __slots__ = ("lock", "session", "turn", "decided", "results", "written")

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
        self._enforce = mode == "enforce"
        self._keys: dict[str, _Key] = {}
        self._lock = threading.RLock()

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
        decision, unjudged = _judged(session, tool, args, self._on_error, call_id)
        if decision is not None and not decision.allowed and not self._enforce:
            logger.warning("observed: %s would be refused: %s", tool, refusal_message(decision))
        writer = self._writer
        if writer is not None and writer.records(key) and entry.first_time(call_id):
            writer.write(key, tool, args, decision, unjudged, self._enforce)
        return decision

    def refuses(self, decision: Decision | None) -> bool:
        """Whether the adapter must keep the call from running: a blocked decision in enforce mode."""
        return self._enforce and decision is not None and not decision.allowed

    # Results.

    def record_result(self, key: str, call_id: str | None, tool: str, result: object) -> None:
        """Hands a tool's result over to the key's session."""
        entry = self._keys.get(key)
        if entry is None:
            return
        # A plain tuple: made for every call, read rarely.
        entry.results.append((call_id, tool, result))
        if call_id is None:
            return  # the session knows a call by its id or step only
        try:
            entry.session.record_result(call_id, result)
        except ValueError:
            # A call the session did not run (refused, unknown to it): the
            # result is only kept here.
            pass

    def results(self, key: str) -> list[ToolResult]:
        """The last results handed over for the key (at most 64)."""
        entry = self._keys.get(key)
        return [] if entry is None else [ToolResult(*kept) for kept in entry.results]


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
