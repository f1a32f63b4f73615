"""PolicyGuardrail in real OpenAI Agents SDK runs driven by a scripted model, tracing off."""

import asyncio
import gc
import json
import re
from pathlib import Path

import pytest
from docs_text import code, page, section
from agents import Agent, Runner, ToolInputGuardrailTripwireTriggered, function_tool, handoff, set_tracing_disabled
from agents.items import ModelResponse
from agents.models.interface import Model
from agents.tool_guardrails import ToolGuardrailFunctionOutput, tool_input_guardrail
from agents.usage import Usage
from openai.types.responses import (Response, ResponseCompletedEvent, ResponseFunctionToolCall, ResponseOutputMessage,
                                    ResponseOutputText)

import ostik
import ostik.formats
from ostik import Guard, TraceExplainer
from ostik.formats.trace_files import read_trace_file
from ostik.integrations.openai_agents import PolicyGuardrail, guard_agent

ROOT = Path(__file__).resolve().parents[1]

POLICY = """\
version: "1"
name: agents-test
on_error: {on_error}
tools:
  allow: [read_file, edit_file, run_tests, coder]
  deny: [force_push]
sequences:
  - {{type: before, first: read_file, then: edit_file}}
"""


@pytest.fixture(autouse=True, scope="module")
def no_tracing():
    set_tracing_disabled(True)
    yield
    set_tracing_disabled(False)


def call(name, args, call_id):
    arguments = args if isinstance(args, str) else json.dumps(args)
    return ResponseFunctionToolCall(id=call_id, call_id=call_id, type="function_call", name=name, arguments=arguments)


def say(text):
    return ResponseOutputMessage(id="msg", type="message", role="assistant", status="completed",
                                 content=[ResponseOutputText(text=text, type="output_text", annotations=[])])


DONE = [say("done")]


class ScriptedModel(Model):
    """Answers each run from the script of its first user message, one turn per call."""

    def __init__(self, scripts):
        self.scripts = scripts
        self.turns = {}
        self.inputs = []

    def _next(self, input):
        self.inputs.append(input)
        prompt = input if isinstance(input, str) else input[0]["content"]
        turn = self.turns.get(prompt, 0)
        self.turns[prompt] = turn + 1
        return self.scripts[prompt][turn]

    async def get_response(self, system_instructions, input, model_settings, tools, output_schema, handoffs, tracing,
                           *, previous_response_id=None, conversation_id=None, prompt=None):
        await asyncio.sleep(0)  # lets concurrent runs interleave
        return ModelResponse(output=self._next(input), usage=Usage(), response_id=None)

    async def stream_response(self, system_instructions, input, model_settings, tools, output_schema, handoffs,
                              tracing, *, previous_response_id=None, conversation_id=None, prompt=None):
        response = Response(id="resp", created_at=0, model="scripted", object="response", output=self._next(input),
                            tool_choice="auto", tools=[], parallel_tool_calls=False)
        yield ResponseCompletedEvent(type="response.completed", sequence_number=0, response=response)


@pytest.fixture
def policy(write_policy):
    return ostik.Policy.from_file(write_policy(POLICY.format(on_error="block")))


@pytest.fixture
def ran():
    return []


@pytest.fixture
def tools(ran):
    @function_tool
    def read_file(path: str) -> str:
        """Reads a file."""
        ran.append(("read_file", path))
        return f"content of {path}"

    @function_tool
    def edit_file(path: str, n: int = 0) -> str:
        """Edits a file."""
        ran.append(("edit_file", path))
        return f"edited {path}"

    @function_tool
    def force_push(branch: str) -> str:
        """Pushes."""
        ran.append(("force_push", branch))
        return "pushed"

    @function_tool
    async def run_tests(target: str) -> str:
        """Runs tests."""
        ran.append(("run_tests", target))
        return "12 passed"

    return [read_file, edit_file, force_push, run_tests]


def run(agent, prompt, mode="sync"):
    if mode == "sync":
        return Runner.run_sync(agent, prompt)
    if mode == "async":
        return asyncio.run(Runner.run(agent, prompt))

    async def streamed():
        result = Runner.run_streamed(agent, prompt)
        async for _ in result.stream_events():
            pass
        return result

    return asyncio.run(streamed())


def decisions(result):
    return [r.output.output_info for r in result.tool_input_guardrail_results]


def outputs(model):
    """{call id: the output the model saw for it} over every input the model received."""
    return {item["call_id"]: item["output"] for input in model.inputs if not isinstance(input, str)
            for item in input if item.get("type") == "function_call_output"}


def explained(policy, path):
    """The recorded calls in order: (index, tool, verdict, failed rule) for the steps as the file explains them,
    (None, tool, "refused", rule id) for the calls the guard refused, which the file keeps beside the steps."""
    (trace,) = read_trace_file(str(path)).traces
    report = json.loads(TraceExplainer(policy).explain(trace.steps))
    steps = [(s["index"], s["tool"], s["verdict"], next((e["rule_id"] for e in s["rules_evaluated"] if not e["passed"]),
                                                         None)) for s in report["steps"]]
    calls = []
    for index in range(len(steps) + 1):
        calls += [(None, a.tool, "refused", a.rule_id) for a in trace.refused if a.before == index]
        calls += steps[index:index + 1]
    return calls


def as_explained(decisions, tools):
    return [(d.step, t, d.verdict, d.blocked_by) if d.allowed else (None, t, "refused", d.blocked_by)
            for d, t in zip(decisions, tools)]


@pytest.mark.parametrize("mode", ["sync", "async", "streamed"])
def test_a_blocked_call_is_not_run_and_the_model_is_told_why(policy, tools, ran, tmp_path, mode):
    trace = tmp_path / "run.jsonl"
    model = ScriptedModel({"go": [[call("read_file", {"path": "a.py"}, "c1")],
                                  [call("force_push", {"branch": "main"}, "c2")],
                                  [call("run_tests", {"target": "all"}, "c3")], DONE]})
    agent = guard_agent(Agent(name="coder", model=model, tools=tools), PolicyGuardrail(policy, trace_file=str(trace)))
    result = run(agent, "go", mode)

    assert result.final_output == "done"
    assert ran == [("read_file", "a.py"), ("run_tests", "all")]
    told = outputs(model)
    assert told["c2"] == "'force_push' is not allowed."
    assert told["c1"] == "content of a.py"
    made = decisions(result)
    assert [d.verdict for d in made] == ["allowed", "blocked", "allowed"]
    assert made[1].reason == "Tool 'force_push' is in deny list"
    assert explained(policy, trace) == as_explained(made, ["read_file", "force_push", "run_tests"])


def test_raise_on_block(policy, tools, ran, tmp_path):
    trace = tmp_path / "run.jsonl"
    model = ScriptedModel({"go": [[call("read_file", {"path": "a.py"}, "c1")],
                                  [call("force_push", {"branch": "main"}, "c2")], DONE]})
    guardrail = PolicyGuardrail(Guard(policy), trace_file=str(trace), raise_on_block=True)
    agent = guard_agent(Agent(name="coder", model=model, tools=tools), guardrail)
    with pytest.raises(ToolInputGuardrailTripwireTriggered) as info:
        run(agent, "go")
    assert info.value.guardrail is guardrail
    d = info.value.output.output_info
    assert (d.step, d.blocked_by, d.reason) == (1, "deny_list", "Tool 'force_push' is in deny list")
    assert ran == [("read_file", "a.py")]
    assert explained(policy, trace) == [(0, "read_file", "allowed", None), (None, "force_push", "refused", "deny_list")]


@pytest.mark.parametrize("setting", ["block", "allow"])
def test_on_error_decides_about_args_that_cannot_be_judged(write_policy, tools, ran, tmp_path, setting):
    policy = ostik.Policy.from_file(write_policy(POLICY.format(on_error=setting)))
    trace = tmp_path / "run.jsonl"
    model = ScriptedModel({"go": [[call("read_file", {"path": "a.py"}, "c1")],
                                  [call("edit_file", '{"path": "a.py", "n": 18446744073709551616}', "c2")],
                                  [call("force_push", {"branch": "main"}, "c3")], DONE]})
    agent = guard_agent(Agent(name="coder", model=model, tools=tools), PolicyGuardrail(policy, trace_file=str(trace)))
    result = run(agent, "go")
    edit = decisions(result)[1]
    if setting == "allow":
        assert edit is None and ("edit_file", "a.py") in ran
    else:
        assert (edit.step, edit.blocked_by) == (1, "on_error")
        assert outputs(model)["c2"] == ("The arguments of 'edit_file' cannot be checked (Invalid tool call format: "
                                        "argument 'n': the integer 18446744073709551616 does not fit 64 bits); "
                                        "call it with other values.")
        assert ("edit_file", "a.py") not in ran
    # Not counted either way: the next call is step 1, and the file says what became of the edit.
    assert decisions(result)[2].step == 1
    assert [(i, t, v) for i, t, v, _ in explained(policy, trace)] == (
        [(0, "read_file", "allowed"), (None, "force_push", "refused")] if setting == "allow" else
        [(0, "read_file", "allowed"), (None, "edit_file", "refused"), (None, "force_push", "refused")])
    (recorded,) = read_trace_file(str(trace)).traces
    assert [u.tool for u in recorded.unjudged] == (["edit_file"] if setting == "allow" else [])


def test_arguments_as_the_model_sent_them(policy, tools, tmp_path):
    trace = tmp_path / "run.jsonl"
    model = ScriptedModel({"go": [[call("read_file", "", "c1")], [call("read_file", "{not json", "c2")],
                                  [call("read_file", {"path": "ü.py"}, "c3")], DONE]})
    agent = guard_agent(Agent(name="coder", model=model, tools=tools), PolicyGuardrail(policy, trace_file=str(trace)))
    run(agent, "go")
    lines = [json.loads(line) for line in trace.read_text().splitlines()]
    assert [{k: v for k, v in line.items() if k != "session"} for line in lines] == [
        {"tool": "read_file"}, {"args": "{not json", "tool": "read_file"}, {"args": {"path": "ü.py"}, "tool": "read_file"}]
    # One run: one session key on every line.
    assert len({line["session"] for line in lines}) == 1


def test_each_run_has_its_own_session(policy, tools, tmp_path):
    model = ScriptedModel({"read": [[call("read_file", {"path": "a.py"}, "c1")], DONE],
                           "edit": [[call("edit_file", {"path": "a.py"}, "c1")], DONE]})
    guardrail = PolicyGuardrail(policy, trace_dir=tmp_path / "traces")
    agent = guard_agent(Agent(name="coder", model=model, tools=tools), guardrail)
    first = run(agent, "read")
    second = run(agent, "edit")
    assert decisions(second)[0].blocked_by == "before_read_file_then_edit_file"
    files = sorted((tmp_path / "traces").iterdir())
    assert len(files) == 2 and all(re.fullmatch(r"[0-9a-f]{32}\.jsonl", f.name) for f in files)
    # A run's session goes with the run's context.
    assert len(guardrail.runs) == 2
    del first, second
    gc.collect()
    assert len(guardrail.runs) == 0


def test_concurrent_runs_do_not_mix(policy, tools, ran):
    read_then_edit = [[call("read_file", {"path": "a.py"}, "c1")], [call("edit_file", {"path": "a.py"}, "c2")], DONE]
    model = ScriptedModel({"one": read_then_edit, "two": read_then_edit,
                           "three": [[call("edit_file", {"path": "b.py"}, "c1")], DONE]})
    agent = guard_agent(Agent(name="coder", model=model, tools=tools), PolicyGuardrail(policy))

    async def together():
        return await asyncio.gather(*(Runner.run(agent, p) for p in ["one", "two", "three"]))

    one, two, three = asyncio.run(together())
    assert [[d.verdict for d in decisions(r)] for r in (one, two, three)] == [
        ["allowed", "allowed"], ["allowed", "allowed"], ["blocked"]]
    assert [d.step for d in decisions(two)] == [0, 1]


def test_an_agent_used_as_a_tool_runs_within_the_calling_run(policy, tools, ran, tmp_path):
    trace = tmp_path / "run.jsonl"
    read_file, edit_file = tools[0], tools[1]
    inner = Agent(name="inner", model=ScriptedModel({"edit a.py": [[call("edit_file", {"path": "a.py"}, "i1")], DONE]}),
                  tools=[edit_file])
    outer_model = ScriptedModel({"go": [[call("read_file", {"path": "a.py"}, "c1")],
                                        [call("coder", {"input": "edit a.py"}, "c2")], DONE]})
    guardrail = PolicyGuardrail(policy, trace_file=str(trace))
    guarded_inner = guard_agent(inner, guardrail)
    outer = Agent(name="outer", model=outer_model,
                  tools=[read_file, guarded_inner.as_tool(tool_name="coder", tool_description="Edits code.")])
    run(guard_agent(outer, guardrail), "go")
    assert ran == [("read_file", "a.py"), ("edit_file", "a.py")]
    assert [(t, v) for _, t, v, _ in explained(policy, trace)] == [
        ("read_file", "allowed"), ("coder", "allowed"), ("edit_file", "allowed")]


def test_guard_agent_reaches_every_function_tool_and_changes_nothing_of_the_callers(policy, tools):
    read_file, edit_file, force_push, run_tests = tools

    @tool_input_guardrail
    def their_own(data):
        return ToolGuardrailFunctionOutput.allow()

    run_tests.tool_input_guardrails = [their_own]
    billing = Agent(name="billing", tools=[force_push])
    support = Agent(name="support", tools=[edit_file, run_tests], handoffs=[handoff(billing)])
    triage = Agent(name="triage", tools=[read_file], handoffs=[support])
    billing.handoffs = [triage]  # a cycle
    guardrail = PolicyGuardrail(policy)
    guarded = guard_agent(triage, guardrail)
    assert guarded is not triage
    # The caller's agents and tools are as they were.
    assert [t.tool_input_guardrails for t in (read_file, edit_file, force_push)] == [None] * 3
    assert run_tests.tool_input_guardrails == [their_own]
    assert triage.tools == [read_file] and triage.handoffs == [support] and billing.handoffs == [triage]
    # The copies list the guardrail, once, beside a tool's own.
    (support_copy,) = guarded.handoffs
    (billing_handoff,) = support_copy.handoffs
    billing_copy = billing_handoff._agent_ref()
    assert support_copy is not support and billing_copy is not billing and billing_copy.handoffs == [guarded]
    assert [t.tool_input_guardrails for t in (guarded.tools[0], support_copy.tools[0], billing_copy.tools[0])] == [
        [guardrail]] * 3
    assert support_copy.tools[1].tool_input_guardrails == [their_own, guardrail]
    # Guarding a guarded agent adds nothing.
    again = guard_agent(guarded, guardrail)
    assert again.tools[0].tool_input_guardrails == [guardrail]
    assert asyncio.run(billing_handoff.on_invoke_handoff(None, "{}")) is billing_copy


def test_bad_arguments(policy, tmp_path):
    with pytest.raises(ValueError, match="^give trace_file or trace_dir, not both$"):
        PolicyGuardrail(policy, trace_file="a.jsonl", trace_dir=tmp_path)
    with pytest.raises(TypeError, match="^argument 'guard': expected an ostik.Guard or ostik.Policy, got 'NoneType'$"):
        PolicyGuardrail(None)


def test_the_documented_example(tools, ran, tmp_path, monkeypatch):
    (block,) = code(section(page("frameworks.md"), "OpenAI Agents SDK"), "python")
    monkeypatch.chdir(tmp_path)
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    model = ScriptedModel({"Fix the date parser": [[call("read_file", {"path": "src/dates.py"}, "c1")],
                                                   [call("force_push", {"branch": "main"}, "c2")], DONE]})
    namespace = {"model": model, "tools": tools}
    exec(block, namespace)
    assert ran == [("read_file", "src/dates.py")]
    assert outputs(model)["c2"] == "'force_push' is not allowed."
    (recorded,) = (tmp_path / "traces").iterdir()
    assert [json.loads(line)["tool"] for line in recorded.read_text().splitlines()] == ["read_file", "force_push"]
