"""ostik: check, explain and measure agent tool-call traces against a YAML policy."""

import importlib
import types

from ostik import _engine, _native
from ostik._engine import *  # noqa: F403 - the names listed in _engine.__all__
from ostik._inspect import policy_records
from ostik._native import *  # noqa: F403 - the classes listed in _native.__all__
from ostik.guarding import MemoryStore, PolicyViolation, SessionStore, SqliteStore

# The one place the version is written: the build reads it from here into the
# package metadata, and `ostik --version` shows it.
__version__ = "0.1.0"

__all__ = [*_native.__all__, *_engine.__all__, "PolicyViolation", "SessionStore", "MemoryStore", "SqliteStore",
           "policy_records"]

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


def __getattr__(name: str) -> types.ModuleType:
    target = _LAZY_MODULES.get(name)
    if target is None:
        raise AttributeError(f"module 'ostik' has no attribute {name!r}")
    module = importlib.import_module(target)
    globals()[name] = module
    return module
