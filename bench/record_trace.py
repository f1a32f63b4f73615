"""record_trace beside orjson: median time per record of one 2 KB trace object.

Side by side, in the same run and on the same object:
  record_trace    OstikClient(path).record_trace(obj)
  orjson + write  os.write(fd, orjson.dumps(obj, option=OPT_SORT_KEYS | OPT_APPEND_NEWLINE)) on an
                  O_APPEND descriptor: the floor for "sorted compact JSON line, one write"
and the ratio of the two. Both write to a file in a temporary directory (and to /dev/null, which
leaves out the file system).

orjson is a benchmark dependency only: .venv/bin/pip install orjson
Usage: python bench/record_trace.py [--rounds N]
"""

import argparse
import json
import os
import statistics
import sys
import tempfile
import time

from ostik import OstikClient

try:
    import orjson
except ImportError:
    sys.exit("bench/record_trace.py compares with orjson: install it with `.venv/bin/pip install orjson`")

TRACE = {
    "trace_id": "t-0001",
    "steps": [
        {"tool": f"tool_{i % 7}", "args": {"path": f"/srv/data/{i}.txt", "limit": i, "ratio": i / 7, "flags": [True, None]}}
        for i in range(20)
    ],
    "meta": {"agent": "bench", "version": 3},
}

PER_ROUND = 2000


def per_call(fn, rounds):
    samples = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(PER_ROUND):
            fn()
        samples.append((time.perf_counter() - start) / PER_ROUND)
    return statistics.median(samples)


def compare(label, path, rounds):
    client = OstikClient(path)
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o666)
    option = orjson.OPT_SORT_KEYS | orjson.OPT_APPEND_NEWLINE
    try:
        ours = per_call(lambda: client.record_trace(TRACE), rounds)
        theirs = per_call(lambda: os.write(fd, orjson.dumps(TRACE, option=option)), rounds)
        # Again, so that neither side always runs first.
        ours = min(ours, per_call(lambda: client.record_trace(TRACE), rounds))
        theirs = min(theirs, per_call(lambda: os.write(fd, orjson.dumps(TRACE, option=option)), rounds))
    finally:
        os.close(fd)
    print(f"{label:10} record_trace {ours * 1e6:5.2f} us | orjson + write {theirs * 1e6:5.2f} us | "
          f"ratio {ours / theirs:4.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=9)
    args = parser.parse_args()
    line = orjson.dumps(TRACE, option=orjson.OPT_SORT_KEYS | orjson.OPT_APPEND_NEWLINE)
    assert json.loads(line) == json.loads(json.dumps(TRACE)), "the two must write the same record"
    print(f"record of {len(line)} bytes; medians of {args.rounds} rounds of {PER_ROUND} calls")
    compare("/dev/null", os.devnull, args.rounds)
    with tempfile.TemporaryDirectory() as tmp:
        compare("file", os.path.join(tmp, "t.jsonl"), args.rounds)


if __name__ == "__main__":
    main()
