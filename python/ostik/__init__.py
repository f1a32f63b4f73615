"""ostik: check, explain and measure agent tool-call traces against a YAML policy."""

from ostik import _engine, _native
from ostik._engine import *  # noqa: F403 - the names listed in _engine.__all__
from ostik._inspect import policy_records
from ostik._native import *  # noqa: F403 - the classes listed in _native.__all__
from ostik.guarding import PolicyViolation

# The one place the version is written: the build reads it from here into the
# package metadata, and `ostik --version` shows it.
__version__ = "0.1.0"

__all__ = [*_native.__all__, *_engine.__all__, "PolicyViolation", "policy_records"]
