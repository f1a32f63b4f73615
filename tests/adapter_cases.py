"""What the framework adapters' tests share: the policy of the runs they replay, and what those runs should give.

The policy allows read_file, run_tests and git_commit, at most 2 reads, and no
commit before tests. A guard that enforces it refuses a call without counting
it, so after a refused third read the tests and the commit still pass."""

import asyncio
import functools
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


# ---- The tools and scripted models of the runs, one per framework ----

def plain_tools(ran, names=("read_file", "run_tests", "git_commit")):
    """The named tools as plain functions, each noting its name in `ran` when it runs; a framework wraps them
    in its own tool objects (or takes them as they are)."""

    def read_file(path: str) -> str:
        """Reads a file."""
        ran.append("read_file")
        return f"content of {path}"

    def run_tests() -> str:
        """Runs the tests."""
        ran.append("run_tests")
        return "12 passed"

    def git_push(branch: str) -> str:
        """Pushes."""
        ran.append("git_push")
        return f"pushed {branch}"

    def git_commit() -> str:
        """Commits."""
        ran.append("git_commit")
        return "committed"

    known = {f.__name__: f for f in (read_file, run_tests, git_push, git_commit)}
    return [known[name] for name in names]


ASK_TOOLS = ("run_tests", "git_push", "git_commit")


@functools.cache
def langchain_model():
    """A LangChain chat model (the class; `script=` a list of turns) that answers with the script's turn for
    the number of model turns in the conversation so far, then "done"."""
    from langchain_core.language_models.chat_models import BaseChatModel
    from langchain_core.messages import AIMessage
    from langchain_core.outputs import ChatGeneration, ChatResult

    class ScriptedModel(BaseChatModel):
        script: list

        @property
        def _llm_type(self):
            return "scripted"

        def bind_tools(self, tools, **kwargs):
            return self

        def _generate(self, messages, stop=None, run_manager=None, **kwargs):
            turn = sum(isinstance(m, AIMessage) for m in messages)
            calls = self.script[turn] if turn < len(self.script) else []
            message = AIMessage(content="" if calls else "done",
                                tool_calls=[{"name": n, "args": a, "id": i} for n, a, i in calls])
            return ChatResult(generations=[ChatGeneration(message=message)])

    return ScriptedModel


@functools.cache
def openai_agents_model():
    """An OpenAI Agents SDK model (the class; made with the script) that answers with the script's turns in
    order, then "done"; `outputs` keeps what each call's output was, by call id, as the model received it."""
    from agents.items import ModelResponse
    from agents.models.interface import Model
    from agents.usage import Usage
    from openai.types.responses import ResponseFunctionToolCall, ResponseOutputMessage, ResponseOutputText

    class ScriptedModel(Model):
        def __init__(self, script):
            self.turns = iter(script)
            self.outputs = {}

        async def get_response(self, system_instructions, input, model_settings, tools, output_schema, handoffs,
                               tracing, *, previous_response_id=None, conversation_id=None, prompt=None):
            await asyncio.sleep(0)
            if not isinstance(input, str):
                self.outputs.update({i["call_id"]: i["output"] for i in input
                                     if i.get("type") == "function_call_output"})
            calls = next(self.turns, [])
            output = [ResponseFunctionToolCall(id=i, call_id=i, type="function_call", name=n,
                                               arguments=json.dumps(a)) for n, a, i in calls] or [
                ResponseOutputMessage(id="m", type="message", role="assistant", status="completed",
                                      content=[ResponseOutputText(text="done", type="output_text", annotations=[])])]
            return ModelResponse(output=output, usage=Usage(), response_id=None)

        def stream_response(self, *args, **kwargs):
            raise NotImplementedError

    return ScriptedModel


@functools.cache
def adk_model():
    """A Google ADK model (the class; `script=`, and `turns={}` for its own count) that answers each model
    request with the next turn of its script: its calls, then "done"."""
    from typing import AsyncGenerator

    from google.adk.models.base_llm import BaseLlm
    from google.adk.models.llm_request import LlmRequest
    from google.adk.models.llm_response import LlmResponse
    from google.genai import types

    class ScriptedModel(BaseLlm):
        script: list = []
        turns: dict = {}

        async def generate_content_async(self, llm_request: LlmRequest,
                                         stream: bool = False) -> AsyncGenerator[LlmResponse, None]:
            await asyncio.sleep(0)
            turn = self.turns.get("n", 0)
            self.turns["n"] = turn + 1
            calls = self.script[turn] if turn < len(self.script) else []
            if not calls:
                yield LlmResponse(content=types.Content(role="model", parts=[types.Part(text="done")]))
                return
            yield LlmResponse(content=types.Content(role="model", parts=[
                types.Part(function_call=types.FunctionCall(id=call_id, name=name, args=args))
                for name, args, call_id in calls]))

    return ScriptedModel
