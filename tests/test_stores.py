"""Session stores: a guard session kept under a key, held by one user at a time, saved when the block ends."""

import json
import sqlite3
import subprocess
import sys
import threading

import pytest

import ostik

POLICY = """\
version: "1"
tools:
  allow: [read_file, run_tests, git_commit]
sequences:
  - type: max_calls
    tool: read_file
    max: {max}
  - type: before
    first: run_tests
    then: git_commit
"""


@pytest.fixture
def guard(write_policy):
    return ostik.Guard(ostik.Policy.from_file(write_policy(POLICY.format(max=2))))


@pytest.fixture(params=["memory", "sqlite"])
def store(request, tmp_path):
    if request.param == "memory":
        yield ostik.MemoryStore()
    else:
        with ostik.SqliteStore(tmp_path / "sessions.db") as store:
            yield store


def check(store, guard, key, tool, **options):
    with store.session(guard, key, **options) as session:
        return session.check(tool)


def test_a_stored_session_goes_on_where_the_last_block_left_it(store, guard):
    assert "run" not in store
    assert [check(store, guard, "run", "read_file").allowed for _ in range(3)] == [True, True, False]
    assert check(store, guard, "run", "git_commit").blocked_by == "before_run_tests_then_git_commit"
    assert check(store, guard, "run", "run_tests").allowed
    assert check(store, guard, "run", "git_commit").allowed
    # Another key is another run.
    assert check(store, guard, "other", "read_file").allowed
    with store.session(guard, "run") as session:
        assert (session.steps, session.refused, session.mode) == (4, 2, "enforce")
    assert "run" in store
    assert store.delete("run") and not store.delete("run")
    assert "run" not in store and "other" in store


def test_the_session_is_saved_when_the_block_ends_by_an_exception(store, guard):
    with pytest.raises(KeyError):
        with store.session(guard, "run") as session:
            session.check("read_file")
            session.check("read_file")
            raise KeyError("the tool failed")
    # The two calls were decided: a third is over the limit.
    assert not check(store, guard, "run", "read_file").allowed


def test_a_keys_trace_file_and_mode_are_kept_with_it(store, guard, tmp_path):
    trace = tmp_path / "run.jsonl"
    check(store, guard, "run", "read_file", trace_file=trace, mode="observe")
    check(store, guard, "run", "read_file")
    check(store, guard, "run", "read_file")  # observe: blocked, counted, written like the others
    assert [json.loads(line)["tool"] for line in trace.read_text().splitlines()] == ["read_file"] * 3
    with store.session(guard, "run") as session:
        assert (session.mode, session.steps) == ("observe", 3)
    with pytest.raises(ValueError, match="session 'run' is in observe mode, not 'enforce'"):
        check(store, guard, "run", "read_file", mode="enforce")


def test_bad_arguments(store, guard):
    with pytest.raises(TypeError, match="argument 'key': 'int' object cannot be converted to 'PyString'"):
        store.session(guard, 3)
    with pytest.raises(TypeError, match="argument 'guard': 'str' object cannot be converted to 'Guard'"):
        store.session("policy.yaml", "run")
    with pytest.raises(ValueError, match="keep: a stored session keeps no calls"):
        store.session(guard, "run", keep=True)
    with pytest.raises(TypeError, match="unexpected keyword argument 'trace'"):
        store.session(guard, "run", trace="x.jsonl")
    with pytest.raises(ValueError, match="mode"):
        check(store, guard, "run", "read_file", mode="shadow")
    assert "run" not in store  # nothing stored by a block that never began


def test_a_thread_cannot_hold_a_key_twice(store, guard):
    with store.session(guard, "run"):
        with pytest.raises(RuntimeError, match="already h(eld|olds)"):
            with store.session(guard, "run"):
                pass


def test_a_session_of_another_policy_is_refused_naming_the_key(store, guard, write_policy):
    check(store, guard, "run", "read_file")
    other = ostik.Guard(ostik.Policy.from_file(write_policy(POLICY.format(max=3))))
    with pytest.raises(ValueError, match="session 'run': "):
        check(store, other, "run", "read_file")
    assert check(store, guard, "run", "read_file").allowed  # the stored session is untouched


def test_threads_sharing_a_store_lose_no_update(store, write_policy):
    guard = ostik.Guard(ostik.Policy.from_file(write_policy(POLICY.format(max=300))))
    allowed = []

    def work():
        allowed.append(sum(check(store, guard, "run", "read_file").allowed for _ in range(200)))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sum(allowed) == 300
    with store.session(guard, "run") as session:
        assert (session.steps, session.refused) == (300, 500)


# --- SQLite ---------------------------------------------------------------------------------------------------------

WORKER = """
import sys
import ostik
guard = ostik.Guard(ostik.Policy.from_file(sys.argv[1]))
store = ostik.SqliteStore(sys.argv[2])
sys.stdin.readline()  # all start together
allowed = 0
for _ in range(1000):
    with store.session(guard, "shared") as session:
        allowed += session.check("read_file").allowed
print(allowed)
"""


def test_four_processes_sharing_one_file_lose_no_update(tmp_path, write_policy):
    # 4,000 checks against a limit of 2,500: a lost update would let more through.
    policy = write_policy(POLICY.format(max=2500))
    path = tmp_path / "sessions.db"
    ostik.SqliteStore(path).close()
    workers = [subprocess.Popen([sys.executable, "-c", WORKER, policy, str(path)], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for _ in range(4)]
    for worker in workers:
        worker.stdin.write("go\n")
        worker.stdin.flush()
    results = [worker.communicate(timeout=600) for worker in workers]
    assert [worker.returncode for worker in workers] == [0] * 4, [err for _, err in results]
    assert sum(int(out) for out, _ in results) == 2500
    guard = ostik.Guard(ostik.Policy.from_file(policy))
    with ostik.SqliteStore(path) as store, store.session(guard, "shared") as session:
        assert (session.steps, session.refused) == (2500, 1500)


def test_the_file_is_in_wal_mode_with_one_row_per_key(tmp_path, guard):
    path = tmp_path / "sessions.db"
    with ostik.SqliteStore(path) as store:
        for key in ["a", "b", "a"]:
            check(store, guard, key, "read_file")
    with sqlite3.connect(path) as db:
        assert db.execute("PRAGMA journal_mode").fetchone() == ("wal",)
        assert sorted(key for key, in db.execute("SELECT key FROM ostik_sessions")) == ["a", "b"]


def test_damaged_bytes_in_the_file_are_refused_naming_the_file_and_key(tmp_path, guard):
    path = tmp_path / "sessions.db"
    with ostik.SqliteStore(path) as store:
        check(store, guard, "run", "read_file")
        with sqlite3.connect(path) as db:
            db.execute("UPDATE ostik_sessions SET session = substr(session, 1, 10)")
        with pytest.raises(ValueError, match=f"^{path}: session 'run': "):
            check(store, guard, "run", "read_file")


@pytest.mark.parametrize("make", ["missing folder", "a folder", "not a database"])
def test_a_path_that_cannot_be_opened_raises_runtime_error_naming_it(tmp_path, make):
    path = tmp_path / "store.db"
    if make == "missing folder":
        path = tmp_path / "no" / "such" / "store.db"
    elif make == "a folder":
        path.mkdir()
    else:
        path.write_bytes(b"this is no database, only text; " * 100)
    with pytest.raises(RuntimeError, match=f"^{path}: cannot open the session store: "):
        ostik.SqliteStore(path)


def test_a_held_file_makes_others_wait_then_fail_after_the_timeout(tmp_path, guard):
    path = tmp_path / "sessions.db"
    holder, waiter = ostik.SqliteStore(path), ostik.SqliteStore(path, timeout=0.05)
    with holder.session(guard, "run") as session:
        session.check("read_file")
        with pytest.raises(RuntimeError, match=f"^{path}: cannot lock the session store: database is locked"):
            check(waiter, guard, "other", "read_file")
    assert check(waiter, guard, "run", "read_file").allowed
    assert not check(waiter, guard, "run", "read_file").allowed  # the holder's call was saved


def test_processes_that_open_a_new_store_at_once_all_open_it(tmp_path):
    # The first opening of a file puts it in WAL mode, a race that SQLite answers "database is locked"
    # without waiting: every process must still open the store.
    import subprocess
    import sys

    for attempt in range(4):
        path = tmp_path / f"new-{attempt}.db"
        opening = [subprocess.Popen([sys.executable, "-c", "import sys, ostik; ostik.SqliteStore(sys.argv[1])",
                                     str(path)], stderr=subprocess.PIPE, text=True) for _ in range(8)]
        for process in opening:
            _, err = process.communicate(timeout=120)
            assert process.returncode == 0, err
