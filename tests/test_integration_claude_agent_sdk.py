"""GuardHooks in real Claude Agent SDK queries, over a scripted Claude Code transport (no process, no network)."""

import asyncio
import json
import dataclasses
import logging

import pytest
from adapter_cases import (COMMIT_WITH_TESTS, READS_THEN_COMMIT, expected, explains_clean, observed_warnings, policy,
                           ran_tools, recorded)
from claude_agent_sdk import ClaudeAgentOptions, HookMatcher, ResultMessage
from claude_cli import run

import ostik
from ostik.integrations.claude_agent_sdk import GuardHooks, guard_options


@pytest.fixture
def guard(tmp_path):
    return ostik.Guard(policy(tmp_path))


def query(hooks, script, **ids):
    return asyncio.run(run(guard_options(ClaudeAgentOptions(), hooks), script, **ids))


@pytest.mark.parametrize("script", [READS_THEN_COMMIT, COMMIT_WITH_TESTS], ids=["reads", "parallel"])
def test_a_refused_call_does_not_run_is_not_counted_and_claude_is_told_why(guard, tmp_path, script):
    trace = tmp_path / "run.jsonl"
    cli, messages = query(GuardHooks(guard, trace_file=trace), script)
    answers = expected(guard, script)
    assert cli.ran == ran_tools(answers)
    for call_id, (tool, message) in answers.items():
        if message is not None:
            assert cli.results[call_id] == message
    assert isinstance(messages[-1], ResultMessage)
    # The file holds the executed calls (the refused ones as refused attempts), and explains to every call allowed.
    (steps,) = recorded(trace)
    assert [step["tool"] for step in steps] == cli.ran
    assert explains_clean(tmp_path / "policy.yaml", trace)[0] == 0


def test_the_third_read_is_told_a_message_with_no_rule_id(guard):
    cli, _ = query(GuardHooks(guard), READS_THEN_COMMIT)
    assert cli.results["c3"] == ("'read_file' may be called at most 2 times in this run and has been called 2 times; "
                                 "do not call it again.")
    assert cli.ran == ["read_file", "read_file", "run_tests", "git_commit"]


@pytest.mark.parametrize("scope, commit_runs", [("run", False), ("thread", True)])
def test_prompts_of_one_conversation_share_a_session_in_thread_scope(guard, tmp_path, scope, commit_runs):
    hooks = GuardHooks(guard, scope=scope, trace_dir=tmp_path / "traces")
    first, _ = query(hooks, [[("run_tests", {}, "t1")]], prompt_id="p1")
    second, _ = query(hooks, [[("git_commit", {}, "t2")]], prompt_id="p2")
    assert first.ran == ["run_tests"]
    assert second.ran == (["git_commit"] if commit_runs else [])
    files = sorted(p.name for p in (tmp_path / "traces").iterdir())
    assert files == (["session-1.jsonl"] if scope == "thread" else ["p1.jsonl", "p2.jsonl"])
    # A run's session goes when Claude Code stops; a conversation's stays for its next prompt.
    assert len(hooks.runs) == (1 if scope == "thread" else 0)


def test_observe_mode_refuses_nothing_and_logs_what_it_would_have(guard, caplog):
    with caplog.at_level(logging.WARNING, logger="ostik"):
        cli, _ = query(GuardHooks(guard, mode="observe"), READS_THEN_COMMIT)
    assert cli.ran == ["read_file"] * 3 + ["run_tests", "git_commit"]
    assert [r.getMessage() for r in caplog.records if r.name == "ostik"] == observed_warnings(guard, READS_THEN_COMMIT)


def test_raise_on_block_stops_the_agent(guard):
    cli, _ = query(GuardHooks(guard, raise_on_block=True), READS_THEN_COMMIT)
    assert cli.stopped and cli.ran == ["read_file", "read_file"]


def test_a_call_id_is_judged_once_and_results_are_handed_over(guard):
    hooks = GuardHooks(guard, scope="thread")
    fields = {"session_id": "s", "transcript_path": "", "cwd": "/", "hook_event_name": "PreToolUse",
              "tool_name": "read_file", "tool_input": {"path": "a.py"}, "tool_use_id": "u1"}

    async def twice():
        return [await hooks.pre_tool_use(fields, "u1", {"signal": None}) for _ in range(3)]

    assert asyncio.run(twice()) == [{}, {}, {}]
    assert hooks.runs.session("s").steps == 1
    asyncio.run(hooks.post_tool_use({**fields, "hook_event_name": "PostToolUse", "tool_response": "text"}, "u1",
                                    {"signal": None}))
    assert [(r.call_id, r.tool, r.result) for r in hooks.runs.results("s")] == [("u1", "read_file", "text")]


def test_guard_options_leaves_the_callers_options_alone(guard):
    async def mine(data, tool_use_id, context):
        return {}

    options = ClaudeAgentOptions(hooks={"PreToolUse": [HookMatcher(matcher="Bash", hooks=[mine])]}, max_turns=3)
    before = dataclasses.replace(options, hooks={k: list(v) for k, v in options.hooks.items()})
    hooks = GuardHooks(guard)
    guarded = guard_options(options, hooks)
    assert options == before
    assert guarded.max_turns == 3
    assert [m.hooks for m in guarded.hooks["PreToolUse"]] == [[hooks.pre_tool_use], [mine]]
    assert set(guarded.hooks) == {"PreToolUse", "PostToolUse", "PostToolUseFailure", "Stop"}


def test_bad_options(guard):
    with pytest.raises(ValueError, match="mode"):
        GuardHooks(guard, mode="shadow")
    with pytest.raises(ValueError, match="scope"):
        GuardHooks(guard, scope="user")
    with pytest.raises(TypeError, match="ostik.Guard or ostik.Policy"):
        GuardHooks("policy.yaml")


def test_the_documented_example(tmp_path, monkeypatch):
    from docs_text import code, page, section

    import claude_agent_sdk
    from adapter_cases import ROOT
    from claude_cli import ScriptedClaudeCode, tools

    (block,) = code(section(page("frameworks.md"), "Claude Agent SDK"), "python")
    monkeypatch.chdir(tmp_path)
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    cli = ScriptedClaudeCode([[("read_file", {"path": "src/dates.py"}, "c1")], [("force_push", {}, "c2")]],
                             {**tools(), "force_push": lambda: "pushed"})
    real_query = claude_agent_sdk.query
    monkeypatch.setattr(claude_agent_sdk, "query", lambda **kwargs: real_query(**kwargs, transport=cli))
    namespace: dict = {}
    exec(block, namespace)
    asyncio.run(namespace["fix"]())
    assert cli.ran == ["read_file"] and cli.results["c2"] == "'force_push' is not allowed."
    (recorded_file,) = (tmp_path / "traces").iterdir()
    assert [json.loads(line)["tool"] for line in recorded_file.read_text().splitlines()] == ["read_file", "force_push"]
