# Type stubs for the C++ extension module ostik._native.
from collections.abc import Mapping, Sequence
from typing import SupportsFloat, SupportsIndex, final

__all__ = ["Policy", "CoverageAnalyzer", "OstikClient", "TraceExplainer"]

# One step of a trace: a mapping with "tool" (or "name", "tool_name") and
# "args" (or "params", "arguments"); other keys are ignored.
_Step = Mapping[str, object]

@final
class Policy:
    # There is no constructor: calling Policy() raises TypeError.
    @staticmethod
    def from_file(path: str) -> Policy: ...

@final
class CoverageAnalyzer:
    def __init__(self, policy: Policy) -> None: ...
    def analyze(self, traces: Sequence[Sequence[_Step]], threshold: SupportsFloat | SupportsIndex) -> str: ...

@final
class OstikClient:
    """A client for recording Ostik traces from Python."""

    def __init__(self, trace_file: str | None = None) -> None: ...
    def record_trace(self, trace: object) -> None: ...

@final
class TraceExplainer:
    def __init__(self, policy: Policy) -> None: ...
    def explain(self, traces: Sequence[_Step]) -> str: ...
