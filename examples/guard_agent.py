"""An agent loop under a guard: every tool call is judged before it runs.

    python examples/guard_agent.py [TRACE_FILE]

The tools are plain functions wrapped by ``@session.tool``; a call the policy
blocks raises ``PolicyViolation`` instead of running, and the agent hands the
decision's message back to its model, as it would hand back a tool's error. A
refused call never ran, so the run goes on from where it was. The model here
is scripted, so the run is the same every time. With TRACE_FILE the session
appends every call to it, and ``ostik explain examples/policy.yaml TRACE_FILE``
gives the same verdicts afterwards.
"""

from __future__ import annotations

import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

from ostik import Guard, Policy, PolicyViolation, Session

POLICY = Path(__file__).with_name("policy.yaml")

FILES = {"src/dates.py": "def parse_date(s):\n    return datetime.strptime(s, FMT)\n"}


def make_tools(session: Session) -> dict[str, Callable[..., str]]:
    """The agent's tools, each checked by `session` before it runs."""

    @session.tool
    def read_file(path: str) -> str:
        return f"{path}: {len(FILES.get(path, '').splitlines())} lines"

    @session.tool
    def edit_file(path: str, patch: str) -> str:
        FILES[path] = patch
        return f"edited {path}"

    @session.tool
    def run_tests(target: str) -> str:
        return f"{target}: 12 passed"

    @session.tool
    def git_diff() -> str:
        return "1 file changed"

    @session.tool
    def git_commit(message: str) -> str:
        return f"committed: {message}"

    @session.tool("force_push")
    def push(branch: str) -> str:
        raise AssertionError("the guard refuses this call; it never runs")

    return {f.__name__: f for f in (read_file, edit_file, run_tests, git_diff, git_commit)} | {"force_push": push}


def scripted_model() -> Iterator[tuple[str, dict[str, Any]]]:
    """Stands in for the language model: proposes one tool call at a time.

    A real model would read each result (or refusal) before choosing the next
    call; this one follows a fixed script that the policy corrects: an edit
    before reading the file, a commit before the tests ran, and a force push.
    """
    patch = "def parse_date(s):\n    return datetime.fromisoformat(s)\n"
    yield "edit_file", {"path": "src/dates.py", "patch": patch}
    yield "read_file", {"path": "src/dates.py"}
    yield "edit_file", {"path": "src/dates.py", "patch": patch}
    yield "git_commit", {"message": "Parse ISO dates"}
    yield "run_tests", {"target": "tests/test_dates.py"}
    yield "git_diff", {}
    yield "git_commit", {"message": "Parse ISO dates"}
    yield "force_push", {"branch": "main"}


def run_agent(session: Session) -> None:
    tools = make_tools(session)
    for tool, args in scripted_model():
        try:
            result = tools[tool](**args)
        except PolicyViolation as refused:
            # The model is told why (d.message, a sentence with no rule id), as
            # it would be told a tool's error; the log line names the rule.
            d = refused.decision
            print(f"  {d.step}  {tool:<11} refused  {d.blocked_by}: {d.reason}")
            print(f"     to the model: {d.message}")
        else:
            print(f"  {session.steps - 1}  {tool:<11} ran      {result}")
    unmet = session.finish()
    print(f"{session.steps} calls ran, {session.refused} refused; end of run: "
          + ("; ".join(f.explanation for f in unmet) or "all checks pass"))


def main() -> None:
    guard = Guard(Policy.from_file(str(POLICY)))
    trace_file = sys.argv[1] if len(sys.argv) > 1 else None
    run_agent(guard.session(trace_file))


if __name__ == "__main__":
    main()
