"""GuardMiddleware's sessions in real LangChain agents: enforce and observe, thread scope, approvals, parallel calls."""

import logging
import threading
import time

import pytest
from adapter_cases import (COMMIT_WITH_TESTS, READS_THEN_COMMIT, expected, explains_clean, langchain_model,
                           observed_warnings, plain_tools, policy, ran_tools, recorded)
from langchain.agents import create_agent
from langchain.agents.middleware import AgentMiddleware, HumanInTheLoopMiddleware
from langchain_core.messages import ToolMessage
from langchain_core.tools import tool
from langgraph.checkpoint.memory import InMemorySaver
from langgraph.types import Command

import ostik
from ostik.integrations.langchain import GuardMiddleware


ScriptedModel = langchain_model()


class Tools:
    def __init__(self):
        self.ran = []
        self.tools = [tool(f) for f in plain_tools(self.ran)]


class LateCommit(AgentMiddleware):
    """Holds git_commit back until run_tests has been judged: the threads run the listed calls in reverse."""

    def __init__(self):
        super().__init__()
        self.tests_judged = threading.Event()

    def wrap_tool_call(self, request, handler):
        if request.tool_call["name"] == "git_commit":
            self.tests_judged.wait(5)
            return handler(request)
        try:
            return handler(request)
        finally:
            self.tests_judged.set()


def answers(result):
    messages = result.value["messages"] if hasattr(result, "value") else result["messages"]
    return {m.tool_call_id: (m.status, m.content) for m in messages if isinstance(m, ToolMessage)}


def start(agent, config=None, text="go"):
    return agent.invoke({"messages": [{"role": "user", "content": text}]}, config, version="v2")


@pytest.fixture
def guard(tmp_path):
    return ostik.Guard(policy(tmp_path))


@pytest.mark.parametrize("script", [READS_THEN_COMMIT, COMMIT_WITH_TESTS], ids=["reads", "parallel"])
def test_a_refused_call_does_not_run_is_not_counted_and_the_model_is_told_why(guard, tmp_path, script):
    trace = tmp_path / "run.jsonl"
    tools = Tools()
    agent = create_agent(ScriptedModel(script=script), tools.tools, middleware=[GuardMiddleware(guard, trace_file=trace)])
    told = answers(start(agent))
    wanted = expected(guard, script)
    assert sorted(tools.ran) == sorted(ran_tools(wanted))
    for call_id, (tool_name, message) in wanted.items():
        assert told[call_id] == (("error", message) if message is not None else ("success", told[call_id][1]))
    (steps,) = recorded(trace)
    assert [step["tool"] for step in steps] == ran_tools(wanted)
    assert explains_clean(tmp_path / "policy.yaml", trace)[0] == 0


def test_parallel_calls_are_decided_in_the_models_order_whatever_thread_goes_first(guard):
    for _ in range(20):
        tools = Tools()
        late = LateCommit()
        agent = create_agent(ScriptedModel(script=COMMIT_WITH_TESTS), tools.tools,
                             middleware=[late, GuardMiddleware(guard)])
        told = answers(start(agent))
        assert told["p1"][0] == "error" and told["p2"][0] == "success"
        assert tools.ran == ["run_tests"]


def test_approved_calls_are_judged_once_under_per_call_approval(guard):
    tools = Tools()
    script = [[("read_file", {"path": f"{n}.py"}, f"r{n}")] for n in range(3)]
    guarded = GuardMiddleware(guard)
    agent = create_agent(ScriptedModel(script=script), tools.tools, checkpointer=InMemorySaver(),
                         middleware=[guarded, HumanInTheLoopMiddleware(interrupt_on={"read_file": True},
                                                                       interrupt_mode="per_call")])
    config = {"configurable": {"thread_id": "t1"}}
    result = start(agent, config)
    while result.interrupts:
        result = agent.invoke(Command(resume={i.id: {"type": "approve"} for i in result.interrupts}), config,
                              version="v2")
    told = answers(result)
    # Both approved reads ran; the third is refused for the limit, not the second for a count of 3.
    assert tools.ran == ["read_file", "read_file"]
    assert [told[f"r{n}"][0] for n in range(3)] == ["success", "success", "error"]


@pytest.mark.parametrize("scope, counted_across_turns", [("run", False), ("thread", True)])
def test_the_turns_of_a_chat_thread_share_a_session_in_thread_scope(guard, tmp_path, scope, counted_across_turns):
    tools = Tools()
    # Turn one reads twice and tests; turn two reads twice more and commits.
    script = [[("read_file", {"path": "a.py"}, "a1")], [("read_file", {"path": "b.py"}, "a2")],
              [("run_tests", {}, "a3")], [],
              [("read_file", {"path": "c.py"}, "b1")], [("read_file", {"path": "d.py"}, "b2")],
              [("git_commit", {}, "b3")], []]
    guarded = GuardMiddleware(guard, scope=scope, trace_dir=tmp_path / "traces")
    agent = create_agent(ScriptedModel(script=script), tools.tools, checkpointer=InMemorySaver(), middleware=[guarded])
    config = {"configurable": {"thread_id": "chat-7"}}
    start(agent, config)
    told = answers(start(agent, config, "and now commit"))
    if counted_across_turns:
        assert [told[c][0] for c in ("b1", "b2", "b3")] == ["error", "error", "success"]
        assert [p.name for p in (tmp_path / "traces").iterdir()] == ["chat-7.jsonl"]
        assert len(guarded.runs) == 1
    else:
        assert [told[c][0] for c in ("b1", "b2", "b3")] == ["success", "success", "error"]
        assert len(list((tmp_path / "traces").iterdir())) == 2
        assert len(guarded.runs) == 0


def test_one_trace_file_for_many_runs_reads_as_a_trace_per_run(guard, tmp_path):
    trace = tmp_path / "all.jsonl"
    tools = Tools()
    agent = create_agent(ScriptedModel(script=READS_THEN_COMMIT), tools.tools,
                         middleware=[GuardMiddleware(guard, trace_file=trace)])
    for _ in range(3):
        start(agent)
    traces = recorded(trace)
    assert [[s["tool"] for s in steps] for steps in traces] == [ran_tools(expected(guard, READS_THEN_COMMIT))] * 3
    assert explains_clean(tmp_path / "policy.yaml", trace)[0] == 0


def test_observe_mode_refuses_nothing_and_logs_what_it_would_have(guard, caplog):
    tools = Tools()
    agent = create_agent(ScriptedModel(script=READS_THEN_COMMIT), tools.tools,
                         middleware=[GuardMiddleware(guard, mode="observe")])
    with caplog.at_level(logging.WARNING, logger="ostik"):
        told = answers(start(agent))
    assert tools.ran == ["read_file"] * 3 + ["run_tests", "git_commit"]
    assert all(status == "success" for status, _ in told.values())
    assert [r.getMessage() for r in caplog.records if r.name == "ostik"] == observed_warnings(guard, READS_THEN_COMMIT)


def test_results_are_handed_to_the_session(guard):
    tools = Tools()
    guarded = GuardMiddleware(guard, scope="thread")
    agent = create_agent(ScriptedModel(script=[[("read_file", {"path": "a.py"}, "r1")]]), tools.tools,
                         checkpointer=InMemorySaver(), middleware=[guarded])
    start(agent, {"configurable": {"thread_id": "t"}})
    assert [(r.call_id, r.tool, r.result) for r in guarded.runs.results("t")] == [("r1", "read_file", "content of a.py")]
