"""Claude Code as the Claude Agent SDK sees it over its transport: a scripted model and tools, no process.

The SDK speaks to Claude Code through a ``Transport`` (JSON messages both
ways): it sends ``initialize`` with the ids of its hook callbacks and the
user's prompt; Claude Code streams the model's messages and asks the SDK's
hooks (``control_request`` "hook_callback") as it runs tools. This one runs a
script of model turns: for each tool use it asks the PreToolUse hooks, runs
the tool unless a hook denied it (the denial's reason becomes the tool's error
result, as Claude Code does), or, when a hook answers "ask", asks the SDK's
permission callback (``control_request`` "can_use_tool") and runs the tool if
it allows, asks the PostToolUse hooks (PostToolUseFailure, with the error, for
a tool that raised), and at the end asks
the Stop hooks and sends the result."""

import asyncio
import json

import anyio
from claude_agent_sdk._internal.transport import Transport


class ScriptedClaudeCode(Transport):
    def __init__(self, script, tools, session_id="session-1", prompt_id="prompt-1"):
        self.script = script
        self.tools = tools
        self.session_id = session_id
        self.prompt_id = prompt_id
        self.ran = []
        self.results = {}
        self.stopped = False
        self.asked = []
        self._send, self._receive = anyio.create_memory_object_stream(1000)
        self._pending = {}
        self._hooks = {}
        self._requests = 0
        self._task = None

    async def connect(self):
        pass

    def is_ready(self):
        return True

    async def end_input(self):
        pass

    async def close(self):
        pass

    async def read_messages(self):
        async with self._receive:
            async for message in self._receive:
                yield message

    async def write(self, data):
        for line in data.splitlines():
            message = json.loads(line)
            request = message.get("request", {})
            if message["type"] == "control_request" and request.get("subtype") == "initialize":
                self._hooks = {event: [i for matcher in matchers for i in matcher["hookCallbackIds"]]
                               for event, matchers in (request.get("hooks") or {}).items()}
                await self._send.send({"type": "control_response", "response": {
                    "subtype": "success", "request_id": message["request_id"], "response": {}}})
            elif message["type"] == "control_response":
                self._pending.pop(message["response"]["request_id"]).set_result(message["response"])
            elif message["type"] == "user":
                self._task = asyncio.get_running_loop().create_task(self._run())

    async def _request(self, request):
        self._requests += 1
        request_id = f"cli-{self._requests}"
        future = self._pending[request_id] = asyncio.get_running_loop().create_future()
        await self._send.send({"type": "control_request", "request_id": request_id, "request": request})
        response = await future
        return response.get("response") or {}

    async def _hook(self, event, fields):
        answer = {}
        for callback in self._hooks.get(event, []):
            self._requests += 1
            request_id = f"cli-{self._requests}"
            future = self._pending[request_id] = asyncio.get_running_loop().create_future()
            await self._send.send({"type": "control_request", "request_id": request_id, "request": {
                "subtype": "hook_callback", "callback_id": callback, "tool_use_id": fields.get("tool_use_id"),
                "input": {"session_id": self.session_id, "prompt_id": self.prompt_id, "transcript_path": "",
                          "cwd": "/", "hook_event_name": event, **fields}}})
            response = await future
            answer.update(response.get("response") or {})
        return answer

    async def _run(self):
        stopped = False
        for turn in self.script:
            await self._send.send({"type": "assistant", "session_id": self.session_id, "message": {
                "model": "scripted", "content": [{"type": "tool_use", "id": i, "name": n, "input": a}
                                                 for n, a, i in turn]}})
            results = []
            for name, args, call_id in turn:
                answer = await self._hook("PreToolUse", {"tool_name": name, "tool_input": args,
                                                         "tool_use_id": call_id})
                decision = answer.get("hookSpecificOutput", {})
                if decision.get("permissionDecision") == "ask":
                    permission = await self._request({"subtype": "can_use_tool", "tool_name": name, "input": args,
                                                      "tool_use_id": call_id, "permission_suggestions": [],
                                                      "decision_reason": decision.get("permissionDecisionReason")})
                    self.asked.append(call_id)
                    if permission.get("behavior") == "allow":
                        decision = {}
                        args = permission.get("updatedInput") or args
                    else:
                        decision = {"permissionDecision": "deny", "permissionDecisionReason": permission.get("message", "")}
                if decision.get("permissionDecision") == "deny":
                    content = decision["permissionDecisionReason"]
                    results.append({"type": "tool_result", "tool_use_id": call_id, "content": content,
                                    "is_error": True})
                else:
                    self.ran.append(name)
                    try:
                        content = self.tools[name](**args)
                    except Exception as error:
                        # A tool that fails: its error is the call's result, and the failure hooks are asked.
                        content = str(error)
                        await self._hook("PostToolUseFailure", {"tool_name": name, "tool_input": args,
                                                                "tool_use_id": call_id, "error": content})
                        results.append({"type": "tool_result", "tool_use_id": call_id, "content": content,
                                        "is_error": True})
                    else:
                        await self._hook("PostToolUse", {"tool_name": name, "tool_input": args,
                                                         "tool_use_id": call_id, "tool_response": content})
                        results.append({"type": "tool_result", "tool_use_id": call_id, "content": content})
                self.results[call_id] = content
                if answer.get("continue") is False:
                    stopped = self.stopped = True
                    break
            await self._send.send({"type": "user", "session_id": self.session_id,
                                   "message": {"role": "user", "content": results}})
            if stopped:
                break
        if not stopped:
            await self._send.send({"type": "assistant", "session_id": self.session_id,
                                   "message": {"model": "scripted", "content": [{"type": "text", "text": "done"}]}})
        await self._hook("Stop", {"stop_hook_active": False})
        await self._send.send({"type": "result", "subtype": "success", "duration_ms": 1, "duration_api_ms": 1,
                               "is_error": False, "num_turns": len(self.script), "session_id": self.session_id})
        await self._send.aclose()


def tools():
    return {"read_file": lambda path: f"content of {path}", "run_tests": lambda: "12 passed",
            "git_commit": lambda: "committed", "git_push": lambda branch: f"pushed {branch}"}


async def run(options, script, tool_set=None, **ids):
    from claude_agent_sdk import query

    cli = ScriptedClaudeCode(script, tool_set or tools(), **ids)
    messages = [message async for message in query(prompt="go", options=options, transport=cli)]
    return cli, messages
