"""PolicyGuardrail's sessions in real OpenAI Agents SDK runs: shared tools, approvals resumed, conversations, modes."""

import asyncio
import json
import logging

import pytest
from adapter_cases import (COMMIT_WITH_TESTS, READS_THEN_COMMIT, expected, observed_warnings, openai_agents_model,
                           plain_tools, policy, ran_tools, recorded)
from agents import Agent, Runner, ToolInputGuardrailTripwireTriggered, function_tool, set_tracing_disabled

import ostik
from ostik.integrations.openai_agents import PolicyGuardrail, guard_agent


@pytest.fixture(autouse=True, scope="module")
def no_tracing():
    set_tracing_disabled(True)
    yield
    set_tracing_disabled(False)


ScriptedModel = openai_agents_model()


def tools(ran, commit_needs_approval=False):
    read_file, run_tests, git_commit = plain_tools(ran)
    return [function_tool(read_file), function_tool(run_tests),
            function_tool(git_commit, needs_approval=commit_needs_approval)]


@pytest.fixture
def guard(tmp_path):
    return ostik.Guard(policy(tmp_path))


@pytest.mark.parametrize("script", [READS_THEN_COMMIT, COMMIT_WITH_TESTS], ids=["reads", "parallel"])
def test_a_refused_call_does_not_run_is_not_counted_and_the_model_is_told_why(guard, tmp_path, script):
    trace = tmp_path / "run.jsonl"
    ran = []
    model = ScriptedModel(script)
    agent = guard_agent(Agent(name="coder", model=model, tools=tools(ran)), PolicyGuardrail(guard, trace_file=trace))
    Runner.run_sync(agent, "go")
    wanted = expected(guard, script)
    assert ran == ran_tools(wanted)
    for call_id, (tool, message) in wanted.items():
        if message is not None:
            assert model.outputs[call_id] == message
    (steps,) = recorded(trace)
    assert [s["tool"] for s in steps] == ran


def test_an_agent_that_was_never_guarded_is_not_stopped_by_another_agents_guard(guard, tmp_path):
    ran = []
    shared = tools(ran)
    plain = Agent(name="plain", model=ScriptedModel(READS_THEN_COMMIT), tools=shared)
    strict = guard_agent(Agent(name="strict", model=ScriptedModel(READS_THEN_COMMIT), tools=shared),
                         PolicyGuardrail(guard, raise_on_block=True, trace_dir=tmp_path / "first"))
    with pytest.raises(ToolInputGuardrailTripwireTriggered):
        Runner.run_sync(strict, "go")
    ran.clear()
    # The shared tools were never changed: the plain agent runs all five calls, unguarded.
    Runner.run_sync(plain, "go")
    assert ran == ["read_file"] * 3 + ["run_tests", "git_commit"]
    assert all(not t.tool_input_guardrails for t in shared)
    # A later guard of the same tools has its own guardrail only, and the first guard's directory hears nothing more.
    later = guard_agent(Agent(name="later", model=ScriptedModel(READS_THEN_COMMIT), tools=shared),
                        PolicyGuardrail(guard, trace_dir=tmp_path / "second"))
    assert [len(t.tool_input_guardrails) for t in later.tools] == [1, 1, 1]
    Runner.run_sync(later, "go")
    assert [len(p.read_text().splitlines()) for p in (tmp_path / "first").iterdir()] == [3]
    assert [len(p.read_text().splitlines()) for p in (tmp_path / "second").iterdir()] == [5]


def test_a_run_resumed_after_an_approval_continues_its_session_and_its_trace_file(guard, tmp_path):
    ran = []
    traces = tmp_path / "traces"
    model = ScriptedModel([[("run_tests", {}, "t1")], [("git_commit", {}, "t2")], []])
    agent = guard_agent(Agent(name="coder", model=model, tools=tools(ran, commit_needs_approval=True)),
                        PolicyGuardrail(guard, trace_dir=traces))

    async def approve_and_resume():
        first = await Runner.run(agent, "go")
        assert first.interruptions
        state = first.to_state()
        for item in first.interruptions:
            state.approve(item)
        del first
        return await Runner.run(agent, state)

    asyncio.run(approve_and_resume())
    # The approved commit comes after the tests of the same run: allowed, and written to the same file.
    assert ran == ["run_tests", "git_commit"]
    (path,) = traces.iterdir()
    assert [line["tool"] for line in map(json.loads, path.read_text().splitlines())] == ["run_tests", "git_commit"]


@pytest.mark.parametrize("scope, commit_runs", [("run", False), ("thread", True)])
def test_runs_of_one_conversation_share_a_session_by_their_key(guard, scope, commit_runs):
    ran = []
    guardrail = PolicyGuardrail(guard, scope=scope, key=(lambda ctx: ctx.context["chat"]) if scope == "thread" else None)
    for script in ([[("run_tests", {}, "t1")]], [[("git_commit", {}, "t2")]]):
        agent = guard_agent(Agent(name="coder", model=ScriptedModel(script), tools=tools(ran)), guardrail)
        Runner.run_sync(agent, "go", context={"chat": "chat-1"})
    assert ran == (["run_tests", "git_commit"] if commit_runs else ["run_tests"])


def test_observe_mode_refuses_nothing_and_logs_what_it_would_have(guard, caplog):
    ran = []
    agent = guard_agent(Agent(name="coder", model=ScriptedModel(READS_THEN_COMMIT), tools=tools(ran)),
                        PolicyGuardrail(guard, mode="observe"))
    with caplog.at_level(logging.WARNING, logger="ostik"):
        Runner.run_sync(agent, "go")
    assert ran == ["read_file"] * 3 + ["run_tests", "git_commit"]
    assert [r.getMessage() for r in caplog.records if r.name == "ostik"] == observed_warnings(guard, READS_THEN_COMMIT)


def test_thread_scope_needs_a_key(guard):
    with pytest.raises(ValueError, match="needs key="):
        PolicyGuardrail(guard, scope="thread")
