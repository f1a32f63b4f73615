"""Flows judged by the accumulators (audit, coverage, diff) from the steps' "result" keys: every
count held to the verdicts Guard.judge and a live session give, on the scenarios of
tests/data/flows and on random sessions; their bytes; and the commands built on them."""

import json
import pickle
import random
import subprocess
import sys
from functools import cache
from pathlib import Path

import pytest

import ostik
import ostik.formats
from ostik import AuditAccumulator, CoverageAccumulator, DiffAccumulator, Guard, policy_bytes
from ostik._inspect import policy_records, rule_id

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "tests" / "data" / "flows"
EXPECTED = json.loads((DATA / "expected.json").read_text(encoding="utf-8"))
SUITES = sorted({name.split("/")[0] for name in EXPECTED})


@cache
def suite_guard(suite):
    return Guard.from_file(str(DATA / suite / "policy.yaml"))


@cache
def suite_runs(suite):
    """(name, steps) of every run of a suite, in name order."""
    names = sorted(name for name in EXPECTED if name.startswith(suite + "/"))
    return [(name, ostik.formats.read(str(DATA / name), "ostik")[0]) for name in names]


def judged_counts(guard, traces):
    """What Guard.judge makes of the traces, as an audit counts it."""
    judged = [guard.judge(trace) for trace in traces]
    blocked_by = {}
    for judgement in judged:
        for decision in judgement.decisions:
            if decision.verdict == "blocked":
                blocked_by[decision.blocked_by] = blocked_by.get(decision.blocked_by, 0) + 1
    return {"failed_traces": sum(not j.passed for j in judged), "blocked_steps": sum(j.blocked_steps for j in judged),
            "asked_steps": sum(j.asked_steps for j in judged), "blocked_by": blocked_by,
            "failing": [i for i, j in enumerate(judged) if not j.passed]}


def audit_counts(summary):
    return {"failed_traces": summary["failed_traces"], "blocked_steps": summary["blocked_steps"],
            "asked_steps": summary["asked_steps"], "blocked_by": summary["blocked_by"],
            "failing": [f["ref"] for f in summary["failing"]]}


def triggered_by_decisions(guard, decisions):
    """Each entry's triggered count, from the failures of the decisions alone."""
    counts = {entry["rule_id"]: 0 for entry in guard.entries}
    for decision in decisions:
        for failure in decision.failures:
            if failure.rule_id in counts:
                counts[failure.rule_id] += 1
    return counts


@pytest.mark.parametrize("suite", SUITES)
def test_the_audit_of_a_suite_counts_what_guard_judge_decides(suite):
    guard = suite_guard(suite)
    traces = [steps for _, steps in suite_runs(suite)]
    audit = AuditAccumulator(guard)
    audit.add_many(traces, list(range(len(traces))))
    expected = judged_counts(guard, traces)
    assert audit_counts(audit.summary()) == expected
    # The scenarios' own verdicts: the flows did block and ask.
    verdicts = [v for name, _ in suite_runs(suite) for v in EXPECTED[name]["verdicts"].values()]
    assert expected["blocked_steps"] == verdicts.count("blocked") and expected["asked_steps"] == verdicts.count("ask")
    # Added one at a time, and merged in pieces, the counts are the same.
    pieces = [AuditAccumulator(guard.policy) for _ in range(3)]
    for i, trace in enumerate(traces):
        pieces[i % 3].add(trace, i)
    merged = pieces[0]
    merged.merge(pieces[1])
    merged.merge(pieces[2])
    assert merged.summary() == audit.summary()


@pytest.mark.parametrize("suite", SUITES)
def test_flow_entries_are_reached_and_triggered_in_the_coverage(suite):
    guard = suite_guard(suite)
    traces = [steps for _, steps in suite_runs(suite)]
    coverage = CoverageAccumulator(guard)
    coverage.add_many(traces)
    entries = coverage.entry_coverage()
    assert entries == guard.entry_coverage(traces)
    decisions = [d for trace in traces for d in guard.judge(trace).decisions]
    assert {e["rule_id"]: e["triggered"] for e in entries} == triggered_by_decisions(guard, decisions)
    flows = [e for e in entries if e["rule_type"] == "flow"]
    assert flows and sum(e["triggered"] for e in flows) > 0
    assert all(e["reached"] >= e["triggered"] for e in entries)
    # Pieces merged through bytes count alike.
    halves = [CoverageAccumulator(guard) for _ in range(2)]
    for i, trace in enumerate(traces):
        halves[i % 2].add(trace)
    back = CoverageAccumulator.from_bytes(guard, halves[0].to_bytes())
    back.merge(pickle.loads(pickle.dumps(halves[1])))
    assert back.entry_coverage() == entries


def without_flows(suite, tmp_path):
    """The suite's policy less its data-flow sections."""
    text = (DATA / suite / "policy.yaml").read_text(encoding="utf-8")
    path = tmp_path / f"{suite}-plain.yaml"
    path.write_text(text[:text.index("\nlabels:")] + "\n", encoding="utf-8")
    return Guard.from_file(str(path))


@pytest.mark.parametrize("suite", SUITES)
def test_the_diff_of_adding_the_flows_lists_the_steps_they_block_or_ask_about(suite, tmp_path):
    guard = suite_guard(suite)
    plain = without_flows(suite, tmp_path)
    assert not plain.has_flows and guard.has_flows
    runs = suite_runs(suite)
    diff = DiffAccumulator(plain, guard, keep=1000)
    diff.add_many([steps for _, steps in runs], [name for name, _ in runs])
    summary = diff.summary()
    changed = {}
    for trace in summary["changed"]:
        for change in trace["changes"]:
            for step in [change["step"], *change["later_steps"]]:
                assert change["old"] is None
                changed[(trace["ref"], step)] = change["new"]["verdict"]
    expected = {(name, int(step)): verdict for name, _ in runs for step, verdict in EXPECTED[name]["verdicts"].items()}
    assert changed == expected
    assert summary["newly_blocked_steps"] == list(expected.values()).count("blocked")
    assert summary["newly_asked_steps"] == list(expected.values()).count("ask")
    # Each change names the flow and gives the reason Guard.judge gives.
    for trace in summary["changed"]:
        steps = dict(runs)[trace["ref"]]
        decisions = guard.judge(steps).decisions
        for change in trace["changes"]:
            decision = decisions[change["step"]]
            assert (change["new"]["rule_id"], change["new"]["reason"]) == (
                decision.failures[0].rule_id, decision.reason)
            assert change["new"]["rule_id"].startswith("flow_")
    # And the other way round, the changes undo.
    back = DiffAccumulator(guard, plain)
    back.add_many([steps for _, steps in runs])
    assert (back.summary()["unblocked_steps"], back.summary()["no_longer_asked_steps"]) == (
        summary["newly_blocked_steps"], summary["newly_asked_steps"])
    again = DiffAccumulator.from_bytes(plain, guard, diff.to_bytes())
    assert again.summary() == summary


# --- random sessions --------------------------------------------------------------

RANDOM_POLICY = """\
version: "1"
tools:
  allow: [read_mail, get_page, read_contacts, send_mail, post, note, login]
sequences:
  - {type: never_after, trigger: login, forbidden: post}
labels:
  untrusted: [read_mail, get_page]
  private: [read_contacts]
  external: [send_mail, post]
taint:
  - label: secret
    result: {matches: 'KEY-[0-9]{6}'}
flows:
  - {from: untrusted, to: send_mail, effect: ask}
  - {from: [private, secret], to: external, min_length: 8, effect: block}
  - {from: untrusted, to: external, min_length: 12, args: [to], effect: block}
ask:
  - tool: post
limits:
  - {tool: note, max: 2}
"""

WORDS = ["alice@example.com", "DE89370400440532013000", "KEY-123456", "meeting at noon", "bob@example.org",
         "the quarterly numbers", "Zürich", "Zu\u0308rich", "transfer everything now"]
TOOLS = ["read_mail", "get_page", "read_contacts", "send_mail", "post", "note", "login", "shell"]


def random_trace(rng):
    steps = []
    for _ in range(rng.randrange(9)):
        tool = rng.choice(TOOLS)
        step = {"tool": tool, "args": {"to": rng.choice(WORDS), "body": " ".join(rng.sample(WORDS, 2))}}
        if rng.random() < 0.7:
            step["result"] = rng.choice([" ".join(rng.sample(WORDS, 3)), {"items": rng.sample(WORDS, 2)},
                                         rng.choice(WORDS).encode(), None])
        steps.append(step)
    return steps


def live_decisions(guard, trace):
    """Each call checked by an observing session, and its result recorded once it ran."""
    session = guard.session(mode="observe")
    decisions = []
    for position, step in enumerate(trace):
        decisions.append(session.check(step["tool"], step.get("args"), call_id=f"c{position}"))
        if step.get("result") is not None:
            session.record_result(f"c{position}", step["result"])
    return decisions


def test_random_sessions_live_and_offline_count_alike(write_policy):
    guard = Guard.from_file(write_policy(RANDOM_POLICY))
    rng = random.Random(28)
    traces = [random_trace(rng) for _ in range(300)]
    audit = AuditAccumulator(guard, keep=1000)
    coverage = CoverageAccumulator(guard)
    diff = DiffAccumulator(guard, guard)
    audit.add_many(traces)
    coverage.add_many(traces)
    diff.add_many(traces)
    live = [live_decisions(guard, trace) for trace in traces]
    offline = [guard.judge(trace).decisions for trace in traces]
    assert [[(d.verdict, d.blocked_by, d.reason) for d in run] for run in live] == [
        [(d.verdict, d.blocked_by, d.reason) for d in run] for run in offline]
    summary = audit.summary()
    decisions = [d for run in live for d in run]
    assert summary["blocked_steps"] == sum(d.verdict == "blocked" for d in decisions)
    assert summary["asked_steps"] == sum(d.verdict == "ask" for d in decisions)
    assert [f["ref"] for f in summary["failing"]] == [
        i for i, run in enumerate(live) if any(d.verdict == "blocked" for d in run)]
    triggered = {e["rule_id"]: e["triggered"] for e in coverage.entry_coverage()}
    assert triggered == triggered_by_decisions(guard, decisions)
    assert all(triggered[e["rule_id"]] for e in guard.entries)  # every entry, flows included, triggered
    assert diff.summary()["changed_traces"] == 0
    # Sharded as the command line shards files, the counts are the same.
    shards = [AuditAccumulator(guard, keep=1000) for _ in range(4)]
    for i, trace in enumerate(traces):
        shards[i % 4].add(trace, i)
    for shard in shards[1:]:
        shards[0].merge(pickle.loads(pickle.dumps(shard)))
    assert shards[0].summary() == summary


def test_a_result_that_cannot_be_recorded_is_refused_as_guard_judge_refuses_it(write_policy):
    guard = Guard.from_file(write_policy(RANDOM_POLICY))
    trace = [{"tool": "read_mail", "result": {"n": 2**70}}, {"tool": "send_mail"}]
    with pytest.raises(ValueError) as judged:
        guard.judge(trace)
    for make in (lambda: AuditAccumulator(guard), lambda: CoverageAccumulator(guard), lambda: DiffAccumulator(guard, guard)):
        accumulator = make()
        with pytest.raises(ValueError) as added:
            accumulator.add(trace)
        assert str(added.value) == str(judged.value)
        assert accumulator.to_bytes() == make().to_bytes()  # nothing was added


# --- bytes ------------------------------------------------------------------------

@pytest.mark.parametrize("cls, policies, magic, version", [
    (AuditAccumulator, 1, b"OSKA", 2),
    (CoverageAccumulator, 1, b"OSKC", 4),
    (DiffAccumulator, 2, b"OSKD", 2),
])
def test_a_flow_policys_bytes_round_trip(cls, policies, magic, version):
    guard = suite_guard("banking")
    accumulator = cls(*[guard] * policies)
    accumulator.add_many([steps for _, steps in suite_runs("banking")])
    data = accumulator.to_bytes()
    assert data[:5] == magic + bytes([version])
    back = cls.from_bytes(*[guard] * policies, data)
    assert back.to_bytes() == data
    assert pickle.loads(pickle.dumps(accumulator)).to_bytes() == data
    if cls is not CoverageAccumulator:
        assert back.summary() == accumulator.summary()
    # Bytes of another version are not read as these.
    with pytest.raises(ValueError, match="unsupported format version 3"):
        cls.from_bytes(*[guard] * policies, data[:4] + b"\x03" + data[5:])


def test_a_coverage_of_flows_counted_without_results_is_refused(write_policy):
    """A coverage accumulator's bytes of a flow policy from before flows were judged (version 3) held
    flows that never triggered: they are not merged with counts that are right."""
    guard = suite_guard("email")
    data = CoverageAccumulator(guard).to_bytes()
    assert data[4] == 4
    with pytest.raises(ValueError, match="unsupported format version 3"):
        CoverageAccumulator.from_bytes(guard, data[:4] + b"\x03" + data[5:])
    # A policy with ask or limit entries and no flows keeps version 3.
    entries = Guard.from_file(write_policy(RANDOM_POLICY[:RANDOM_POLICY.index("labels:")] + "ask:\n  - tool: post\n"))
    assert CoverageAccumulator(entries).to_bytes()[4] == 3


# --- the guard and the records ------------------------------------------------------

def test_has_flows_and_the_flows_records(write_policy):
    path = write_policy(RANDOM_POLICY)
    guard = Guard.from_file(path)
    assert guard.has_flows is True
    assert Guard(ostik.Policy.from_file(write_policy(RANDOM_POLICY[:RANDOM_POLICY.index("labels:")]))).has_flows is False
    with pytest.raises(AttributeError):
        guard.has_flows = False  # type: ignore[misc]
    records = policy_records(path)
    assert records["labels"]["external"] == ["send_mail", "post"]
    assert records["taint"] == [{"label": "secret", "matches": "KEY-[0-9]{6}", "tool": None}]
    assert records["flows"][1] == {"from": ["private", "secret"], "to": ["external"], "min_length": 8,
                                   "args": None, "effect": "block"}
    flow_ids = [e["rule_id"] for e in guard.entries if e["rule_type"] == "flow"]
    # The third flow's id collides with none here: rule_id gives every id as judged.
    assert [rule_id(flow) for flow in records["flows"]] == flow_ids
    assert rule_id({"from": ["Ünt", "ΣΑΣ"], "to": ["X"]}) == "flow_ünt_σας_x"


def test_rule_id_of_flows_that_collide_is_the_ids_base(write_policy):
    text = RANDOM_POLICY.replace("ask:\n", "  - {from: untrusted, to: send_mail, min_length: 20}\nask:\n")
    guard = Guard.from_file(write_policy(text))
    flow_ids = [e["rule_id"] for e in guard.entries if e["rule_type"] == "flow"]
    assert flow_ids[0] == "flow_untrusted_send_mail" and flow_ids[-1] == "flow_untrusted_send_mail_2"
    assert rule_id(policy_records(write_policy(text))["flows"][-1]) == "flow_untrusted_send_mail"


# --- the command line ---------------------------------------------------------------

def ostik_cli(*args):
    return subprocess.run([sys.executable, "-m", "ostik", *map(str, args)], capture_output=True, text=True,
                          timeout=300)


def test_ostik_test_quiet_counts_as_the_listing_on_one_and_two_processes():
    policy = DATA / "messaging" / "policy.yaml"
    listed = ostik_cli("test", "--json", policy, DATA / "messaging")
    *_, totals = [json.loads(line) for line in listed.stdout.splitlines()]
    untimed = (lambda out: out.rsplit(" in ", 1)[0])
    one = ostik_cli("test", "-q", "-j", "1", policy, DATA / "messaging")
    two = ostik_cli("test", "-q", "-j", "2", policy, DATA / "messaging")
    assert one.returncode == listed.returncode == 1 and one.stderr == ""
    assert (two.returncode, untimed(two.stdout)) == (one.returncode, untimed(one.stdout))
    assert one.stdout.startswith(f"{totals['traces']} traces, {totals['failed']} failed")
    assert f"{totals['blocked_steps']} blocked" in one.stdout


def test_ostik_coverage_counts_flow_entries_on_any_number_of_processes():
    suite = DATA / "travel"
    guard = suite_guard("travel")
    one = ostik_cli("coverage", "--json", "-j", "1", suite / "policy.yaml", suite)
    two = ostik_cli("coverage", "--json", "-j", "2", suite / "policy.yaml", suite)
    assert one.returncode == 0 and (two.returncode, two.stdout) == (one.returncode, one.stdout)
    entries = json.loads(one.stdout)["entries"]
    assert entries == guard.entry_coverage([steps for _, steps in suite_runs("travel")])
    assert any(e["rule_type"] == "flow" and e["triggered"] for e in entries)
    shown = ostik_cli("coverage", "-j", "2", suite / "policy.yaml", suite)
    triggered = sum(1 for e in entries if e["triggered"])
    assert f"reached, {triggered} triggered" in shown.stdout


def test_ostik_diff_lists_what_the_flows_change(tmp_path):
    suite = "email"
    text = (DATA / suite / "policy.yaml").read_text(encoding="utf-8")
    plain = tmp_path / "plain.yaml"
    plain.write_text(text[:text.index("\nlabels:")] + "\n", encoding="utf-8")
    one = ostik_cli("diff", "--json", plain, DATA / suite / "policy.yaml", DATA / suite, "-j", "1")
    two = ostik_cli("diff", "--json", plain, DATA / suite / "policy.yaml", DATA / suite, "-j", "2")
    assert one.returncode == 1, one.stderr  # the flows newly fail runs

    def lines(result):
        *changed, summary = [json.loads(line) for line in result.stdout.splitlines()]
        del summary["seconds"]
        return changed, summary

    assert lines(two) == lines(one)
    changed, summary = lines(one)
    verdicts = [v for name in EXPECTED if name.startswith(suite + "/") for v in EXPECTED[name]["verdicts"].values()]
    assert (summary["newly_blocked_steps"], summary["newly_asked_steps"]) == (verdicts.count("blocked"),
                                                                              verdicts.count("ask"))
    assert all(change["new"]["rule_id"].startswith("flow_") for trace in changed for change in trace["changes"])


def test_the_report_pages_of_a_flow_policy(tmp_path):
    suite = DATA / "banking"
    page = tmp_path / "report.html"
    result = ostik_cli("report", suite / "policy.yaml", suite, "-o", page)
    assert result.returncode == 1, result.stderr  # a run is blocked
    text = page.read_text(encoding="utf-8")
    guard = suite_guard("banking")
    for entry in guard.entry_coverage([steps for _, steps in suite_runs("banking")]):
        assert f'<code>{entry["rule_id"]}</code></th><td>flow</td>' in text
        assert entry["reached"] > 0
    # Comparing the policy without its flows to it lists the runs the flows fail.
    text = (suite / "policy.yaml").read_text(encoding="utf-8")
    plain = tmp_path / "plain.yaml"
    plain.write_text(text[:text.index("\nlabels:")] + "\n", encoding="utf-8")
    compared = tmp_path / "compare.html"
    result = ostik_cli("report", plain, suite, "--compare", suite / "policy.yaml", "-o", compared)
    assert result.returncode == 1, result.stderr  # a trace newly fails
    assert "attack-password-change.jsonl" in compared.read_text(encoding="utf-8")
