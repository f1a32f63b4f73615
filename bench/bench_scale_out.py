"""Coverage of 1,000,000 traces of 20 steps in 200 files, by `ostik coverage` in one
process, with -j 2, and on a local Dask cluster of 2 worker processes (--dask-scheduler);
also `ostik test -q` the same three ways. Prints each run's wall-clock time (the median of
--repeat runs) and the speed-ups over one process, and what one partition sends back.

Run (the files, about 0.7 GB, are written once into --dir, or a temporary directory):
    nice .venv/bin/python bench/bench_scale_out.py [--traces N] [--files N] [--repeat N] [--dir DIR]
"""

import argparse
import json
import os
import pickle
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import ostik
from ostik.runs.tallies import Measure, tally_file

TOOLS = [f"tool_{i}" for i in range(24)]
STEPS = 20


def policy_text():
    rules = []
    for i in range(30):
        a, b, c = TOOLS[i % 24], TOOLS[(i * 7 + 3) % 24], TOOLS[(i * 5 + 11) % 24]
        rules.append([
            f"{{type: require, tool: {a}}}",
            f"{{type: eventually, tool: {a}, within: 10}}",
            f"{{type: max_calls, tool: {a}, max: {i + 3}}}",
            f"{{type: before, first: {a}, then: {b}}}",
            f"{{type: after, trigger: {a}, then: {b}, within: 5}}",
            f"{{type: never_after, trigger: {a}, forbidden: {b}}}",
            f"{{type: sequence, tools: [{a}, {b}, {c}]}}",
            f"{{type: blocklist, pattern: danger_{i}}}",
        ][i % 8])
    return ('version: "1"\nname: bench\n'
            f"tools:\n  allow: [{', '.join(TOOLS[:20])}]\n  deny: [rm, drop_db]\n"
            "aliases:\n  files: [tool_20, tool_21]\n"
            "sequences:\n" + "".join(f"  - {r}\n" for r in rules))


def write_files(directory, traces, files):
    """One trace per line; the same files for every run (a fixed seed)."""
    rng = random.Random(16)
    names = TOOLS + ["rm", "shell", "files"]
    per_file = traces // files
    for f in range(files):
        lines = []
        for _ in range(per_file):
            trace = [{"tool": rng.choice(names), "args": {"path": "/tmp/x", "n": j}} for j in range(STEPS)]
            lines.append(json.dumps(trace, separators=(",", ":")))
        (directory / f"traces-{f:03d}.jsonl").write_text("\n".join(lines) + "\n")


def timed(command, repeat):
    times, out = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = subprocess.run([sys.executable, "-m", "ostik", *command], capture_output=True, text=True)
        times.append(time.perf_counter() - start)
        if result.returncode not in (0, 1):
            sys.exit(f"ostik {' '.join(command)} failed:\n{result.stderr}")
        if out is not None and out != result.stdout.rsplit(" in ", 1)[0]:
            sys.exit("the runs disagree")
        out = result.stdout.rsplit(" in ", 1)[0]
    return statistics.median(times), out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--traces", type=int, default=1_000_000)
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--dir", help="where the files are, or are written if missing (default: a temporary one)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        directory = Path(args.dir or tmp)
        directory.mkdir(parents=True, exist_ok=True)
        policy = directory / "policy.yaml"
        policy.write_text(policy_text())
        if len(list(directory.glob("traces-*.jsonl"))) != args.files:
            start = time.perf_counter()
            write_files(directory, args.traces, args.files)
            print(f"wrote {args.traces:,} traces of {STEPS} steps in {args.files} files "
                  f"({sum(p.stat().st_size for p in directory.glob('*.jsonl')) / 1e6:.0f} MB) "
                  f"in {time.perf_counter() - start:.0f} s")

        # What one partition sends back: a file's tally, pickled.
        first = str(sorted(directory.glob("traces-*.jsonl"))[0])
        policy_bytes = ostik.policy_bytes(ostik.Policy.from_file(str(policy)))
        for kind in ("coverage", "audit"):
            tally = tally_file(Measure(kind, policy_bytes), 0, first, "ostik")
            print(f"{kind}: one partition sends {len(pickle.dumps(tally))} bytes "
                  f"(policy {len(policy_bytes)} bytes, state {len(tally.accumulator.to_bytes())} bytes)")

        from distributed import Client, LocalCluster

        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                          silence_logs=40) as cluster, Client(cluster):
            for command in ("coverage", "test"):
                base = [command, "--json", str(policy), str(directory)] if command == "coverage" else \
                       [command, "-q", str(policy), str(directory)]
                runs = {}
                for label, extra in (("1 process", ["-j", "1"]), ("-j 2", ["-j", "2"]),
                                     ("Dask, 2 workers", ["--dask-scheduler", cluster.scheduler_address])):
                    runs[label] = timed(base + extra, args.repeat)
                outputs = {out for _, out in runs.values()}
                assert len(outputs) == 1, "the three ways disagree"
                one = runs["1 process"][0]
                for label, (seconds, _) in runs.items():
                    print(f"ostik {command}: {label:16s} {seconds:7.1f} s   speed-up {one / seconds:4.2f}")


if __name__ == "__main__":
    main()
