"""PolicyCapability and PolicyToolset in real Pydantic AI runs driven by a FunctionModel, no network."""

import asyncio
import logging

import pytest
from adapter_cases import (COMMIT_WITH_TESTS, READS_THEN_COMMIT, expected, explains_clean, observed_warnings, policy,
                           ran_tools, recorded)
from pydantic_ai import Agent
from pydantic_ai.messages import ModelRequest, ModelResponse, TextPart, ToolCallPart, ToolReturnPart
from pydantic_ai.models.function import AgentInfo, FunctionModel
from pydantic_ai.toolsets import FunctionToolset

import ostik
from ostik.integrations.pydantic_ai import PolicyCapability, PolicyToolset, policy_runs


def scripted(script):
    """A model answering with the script's turns, then "done"."""
    turns = iter(script)

    async def respond(messages, info: AgentInfo) -> ModelResponse:
        await asyncio.sleep(0)
        calls = next(turns, [])
        if not calls:
            return ModelResponse(parts=[TextPart("done")])
        return ModelResponse(parts=[ToolCallPart(name, args, call_id) for name, args, call_id in calls])

    return FunctionModel(respond)


def toolset(ran):
    def read_file(path: str) -> str:
        ran.append("read_file")
        return f"content of {path}"

    async def run_tests() -> str:
        await asyncio.sleep(0.01)  # lets a parallel call go first
        ran.append("run_tests")
        return "12 passed"

    def git_commit() -> str:
        ran.append("git_commit")
        return "committed"

    return FunctionToolset([read_file, run_tests, git_commit])


def answers_of(result):
    """{call id: (outcome, content)} of the tool returns the model received."""
    return {part.tool_call_id: (part.outcome, part.content) for message in result.all_messages()
            if isinstance(message, ModelRequest) for part in message.parts if isinstance(part, ToolReturnPart)}


@pytest.fixture
def guard(tmp_path):
    return ostik.Guard(policy(tmp_path))


@pytest.mark.parametrize("script", [READS_THEN_COMMIT, COMMIT_WITH_TESTS], ids=["reads", "parallel"])
def test_a_refused_call_does_not_run_is_not_counted_and_the_model_is_told_why(guard, tmp_path, script):
    trace = tmp_path / "run.jsonl"
    ran = []
    agent = Agent(scripted(script), toolsets=[toolset(ran)], capabilities=[PolicyCapability(guard, trace_file=trace)])
    answers = answers_of(agent.run_sync("go"))
    wanted = expected(guard, script)
    assert sorted(ran) == sorted(ran_tools(wanted))
    for call_id, (tool, message) in wanted.items():
        assert answers[call_id] == (("failed", message) if message is not None else ("success", answers[call_id][1]))
    (steps,) = recorded(trace)
    assert [step["tool"] for step in steps] == ran_tools(wanted)
    assert explains_clean(tmp_path / "policy.yaml", trace)[0] == 0


def test_parallel_calls_are_decided_in_the_models_order(guard):
    for _ in range(5):
        ran = []
        agent = Agent(scripted(COMMIT_WITH_TESTS), toolsets=[toolset(ran)], capabilities=[PolicyCapability(guard)])
        answers = answers_of(agent.run_sync("go"))
        assert answers["p1"][0] == "failed" and answers["p2"][0] == "success"


def test_refusals_cost_no_retries(guard):
    # Five refused reads in a row: a tool failure each, the run goes on (a ModelRetry would end it at the second).
    script = [[("read_file", {"path": f"{n}.py"}, f"r{n}")] for n in range(7)]
    ran = []
    agent = Agent(scripted(script), toolsets=[toolset(ran)], capabilities=[PolicyCapability(guard)])
    answers = answers_of(agent.run_sync("go"))
    assert [answers[f"r{n}"][0] for n in range(7)] == ["success"] * 2 + ["failed"] * 5


@pytest.mark.parametrize("scope, commit_runs", [("run", False), ("thread", True)])
def test_runs_of_one_conversation_share_a_session_in_thread_scope(guard, scope, commit_runs):
    capability = PolicyCapability(guard, scope=scope)
    ran = []
    first = Agent(scripted([[("run_tests", {}, "t1")]]), toolsets=[toolset(ran)], capabilities=[capability])
    history = first.run_sync("go").all_messages()
    second = Agent(scripted([[("git_commit", {}, "t2")]]), toolsets=[toolset(ran)], capabilities=[capability])
    answers = answers_of(second.run_sync("go on", message_history=history))
    assert (answers["t2"][0] == "success") == commit_runs
    assert len(capability.runs) == (1 if scope == "thread" else 0)


def test_observe_mode_refuses_nothing_and_logs_what_it_would_have(guard, caplog):
    ran = []
    agent = Agent(scripted(READS_THEN_COMMIT), toolsets=[toolset(ran)],
                  capabilities=[PolicyCapability(guard, mode="observe")])
    with caplog.at_level(logging.WARNING, logger="ostik"):
        agent.run_sync("go")
    assert ran == ["read_file"] * 3 + ["run_tests", "git_commit"]
    assert [r.getMessage() for r in caplog.records if r.name == "ostik"] == observed_warnings(guard, READS_THEN_COMMIT)


def test_raise_on_block(guard):
    ran = []
    agent = Agent(scripted(READS_THEN_COMMIT), toolsets=[toolset(ran)],
                  capabilities=[PolicyCapability(guard, raise_on_block=True)])
    with pytest.raises(ostik.PolicyViolation) as info:
        agent.run_sync("go")
    assert info.value.decision.tool == "read_file" and ran == ["read_file", "read_file"]


def test_a_toolset_wrapped_by_hand_guards_only_its_tools(guard):
    ran = []

    def git_status() -> str:
        ran.append("git_status")
        return "clean"

    guarded = PolicyToolset(toolset(ran), runs=policy_runs(guard, scope="thread"), key=lambda ctx: "k")
    agent = Agent(scripted([[("git_status", {}, "s1"), ("git_commit", {}, "s2")]]), tools=[git_status],
                  toolsets=[guarded])
    answers = answers_of(agent.run_sync("go"))
    # git_status is not in the policy's allow list, but it is not in the guarded toolset either.
    assert answers["s1"][0] == "success" and answers["s2"][0] == "failed"
    assert [(r.call_id, r.tool) for r in guarded.runs.results("k")] == []
    assert guarded.runs.session("k").steps == 0


def test_the_documented_example(tmp_path, monkeypatch):
    import json

    from adapter_cases import ROOT
    from docs_text import code, page, section

    (block,) = code(section(page("frameworks.md"), "Pydantic AI"), "python")
    monkeypatch.chdir(tmp_path)
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    ran = []

    def read_file(path: str) -> str:
        ran.append(path)
        return "text"

    def force_push() -> str:
        ran.append("pushed")
        return "pushed"

    namespace = {"model": scripted([[("read_file", {"path": "src/dates.py"}, "c1")], [("force_push", {}, "c2")]]),
                 "tools": [read_file, force_push]}
    exec(block, namespace)
    answers = answers_of(namespace["agent"].run_sync("Fix the date parser"))
    assert ran == ["src/dates.py"] and answers["c2"] == ("failed", "'force_push' is not allowed.")
    (recorded_file,) = (tmp_path / "traces").iterdir()
    assert [json.loads(line)["tool"] for line in recorded_file.read_text().splitlines()] == ["read_file", "force_push"]
