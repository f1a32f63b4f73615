"""TraceExplainer.explain: time, report size and report throughput. Prints medians.

  (a) one trace of 5,000 steps against 30 rules of every kind, with aliases
  (b) 200 steps against 1,000 rules
  (c) 10,000 and 100,000 steps against the 30 rules of (a): time per step x rule should stay flat
  (d) 5,000 steps calling 2,000 distinct tools against the 30 rules of (a): every step's state
      snapshot lists every tool called so far, so the snapshots make most of the report

The timed call includes reading the steps from Python and making the str. Wall-clock and CPU-time
medians are both printed: on a shared machine the CPU time is the steadier figure.
Usage: python bench/bench_explain.py [a|b|c|d ...]   (all four by default)
"""

import random
import statistics
import sys
import tempfile
import time
from pathlib import Path

from ostik import Policy, TraceExplainer

TOOLS = [f"tool_{i}" for i in range(18)] + ["read_file", "shell_exec"]

RULES = [
    "  - {{type: require, tool: tool_{a}}}",
    "  - {{type: eventually, tool: readers, within: 5}}",
    "  - {{type: max_calls, tool: tool_{a}, max: 400}}",
    "  - {{type: before, first: readers, then: tool_{b}}}",
    "  - {{type: after, trigger: tool_{a}, then: writers, within: 3}}",
    "  - {{type: never_after, trigger: tool_{a}, forbidden: tool_{b}}}",
    "  - {{type: sequence, tools: [tool_{a}, tool_{b}, writers], strict: {strict}}}",
    "  - {{type: blocklist, pattern: exec}}",
]


def policy_text(n_rules: int) -> str:
    lines = ['version: "1"', "name: bench",
             "tools:", "  allow: [" + ", ".join(TOOLS[:-1]) + "]", "  deny: [tool_17]",
             "aliases:", "  readers: [read_file, tool_0, tool_1]", "  writers: [tool_2, tool_3, tool_4]",
             "sequences:"]
    for i in range(n_rules):
        a, b = i % 17, (i * 7 + 3) % 17
        lines.append(RULES[i % len(RULES)].format(a=a, b=b, strict=str(i % 2 == 0).lower()))
    return "\n".join(lines) + "\n"


def trace(n_steps: int) -> list:
    steps = []
    for i in range(n_steps):
        step = {"tool": TOOLS[(i * 13 + i // 7) % len(TOOLS)]}
        if i % 5 == 0:
            step["args"] = {"path": f"src/module_{i % 50}.py", "line": i, "dry_run": False}
        steps.append(step)
    return steps


def many_tools_trace(n_steps: int, n_tools: int) -> list:
    rng = random.Random(2000)
    steps = trace(n_steps)
    for step in steps:
        step["tool"] = f"tool_{rng.randrange(n_tools)}"
    return steps


def measure(tmp: Path, n_rules: int, n_steps: int, runs: int, n_tools: int = 0) -> tuple[float, float, int]:
    path = tmp / f"policy_{n_rules}.yaml"
    path.write_text(policy_text(n_rules))
    explainer = TraceExplainer(Policy.from_file(str(path)))
    steps = many_tools_trace(n_steps, n_tools) if n_tools else trace(n_steps)
    wall, cpu = [], []
    report = ""
    for _ in range(runs):
        report = None
        start, start_cpu = time.perf_counter(), time.process_time()
        report = explainer.explain(steps)
        cpu.append(time.process_time() - start_cpu)
        wall.append(time.perf_counter() - start)
    return statistics.median(wall), statistics.median(cpu), len(report.encode())


def show(label: str, n_rules: int, n_steps: int, wall: float, cpu: float, size: int) -> None:
    print(f"{label} {n_steps:>7,} steps x {n_rules:>5,} rules: report {size / 1e6:6.1f} MB | "
          f"wall {wall * 1000:7.1f} ms {size / wall / 1e6:5.0f} MB/s | "
          f"cpu {cpu * 1000:7.1f} ms {size / cpu / 1e6:5.0f} MB/s {cpu / (n_rules * n_steps) * 1e9:5.0f} ns/(step x rule)")


def main() -> None:
    which = sys.argv[1:] or ["a", "b", "c", "d"]
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        if "a" in which:
            show("(a)", 30, 5_000, *measure(tmp, 30, 5_000, 15))
        if "b" in which:
            show("(b)", 1_000, 200, *measure(tmp, 1_000, 200, 15))
        if "c" in which:
            show("(c)", 30, 10_000, *measure(tmp, 30, 10_000, 7))
            show("(c)", 30, 100_000, *measure(tmp, 30, 100_000, 3))
        if "d" in which:
            show("(d)", 30, 5_000, *measure(tmp, 30, 5_000, 7, n_tools=2_000))


if __name__ == "__main__":
    main()
