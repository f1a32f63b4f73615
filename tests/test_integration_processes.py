"""Each adapter's sessions in a SqliteStore shared by two processes running one conversation at the same time."""

import json
import subprocess
import sys
from pathlib import Path

import pytest
from adapter_cases import policy

HERE = Path(__file__).resolve().parent


@pytest.mark.parametrize("adapter", ["langchain", "openai_agents", "claude_agent_sdk", "adk", "pydantic_ai", "otel"])
def test_two_processes_on_one_conversation_share_its_session(tmp_path, adapter):
    policy(tmp_path)
    database = tmp_path / "sessions.db"
    runs = [subprocess.Popen([sys.executable, str(HERE / "adapter_processes.py"), adapter, str(tmp_path / "policy.yaml"),
                              str(database), "chat-1", tag], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            for tag in ("a", "b")]
    ran = []
    for process in runs:
        out, err = process.communicate(timeout=300)
        assert process.returncode == 0, err
        ran.append(json.loads(out.splitlines()[-1]))
    # Six reads between them, two allowed in all: the limit holds across the processes.
    assert sum(r.count("read_file") for r in ran) == 2
    if adapter == "otel":
        # The recorder observes: every call counts, so all that follow the conversation's third read would be
        # refused, the tests and commits of both processes too.
        assert sum(ran, []) == ["read_file", "read_file"]
    else:
        # Enforced: a refused read counts for nothing, and each process's tests and commit pass.
        assert all(r[-2:] == ["run_tests", "git_commit"] for r in ran)
