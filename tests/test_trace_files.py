"""Reading trace files: the line forms, and where an unusable file is reported."""

import pytest

from ostik.formats.trace_files import TraceFileError, read_trace_file


def read(tmp_path, data, name="t.jsonl"):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path), read_trace_file(str(path))


def test_object_lines_form_one_trace_and_array_lines_whole_traces(tmp_path):
    path, result = read(tmp_path, b'[{"tool":"x"}]\n{"tool":"a"}\r\n\n   \n{"tool":"b"}\n[]\n')
    assert [(t.steps, t.step_lines, t.line) for t in result.traces] == [
        ([{"tool": "x"}], [], 1),
        ([{"tool": "a"}, {"tool": "b"}], [2, 5], None),
        ([], [], 6),
    ]
    assert result.warnings == []
    assert [t.where(0) for t in result.traces[:2]] == [f"{path}: line 1: step 0", f"{path}: line 2"]


@pytest.mark.parametrize("data", [b"", b"\n\n", b"  \n"])
def test_a_file_without_steps_is_one_empty_trace(tmp_path, data):
    _, result = read(tmp_path, data)
    assert [t.steps for t in result.traces] == [[]]


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (b'{"tool":"a"}\n{"tool":\n{"tool":"b"}\n', "line 2: not valid JSON: Expecting value (column 9)"),
        (b'{"tool":"a"}\n{"tool":"\xff"}\n', "line 2: not valid UTF-8 (byte 9 of the line)"),
        (b'"read_file"\n', "line 1: expected a JSON object (one step) or array (one trace), found a string"),
        (b'null\n', "line 1: expected a JSON object (one step) or array (one trace), found null"),
        (b"[" * 100_000 + b"\n", "line 1: JSON nested too deeply"),
        # A bad line in the middle is an error even without a final newline at the end.
        (b'{"tool":\n{"tool":"b"}', "line 1: not valid JSON: Expecting value (column 9)"),
    ],
)
def test_unusable_lines_name_file_and_line(tmp_path, data, message):
    path = tmp_path / "t.jsonl"
    path.write_bytes(data)
    with pytest.raises(TraceFileError) as info:
        read_trace_file(str(path))
    assert str(info.value) == f"{path}: {message}"


@pytest.mark.parametrize("tail", [b'{"tool":"b","ar', b'{"tool":"\xc3', b"[{"])
def test_an_unterminated_broken_last_line_is_skipped_with_a_warning(tmp_path, tail):
    path, result = read(tmp_path, b'{"tool":"a"}\n\n' + tail)
    assert [t.steps for t in result.traces] == [[{"tool": "a"}]]
    assert result.warnings == [f"{path}: line 3: skipped an incomplete last line (no final newline, "
                               "probably left by an interrupted write)"]


def test_an_unterminated_complete_last_line_is_kept(tmp_path):
    _, result = read(tmp_path, b'{"tool":"a"}\n{"tool":"b"}')
    assert [t.steps for t in result.traces] == [[{"tool": "a"}, {"tool": "b"}]]
    assert result.warnings == []


@pytest.mark.parametrize(
    ("data", "steps", "message"),
    [
        (b'[\n  {"tool": "a"},\n  {"tool": "b"}\n]\n', [{"tool": "a"}, {"tool": "b"}], None),
        (b'{"tool": "a"}', None, "expected a JSON array of steps, found an object"),
        (b'[\n  {"tool": "a"}\n  {"tool": "b"}\n]', None, "line 3 column 3: not valid JSON: Expecting ',' delimiter"),
        (b'["\xff"]', None, "not valid UTF-8 (byte 2)"),
    ],
)
def test_a_json_file_holds_one_trace(tmp_path, data, steps, message):
    path = tmp_path / "t.json"
    path.write_bytes(data)
    if message is None:
        assert [t.steps for t in read_trace_file(str(path)).traces] == [steps]
    else:
        with pytest.raises(TraceFileError) as info:
            read_trace_file(str(path))
        assert str(info.value) == f"{path}: {message}"


def test_unreadable_files(tmp_path):
    with pytest.raises(TraceFileError, match=r"absent\.jsonl: No such file or directory$"):
        read_trace_file(str(tmp_path / "absent.jsonl"))
    with pytest.raises(TraceFileError, match=r": not a regular file \(a directory\); only regular files and - "):
        read_trace_file(str(tmp_path))
    with pytest.raises(TraceFileError, match=r"^'run\\x00\.jsonl': embedded null byte$"):
        read_trace_file("run\x00.jsonl")


@pytest.mark.parametrize(
    ("name", "data", "traces"),
    [
        # A pretty-printed array under a name that is not .json, as standard input brings it.
        ("t.jsonl", b'[\n  {"tool": "a"},\n  {"tool": "b"}\n]\n', [([{"tool": "a"}, {"tool": "b"}], [])]),
        # JSON lines under a .json name, as telemetry exporters save them.
        ("t.json", b'{"tool": "a"}\n\n{"tool": "b"}\n[{"tool": "c"}]\n',
         [([{"tool": "a"}, {"tool": "b"}], [1, 3]), ([{"tool": "c"}], [])]),
    ],
)
def test_a_file_in_the_other_shape_than_its_name_says(tmp_path, name, data, traces):
    _, result = read(tmp_path, data, name)
    assert [(t.steps, t.step_lines) for t in result.traces] == traces


def test_steps_of_sessions_sharing_a_file_are_a_trace_per_session(tmp_path):
    path = tmp_path / "shared.jsonl"
    path.write_text('{"session": "b", "tool": "read_file"}\n'
                    '{"session": "a", "tool": "edit_file"}\n'
                    '{"tool": "lone"}\n'
                    '{"session": "b", "tool": "run_tests"}\n'
                    '[{"tool": "whole"}]\n'
                    '{"session": 7, "tool": "not_a_key"}\n')
    result = read_trace_file(str(path))
    assert [(t.place, [s["tool"] for s in t.steps], t.step_lines) for t in result.traces] == [
        ('session "b"', ["read_file", "run_tests"], [1, 4]),
        ('session "a"', ["edit_file"], [2]),
        (None, ["lone", "not_a_key"], [3, 6]),
        (None, ["whole"], []),
    ]
    assert result.traces[0].label == f'{path}: session "b"'
    # Each step still says where it stands in the file.
    assert result.traces[0].where(1) == f"{path}: line 4"
