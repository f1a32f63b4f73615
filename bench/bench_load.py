"""Loading time of a large policy (5,000 rules of every kind). Prints the median."""

import statistics
import sys
import tempfile
import time
from pathlib import Path

from ostik import Policy

RULES = [
    "  - {{type: require, tool: tool_{i}}}",
    "  - {{type: eventually, tool: tool_{i}, within: 5}}",
    "  - {{type: max_calls, tool: tool_{i}, max: 3}}",
    "  - {{type: before, first: tool_{i}, then: other_{i}}}",
    "  - {{type: after, trigger: tool_{i}, then: other_{i}, within: 2}}",
    "  - {{type: never_after, trigger: tool_{i}, forbidden: other_{i}}}",
    "  - {{type: sequence, tools: [a_{i}, b_{i}, c_{i}], strict: true}}",
    "  - [blocklist, pattern_{i}]",
]


def policy_text(n_rules: int) -> str:
    lines = ['version: "1"', "name: bench", "tools:", "  allow: [" + ", ".join(f"tool_{i}" for i in range(200)) + "]",
             "aliases:"]
    lines += [f"  group_{i}: [tool_{i}, other_{i}]" for i in range(100)]
    lines.append("sequences:")
    lines += [RULES[i % len(RULES)].format(i=i) for i in range(n_rules)]
    return "\n".join(lines) + "\n"


def main() -> None:
    n_rules = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "policy.yaml"
        path.write_text(policy_text(n_rules))
        times = []
        for _ in range(30):
            start = time.perf_counter()
            Policy.from_file(str(path))
            times.append(time.perf_counter() - start)
        size = path.stat().st_size
    print(f"load {n_rules} rules ({size / 1024:.0f} KiB): median {statistics.median(times) * 1000:.2f} ms, "
          f"min {min(times) * 1000:.2f} ms")


if __name__ == "__main__":
    main()
