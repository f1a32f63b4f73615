"""ostik: check, explain and measure agent tool-call traces against a YAML policy."""

from ostik._native import OstikClient, Policy

__all__ = ["Policy", "OstikClient"]
