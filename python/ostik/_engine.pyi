# Type stubs for the C++ extension module ostik._engine.
import os
from collections.abc import Mapping, Sequence
from typing import Protocol

from ostik._native import TraceExplainer

__all__: list[str] = ["stream_explanation"]

class _BinaryWriter(Protocol):
    def write(self, data: bytes, /) -> object: ...

# Writes the report of explainer.explain(trace), UTF-8 encoded, to a path
# (created or truncated) or a binary file object; returns the number of bytes
# written. OSError for a path that cannot be opened or written; a file
# object's own exceptions pass through.
def stream_explanation(
    explainer: TraceExplainer, trace: Sequence[Mapping[str, object]], out: str | os.PathLike[str] | _BinaryWriter
) -> int: ...
