"""ostik: check, explain and measure agent tool-call traces against a YAML policy."""

from ostik._inspect import policy_records
from ostik._native import Policy

__all__ = ["Policy", "policy_records"]
