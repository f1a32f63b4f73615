"""GuardedRuns, what every adapter decides with: keys, turns in the model's order, stores, trace lines per key."""

import hashlib
import json
import subprocess
import sys

import pytest
from adapter_cases import policy

import ostik
import ostik.formats
from ostik.integrations.runs import Call, GuardedRuns, file_name_of


@pytest.fixture
def guard(tmp_path):
    return ostik.Guard(policy(tmp_path))


TURN = [Call("p1", "git_commit", {}), Call("p2", "run_tests", {}), Call("p3", "git_commit", {})]


@pytest.mark.parametrize("order", [[0, 1, 2], [2, 1, 0], [1, 2, 0], [2, 0, 1]])
def test_a_turns_calls_are_decided_in_the_listed_order_whichever_comes_first(guard, order):
    runs = GuardedRuns(guard)
    decisions = {TURN[i].call_id: runs.decide("k", TURN[i].tool, TURN[i].args, TURN[i].call_id, TURN)
                 for i in order}
    # The commit listed before the tests is refused, the one after them allowed, in every order.
    assert {call_id: d.allowed for call_id, d in decisions.items()} == {"p1": False, "p2": True, "p3": True}
    assert runs.session("k").steps == 2


def test_a_call_the_turn_does_not_list_is_decided_alone(guard):
    runs = GuardedRuns(guard)
    assert runs.decide("k", "git_commit", {}, "other", TURN).allowed is False
    assert runs.session("k").steps == 0


def test_a_call_id_seen_again_is_neither_counted_nor_written_again(guard, tmp_path):
    runs = GuardedRuns(guard, trace_file=tmp_path / "t.jsonl")
    for _ in range(3):
        runs.decide("k", "read_file", {"path": "a"}, "r1")
    assert runs.session("k").steps == 1
    assert len((tmp_path / "t.jsonl").read_text().splitlines()) == 1


@pytest.mark.parametrize("key, name", [
    ("chat-7", "chat-7.jsonl"), ("a.b_c", "a.b_c.jsonl"),
    ("../escape", None), ("a/b", None), ("", None), (".", None), ("x" * 200, None), ("é", None)])
def test_a_key_names_its_file_when_it_is_a_plain_name(key, name):
    assert file_name_of(key) == (name or hashlib.sha256(key.encode()).hexdigest() + ".jsonl")


def test_sessions_sharing_one_file_read_back_apart_and_explain_as_they_were_decided(guard, tmp_path):
    trace = tmp_path / "all.jsonl"
    runs = GuardedRuns(guard, trace_file=trace)
    live = {}
    for n in range(3):
        for key in ("a", "b"):
            d = runs.decide(key, "read_file", {"n": n}, f"{key}{n}")
            live.setdefault(key, []).append(d.allowed)
    assert live == {"a": [True, True, False], "b": [True, True, False]}
    assert [json.loads(line)["session"] for line in trace.read_text().splitlines()] == ["a", "b"] * 3
    traces = ostik.formats.read_file(str(trace)).traces
    assert [(t.place, len(t.steps), len(t.refused)) for t in traces] == [('session "a"', 2, 1), ('session "b"', 2, 1)]
    result = subprocess.run([sys.executable, "-m", "ostik", "test", str(tmp_path / "policy.yaml"), str(trace)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr


def test_a_store_carries_a_key_between_adapters(guard):
    store = ostik.MemoryStore()
    first, second = GuardedRuns(guard, scope="thread", store=store), GuardedRuns(guard, scope="thread", store=store)
    first.decide("chat", "run_tests", {}, "t1")
    assert second.decide("chat", "git_commit", {}, "c1").allowed
    assert GuardedRuns(guard, store=ostik.MemoryStore()).decide("chat", "git_commit", {}, "c1").allowed is False


def test_observe_mode_refuses_nothing(guard):
    runs = GuardedRuns(guard, mode="observe")
    decision = runs.decide("k", "git_commit", {}, "c1")
    assert decision.allowed is False and runs.refuses(decision) is False
    assert GuardedRuns(guard).refuses(decision) is True


def test_results_are_kept_for_the_session(guard):
    runs = GuardedRuns(guard)
    runs.decide("k", "read_file", {}, "r0")
    for n in range(70):
        runs.record_result("k", f"r{n}", "read_file", n)
    runs.record_result("unknown", "x", "read_file", 1)
    kept = runs.results("k")
    assert len(kept) == 64 and (kept[0].call_id, kept[-1].result) == ("r6", 69)
    assert runs.results("unknown") == []


def test_bad_options(guard, tmp_path):
    with pytest.raises(ValueError, match="^mode must be 'enforce' or 'observe', not 'shadow'$"):
        GuardedRuns(guard, mode="shadow")
    with pytest.raises(ValueError, match="^scope must be 'run' or 'thread', not 'user'$"):
        GuardedRuns(guard, scope="user")
    with pytest.raises(ValueError, match="^give trace_file or trace_dir, not both$"):
        GuardedRuns(guard, trace_file="a.jsonl", trace_dir=tmp_path)
    with pytest.raises(TypeError, match="ostik.Guard or ostik.Policy"):
        GuardedRuns("policy.yaml")


FLOWS = """\
version: "1"
labels: {untrusted: [read_email], external: [send_money]}
flows:
  - {from: untrusted, to: external, min_length: 12, args: [recipient]}
"""
IBAN = "US133000000121212121212"
OTHER = "FR1420041010050500013M02606"
# Flows are judged by builds of the core that take results.
needs_flows = pytest.mark.skipif(not hasattr(ostik.Session, "record_result"), reason="this build judges no flows")


@pytest.fixture
def flow_guard(write_policy):
    return ostik.Guard.from_file(write_policy(FLOWS))


class Mail:
    """A framework's own result object, with no JSON form."""

    def __str__(self):
        return f"Mail(body='pay {IBAN} today')"


@needs_flows
@pytest.mark.parametrize("store", [False, True], ids=["memory", "store"])
@pytest.mark.parametrize("call_id", ["c1", None], ids=["by-id", "without-id"])
@pytest.mark.parametrize("result", [{"body": f"pay {IBAN} today"}, f"pay {IBAN} today".encode(), Mail()],
                         ids=["json", "bytes", "object"])
def test_a_result_handed_over_refuses_a_later_call_that_carries_it(flow_guard, tmp_path, store, call_id, result):
    runs = GuardedRuns(flow_guard, store=ostik.SqliteStore(str(tmp_path / "s.db")) if store else None)
    assert runs.decide("k", "read_email", {"id": "7"}, call_id).allowed
    runs.record_result("k", call_id, "read_email", result)
    assert not runs.decide("k", "send_money", {"recipient": IBAN}, "c2").allowed
    assert runs.decide("k", "send_money", {"recipient": OTHER}, "c3").allowed


@needs_flows
def test_a_pydantic_models_result_is_handed_over_as_its_json_dump(flow_guard):
    from pydantic import BaseModel

    class Email(BaseModel):
        sender: str
        body: str

    runs = GuardedRuns(flow_guard)
    runs.decide("k", "read_email", {}, "c1")
    runs.record_result("k", "c1", "read_email", Email(sender="a@b.example", body=f"pay {IBAN}"))
    assert runs.results("k")[0].result == {"sender": "a@b.example", "body": f"pay {IBAN}"}
    assert not runs.decide("k", "send_money", {"recipient": IBAN}, "c2").allowed


@needs_flows
def test_a_result_of_a_call_the_session_never_counted_goes_nowhere(flow_guard, tmp_path):
    trace = tmp_path / "t.jsonl"
    runs = GuardedRuns(flow_guard, trace_file=trace)
    runs.decide("k", "read_email", {}, "c1")
    runs.record_result("k", "c1", "read_email", f"pay {IBAN}")
    assert not runs.decide("k", "send_money", {"recipient": IBAN}, "c2").allowed
    lines = trace.read_text().splitlines()
    # A refused call has no result, nor has a call never decided: nothing is raised, nothing written.
    runs.record_result("k", "c2", "send_money", "sent")
    runs.record_result("k", "never", "read_email", "text")
    assert trace.read_text().splitlines() == lines


@needs_flows
@pytest.mark.parametrize("mode", ["enforce", "observe"])
def test_the_trace_file_holds_each_result_after_its_step_and_judges_as_the_session_did(flow_guard, tmp_path, mode):
    trace = tmp_path / "t.jsonl"
    runs = GuardedRuns(flow_guard, mode=mode, trace_file=trace)
    runs.decide("k", "read_email", {"id": "7"}, "c1")
    runs.record_result("k", "c1", "read_email", f"pay {IBAN} today", is_error=True)
    live = runs.decide("k", "send_money", {"recipient": IBAN}, "c2")
    assert not live.allowed
    lines = [json.loads(line) for line in trace.read_text().splitlines()]
    # A shared trace file names each line's session.
    assert lines[:2] == [{"tool": "read_email", "args": {"id": "7"}, "session": "k"},
                         {"result": f"pay {IBAN} today", "result_of": 0, "is_error": True, "session": "k"}]
    (steps,) = ostik.formats.read(str(trace), "ostik")
    judged = flow_guard.judge(steps)
    if mode == "observe":
        # The call ran: a step of the file, blocked offline by the rule that refused it live.
        assert [(d.verdict, d.blocked_by) for d in judged.decisions][1] == ("blocked", live.blocked_by)
    else:
        # The call never ran: a refused line, no step.
        assert len(steps) == 1 and judged.passed
