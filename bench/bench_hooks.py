"""`ostik hook`: one invocation as a coding agent makes it, once per tool call. Prints medians.

Each run is a fresh process given a Claude Code PreToolUse input on stdin, the way
Claude Code runs the hook: interpreter start, imports, loading examples/coding-agent.yaml,
the store round trip (lock, load the session, check, save, commit) and the answer, all
in the wall time. The calls go to one session in one store, each with its own call id,
so the session grows as a real one does. For comparison: the bare interpreter
(`python -c pass`) on the same machine, the floor no Python hook can go below.
Target: at most 60 ms median per invocation (wall). The cpu column is the process's own
user and system time, which other work on a busy machine disturbs much less than the wall time.
Usage: python bench/bench_hooks.py [--runs N]   (default 40 runs)
"""

from __future__ import annotations

import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
POLICY = ROOT / "examples" / "coding-agent.yaml"
OSTIK = Path(sys.executable).with_name("ostik")

COMMANDS = ["npm test", "git status", "git diff --stat", "ls src", "cat README.md"]


def call(i: int) -> bytes:
    return json.dumps({
        "session_id": "00893aaf-19fa-41d2-8238-13269b9b3ca0", "transcript_path": "/tmp/t.jsonl", "cwd": "/tmp",
        "permission_mode": "default", "hook_event_name": "PreToolUse", "tool_name": "Bash",
        "tool_input": {"command": COMMANDS[i % len(COMMANDS)], "description": "bench"},
        "tool_use_id": f"toolu_{i:08d}"}).encode()


def cpu_of_children() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(command: list[str], stdin: bytes) -> tuple[float, float]:
    """The wall time and the CPU time of one run of `command`."""
    cpu = cpu_of_children()
    started = time.perf_counter()
    done = subprocess.run(command, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - started
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed ({done.returncode}): {done.stderr.decode()}")
    return elapsed, cpu_of_children() - cpu


def main() -> None:
    runs = int(sys.argv[sys.argv.index("--runs") + 1]) if "--runs" in sys.argv else 40
    with tempfile.TemporaryDirectory() as folder:
        store = str(Path(folder) / "sessions.db")
        launchers = {"python -m ostik hook": [sys.executable, "-m", "ostik"]}
        if OSTIK.exists():
            launchers["ostik hook (console script)"] = [str(OSTIK)]
        results: dict[str, list[tuple[float, float]]] = {"python -c pass": []}
        for name in launchers:
            results[name] = []
        calls = iter(range(10**9))
        timed(launchers["python -m ostik hook"] + ["hook", "claude-code", str(POLICY), "--store", store],
              call(next(calls)))
        for _ in range(runs):
            # Interleaved, so that a busy moment of the machine costs every kind alike.
            results["python -c pass"].append(timed([sys.executable, "-c", "pass"], b""))
            for name, launcher in launchers.items():
                results[name].append(timed(launcher + ["hook", "claude-code", str(POLICY), "--store", store],
                                           call(next(calls))))
    print(f"ostik hook claude-code examples/coding-agent.yaml, {runs} runs each (per invocation; "
          f"load average {' '.join(f'{load:.2f}' for load in os.getloadavg())})")
    for name, times in results.items():
        wall = [time for time, _ in times]
        cpu = [cpu for _, cpu in times]
        print(f"  {name:30s} wall median {statistics.median(wall) * 1000:6.1f} ms   min {min(wall) * 1000:6.1f} ms"
              f"   cpu median {statistics.median(cpu) * 1000:6.1f} ms")


if __name__ == "__main__":
    main()
