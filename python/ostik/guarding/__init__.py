"""The guard's Python side: the refusal raised for a blocked call, the wrappers
(``Session.guarded``, ``@session.tool``) that judge tool functions before they run,
and the stores that keep sessions beyond one process.
The native session finds ``wrap`` and ``decorator`` here.

Each name is imported from its module on first use: a process that keeps
sessions in a store (``ostik hook``, once per tool call) need not pay for the
wrappers' asyncio and logging."""

TYPE_CHECKING = False
if TYPE_CHECKING:
    from ostik.guarding.stores import MemoryStore, SessionStore, SqliteStore
    from ostik.guarding.wrappers import PolicyViolation, decorator, wrap

__all__ = ["MemoryStore", "PolicyViolation", "SessionStore", "SqliteStore", "decorator", "wrap"]

_SOURCES = {
    "MemoryStore": "ostik.guarding.stores",
    "SessionStore": "ostik.guarding.stores",
    "SqliteStore": "ostik.guarding.stores",
    "PolicyViolation": "ostik.guarding.wrappers",
    "decorator": "ostik.guarding.wrappers",
    "wrap": "ostik.guarding.wrappers",
}


def __getattr__(name: str) -> object:
    source = _SOURCES.get(name)
    if source is None:
        raise AttributeError(f"module 'ostik.guarding' has no attribute {name!r}")
    import importlib

    value: object = getattr(importlib.import_module(source), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_SOURCES})
