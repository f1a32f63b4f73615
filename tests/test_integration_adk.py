"""PolicyPlugin in real Google ADK runs driven by a scripted model (a BaseLlm), no network."""

import asyncio
import logging

import pytest
from adapter_cases import (COMMIT_WITH_TESTS, READS_THEN_COMMIT, adk_model, expected, explains_clean, observed_warnings,
                           policy, ran_tools, recorded)
from google.adk.agents import LlmAgent
from google.adk.apps import App
from google.adk.runners import InMemoryRunner
from google.genai import types

import ostik
from ostik.integrations.adk import PolicyPlugin

logging.getLogger("google_adk").setLevel(logging.ERROR)


ScriptedModel = adk_model()


class Agent:
    """An ADK agent with the three tools, run by an in-memory runner with the plugin."""

    def __init__(self, plugin):
        self.ran = []

        def read_file(path: str) -> str:
            """Reads a file."""
            self.ran.append("read_file")
            return f"content of {path}"

        async def run_tests() -> str:
            """Runs the tests."""
            await asyncio.sleep(0.01)  # lets a parallel call go first
            self.ran.append("run_tests")
            return "12 passed"

        def git_commit() -> str:
            """Commits."""
            self.ran.append("git_commit")
            return "committed"

        self.tools = [read_file, run_tests, git_commit]
        self.plugin = plugin
        self.runner = None

    def run(self, script, session_id=None):
        model = ScriptedModel(model="scripted", script=script, turns={})
        agent = LlmAgent(name="coder", model=model, tools=self.tools)
        runner = InMemoryRunner(app=App(name="app", root_agent=agent, plugins=[self.plugin]))
        if self.runner is not None:
            runner.session_service = self.runner.session_service
        self.runner = runner
        return asyncio.run(self._run(runner, session_id))

    async def _run(self, runner, session_id):
        service = runner.session_service
        session = await service.get_session(app_name="app", user_id="u", session_id=session_id) if session_id else None
        if session is None:
            session = await service.create_session(app_name="app", user_id="u", session_id=session_id)
        responses = {}
        message = types.Content(role="user", parts=[types.Part(text="go")])
        async for event in runner.run_async(user_id="u", session_id=session.id, new_message=message):
            for part in (event.content.parts if event.content else None) or []:
                if part.function_response:
                    responses[part.function_response.id] = part.function_response.response
        return responses


@pytest.fixture
def guard(tmp_path):
    return ostik.Guard(policy(tmp_path))


@pytest.mark.parametrize("script", [READS_THEN_COMMIT, COMMIT_WITH_TESTS], ids=["reads", "parallel"])
def test_a_refused_call_does_not_run_is_not_counted_and_the_model_is_told_why(guard, tmp_path, script):
    trace = tmp_path / "run.jsonl"
    agent = Agent(PolicyPlugin(guard, trace_file=trace))
    responses = agent.run(script)
    answers = expected(guard, script)
    assert sorted(agent.ran) == sorted(ran_tools(answers))
    for call_id, (tool, message) in answers.items():
        assert responses[call_id] == ({"error": message} if message is not None else responses[call_id])
        assert ("error" in responses[call_id]) == (message is not None)
    (steps,) = recorded(trace)
    assert [step["tool"] for step in steps] == ran_tools(answers)
    assert explains_clean(tmp_path / "policy.yaml", trace)[0] == 0


def test_parallel_calls_are_decided_in_the_models_order(guard):
    plugin = PolicyPlugin(guard)
    agent = Agent(plugin)
    for _ in range(5):
        responses = agent.run(COMMIT_WITH_TESTS)
        assert "error" in responses["p1"] and "error" not in responses["p2"]


@pytest.mark.parametrize("scope, commit_runs", [("run", False), ("thread", True)])
def test_turns_of_one_adk_session_share_a_guard_session_in_thread_scope(guard, tmp_path, scope, commit_runs):
    agent = Agent(PolicyPlugin(guard, scope=scope, trace_dir=tmp_path / "traces"))
    agent.run([[("run_tests", {}, "t1")]], session_id="chat-1")
    responses = agent.run([[("git_commit", {}, "t2")]], session_id="chat-1")
    assert ("error" not in responses["t2"]) == commit_runs
    names = sorted(p.name for p in (tmp_path / "traces").iterdir())
    assert names == ["chat-1.jsonl"] if scope == "thread" else len(names) == 2
    assert len(agent.plugin.runs) == (1 if scope == "thread" else 0)


def test_observe_mode_refuses_nothing_and_logs_what_it_would_have(guard, caplog):
    agent = Agent(PolicyPlugin(guard, mode="observe"))
    with caplog.at_level(logging.WARNING, logger="ostik"):
        responses = agent.run(READS_THEN_COMMIT)
    assert not any("error" in r for r in responses.values())
    assert agent.ran == ["read_file"] * 3 + ["run_tests", "git_commit"]
    assert [r.getMessage() for r in caplog.records if r.name == "ostik"] == observed_warnings(guard, READS_THEN_COMMIT)


def test_raise_on_block(guard):
    agent = Agent(PolicyPlugin(guard, raise_on_block=True))
    with pytest.raises(Exception) as info:
        agent.run(READS_THEN_COMMIT)
    cause = info.value if isinstance(info.value, ostik.PolicyViolation) else info.value.__cause__
    assert isinstance(cause, ostik.PolicyViolation) and cause.decision.tool == "read_file"
    assert agent.ran == ["read_file", "read_file"]


def test_results_are_handed_to_the_session(guard):
    plugin = PolicyPlugin(guard, scope="thread")
    Agent(plugin).run([[("read_file", {"path": "a.py"}, "r1")]], session_id="chat")
    assert [(r.call_id, r.tool, r.result) for r in plugin.runs.results("chat")] == [
        ("r1", "read_file", "content of a.py")]


def test_the_documented_example(tmp_path, monkeypatch):
    import json

    from adapter_cases import ROOT
    from docs_text import code, page, section

    (block,) = code(section(page("frameworks.md"), "Google ADK"), "python")
    monkeypatch.chdir(tmp_path)
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    model = ScriptedModel(model="scripted", script=[[("read_file", {"path": "src/dates.py"}, "c1")],
                                                    [("force_push", {}, "c2")]], turns={})
    ran = []

    def read_file(path: str) -> str:
        """Reads a file."""
        ran.append(path)
        return "text"

    def force_push() -> str:
        """Pushes."""
        ran.append("pushed")
        return "pushed"

    namespace = {"agent": LlmAgent(name="coder", model=model, tools=[read_file, force_push])}
    exec(block, namespace)
    runner = namespace["runner"]

    async def go():
        session = await runner.session_service.create_session(app_name="coder", user_id="u")
        message = types.Content(role="user", parts=[types.Part(text="Fix the date parser")])
        return [event async for event in runner.run_async(user_id="u", session_id=session.id, new_message=message)]

    asyncio.run(go())
    assert ran == ["src/dates.py"]
    (recorded_file,) = (tmp_path / "traces").iterdir()
    assert [json.loads(line)["tool"] for line in recorded_file.read_text().splitlines()] == ["read_file", "force_push"]
