"""Records an agent's tool calls with OstikClient, then explains the trace.

    python examples/record_and_explain.py [TRACE_FILE]

Without TRACE_FILE the trace goes to a temporary file; a TRACE_FILE that exists
is appended to, as OstikClient always appends. The same file can be
given to the command line afterwards: `ostik explain examples/policy.yaml TRACE_FILE`.
"""

from __future__ import annotations

import json
import sys
import tempfile
from pathlib import Path
from typing import Any

from ostik import OstikClient, Policy, TraceExplainer
from ostik.formats.trace_files import read_trace_file

POLICY = Path(__file__).with_name("policy.yaml")

# What a coding agent did on one task. It commits before running the tests,
# which the policy's review-loop sequence rule does not allow.
AGENT_CALLS: list[tuple[str, dict[str, Any]]] = [
    ("search_code", {"query": "def parse_date"}),
    ("read_file", {"path": "src/dates.py"}),
    ("edit_file", {"path": "src/dates.py", "patch": "@@ -7 +7 @@\n-    return datetime.strptime(s, FMT)\n"
                                                     "+    return datetime.fromisoformat(s)\n"}),
    ("git_commit", {"message": "Parse ISO dates"}),
    ("run_tests", {"target": "tests/test_dates.py"}),
    ("git_diff", {}),
    ("git_commit", {"message": "Parse ISO dates"}),
]


def run_agent(client: OstikClient) -> None:
    """Stands in for the agent: records each tool call as it is made, one JSON line each."""
    for tool, args in AGENT_CALLS:
        client.record_trace({"tool": tool, "args": args})


def explain(trace_file: str) -> None:
    """Explains the recorded trace: a verdict per step, and why a step was blocked."""
    trace = read_trace_file(trace_file).traces[0]
    explainer = TraceExplainer(Policy.from_file(str(POLICY)))
    report: dict[str, Any] = json.loads(explainer.explain(trace.steps))
    for step in report["steps"]:
        line = f"  {step['index']}  {step['tool']:<12} {step['verdict']}"
        if step["verdict"] == "blocked":
            # The first failed judgement is the one that blocked the step.
            reason = next(e for e in step["rules_evaluated"] if not e["passed"])
            line += f"  ({reason['rule_id']}: {reason['explanation']})"
        print(line)
    print(f"{report['total_steps']} steps, {report['blocked_steps']} blocked; "
          f"blocking rules: {', '.join(report['blocking_rules']) or 'none'}")


def main() -> None:
    with tempfile.TemporaryDirectory() as scratch:
        trace_file = sys.argv[1] if len(sys.argv) > 1 else str(Path(scratch) / "trace.jsonl")
        run_agent(OstikClient(trace_file))
        print(f"recorded {len(AGENT_CALLS)} calls to {trace_file}")
        explain(trace_file)


if __name__ == "__main__":
    main()
