"""GuardedRuns, what every adapter decides with: keys, turns in the model's order, stores, trace lines per key."""

import hashlib
import json
import subprocess
import sys

import pytest
from adapter_cases import policy

import ostik
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
