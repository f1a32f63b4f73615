"""ostik: check, explain and measure agent tool-call traces against a YAML policy."""

from ostik import _engine, _native
from ostik._engine import *  # noqa: F403 - the names listed in _engine.__all__
from ostik._native import *  # noqa: F403 - the classes listed in _native.__all__

TYPE_CHECKING = False
if TYPE_CHECKING:
    from ostik._inspect import policy_records
    from ostik.guarding import MemoryStore, PolicyViolation, SessionStore, SqliteStore

# The one place the version is written: the build reads it from here into the
# package metadata, and `ostik --version` shows it.
__version__ = "0.1.0"

__all__ = [*_native.__all__, *_engine.__all__, "PolicyViolation", "SessionStore", "MemoryStore", "SqliteStore",
           "policy_records"]

# Names imported on first use: what `import ostik` costs is what every command and
# every `ostik hook` (a new interpreter per tool call) pays, and the guard's Python
# side brings asyncio, logging and dataclasses with it.
_LAZY_NAMES = {
    "policy_records": "ostik._inspect",
    "PolicyViolation": "ostik.guarding",
    "SessionStore": "ostik.guarding",
    "MemoryStore": "ostik.guarding",
    "SqliteStore": "ostik.guarding",
}

# Sub-packages that import nothing beyond the standard library, found on first
# use (`ostik.formats.read(...)` after a plain `import ostik`); the framework
# integrations and Dask are imported only by name. `trace_files` is where the
# trace-file reader used to live, kept for callers of `ostik.trace_files`.
_LAZY_MODULES = {
    "formats": "ostik.formats",
    "reports": "ostik.reports",
    "runs": "ostik.runs",
    "trace_files": "ostik.formats.trace_files",
}


def __getattr__(name: str) -> object:
    import importlib

    source = _LAZY_NAMES.get(name)
    if source is not None:
        value: object = getattr(importlib.import_module(source), name)
    else:
        target = _LAZY_MODULES.get(name)
        if target is None:
            raise AttributeError(f"module 'ostik' has no attribute {name!r}")
        value = importlib.import_module(target)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY_NAMES, *_LAZY_MODULES})
