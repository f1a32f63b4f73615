"""ostik: check, explain and measure agent tool-call traces against a YAML policy."""

from ostik._native import Policy

__all__ = ["Policy"]
