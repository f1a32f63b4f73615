"""Session stores: one load-check-save round trip of a stored session, as a hook that runs once per tool call makes it.

  (sqlite)  ``with store.session(guard, key) as s: s.check(tool, args)`` on a
            SqliteStore in a local file (WAL, synchronous NORMAL): BEGIN
            IMMEDIATE, read the key's row, Guard.resume, check, to_bytes, write
            the row, COMMIT. bench_guard's 30-rule policy and 3-key args; the
            session has made 1,000 calls before. Median over rounds of 1,000
            round trips, with the same round trip on a MemoryStore and a bare
            Session.check beside it. Target: at most 200 us per round trip.
  (durable) The same with ``durable=True`` (synchronous FULL: a sync of the
            disk per commit), for comparison only.

Usage: python bench/bench_stores.py [sqlite] [durable]   (sqlite by default)
"""

import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_guard import calls, make_session  # noqa: E402

import ostik  # noqa: E402

ROUND = 1_000


def round_trip_time(store, guard, batch) -> float:
    start = time.perf_counter()
    for tool, args in batch:
        with store.session(guard, "run") as session:
            session.check(tool, args)
    return time.perf_counter() - start


def bench(durable: bool, rounds: int) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        tmp_path = Path(tmp)
        path = tmp_path / "policy.yaml"
        make_session(tmp_path)  # writes the policy
        guard = ostik.Guard(ostik.Policy.from_file(str(path)))
        sqlite = ostik.SqliteStore(tmp_path / "sessions.db", durable=durable)
        memory = ostik.MemoryStore()
        batch = calls(ROUND)
        for store in (sqlite, memory):
            round_trip_time(store, guard, batch)  # the first 1,000 calls: the steady state after them
        with sqlite.session(guard, "run") as session:
            assert session.check(*batch[0]).allowed and session.steps > ROUND
        plain = guard.session()
        for tool, args in batch:
            plain.check(tool, args)
        with sqlite.session(guard, "run") as session:
            size = len(session.to_bytes())

        samples: dict[str, list[float]] = {"sqlite": [], "memory": [], "check": []}
        for _ in range(rounds):
            samples["sqlite"].append(round_trip_time(sqlite, guard, batch))
            samples["memory"].append(round_trip_time(memory, guard, batch))
            start = time.perf_counter()
            for tool, args in batch:
                plain.check(tool, args)
            samples["check"].append(time.perf_counter() - start)
        sqlite.close()

    kind = "durable=True (sync per commit)" if durable else "local file, WAL, synchronous NORMAL"
    print(f"median per round trip over {rounds} rounds of {ROUND:,}, 30 rules, args a 3-key dict, "
          f"session bytes {size:,} B:")
    for label, text in [("sqlite", f"SqliteStore ({kind})"), ("memory", "MemoryStore"),
                        ("check", "Session.check alone")]:
        print(f"  {text:<52} {statistics.median(samples[label]) / ROUND * 1e6:8.1f} us")


if __name__ == "__main__":
    chosen = sys.argv[1:] or ["sqlite"]
    if "sqlite" in chosen:
        bench(durable=False, rounds=15)
    if "durable" in chosen:
        bench(durable=True, rounds=3)
