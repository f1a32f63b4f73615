"""ostik: check, explain and measure agent tool-call traces against a YAML policy."""

from ostik import _engine, _native
from ostik._engine import *  # noqa: F403 - the names listed in _engine.__all__
from ostik._inspect import policy_records
from ostik._native import *  # noqa: F403 - the classes listed in _native.__all__
from ostik.guarding import PolicyViolation

__all__ = [*_native.__all__, *_engine.__all__, "PolicyViolation", "policy_records"]
