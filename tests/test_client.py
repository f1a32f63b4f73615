"""OstikClient: opening the trace file and appending records whole."""

import datetime
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import threading

import pytest

import ostik
from ostik import OstikClient

NOT_CONFIGURED = (
    "trace_file is not configured; provide trace_file when creating OstikClient to enable record_trace"
)


def run_python(code, *args, timeout=120):
    """Runs a script in a fresh interpreter; a hang fails the test instead of stalling it."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        capture_output=True, text=True, timeout=timeout, check=True,
    ).stdout


def parsed_lines(path):
    data = pathlib.Path(path).read_bytes()
    assert data.endswith(b"\n")
    return [json.loads(line) for line in data[:-1].split(b"\n")]


def test_class_surface():
    assert ostik._native.__all__.index("OstikClient") > ostik._native.__all__.index("Policy")
    assert OstikClient.__doc__ == "A client for recording Ostik traces from Python."
    assert OstikClient.__text_signature__ == "(trace_file=None)"
    with pytest.raises(TypeError):
        type("Sub", (OstikClient,), {})


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((pathlib.Path("t.jsonl"),), {}, "argument 'trace_file': 'PosixPath' object cannot be converted to 'PyString'"),
        ((b"t.jsonl",), {}, "argument 'trace_file': 'bytes' object cannot be converted to 'PyString'"),
        ((), {"x": 1}, "OstikClient.__new__() got an unexpected keyword argument 'x'"),
        (("a", "b"), {}, "OstikClient.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    ],
)
def test_constructor_type_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        OstikClient(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("name", "message"),
    [
        ("missing/t.jsonl", "Failed to open trace file: No such file or directory (os error 2)"),
        ("", "Failed to open trace file: No such file or directory (os error 2)"),
        (".", "Failed to open trace file: Is a directory (os error 21)"),
        ("a\0b", "Failed to open trace file: file name contained an unexpected NUL byte"),
    ],
)
def test_open_failures(tmp_path, monkeypatch, name, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(RuntimeError) as info:
        OstikClient(name)
    assert str(info.value) == message


def test_path_without_utf8_form_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        OstikClient("\udcff.jsonl")


@pytest.mark.parametrize("client", [OstikClient(), OstikClient(None), OstikClient(trace_file=None)])
def test_client_without_file(client):
    for obj in ({"a": 1}, b"not convertible", object()):
        with pytest.raises(RuntimeError) as info:
            client.record_trace(obj)
        assert str(info.value) == NOT_CONFIGURED


def test_record_trace_arguments(tmp_path):
    path = tmp_path / "t.jsonl"
    client = OstikClient(trace_file=str(path))
    with pytest.raises(TypeError) as info:
        client.record_trace()
    assert str(info.value) == "OstikClient.record_trace() missing 1 required positional argument: 'trace'"
    assert client.record_trace(trace={"b": [1, 2.0], "a": None}) is None
    assert path.read_bytes() == b'{"a":null,"b":[1,2.0]}\n'


def test_records_append_to_existing_content(tmp_path):
    path = tmp_path / "t.jsonl"
    path.write_bytes(b'{"old":true}\n')
    client = OstikClient(str(path))
    client.record_trace({"n": 1})
    # Each record reaches the file before record_trace returns.
    assert path.read_bytes() == b'{"old":true}\n{"n":1}\n'
    client.record_trace("line\nfeed")
    assert path.read_bytes() == b'{"old":true}\n{"n":1}\n"line\\nfeed"\n'
    OstikClient(str(path)).record_trace(2)
    assert path.read_bytes().endswith(b'"line\\nfeed"\n2\n')


def open_descriptors(path):
    fds = os.listdir("/proc/self/fd")
    return [fd for fd in fds if os.path.realpath(f"/proc/self/fd/{fd}") == str(path)]


def test_file_is_opened_for_append_close_on_exec_and_closed_on_drop(tmp_path):
    path = tmp_path / "t.jsonl"
    old_mask = os.umask(0)
    try:
        client = OstikClient(str(path))
    finally:
        os.umask(old_mask)
    assert path.stat().st_mode & 0o777 == 0o666
    (fd,) = open_descriptors(path)
    fdinfo = pathlib.Path(f"/proc/self/fdinfo/{fd}").read_text()
    flags = int(next(line for line in fdinfo.splitlines() if line.startswith("flags:")).split()[1], 8)
    assert flags & os.O_ACCMODE == os.O_WRONLY
    assert flags & os.O_APPEND and flags & 0o2000000  # O_CLOEXEC
    del client
    assert open_descriptors(path) == []


def test_new_file_respects_the_umask(tmp_path):
    path = tmp_path / "t.jsonl"
    old_mask = os.umask(0o027)
    try:
        OstikClient(str(path))
    finally:
        os.umask(old_mask)
    assert path.stat().st_mode & 0o777 == 0o640


@pytest.mark.parametrize(
    ("obj", "message"),
    [
        (b"raw", "Invalid trace format: invalid type: byte array, expected any valid JSON value"),
        ({"at": datetime.datetime(2024, 5, 6)}, "Invalid trace format: unsupported type datetime"),
        ({object()}, "Invalid trace format: unsupported type object"),
    ],
)
def test_conversion_failure_writes_nothing_and_client_stays_usable(tmp_path, obj, message):
    path = tmp_path / "t.jsonl"
    client = OstikClient(str(path))
    client.record_trace({"first": 1})
    with pytest.raises(ValueError) as info:
        client.record_trace(obj)
    assert str(info.value) == message
    assert path.read_bytes() == b'{"first":1}\n'
    client.record_trace({1, 2})
    assert path.read_bytes() == b'{"first":1}\n[1,2]\n'


def test_full_device_fails_flush_and_client_stays_usable():
    client = OstikClient("/dev/full")
    for _ in range(2):
        with pytest.raises(RuntimeError) as info:
            client.record_trace({"a": "b" * 20000})
        assert str(info.value) == "Failed to flush: No space left on device (os error 28)"
    # The writer lock is not left broken: a conversion error is still reported as such.
    with pytest.raises(ValueError):
        client.record_trace(b"x")


def test_record_after_partial_write_starts_on_a_fresh_line(tmp_path):
    path = tmp_path / "t.jsonl"
    out = run_python(
        """
        import os, resource, signal, sys
        from ostik import OstikClient
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        path = sys.argv[1]
        client = OstikClient(path)
        client.record_trace({"n": 1})
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize(path) + 100, hard))
        for n in (2, 3):  # the first fails part-way, the second writes nothing
            try:
                client.record_trace({"n": n, "pad": "x" * 5000})
            except RuntimeError as e:
                print(e)
        resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
        client.record_trace({"n": 4})
        client.record_trace({"n": 5})
        """,
        path,
    )
    assert out.splitlines() == ["Failed to flush: File too large (os error 27)"] * 2
    lines = path.read_bytes().split(b"\n")
    assert lines[0] == b'{"n":1}'
    assert lines[1] == b'{"n":2,"pad":"' + b"x" * (100 - len(b'{"n":2,"pad":"'))
    assert lines[2:] == [b'{"n":4}', b'{"n":5}', b""]


def big_record(tag, i):
    return {"tag": tag, "i": i, "pad": "p" * (70_000 + i)}


def test_threads_sharing_one_client_write_whole_lines(tmp_path):
    path = tmp_path / "t.jsonl"
    client = OstikClient(str(path))

    def work(tag):
        for i in range(1000):
            client.record_trace(big_record(tag, i) if i % 100 == 0 else {"tag": tag, "i": i})

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    records = parsed_lines(path)
    assert sorted((r["tag"], r["i"]) for r in records) == [(t, i) for t in range(8) for i in range(1000)]
    assert sum(len(r.get("pad", "")) > 65536 for r in records) == 80


def test_two_processes_appending_to_one_file_write_whole_lines(tmp_path):
    path = tmp_path / "t.jsonl"
    script = textwrap.dedent(
        """
        import sys
        from ostik import OstikClient
        client = OstikClient(sys.argv[1])
        tag = sys.argv[2]
        for i in range(400):
            size = 70_000 + i * 300 if i % 4 == 0 else 10
            client.record_trace({"tag": tag, "i": i, "pad": "x" * size})
        """
    )
    procs = [subprocess.Popen([sys.executable, "-c", script, str(path), tag]) for tag in ("a", "b")]
    for p in procs:
        assert p.wait(timeout=300) == 0
    records = parsed_lines(path)
    assert sorted((r["tag"], r["i"]) for r in records) == [(t, i) for t in "ab" for i in range(400)]
    assert sum(len(r["pad"]) > 65536 for r in records) == 200


def test_user_code_during_conversion_cannot_deadlock_the_writer(tmp_path):
    # A sequence whose item access lets other threads run: while one thread
    # converts it, others record on the same client.
    path = tmp_path / "t.jsonl"
    out = run_python(
        """
        import sys, threading, time
        from collections.abc import Sequence
        from ostik import OstikClient

        class Yielding(Sequence):
            def __len__(self):
                return 3
            def __getitem__(self, i):
                if i >= 3:
                    raise IndexError(i)
                time.sleep(0.0005)
                return i

        client = OstikClient(sys.argv[1])

        def work():
            for _ in range(50):
                client.record_trace({"s": Yielding()})

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print("done")
        """,
        path,
        timeout=60,
    )
    assert out == "done\n"
    assert parsed_lines(path) == [{"s": [0, 1, 2]}] * 200


# Another process that holds the trace file's advisory lock (flock) until
# told to let go; with `then`, it writes that text to the file first.
LOCK_HOLDER = """
import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY | os.O_NONBLOCK)
fcntl.flock(fd, fcntl.LOCK_EX)
print("held", flush=True)
if len(sys.argv) > 2:
    time.sleep(0.5)
    out = os.open(sys.argv[1], os.O_WRONLY)
    os.write(out, sys.argv[2].encode())
    os.close(out)
else:
    sys.stdin.read()
fcntl.flock(fd, fcntl.LOCK_UN)
"""


@pytest.mark.skipif(not os.path.isdir("/dev/shm"), reason="needs /dev/shm (tmpfs)")
def test_a_record_in_one_write_to_a_local_file_takes_no_file_lock():
    # The kernel appends one write to a regular file on a local file system
    # whole; a holder of the file lock does not hold such a record up.
    with tempfile.TemporaryDirectory(dir="/dev/shm") as directory:
        path = pathlib.Path(directory) / "t.jsonl"
        path.touch()
        out = run_python(
            """
            import subprocess, sys
            from ostik import OstikClient
            holder = subprocess.Popen([sys.executable, "-c", sys.argv[2], sys.argv[1]],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            assert holder.stdout.readline() == "held\\n"
            OstikClient(sys.argv[1]).record_trace({"a": 1})
            holder.stdin.close()
            assert holder.wait() == 0
            print("written")
            """,
            path, LOCK_HOLDER, timeout=60,
        )
        assert out == "written\n"
        assert path.read_bytes() == b'{"a":1}\n'


def test_records_to_a_pipe_wait_for_the_file_lock(tmp_path):
    # A pipe may split a long write: records go to it under the file lock,
    # after whatever the lock's holder wrote while holding it.
    path = tmp_path / "fifo"
    out = run_python(
        """
        import os, subprocess, sys
        from ostik import OstikClient
        os.mkfifo(sys.argv[1])
        reader = os.open(sys.argv[1], os.O_RDONLY | os.O_NONBLOCK)
        client = OstikClient(sys.argv[1])
        holder = subprocess.Popen([sys.executable, "-c", sys.argv[2], sys.argv[1], "holder\\n"],
                                  stdout=subprocess.PIPE, text=True)
        assert holder.stdout.readline() == "held\\n"
        client.record_trace({"a": 1})
        assert holder.wait() == 0
        print(os.read(reader, 1000).decode(), end="")
        """,
        path, LOCK_HOLDER, timeout=60,
    )
    assert out == 'holder\n{"a":1}\n'
