"""The guard's Python side: the refusal raised for a blocked call, and the wrappers
(``Session.guarded``, ``@session.tool``) that judge tool functions before they run.
The native session finds ``wrap`` and ``decorator`` here."""

from ostik.guarding.wrappers import PolicyViolation, decorator, wrap

__all__ = ["PolicyViolation", "decorator", "wrap"]
