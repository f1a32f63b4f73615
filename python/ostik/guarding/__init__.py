"""The guard's Python side: the refusal raised for a blocked call, the wrappers
(``Session.guarded``, ``@session.tool``) that judge tool functions before they run,
and the stores that keep sessions beyond one process.
The native session finds ``wrap`` and ``decorator`` here."""

from ostik.guarding.stores import MemoryStore, SessionStore, SqliteStore
from ostik.guarding.wrappers import PolicyViolation, decorator, wrap

__all__ = ["MemoryStore", "PolicyViolation", "SessionStore", "SqliteStore", "decorator", "wrap"]
