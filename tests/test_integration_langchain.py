"""GuardMiddleware in real LangChain agents driven by a scripted chat model."""

import asyncio
import gc
import json
import re
from pathlib import Path

import pytest
from docs_text import code, page, section
from langchain.agents import create_agent
from langchain.agents.middleware import HumanInTheLoopMiddleware
from langchain_core.language_models.chat_models import BaseChatModel
from langchain_core.messages import AIMessage, HumanMessage, ToolMessage
from langchain_core.outputs import ChatGeneration, ChatResult
from langchain_core.tools import tool
from langgraph.checkpoint.memory import InMemorySaver
from langgraph.types import Command
from pydantic import Field

import ostik
import ostik.formats
from ostik import Guard, PolicyViolation, TraceExplainer
from ostik.formats.trace_files import read_trace_file
from ostik.integrations.langchain import GuardMiddleware

ROOT = Path(__file__).resolve().parents[1]

POLICY = """\
version: "1"
name: langchain-test
on_error: {on_error}
tools:
  allow: [read_file, edit_file, run_tests]
  deny: [force_push]
sequences:
  - {{type: before, first: read_file, then: edit_file}}
"""


class ScriptedModel(BaseChatModel):
    """Answers each conversation from the script of its first user message, one turn per call."""

    scripts: dict[str, list[AIMessage]]
    received: list[list] = Field(default_factory=list)

    @property
    def _llm_type(self):
        return "scripted"

    def bind_tools(self, tools, **kwargs):
        return self

    def _generate(self, messages, stop=None, run_manager=None, **kwargs):
        self.received.append(list(messages))
        prompt = next(m.content for m in messages if isinstance(m, HumanMessage))
        turn = sum(isinstance(m, AIMessage) for m in messages)
        return ChatResult(generations=[ChatGeneration(message=self.scripts[prompt][turn].model_copy())])


def calls(*calls):
    """One model turn calling tools: (name, args, id) each."""
    return AIMessage(content="", tool_calls=[{"name": n, "args": a, "id": i} for n, a, i in calls])


DONE = AIMessage(content="done")


@pytest.fixture
def policy(write_policy):
    return ostik.Policy.from_file(write_policy(POLICY.format(on_error="block")))


@pytest.fixture
def ran():
    return []


@pytest.fixture
def tools(ran):
    @tool
    def read_file(path: str) -> str:
        """Reads a file."""
        ran.append(("read_file", path))
        return f"content of {path}"

    @tool
    def edit_file(path: str, n: int = 0) -> str:
        """Edits a file."""
        ran.append(("edit_file", path))
        return f"edited {path}"

    @tool
    def force_push(branch: str) -> str:
        """Pushes."""
        ran.append(("force_push", branch))
        return "pushed"

    @tool
    def run_tests(target: str) -> str:
        """Runs tests."""
        ran.append(("run_tests", target))
        return "12 passed"

    return [read_file, edit_file, force_push, run_tests]


def run(agent, prompt, mode="sync", **kwargs):
    state = {"messages": [{"role": "user", "content": prompt}]}
    if mode == "sync":
        return agent.invoke(state, **kwargs)
    return asyncio.run(agent.ainvoke(state, **kwargs))


def tool_messages(result):
    return {m.tool_call_id: m for m in result["messages"] if isinstance(m, ToolMessage)}


def explained(policy, path):
    """The recorded calls in order: (tool, None) for a call that ran and that the policy allows when the
    file is explained, (tool, rule id) for a call the guard refused, which the file keeps beside the steps."""
    (trace,) = read_trace_file(str(path)).traces
    report = json.loads(TraceExplainer(policy).explain(trace.steps))
    steps = [(s["tool"], None if s["verdict"] == "allowed" else "explained as blocked") for s in report["steps"]]
    calls = []
    for index in range(len(steps) + 1):
        calls += [(a.tool, a.rule_id) for a in trace.refused if a.before == index]
        calls += steps[index:index + 1]
    return calls


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_a_blocked_call_is_not_run_and_the_model_is_told_why(policy, tools, ran, tmp_path, mode):
    trace = tmp_path / "run.jsonl"
    model = ScriptedModel(scripts={"go": [calls(("read_file", {"path": "a.py"}, "c1")),
                                          calls(("force_push", {"branch": "main"}, "c2")),
                                          calls(("run_tests", {"target": "all"}, "c3")), DONE]})
    agent = create_agent(model, tools, middleware=[GuardMiddleware(Guard(policy), trace_file=str(trace))])
    result = run(agent, "go", mode)

    assert ran == [("read_file", "a.py"), ("run_tests", "all")]
    answers = tool_messages(result)
    refusal = answers["c2"]
    assert (refusal.status, refusal.name, refusal.content) == ("error", "force_push", "'force_push' is not allowed.")
    assert [answers[c].status for c in ("c1", "c3")] == ["success", "success"]
    # The model's next turn saw the refusal as the answer to its call.
    assert model.received[2][-1] == refusal
    # The recorded trace explains to what the model was told: the refused call is beside the steps, not one of them.
    assert explained(policy, trace) == [("read_file", None), ("force_push", "deny_list"), ("run_tests", None)]
    line = json.loads(trace.read_text().splitlines()[1])
    assert line == {"session": line["session"], "tool": "force_push", "args": {"branch": "main"},
                    "refused": {"rule_id": "deny_list", "reason": "Tool 'force_push' is in deny list"}}


def test_parallel_calls_are_judged_in_the_models_order(policy, tools, ran, tmp_path):
    trace = tmp_path / "run.jsonl"
    model = ScriptedModel(scripts={"go": [calls(("edit_file", {"path": "a.py"}, "c1"), ("read_file", {"path": "a.py"}, "c2"),
                                                ("force_push", {"branch": "main"}, "c3")), DONE]})
    agent = create_agent(model, tools, middleware=[GuardMiddleware(policy, trace_file=str(trace))])
    answers = tool_messages(run(agent, "go"))
    assert ("force_push", "main") not in ran and ("edit_file", "a.py") not in ran
    # Whatever order the agent ran them in, the edit listed before the read is refused, and the trace holds the
    # model's order.
    told = {m.name: (m.content if m.status == "error" else None) for m in answers.values()}
    assert told == {"edit_file": "'edit_file' needs 'read_file' to be called first.", "read_file": None,
                    "force_push": "'force_push' is not allowed."}
    assert explained(policy, trace) == [("edit_file", "before_read_file_then_edit_file"), ("read_file", None),
                                        ("force_push", "deny_list")]


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_raise_on_block(policy, tools, ran, tmp_path, mode):
    trace = tmp_path / "run.jsonl"
    model = ScriptedModel(scripts={"go": [calls(("read_file", {"path": "a.py"}, "c1")),
                                          calls(("force_push", {"branch": "main"}, "c2")), DONE]})
    middleware = GuardMiddleware(policy, trace_file=str(trace), raise_on_block=True)
    agent = create_agent(model, tools, middleware=[middleware])
    with pytest.raises(PolicyViolation) as info:
        run(agent, "go", mode)
    d = info.value.decision
    assert (d.step, d.blocked_by, d.reason) == (1, "deny_list", "Tool 'force_push' is in deny list")
    assert ran == [("read_file", "a.py")]
    assert explained(policy, trace) == [("read_file", None), ("force_push", "deny_list")]
    # The run is over: its session goes with its state (which the exception's traceback holds).
    del info
    gc.collect()
    assert len(middleware.runs) == 0


@pytest.mark.parametrize("setting", ["block", "allow"])
def test_on_error_decides_about_args_that_cannot_be_judged(write_policy, tools, ran, tmp_path, setting):
    policy = ostik.Policy.from_file(write_policy(POLICY.format(on_error=setting)))
    trace = tmp_path / "run.jsonl"
    model = ScriptedModel(scripts={"go": [calls(("read_file", {"path": "a.py"}, "c1")),
                                          calls(("edit_file", {"path": "a.py", "n": 2**64}, "c2")),
                                          calls(("force_push", {"branch": "main"}, "c3")), DONE]})
    agent = create_agent(model, tools, middleware=[GuardMiddleware(policy, trace_file=str(trace))])
    answers = tool_messages(run(agent, "go"))
    if setting == "allow":
        assert ("edit_file", "a.py") in ran and answers["c2"].status == "success"
    else:
        assert ("edit_file", "a.py") not in ran
        assert answers["c2"].content == ("The arguments of 'edit_file' cannot be checked (Invalid tool call format: "
                                         "argument 'n': the integer 18446744073709551616 does not fit 64 bits); "
                                         "call it with other values.")
    # Not counted either way, and written as what it was: refused, or run unjudged.
    (recorded,) = read_trace_file(str(trace)).traces
    assert [s["tool"] for s in recorded.steps] == ["read_file"]
    assert [(a.tool, a.rule_id) for a in recorded.refused] == (
        [("force_push", "deny_list")] if setting == "allow" else [("edit_file", "on_error"), ("force_push", "deny_list")])
    assert [u.tool for u in recorded.unjudged] == (["edit_file"] if setting == "allow" else [])


def test_each_run_has_its_own_session(policy, tools, ran, tmp_path):
    model = ScriptedModel(scripts={"read": [calls(("read_file", {"path": "a.py"}, "c1")), DONE],
                                   "edit": [calls(("edit_file", {"path": "a.py"}, "c1")), DONE]})
    middleware = GuardMiddleware(policy, trace_dir=tmp_path / "traces")
    agent = create_agent(model, tools, middleware=[middleware])
    run(agent, "read")
    edited = tool_messages(run(agent, "edit"))["c1"]
    # The second run never read the file: the first run's read does not count for it.
    assert edited.content == "'edit_file' needs 'read_file' to be called first."
    files = sorted((tmp_path / "traces").iterdir())
    assert len(files) == 2 and all(re.fullmatch(r"[0-9a-f]{32}\.jsonl", f.name) for f in files)
    assert sorted(f.read_text() for f in files) == [
        '{"args":{"path":"a.py"},"refused":{"reason":"\'edit_file\' requires \'read_file\' first",'
        '"rule_id":"before_read_file_then_edit_file"},"tool":"edit_file"}\n',
        '{"args":{"path":"a.py"},"tool":"read_file"}\n']
    assert len(middleware.runs) == 0


def test_concurrent_runs_do_not_mix(policy, tools, ran, tmp_path):
    names = []

    def trace_for(run_id):
        names.append(run_id)
        return str(tmp_path / f"{len(names)}.jsonl")

    read_then_edit = [calls(("read_file", {"path": "a.py"}, "c1")), calls(("edit_file", {"path": "a.py"}, "c2")), DONE]
    model = ScriptedModel(scripts={"one": read_then_edit, "two": read_then_edit,
                                   "three": [calls(("edit_file", {"path": "b.py"}, "c1")), DONE]})
    middleware = GuardMiddleware(policy, trace_file=trace_for)
    agent = create_agent(model, tools, middleware=[middleware])

    async def together():
        return await asyncio.gather(*(agent.ainvoke({"messages": [{"role": "user", "content": p}]})
                                      for p in ["one", "two", "three"]))

    one, two, three = asyncio.run(together())
    assert [tool_messages(r)["c2"].status for r in (one, two)] == ["success", "success"]
    assert tool_messages(three)["c1"].status == "error"
    assert len(set(names)) == 3
    assert sorted(len(p.read_text().splitlines()) for p in tmp_path.glob("*.jsonl")) == [1, 2, 2]


def test_a_run_stopped_by_an_error_lets_go_of_its_session(policy, tools, tmp_path):
    @tool
    def read_file(path: str) -> str:
        """Fails."""
        raise OSError("disk gone")

    model = ScriptedModel(scripts={"go": [calls(("read_file", {"path": "a.py"}, "c1")), DONE]})
    middleware = GuardMiddleware(policy)
    agent = create_agent(model, [read_file], middleware=[middleware])
    with pytest.raises(OSError):
        run(agent, "go")
    gc.collect()
    assert len(middleware.runs) == 0


def test_an_interrupted_run_keeps_its_session(policy, tools, ran, tmp_path):
    trace = tmp_path / "run.jsonl"
    model = ScriptedModel(scripts={"go": [calls(("read_file", {"path": "a.py"}, "c1")),
                                          calls(("edit_file", {"path": "a.py"}, "c2")), DONE]})
    middleware = GuardMiddleware(policy, trace_file=str(trace))
    agent = create_agent(model, tools, checkpointer=InMemorySaver(),
                         middleware=[middleware, HumanInTheLoopMiddleware(interrupt_on={"edit_file": True})])
    config = {"configurable": {"thread_id": "t1"}}
    first = agent.invoke({"messages": [{"role": "user", "content": "go"}]}, config)
    assert "__interrupt__" in first and ran == [("read_file", "a.py")]
    gc.collect()
    assert len(middleware.runs) == 1
    resumed = agent.invoke(Command(resume={"decisions": [{"type": "approve"}]}), config)
    # The resumed run still knows the file was read before the interrupt.
    assert tool_messages(resumed)["c2"].status == "success"
    assert ran == [("read_file", "a.py"), ("edit_file", "a.py")]
    assert explained(policy, trace) == [("read_file", None), ("edit_file", None)]
    assert len(middleware.runs) == 0


def test_a_new_run_on_the_thread_of_an_interrupted_one_ends_it(policy, tools, ran):
    model = ScriptedModel(scripts={"go": [calls(("read_file", {"path": "a.py"}, "c1")),
                                          calls(("edit_file", {"path": "a.py"}, "c2")), DONE]})
    middleware = GuardMiddleware(policy)
    agent = create_agent(model, tools, checkpointer=InMemorySaver(),
                         middleware=[middleware, HumanInTheLoopMiddleware(interrupt_on={"edit_file": True})])
    config = {"configurable": {"thread_id": "t1"}}
    assert "__interrupt__" in agent.invoke({"messages": [{"role": "user", "content": "go"}]}, config)
    assert len(middleware.runs) == 1
    # Not resumed: new input on the thread starts a new run, which finishes.
    assert "__interrupt__" not in agent.invoke({"messages": [{"role": "user", "content": "never mind"}]}, config)
    assert len(middleware.runs) == 0


def test_a_custom_message(policy, tools):
    model = ScriptedModel(scripts={"go": [calls(("force_push", {"branch": "main"}, "c1")), DONE]})
    middleware = GuardMiddleware(policy, message=lambda d: f"step {d.step}: no ({d.blocked_by})")
    result = run(create_agent(model, tools, middleware=[middleware]), "go")
    assert tool_messages(result)["c1"].content == "step 0: no (deny_list)"


def test_bad_arguments(policy, tmp_path):
    with pytest.raises(ValueError, match="^give trace_file or trace_dir, not both$"):
        GuardMiddleware(policy, trace_file="a.jsonl", trace_dir=tmp_path)
    with pytest.raises(TypeError, match="^argument 'guard': expected an ostik.Guard or ostik.Policy, got 'str'$"):
        GuardMiddleware("policy.yaml")


def test_the_documented_example(policy, tools, ran, tmp_path, monkeypatch):
    (block,) = code(section(page("frameworks.md"), "LangChain"), "python")
    monkeypatch.chdir(tmp_path)
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    model = ScriptedModel(scripts={"Fix the date parser": [calls(("read_file", {"path": "src/dates.py"}, "c1")),
                                                          calls(("force_push", {"branch": "main"}, "c2")), DONE]})
    namespace = {"model": model, "tools": tools}
    exec(block, namespace)
    assert ran == [("read_file", "src/dates.py")]
    (recorded,) = (tmp_path / "traces").iterdir()
    assert [json.loads(line)["tool"] for line in recorded.read_text().splitlines()] == ["read_file", "force_push"]
