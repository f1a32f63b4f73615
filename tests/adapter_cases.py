"""What the framework adapters' tests share: the policy of the runs they replay, and what those runs should give.

The policy allows read_file, run_tests and git_commit, at most 2 reads, and no
commit before tests. A guard that enforces it refuses a call without counting
it, so after a refused third read the tests and the commit still pass."""

import json
import subprocess
import sys
from pathlib import Path

import ostik
import ostik.formats

ROOT = Path(__file__).resolve().parents[1]

POLICY = """\
version: "1"
name: adapters
tools:
  allow: [read_file, run_tests, git_commit]
sequences:
  - {type: max_calls, tool: read_file, max: 2}
  - {type: before, first: run_tests, then: git_commit}
"""

# One model turn per entry: (tool, args, call id).
READS_THEN_COMMIT = [[("read_file", {"path": "a.py"}, "c1")], [("read_file", {"path": "b.py"}, "c2")],
                     [("read_file", {"path": "c.py"}, "c3")], [("run_tests", {}, "c4")], [("git_commit", {}, "c5")]]
# git_commit listed before run_tests in one turn: refused, whichever runs first.
COMMIT_WITH_TESTS = [[("git_commit", {}, "p1"), ("run_tests", {}, "p2")]]


def policy(tmp_path):
    path = tmp_path / "policy.yaml"
    path.write_text(POLICY)
    return ostik.Policy.from_file(str(path))


def expected(guard, turns, mode="enforce"):
    """{call id: (tool, the message the model is told, or None when the call runs)} as one plain session decides."""
    session = guard.session(mode=mode)
    answers = {}
    for turn in turns:
        for tool, args, call_id in turn:
            decision = session.check(tool, args, call_id=call_id)
            answers[call_id] = (tool, None if decision.allowed or mode == "observe" else decision.message)
    return answers


def observed_warnings(guard, turns):
    """What an observing adapter logs for the turns: a warning per call the policy blocks."""
    session = guard.session(mode="observe")
    return [f"observed: {tool} would be refused: {decision.message}"
            for turn in turns for tool, args, call_id in turn
            if not (decision := session.check(tool, args, call_id=call_id)).allowed]


def ran_tools(answers):
    return [tool for tool, message in answers.values() if message is None]


def recorded(path):
    """The traces of a trace file, as ostik reads them (executed calls only)."""
    return ostik.formats.read(str(path), "ostik")


def explains_clean(policy_path, trace_path):
    """Whether `ostik explain` of a recorded file finds every executed call allowed (exit status 0)."""
    result = subprocess.run([sys.executable, "-m", "ostik", "explain", str(policy_path), str(trace_path)],
                            capture_output=True, text=True, timeout=120)
    return result.returncode, result.stdout + result.stderr


def last_lines(path):
    return [json.loads(line) for line in Path(path).read_text().splitlines()]


ASK_POLICY = """\
version: "1"
name: adapters
tools:
  allow: [read_file, run_tests, git_commit, git_push]
sequences:
  - {type: max_calls, tool: read_file, max: 2}
  - {type: before, first: run_tests, then: git_commit}
ask:
  - tool: git_push
"""

# The push waits for a person; the commit after it needs the tests of the same session.
PUSH_THEN_COMMIT = [[("run_tests", {}, "t1")], [("git_push", {"branch": "main"}, "p1")], [("git_commit", {}, "c1")]]
DENIAL = "not on Fridays"


def ask_guard(tmp_path):
    """A guard of the policy above with an ask entry for git_push (the whole language)."""
    path = tmp_path / "policy.yaml"
    path.write_text(ASK_POLICY)
    return ostik.Guard.from_file(str(path))


def denied_message(guard, reason=DENIAL):
    """What a plain session says of the push denied with the reason."""
    session = guard.session()
    session.check("git_push", {"branch": "main"}, call_id="p1")
    return session.deny("p1", reason=reason).message
