"""stream_explanation: the bytes of explain, written to a path or a file object in pieces."""

import errno
import io
import json
import os

import pytest
from hypothesis import given
from test_properties import POLICIES, SETTINGS, TRACES, load, write_policy  # noqa: F401 - a fixture

import ostik
from ostik import stream_explanation

POLICY = """version: "1"
name: stream
tools:
  allow: [read, edit, test, "caf\u00e9"]
sequences:
  - {type: eventually, tool: test, within: 3}
  - {type: before, first: read, then: edit}
  - {type: max_calls, tool: edit, max: 400}
  - {type: blocklist, pattern: rm}
  - {type: sequence, tools: [read, edit, test]}
"""


def explainer_for(tmp_path, text=POLICY):
    path = tmp_path / "policy.yaml"
    path.write_text(text, encoding="utf-8")
    return ostik.TraceExplainer(ostik.Policy.from_file(str(path)))


def long_trace(tools, n=4000):
    # Several pieces' worth of report (a piece is 256 KiB).
    return [{"tool": tools[i % len(tools)], "args": {"i": i}} for i in range(n)]


@SETTINGS
@given(policy=POLICIES, trace=TRACES)
def test_streamed_bytes_are_the_report(write_policy, tmp_path_factory, policy, trace):
    explainer = ostik.TraceExplainer(load(write_policy, policy))
    expected = explainer.explain(trace).encode()
    out = io.BytesIO()
    assert stream_explanation(explainer, trace, out) == len(expected)
    assert out.getvalue() == expected
    path = tmp_path_factory.getbasetemp() / "streamed.json"
    assert stream_explanation(explainer=explainer, trace=trace, out=str(path)) == len(expected)
    assert path.read_bytes() == expected


@pytest.mark.parametrize(
    "tools",
    [
        ["read", "edit", "test"],           # check marks: two bytes a character
        ["rea", "edi", "tes"],              # nothing passes with a check mark: ASCII
        ["caf\u00e9", "rea"],               # Latin-1 at most
        ["read", "\U0001f600", "edit"],     # beyond the BMP
    ],
)
def test_long_reports_in_pieces(tmp_path, tools):
    explainer = explainer_for(tmp_path)
    trace = long_trace(tools)
    text = explainer.explain(trace)
    assert len(text) > 1 << 20
    # Equal strs are of equal width: the str made piece by piece is the
    # narrowest that holds its text, as every str must be.
    assert text == text.encode().decode()
    out = io.BytesIO()
    assert stream_explanation(explainer, trace, out) == len(text.encode())
    assert out.getvalue() == text.encode()
    path = tmp_path / "report.json"
    stream_explanation(explainer, trace, path)  # an os.PathLike path
    assert path.read_bytes() == text.encode()
    assert json.loads(text)["total_steps"] == len(trace)


class FailingWriter:
    """Takes `calls` pieces, then raises."""

    def __init__(self, calls, error):
        self.calls, self.error, self.data = calls, error, b""

    def write(self, data):
        if self.calls == 0:
            raise self.error
        self.calls -= 1
        self.data += data
        return len(data)


@pytest.mark.parametrize("calls", [0, 1, 3])
def test_a_failing_write_raises_its_own_error(tmp_path, calls):
    explainer = explainer_for(tmp_path)
    trace = long_trace(["read", "edit", "test"])
    expected = explainer.explain(trace).encode()
    error = OSError(errno.ENOSPC, "disk full")
    out = FailingWriter(calls, error)
    with pytest.raises(OSError) as raised:
        stream_explanation(explainer, trace, out)
    assert raised.value is error
    assert expected.startswith(out.data) and len(out.data) < len(expected)


class ShortWriter:
    """A raw file's write: takes at most `most` bytes a call and says how many."""

    def __init__(self, most):
        self.most, self.data = most, bytearray()

    def write(self, data):
        taken = bytes(data[: self.most])
        self.data += taken
        return len(taken)


class SilentWriter:
    """A write that returns nothing, like many hand-made file objects."""

    def __init__(self):
        self.data = bytearray()

    def write(self, data):
        self.data += data


def test_short_and_silent_writes(tmp_path):
    explainer = explainer_for(tmp_path)
    trace = long_trace(["read", "edit"], 1500)
    expected = explainer.explain(trace).encode()
    short, silent = ShortWriter(100_003), SilentWriter()
    stream_explanation(explainer, trace, short)
    stream_explanation(explainer, trace, silent)
    assert bytes(short.data) == expected and bytes(silent.data) == expected


@pytest.mark.parametrize("count", [0, -1, 10**9])
def test_an_impossible_write_count_is_a_runtime_error(tmp_path, count):
    explainer = explainer_for(tmp_path)

    class Liar:
        def write(self, data):
            return count

    with pytest.raises(RuntimeError, match=r"^write\(\) returned -?\d+ for \d+ bytes$"):
        stream_explanation(explainer, [{"tool": "read"}], Liar())


def test_paths_that_cannot_be_written(tmp_path):
    explainer = explainer_for(tmp_path)
    missing = tmp_path / "absent" / "report.json"
    with pytest.raises(FileNotFoundError) as raised:
        stream_explanation(explainer, [{"tool": "read"}], str(missing))
    assert raised.value.filename == str(missing) and raised.value.strerror == os.strerror(errno.ENOENT)
    with pytest.raises(IsADirectoryError):
        stream_explanation(explainer, [{"tool": "read"}], str(tmp_path))
    if os.path.exists("/dev/full"):
        with pytest.raises(OSError) as raised:
            stream_explanation(explainer, [{"tool": "read"}], "/dev/full")
        assert raised.value.errno == errno.ENOSPC and raised.value.filename == "/dev/full"


def test_a_bad_trace_leaves_the_target_untouched(tmp_path):
    explainer = explainer_for(tmp_path)
    target = tmp_path / "report.json"
    target.write_bytes(b"earlier")
    bad = [{"tool": "read"}, {"tool": 7}]
    with pytest.raises(ValueError) as streamed:
        stream_explanation(explainer, bad, str(target))
    with pytest.raises(ValueError) as explained:
        explainer.explain(bad)
    assert str(streamed.value) == str(explained.value)
    assert target.read_bytes() == b"earlier"
    out = io.BytesIO()
    with pytest.raises(ValueError):
        stream_explanation(explainer, bad, out)
    assert out.getvalue() == b""


def test_argument_errors(tmp_path):
    explainer = explainer_for(tmp_path)
    out = io.BytesIO()
    with pytest.raises(TypeError, match="^argument 'explainer': 'Policy' object cannot be converted to "
                                        "'TraceExplainer'$"):
        stream_explanation(ostik.Policy.from_file(str(tmp_path / "policy.yaml")), [], out)
    with pytest.raises(TypeError, match="^argument 'trace': Can't extract `str` to `Vec`$"):
        stream_explanation(explainer, "read", out)
    with pytest.raises(TypeError, match="^argument 'trace': 'dict' object cannot be converted to 'Sequence'$"):
        stream_explanation(explainer, {"tool": "read"}, out)
    with pytest.raises(TypeError, match="^argument 'out': expected a str path or a binary file object with "
                                        "write\\(\\), got 'int'$"):
        stream_explanation(explainer, [], 3)
    with pytest.raises(TypeError, match=r"^stream_explanation\(\) missing 1 required positional argument: 'out'$"):
        stream_explanation(explainer, [])
    assert out.getvalue() == b""


def test_a_write_that_explains_again(tmp_path):
    # write() runs Python code, which may explain or stream on the same thread.
    explainer = explainer_for(tmp_path)
    trace = long_trace(["read", "edit", "test"], 2500)
    expected = explainer.explain(trace).encode()

    class Nested:
        def __init__(self):
            self.data = bytearray()

        def write(self, data):
            inner = io.BytesIO()
            stream_explanation(explainer, trace[:50], inner)
            assert inner.getvalue() == explainer.explain(trace[:50]).encode()
            self.data += data
            return len(data)

    out = Nested()
    stream_explanation(explainer, trace, out)
    assert bytes(out.data) == expected


def test_stream_is_exported():
    assert "stream_explanation" in ostik.__all__
    assert ostik.stream_explanation is ostik._engine.stream_explanation
