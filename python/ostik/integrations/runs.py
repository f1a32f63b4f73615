"""What the framework integrations share: a guard session per agent run, where runs record, judging a call.

Each integration tells the runs of an agent apart in its framework's own way
and keeps one ``Session`` per run here, under the run's id. A run's calls may
be recorded as it goes: ``trace_file`` is one path for every run (so the file
holds one trace only while the agent runs once) or a function of the run id
giving each run its own path (``None`` for a run not to record); ``trace_dir``
is a directory where each run writes ``<run id>.jsonl``. A run id is 32 hex
digits, fresh for every run."""

from __future__ import annotations

import os
import threading
import uuid
from collections.abc import Callable
from typing import Any, TypeAlias

from ostik._engine import Decision, Guard, Session
from ostik._native import Policy
from ostik.formats.reading import call_arguments as read_call_arguments
from ostik.guarding import PolicyViolation

TraceFile: TypeAlias = "str | os.PathLike[str] | Callable[[str], str | os.PathLike[str] | None]"
"""Where runs record their calls: one path for every run, or a function of the run id."""


def guard_of(guard: Guard | Policy) -> Guard:
    """The guard to judge with: the one given, or a new one for a policy."""
    if isinstance(guard, Guard):
        return guard
    if isinstance(guard, Policy):
        return Guard(guard)
    raise TypeError(f"argument 'guard': expected an ostik.Guard or ostik.Policy, got '{type(guard).__qualname__}'")


def new_run_id() -> str:
    return uuid.uuid4().hex


class TracePaths:
    """Where each run records its calls, if anywhere: ``paths(run_id)``."""

    def __init__(self, trace_file: TraceFile | None = None, trace_dir: str | os.PathLike[str] | None = None) -> None:
        if trace_file is not None and trace_dir is not None:
            raise ValueError("give trace_file or trace_dir, not both")
        self.trace_file = trace_file
        self.trace_dir = None if trace_dir is None else os.fspath(trace_dir)

    def __call__(self, run_id: str) -> str | None:
        if self.trace_dir is not None:
            os.makedirs(self.trace_dir, exist_ok=True)
            return os.path.join(self.trace_dir, f"{run_id}.jsonl")
        target = self.trace_file
        if callable(target):
            target = target(run_id)
        return None if target is None else os.fspath(target)

    def __bool__(self) -> bool:
        """Whether anything is recorded."""
        return self.trace_file is not None or self.trace_dir is not None


class RunSessions:
    """The sessions of the runs in progress, by run id; thread-safe."""

    def __init__(self, guard: Guard | Policy, trace_file: TraceFile | None = None,
                 trace_dir: str | os.PathLike[str] | None = None) -> None:
        self.guard = guard_of(guard)
        self.trace_path = TracePaths(trace_file, trace_dir)
        self._sessions: dict[str, Session] = {}
        # Reentrant: making a session may collect garbage, and with it end another run (a finalizer) here.
        self._lock = threading.RLock()

    def start(self, run_id: str) -> Session:
        """A new session for the run (replacing any it had)."""
        session = self.guard.session(self.trace_path(run_id))
        with self._lock:
            self._sessions[run_id] = session
        return session

    def get(self, run_id: str) -> Session:
        """The session of the run; a new one if it has none yet."""
        with self._lock:
            session = self._sessions.get(run_id)
            if session is None:
                # Made under the lock: the run's parallel calls must share one session.
                session = self._sessions[run_id] = self.guard.session(self.trace_path(run_id))
            return session

    def end(self, run_id: str) -> None:
        """Forgets the run's session, which closes its trace file once nothing else holds it."""
        with self._lock:
            self._sessions.pop(run_id, None)

    def __len__(self) -> int:
        """The number of runs with a session."""
        with self._lock:
            return len(self._sessions)

    def __contains__(self, key: object) -> bool:
        with self._lock:
            return key in self._sessions


def judge(session: Session, tool: str, args: object, on_error: str) -> Decision | None:
    """The decision on a call, as the guard's wrappers make it.

    Arguments that cannot be judged follow the policy's ``on_error``: ``block``
    refuses the call (a decision blocked by "on_error"), ``allow`` lets it run
    unjudged and uncounted, which is what ``None`` says.
    """
    try:
        return session.check(tool, args)
    except ValueError as error:
        if on_error == "allow":
            return None
        return session._refusal(str(error))


def refusal_message(decision: Decision) -> str:
    """What the model is told about a blocked call: "blocked by RULE_ID: REASON"."""
    return str(PolicyViolation(decision))


def call_arguments(text: str) -> Any:
    """A call's arguments sent as JSON text, as a value; text that is not JSON stays text.

    Empty text is a call without arguments (None), as models send it; JSON text
    that cannot be read into a value (nested too deeply, a number of too many
    digits) gives ``UnreadableArguments``, which the session cannot judge, so
    that the policy's ``on_error`` decides the call. This is how ostik.formats
    reads the arguments of a transcript."""
    return read_call_arguments(text)
