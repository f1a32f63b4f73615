"""Guard sessions kept under a key, so that a run outlives the process, thread or request that checks its calls.

``store.session(guard, key, **session_options)`` is a context manager: it holds
the key against every other user of the store, gives the session stored under
it (``Guard.resume`` of its bytes) or, for a new key, ``guard.session(**session_options)``,
and saves the session's bytes (``Session.to_bytes``) when the block ends::

    store = ostik.SqliteStore("sessions.db")
    with store.session(guard, run_id, trace_file="runs/" + run_id + ".jsonl") as session:
        decision = session.check(tool, args, call_id=call_id)
    # run the tool (or not) outside the block: other holders of the store wait for it

The session is saved when the block ends by an exception too: the calls it
checked were decided, and a decision that is not saved would be made again
(a call counted twice or, worse, a max_calls total forgotten), so the stored
session always says what its trace file says.

``MemoryStore`` keeps the sessions of one process (a framework adapter's
sessions per thread or per run); ``SqliteStore`` keeps them in an SQLite file
that many processes share (a coding agent's hook, which runs once per tool call;
an MCP proxy; a run resumed after a person approved a call). A key's trace
file is stored with it, so that later blocks append to the file the first one
named without naming it again.
"""

from __future__ import annotations

import os
import threading
import time
from abc import ABC, abstractmethod
from collections.abc import Iterator
from contextlib import AbstractContextManager, contextmanager

from ostik._engine import Guard

# Neither dataclasses nor typing is imported here: a hook, which keeps its sessions in a
# SqliteStore, starts a new interpreter for every tool call and pays for every import.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    # Imported where a SqliteStore uses it: the module takes longer to import
    # than the rest of ostik, and most programs that import ostik keep no store.
    import sqlite3

    from ostik._engine import Session

__all__ = ["HeldKey", "MemoryStore", "SessionStore", "SqliteStore", "StoredSession"]

# The session options a stored session keeps: what its bytes carry, and its trace file.
_OPTIONS = frozenset({"trace_file", "mode"})


class StoredSession:
    """What a store holds under a key: the session's bytes and the trace file it writes to."""

    __slots__ = ("data", "trace_file")

    def __init__(self, data: bytes, trace_file: str | None = None) -> None:
        self.data = data
        self.trace_file = trace_file

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, StoredSession):
            return NotImplemented
        return (self.data, self.trace_file) == (other.data, other.trace_file)

    __hash__ = None  # type: ignore[assignment]  # equal by value, and mutable

    def __repr__(self) -> str:
        return f"StoredSession(data={self.data!r}, trace_file={self.trace_file!r})"


class SessionStore(ABC):
    """Sessions kept under keys (str), each held by one user at a time.

    A store of another kind implements ``hold``: a context manager that holds
    the key against every other user until it ends and gives a ``HeldKey``
    with what is stored under the key (None for a new key); when the block
    ends, however it ends, it stores what ``HeldKey.save`` was given, or
    nothing when that was not called."""

    @abstractmethod
    def hold(self, key: str) -> AbstractContextManager[HeldKey]:
        """The key held for the block, with what is stored under it."""

    def session(self, guard: Guard, key: str, **session_options: Any) -> AbstractContextManager[Session]:
        """The session stored under `key`, or a new ``guard.session(**session_options)``,
        held for the block and saved when it ends (also when it ends by an exception).

        `session_options`: ``trace_file`` (stored with the key; a later block may
        leave it out) and ``mode``, which must be the stored session's."""
        if not isinstance(guard, Guard):
            raise TypeError(f"argument 'guard': '{type(guard).__qualname__}' object cannot be converted to 'Guard'")
        if not isinstance(key, str):
            raise TypeError(f"argument 'key': '{type(key).__qualname__}' object cannot be converted to 'PyString'")
        unknown = sorted(set(session_options) - _OPTIONS)
        if unknown:
            if "keep" in unknown:
                raise ValueError("keep: a stored session keeps no calls for explain(): each block resumes it "
                                 "from its bytes")
            raise TypeError(f"session() got an unexpected keyword argument '{unknown[0]}'")
        return self._session(guard, key, session_options)

    @contextmanager
    def _session(self, guard: Guard, key: str, options: dict[str, Any]) -> Iterator[Session]:
        trace_file = options.get("trace_file")
        if trace_file is not None:
            trace_file = os.fspath(trace_file)
        with self.hold(key) as held:
            stored = held.stored
            if stored is None:
                session = guard.session(**options)
            else:
                trace_file = trace_file if trace_file is not None else stored.trace_file
                try:
                    session = guard.resume(stored.data, trace_file)
                except ValueError as err:
                    raise ValueError(f"{held.place}: session {key!r}: {err}") from None
                mode = options.get("mode")
                if mode is not None and mode != session.mode:
                    raise ValueError(f"{held.place}: session {key!r} is in {session.mode} mode, not {mode!r}")
            try:
                yield session
            finally:
                held.save(StoredSession(session.to_bytes(), trace_file))


class HeldKey:
    """A key held by a store: what is stored under it (`stored`), what to store when the hold ends
    (`saved`), and the store's name for messages (`place`)."""

    def __init__(self, place: str, stored: StoredSession | None) -> None:
        self.place = place
        self.stored = stored
        self.saved: StoredSession | None = None

    def save(self, stored: StoredSession) -> None:
        self.saved = stored


class MemoryStore(SessionStore):
    """Sessions kept in this process: each key held by one thread at a time."""

    def __init__(self) -> None:
        self._sessions: dict[str, StoredSession] = {}
        self._locks: dict[str, threading.Lock] = {}
        self._lock = threading.Lock()
        self._holding = threading.local()

    @contextmanager
    def hold(self, key: str) -> Iterator[HeldKey]:
        held_here: set[str] | None = getattr(self._holding, "keys", None)
        if held_here is None:
            held_here = self._holding.keys = set()
        if key in held_here:
            # Waiting for itself would never end; resuming it again would save over the outer block.
            raise RuntimeError(f"session {key!r} is already held by this thread")
        with self._lock:
            lock = self._locks.setdefault(key, threading.Lock())
        with lock:
            held_here.add(key)
            held = HeldKey("memory store", self._sessions.get(key))
            try:
                yield held
            finally:
                held_here.discard(key)
                if held.saved is not None:
                    self._sessions[key] = held.saved

    def __contains__(self, key: object) -> bool:
        return key in self._sessions

    def delete(self, key: str) -> bool:
        """Forgets the session under `key` (a finished run); whether there was one."""
        with self._lock:
            lock = self._locks.get(key)
        if lock is None:
            return False
        with lock:
            return self._sessions.pop(key, None) is not None


class SqliteStore(SessionStore):
    """Sessions kept in an SQLite file, one row per key, shared by every process that opens it.

    A block holds the database's write lock (``BEGIN IMMEDIATE``) from before
    it reads the key's row until the row is written and committed, so no two
    holders, in any processes, read the same state; others wait for it up to
    `timeout` seconds (SQLite's busy timeout), then RuntimeError. The file is
    in WAL mode: readers never wait, and a commit costs no sync of the disk
    unless `durable` (then every commit survives a power loss, not only a
    crash of the process). Each thread has its own connection."""

    def __init__(self, path: str | os.PathLike[str], *, timeout: float = 10.0, durable: bool = False) -> None:
        self.path = os.fspath(path)
        self.timeout = timeout
        self.durable = durable
        self._local = threading.local()
        self._connections: list[sqlite3.Connection] = []
        self._lock = threading.Lock()
        self._pid = os.getpid()
        self._connection()  # a path that cannot be used fails here, not at the first call

    def _fail(self, doing: str, err: Exception) -> RuntimeError:
        return RuntimeError(f"{self.path}: cannot {doing} the session store: {err}")

    def _connection(self) -> sqlite3.Connection:
        import sqlite3

        if self._pid != os.getpid():
            # A forked child must not use its parent's connections (SQLite's rule); it opens its own.
            self._pid, self._local, self._connections = os.getpid(), threading.local(), []
        connection: sqlite3.Connection | None = getattr(self._local, "connection", None)
        if connection is not None:
            return connection
        try:
            # Transactions are begun and ended here, not by the module.
            connection = sqlite3.connect(self.path, timeout=self.timeout, isolation_level=None,
                                         check_same_thread=False)
        except sqlite3.Error as err:
            raise self._fail("open", err) from None
        # Processes that open a new file at once race to put it in WAL mode, and SQLite
        # answers the loser "database is locked" at once, without its busy timeout:
        # the setup is tried again until the timeout has passed.
        deadline = time.monotonic() + self.timeout
        pause = 0.005
        while True:
            try:
                if connection.execute("PRAGMA journal_mode=WAL").fetchone()[0].lower() != "wal":
                    raise sqlite3.OperationalError("the file cannot be put in WAL mode")
                connection.execute(f"PRAGMA synchronous={'FULL' if self.durable else 'NORMAL'}")
                connection.execute("CREATE TABLE IF NOT EXISTS ostik_sessions (key TEXT PRIMARY KEY NOT NULL, "
                                   "session BLOB NOT NULL, trace_file TEXT, updated REAL NOT NULL)")
                break
            except sqlite3.OperationalError as err:
                if "locked" in str(err) and time.monotonic() < deadline:
                    time.sleep(pause)
                    pause = min(pause * 2, 0.1)
                    continue
                connection.close()
                raise self._fail("open", err) from None
            except sqlite3.Error as err:
                connection.close()
                raise self._fail("open", err) from None
        self._local.connection = connection
        with self._lock:
            self._connections.append(connection)
        return connection

    @contextmanager
    def hold(self, key: str) -> Iterator[HeldKey]:
        import sqlite3

        connection = self._connection()
        if connection.in_transaction:
            # The database's lock is this thread's already: a second block would wait for itself.
            raise RuntimeError(f"{self.path}: this thread already holds a session of the store")
        try:
            connection.execute("BEGIN IMMEDIATE")
        except sqlite3.Error as err:
            raise self._fail("lock", err) from None
        try:
            try:
                row = connection.execute("SELECT session, trace_file FROM ostik_sessions WHERE key = ?",
                                         (key,)).fetchone()
            except sqlite3.Error as err:
                raise self._fail("read", err) from None
            held = HeldKey(self.path, None if row is None else StoredSession(bytes(row[0]), row[1]))
            try:
                yield held
            finally:
                if held.saved is not None:
                    try:
                        connection.execute(
                            "INSERT INTO ostik_sessions (key, session, trace_file, updated) VALUES (?, ?, ?, ?) "
                            "ON CONFLICT (key) DO UPDATE SET session = excluded.session, "
                            "trace_file = excluded.trace_file, updated = excluded.updated",
                            (key, held.saved.data, held.saved.trace_file, time.time()))
                        connection.execute("COMMIT")
                    except sqlite3.Error as err:
                        raise self._fail("save to", err) from None
        finally:
            if connection.in_transaction:
                connection.execute("ROLLBACK")

    def __contains__(self, key: object) -> bool:
        import sqlite3

        if not isinstance(key, str):
            return False
        try:
            return self._connection().execute("SELECT 1 FROM ostik_sessions WHERE key = ?",
                                              (key,)).fetchone() is not None
        except sqlite3.Error as err:
            raise self._fail("read", err) from None

    def delete(self, key: str) -> bool:
        """Forgets the session under `key` (a finished run); whether there was one."""
        import sqlite3

        try:
            cursor = self._connection().execute("DELETE FROM ostik_sessions WHERE key = ?", (key,))
        except sqlite3.Error as err:
            raise self._fail("delete from", err) from None
        return cursor.rowcount > 0

    def close(self) -> None:
        """Closes every thread's connection; the store opens new ones if used again."""
        with self._lock:
            connections, self._connections = self._connections, []
        for connection in connections:
            connection.close()
        self._local = threading.local()

    def __enter__(self) -> SqliteStore:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
