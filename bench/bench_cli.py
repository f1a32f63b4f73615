"""The command line on large inputs, as a CI job runs it: wall time and peak memory. Prints medians.

  (a) `ostik explain` in text of one 100,000-step trace against examples/policy.yaml
      (target: under 0.5 s and 300 MB peak)
  (b) `ostik test` over 10,000 traces of 50 steps against examples/policy.yaml, laid out
      as 100 files of 100 traces (one per line) and as 10,000 files of one trace each
      (target: under 2 s with -j 2)

Every run is the console script in a fresh process, its output sent to /dev/null; the
time is the whole process (start-up and imports included), the memory the process's
peak resident set. The traces look like a coding agent's: reads, searches, edits, test
runs and commits with small arguments; the long trace keeps editing past the policy's
max_calls, so most of its edits are blocked by that one rule.
Usage: python bench/bench_cli.py [a|b ...] [--runs N]   (both by default, 5 runs)
"""

from __future__ import annotations

import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
POLICY = ROOT / "examples" / "policy.yaml"
OSTIK = Path(sys.executable).with_name("ostik")

# One pass of the agent's loop: look, edit, test, review, and now and then commit.
LOOP = ["read_file", "search_code", "edit_file", "run_tests", "git_diff", "list_dir", "edit_file", "run_tests"]


def step(rng: random.Random, tool: str, i: int) -> dict[str, object]:
    if tool in ("read_file", "list_dir"):
        args: dict[str, object] = {"path": f"src/module_{rng.randrange(200)}.py"}
    elif tool == "search_code":
        args = {"query": f"def handler_{rng.randrange(1000)}", "limit": 20}
    elif tool == "edit_file":
        args = {"path": f"src/module_{rng.randrange(200)}.py", "patch": f"@@ -{i},3 +{i},4 @@\n+    check()\n"}
    elif tool == "run_tests":
        args = {"target": "tests/", "timeout_s": 600}
    else:
        args = {}
    return {"tool": tool, "args": args} if args else {"tool": tool}


def agent_trace(rng: random.Random, n_steps: int, commit_every: int) -> list[dict[str, object]]:
    steps = []
    for i in range(n_steps):
        tool = LOOP[i % len(LOOP)]
        if commit_every and i % commit_every == commit_every - 1:
            tool = "git_commit"
        steps.append(step(rng, tool, i))
    return steps


def write_long_trace(path: Path, n_steps: int) -> None:
    rng = random.Random(1)
    with path.open("w") as out:
        for s in agent_trace(rng, n_steps, 0):
            out.write(json.dumps(s, separators=(",", ":")) + "\n")


def write_many_traces(folder: Path, n_files: int, per_file: int, n_steps: int) -> None:
    rng = random.Random(2)
    folder.mkdir()
    for f in range(n_files):
        lines = []
        for _ in range(per_file):
            # Most runs pass; some commit early and keep editing, some stop before testing.
            trace = agent_trace(rng, n_steps, rng.choice([0, 0, 0, 12]))
            if rng.random() < 0.1:
                trace = trace[:3]
            lines.append(json.dumps(trace, separators=(",", ":")))
        (folder / f"run_{f:05}.jsonl").write_text("\n".join(lines) + "\n")


def run(args: list[str]) -> tuple[float, float, int]:
    """Wall seconds, peak RSS in MB and exit status of one run of the console script."""
    start = time.perf_counter()
    with open(os.devnull, "w") as sink:
        process = subprocess.Popen([str(OSTIK), *args], stdout=sink, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        assert process.stderr is not None
        errors = process.stderr.read().decode()
        process.stderr.close()
        process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode not in (0, 1):
        raise SystemExit(f"ostik {' '.join(args)} failed ({process.returncode}): {errors}")
    return wall, usage.ru_maxrss / 1024, process.returncode


def measure(label: str, args: list[str], runs: int) -> None:
    results = [run(args) for _ in range(runs)]
    wall = statistics.median(r[0] for r in results)
    rss = statistics.median(r[1] for r in results)
    print(f"{label:<58} wall {wall:6.2f} s   peak RSS {rss:7.1f} MB   (exit {results[0][2]})")


def main() -> None:
    runs = 5
    argv = sys.argv[1:]
    if "--runs" in argv:
        at = argv.index("--runs")
        runs = int(argv[at + 1])
        del argv[at:at + 2]
    which = argv or ["a", "b"]
    if not OSTIK.exists():
        raise SystemExit(f"{OSTIK} not found: run bash scripts/setup.sh first")
    with tempfile.TemporaryDirectory() as tmp:
        tmp_path = Path(tmp)
        if "a" in which:
            long_trace = tmp_path / "long.jsonl"
            write_long_trace(long_trace, 100_000)
            measure("(a) explain, 100,000 steps, text", ["explain", str(POLICY), str(long_trace)], runs)
            measure("    explain, 100,000 steps, --json", ["explain", "--json", str(POLICY), str(long_trace)], runs)
        if "b" in which:
            lines = tmp_path / "lines"
            write_many_traces(lines, 100, 100, 50)
            singles = tmp_path / "singles"
            write_many_traces(singles, 10_000, 1, 50)
            cores = os.cpu_count() or 1
            measure(f"(b) test, 10,000 x 50 steps in 100 files, -j {cores}", ["test", str(POLICY), str(lines)], runs)
            measure("    test, the same with -j 1", ["test", "-j", "1", str(POLICY), str(lines)], runs)
            measure(f"    test, 10,000 x 50 steps in 10,000 files, -j {cores}", ["test", str(POLICY), str(singles)],
                    runs)


if __name__ == "__main__":
    main()
