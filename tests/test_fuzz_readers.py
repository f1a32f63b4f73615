"""A fuzzer for the readers: any bytes in a trace file, only the documented outcomes out.

`ostik.formats.read` either returns traces of steps or raises TraceFormatError
(AmbiguousFormatError is one); the guard judges whatever it returned or
refuses a step with ValueError; the command line's reading of a file gives a
TraceFile or UnusableInput; and `ostik test` exits with 0, 1 or 2, whatever
the file holds. The inputs are random bytes, and JSON made of the keys the
formats look for, cut or flipped at random.

The test command runs a few hundred examples; `fuzz/run.sh SECONDS
python_readers` runs it at length with fresh seeds (OSTIK_FUZZ_EXAMPLES sets
the examples per run).
"""

import contextlib
import io
import json
import os
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import ostik
import ostik.formats
from ostik.cli import main
from ostik.cli.common import UnusableInput, read_traces
from ostik.formats import TraceFormatError, TraceFormatWarning

SETTINGS = settings(max_examples=int(os.environ.get("OSTIK_FUZZ_EXAMPLES", "60")), deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])

POLICY = """\
version: "1"
tools:
  allow: [read, write, x]
  require_args: {write: [path]}
  arg_constraints:
    read: {path: {matches: '^/work/', max_length: 20}, n: {min: 0}}
sequences:
  - {type: max_calls, tool: read, max: 3}
"""

# The keys the formats look for, so that random JSON reaches deep into each reader.
KEYS = ["tool", "name", "tool_name", "args", "params", "arguments", "role", "content", "tool_calls", "function",
        "type", "id", "input", "output", "call_id", "jsonrpc", "method", "result", "resourceSpans", "scopeSpans",
        "spans", "attributes", "key", "value", "stringValue", "intValue", "traceId", "spanId", "messages", "items",
        "gen_ai.tool.name", "gen_ai.tool.call.arguments", "tools/call", "function_call", "tool_use", "text"]
SCALARS = st.one_of(st.none(), st.booleans(), st.integers(min_value=-2**70, max_value=2**70),
                    st.floats(allow_nan=True, allow_infinity=True), st.sampled_from(KEYS + ["assistant", "user"]),
                    st.text(max_size=12))
VALUES = st.recursive(SCALARS, lambda inner: st.one_of(
    st.lists(inner, max_size=4), st.dictionaries(st.sampled_from(KEYS) | st.text(max_size=4), inner, max_size=5)),
    max_leaves=25)


def as_bytes(value, lines):
    if lines and isinstance(value, list):
        return "".join(json.dumps(item) + "\n" for item in value).encode()
    return json.dumps(value).encode()


CONTENT = st.one_of(
    st.binary(max_size=300),
    st.builds(as_bytes, VALUES, st.booleans()),
    st.builds(lambda data, cut, flip: bytes(b ^ (0x20 if i == flip else 0) for i, b in enumerate(data[:cut])),
              st.builds(as_bytes, VALUES, st.booleans()), st.integers(0, 400), st.integers(0, 400)),
)


@pytest.fixture(scope="module")
def policy_path(tmp_path_factory):
    path = tmp_path_factory.mktemp("fuzz") / "policy.yaml"
    path.write_text(POLICY)
    return str(path)


@pytest.fixture(scope="module")
def guard(policy_path):
    return ostik.Guard(ostik.Policy.from_file(policy_path))


def write(tmp_path, data, suffix):
    path = tmp_path / f"trace{suffix}"
    path.write_bytes(data)
    return str(path)


@SETTINGS
@given(data=CONTENT, suffix=st.sampled_from([".jsonl", ".json", ".txt"]),
       trace_format=st.sampled_from((ostik.formats.AUTO, *ostik.formats.FORMATS)))
def test_read_gives_traces_or_a_trace_format_error(tmp_path, guard, data, suffix, trace_format):
    path = write(tmp_path, data, suffix)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", TraceFormatWarning)
        try:
            traces = ostik.formats.read(path, trace_format)
        except TraceFormatError as err:
            assert str(err).startswith(path)
            return
    assert isinstance(traces, list) and all(isinstance(t, list) for t in traces)
    for trace in traces:
        try:
            guard.judge(trace)
        except ValueError as err:
            assert str(err).startswith("Invalid tool call format: ")


@SETTINGS
@given(data=CONTENT, suffix=st.sampled_from([".jsonl", ".json"]))
def test_the_command_line_reads_a_file_or_calls_it_unusable(tmp_path, data, suffix):
    path = write(tmp_path, data, suffix)
    notes = []
    try:
        read_traces(path, ostik.formats.AUTO, notes.append)
    except UnusableInput as err:
        assert str(err)
    assert all(isinstance(note, str) for note in notes)


@SETTINGS
@given(data=CONTENT, suffix=st.sampled_from([".jsonl", ".json"]),
       command=st.sampled_from([["test", "-j", "1"], ["test", "-q", "-j", "1"], ["explain"], ["coverage", "-j", "1"]]))
def test_ostik_exits_with_a_documented_status_whatever_the_file_holds(tmp_path, policy_path, data, suffix, command):
    path = write(tmp_path, data, suffix)
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main([command[0], policy_path, path, *command[1:]])
    assert status in (0, 1, 2), err.getvalue()
    assert "Traceback" not in err.getvalue()
