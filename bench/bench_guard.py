"""Session.check from Python: time per call, and memory over a long run. Prints medians.

  (time)    Session.check(tool, args) with a 30-rule policy of every kind, with
            aliases and allow/deny lists, args a small dict; beside it, in the
            same run, a Python call of a function that does nothing with the
            same arguments. Medians over rounds of 10,000 calls, wall and CPU time.
            The calls are allowed (the common case); a denied tool's call, which
            builds its failure records, is timed too.
  (memory)  RSS of a process after 10,000 calls of one session and after
            10,000,000 (no trace file, no kept calls): the session's memory must
            not grow with the number of calls. Runs in a subprocess.

Usage: python bench/bench_guard.py [time] [memory]   (both by default)
"""

import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from ostik import Guard, Policy

TOOLS = [f"tool_{i}" for i in range(16)] + ["read_file", "list_dir", "write_file", "shell_exec"]

# 30 rules: every kind, names and aliases mixed. The limits are wide enough
# that a long run of the calls below stays allowed.
POLICY = """\
version: "1"
name: bench-guard
tools:
  allow: [{allow}]
  deny: [shell_exec, drop_db]
aliases:
  readers: [read_file, list_dir, tool_0, tool_1]
  writers: [write_file, tool_2, tool_3]
  heavy: [tool_14, tool_15]
sequences:
  - {{type: require, tool: readers}}
  - {{type: require, tool: tool_4}}
  - {{type: require, tool: write_file}}
  - {{type: eventually, tool: readers, within: 5}}
  - {{type: eventually, tool: tool_5, within: 50}}
  - {{type: eventually, tool: writers, within: 20}}
  - {{type: eventually, tool: tool_6, within: 100}}
  - {{type: max_calls, tool: heavy, max: 4000000000}}
  - {{type: max_calls, tool: tool_7, max: 4000000000}}
  - {{type: max_calls, tool: writers, max: 4000000000}}
  - {{type: max_calls, tool: tool_8, max: 4000000000}}
  - {{type: before, first: readers, then: writers}}
  - {{type: before, first: tool_4, then: tool_9}}
  - {{type: before, first: tool_5, then: tool_10}}
  - {{type: before, first: readers, then: tool_11}}
  - {{type: after, trigger: tool_12, then: tool_13, within: 30}}
  - {{type: after, trigger: writers, then: readers, within: 30}}
  - {{type: after, trigger: tool_9, then: tool_10, within: 30}}
  - {{type: after, trigger: heavy, then: tool_4, within: 30}}
  - {{type: never_after, trigger: drop_db, forbidden: writers}}
  - {{type: never_after, trigger: tool_16_never, forbidden: tool_7}}
  - {{type: never_after, trigger: shell_exec, forbidden: readers}}
  - {{type: never_after, trigger: deploy, forbidden: heavy}}
  - {{type: sequence, tools: [readers, writers, tool_4]}}
  - {{type: sequence, tools: [tool_5, tool_6, tool_7, tool_8]}}
  - {{type: sequence, tools: [list_dir, heavy]}}
  - {{type: sequence, tools: [tool_0, tool_1, tool_2, tool_3]}}
  - {{type: blocklist, pattern: exec}}
  - {{type: blocklist, pattern: sudo}}
  - {{type: blocklist, pattern: rm_rf}}
""".format(allow=", ".join(TOOLS[:-1]))

# Every tool of the allow list in turn, readers first: after the first round
# every rule is satisfied, so the steady state is allowed.
ORDER = ["read_file", "list_dir", "tool_0", "tool_1", "tool_2", "tool_3", "write_file", "tool_4", "tool_5",
         "tool_6", "tool_7", "tool_8", "tool_9", "tool_10", "tool_11", "tool_12", "tool_13", "tool_14", "tool_15"]
ARGS = {"path": "src/module_3.py", "line": 42, "dry_run": False}

ROUND = 10_000


def make_session(tmp: Path):
    path = tmp / "policy.yaml"
    path.write_text(POLICY)
    return Guard(Policy.from_file(str(path))).session()


def calls(n: int) -> list:
    return [(ORDER[i % len(ORDER)], ARGS) for i in range(n)]


def nothing(tool, args=None):
    pass


def timed(fn, batch) -> tuple[float, float]:
    start, start_cpu = time.perf_counter(), time.process_time()
    for tool, args in batch:
        fn(tool, args)
    return time.perf_counter() - start, time.process_time() - start_cpu


def bench_time(tmp: Path, rounds: int = 31) -> None:
    session = make_session(tmp)
    batch = calls(ROUND)
    timed(session.check, batch)  # warm-up: the first round enters every tool
    assert all(session.check(tool, args) for tool, args in batch), "the steady state is allowed"
    denied = [("shell_exec", ARGS)] * ROUND
    assert not session.check("shell_exec", ARGS)

    samples: dict[str, list[tuple[float, float]]] = {"check": [], "nothing": [], "denied": []}
    for _ in range(rounds):
        # Interleaved, so that both see the same machine load.
        samples["nothing"].append(timed(nothing, batch))
        samples["check"].append(timed(session.check, batch))
        samples["denied"].append(timed(session.check, denied))

    def per_call(label: str) -> tuple[float, float]:
        wall = statistics.median(w for w, _ in samples[label]) / ROUND * 1e9
        cpu = statistics.median(c for _, c in samples[label]) / ROUND * 1e9
        return wall, cpu

    print(f"median per call over {rounds} rounds of {ROUND:,} calls (loop included), 30 rules, args a 3-key dict:")
    for label, text in [("nothing", "do-nothing Python function"), ("check", "Session.check, allowed"),
                        ("denied", "Session.check, denied tool")]:
        wall, cpu = per_call(label)
        print(f"  {text:<28} wall {wall:7.0f} ns   cpu {cpu:7.0f} ns")
    extra = per_call("check")[1] - per_call("nothing")[1]
    print(f"  check beyond the plain call: {extra:.0f} ns (cpu)")


MEMORY_CHILD = """
import sys
sys.path.insert(0, {bench_dir!r})
from pathlib import Path
from bench_guard import calls, make_session, ROUND

def rss():
    with open("/proc/self/statm") as f:
        import os
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

session = make_session(Path({tmp!r}))
batch = calls(ROUND)
check = session.check
for tool, args in batch:
    check(tool, args)
after_first = rss()
for _ in range({rounds} - 1):
    for tool, args in batch:
        check(tool, args)
print(session.steps, after_first, rss())
"""


def bench_memory(tmp: Path, total: int = 10_000_000) -> None:
    code = MEMORY_CHILD.format(bench_dir=str(Path(__file__).parent), tmp=str(tmp), rounds=total // ROUND)
    start = time.perf_counter()
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    steps, first, last = map(int, out.split())
    growth = last - first
    print(f"RSS after {ROUND:,} calls: {first / 2**20:.2f} MiB; after {steps:,}: {last / 2**20:.2f} MiB; "
          f"growth {growth / 2**10:+.0f} KiB ({'within' if abs(growth) <= 2**20 else 'OVER'} 1 MiB)"
          f"  [{time.perf_counter() - start:.0f} s]")


def main() -> None:
    which = sys.argv[1:] or ["time", "memory"]
    with tempfile.TemporaryDirectory() as tmp:
        if "time" in which:
            bench_time(Path(tmp))
        if "memory" in which:
            bench_memory(Path(tmp))


if __name__ == "__main__":
    main()
