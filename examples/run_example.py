"""Runs the ostik command line on the bundled example policy and traces.

Shows what each command prints and the exit status it ends with: a policy
check, the explanation of a trace that passes and of one that fails, the test
of all the bundled traces, and the coverage of the policy by them.
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).parent
ROOT = HERE.parent

COMMANDS = [
    ["check", "examples/policy.yaml"],
    ["explain", "examples/policy.yaml", "examples/traces/good.jsonl"],
    ["explain", "examples/policy.yaml", "examples/traces/blocked.jsonl"],
    ["test", "examples/policy.yaml", "examples/traces"],
    ["coverage", "examples/policy.yaml", "examples/traces", "--fail-under", "80"],
]


def main() -> int:
    for arguments in COMMANDS:
        print(f"$ ostik {' '.join(arguments)}", flush=True)
        status = subprocess.run([sys.executable, "-m", "ostik", *arguments], cwd=ROOT).returncode
        print(f"(exit status {status})\n", flush=True)
        if status == 2:  # the example itself is broken: say so
            return status
    return 0


if __name__ == "__main__":
    sys.exit(main())
