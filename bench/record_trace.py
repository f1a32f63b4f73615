"""Median time per record_trace call for a typical trace object (to /dev/null and to a temp file)."""

import os
import statistics
import tempfile
import time

from ostik import OstikClient

TRACE = {
    "trace_id": "t-0001",
    "steps": [
        {"tool": f"tool_{i % 7}", "args": {"path": f"/srv/data/{i}.txt", "limit": i, "ratio": i / 7, "flags": [True, None]}}
        for i in range(20)
    ],
    "meta": {"agent": "bench", "version": 3},
}


def median_per_call(client, n=2000, rounds=7):
    samples = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(n):
            client.record_trace(TRACE)
        samples.append((time.perf_counter() - start) / n)
    return statistics.median(samples)


if __name__ == "__main__":
    print(f"/dev/null: {median_per_call(OstikClient('/dev/null')) * 1e6:.1f} us per record")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "t.jsonl")
        print(f"file:      {median_per_call(OstikClient(path)) * 1e6:.1f} us per record")
