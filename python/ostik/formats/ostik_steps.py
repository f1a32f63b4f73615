"""ostik's own step form, as OstikClient writes it (see ostik.formats.trace_files)."""

from __future__ import annotations

from ostik.formats.reading import Reading, Source, Step, TraceFormatError, read_as
from ostik.formats.json_text import JsonSource
from ostik.formats.trace_files import Trace, TraceFileError, trace_file_from_source

NAME = "ostik"


def read(source: Source) -> list[list[Step]]:
    """The traces of a trace file in ostik's own form (a path, or parsed JSON), each a list of steps in call order."""
    return read_as(traces_from, NAME, source)


def traces_from(source: JsonSource, reading: Reading) -> list[Trace]:
    # The steps are already in ostik's form: the native reader judges them as they are.
    try:
        return trace_file_from_source(source).traces
    except TraceFileError as err:
        raise TraceFormatError(str(err)) from None
