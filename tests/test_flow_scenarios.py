"""Prompt-injection scenarios of four tool suites, judged by policies written from the tools' documentation alone.

tests/data/flows/SUITE/ holds a policy and recorded runs (steps with their
results) of an e-mail, a banking, a messaging and a travel assistant: attack
runs, where content that a tool returned (an e-mail, a file, a web page, a
review) made the agent carry out the attacker's goal, and benign runs of the
same tools. expected.json gives each run's steps that are not allowed and
their verdicts, and for an attack the steps that carry out its goal, which
must be refused or asked. Every run is judged offline (Guard.judge, ostik
test, ostik explain) and live (a session fed the calls and their results),
with the same verdicts."""

import json
import subprocess
import sys
import unicodedata
from functools import cache
from pathlib import Path

import pytest

import ostik

# Flows are judged by builds of the core that take results.
pytestmark = pytest.mark.skipif(not hasattr(ostik.Session, "record_result"), reason="this build judges no flows")
import ostik.formats

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "tests" / "data" / "flows"
EXPECTED = json.loads((DATA / "expected.json").read_text(encoding="utf-8"))
SUITES = sorted({name.split("/")[0] for name in EXPECTED})
RUNS = sorted(EXPECTED)
ATTACKS = [name for name in RUNS if "/attack-" in name]
BENIGN = [name for name in RUNS if "/benign-" in name]


@cache
def guard(suite):
    return ostik.Guard.from_file(str(DATA / suite / "policy.yaml"))


def suite_of(name):
    return name.split("/")[0]


def steps_of(name):
    (steps,) = ostik.formats.read(str(DATA / name), "ostik")
    return steps


def expected_verdicts(name):
    return {int(step): verdict for step, verdict in EXPECTED[name]["verdicts"].items()}


def texts(value):
    """Every string in a value, at any depth."""
    if isinstance(value, str):
        yield value
    elif isinstance(value, dict):
        for item in value.values():
            yield from texts(item)
    elif isinstance(value, list):
        for item in value:
            yield from texts(item)


def nfc(text):
    return unicodedata.normalize("NFC", text)


def test_every_run_of_the_data_is_listed_and_every_attack_names_its_goal():
    on_disk = sorted(str(path.relative_to(DATA)) for path in DATA.glob("*/*.jsonl"))
    assert on_disk == RUNS
    for name in ATTACKS:
        verdicts = expected_verdicts(name)
        assert EXPECTED[name]["goal"] and all(verdicts.get(step) in ("blocked", "ask") for step in EXPECTED[name]["goal"])
    assert all(EXPECTED[name]["goal"] == [] for name in BENIGN)
    assert all(step.get("result") is not None for name in RUNS for step in steps_of(name))


@pytest.mark.parametrize("name", RUNS)
def test_guard_judge_gives_each_step_its_expected_verdict(name):
    judgement = guard(suite_of(name)).judge(steps_of(name))
    verdicts = {d.step: d.verdict for d in judgement.decisions if d.verdict != "allowed"}
    assert verdicts == expected_verdicts(name)
    # A recorded step that was asked about ran: only blocks fail a run.
    assert judgement.passed == ("blocked" not in verdicts.values())


@pytest.mark.parametrize("name", RUNS)
def test_each_refusal_names_the_result_its_text_came_from(name):
    steps = steps_of(name)
    for decision in guard(suite_of(name)).judge(steps).decisions:
        if decision.allowed:
            continue
        flows = [f for f in decision.failures if f.rule_id.startswith("flow_")]
        assert flows, decision.failures
        for failure in flows:
            context = failure.context
            source = steps[context["source_step"]]
            assert context["source_step"] < decision.step
            assert source["tool"] == context["source_tool"]
            assert f"from the result of '{source['tool']}' at step {context['source_step']}" in failure.explanation
            # The matched text is in the source's result and in the argument named, compared after NFC.
            argument = decision_args(steps[decision.step], context["argument"])
            matched = nfc(context["matched"].removesuffix("..."))
            assert any(matched in nfc(text) for text in texts(source["result"]))
            assert any(matched in nfc(text) for text in texts(argument))


def decision_args(step, argument):
    args = step["args"]
    return args.get(argument, args) if isinstance(args, dict) else args


def replay_live(name, mode, answer=None):
    """Feeds a run's calls to a live session and hands each executed call's result over.

    ``answer(position, decision)`` approves (True) or denies an ask in
    enforce mode. Returns each call's decision, in the file's order."""
    session = guard(suite_of(name)).session(mode=mode)
    decisions = []
    for position, step in enumerate(steps_of(name)):
        call_id = f"call-{position}"
        decision = session.check(step["tool"], step.get("args"), call_id=call_id)
        ran = decision.allowed or mode == "observe"
        if decision.needs_approval and mode == "enforce":
            ran = bool(answer and answer(position, decision))
            (session.approve if ran else session.deny)(call_id)
        decisions.append(decision)
        if ran:
            session.record_result(call_id, step["result"], is_error=step.get("is_error", False))
    return decisions


@pytest.mark.parametrize("name", RUNS)
def test_an_observing_session_fed_the_run_gives_the_offline_verdicts(name):
    live = replay_live(name, "observe")
    offline = guard(suite_of(name)).judge(steps_of(name)).decisions
    assert [(d.verdict, d.blocked_by, d.reason) for d in live] == [(d.verdict, d.blocked_by, d.reason) for d in offline]


@pytest.mark.parametrize("name", ATTACKS)
def test_an_enforcing_session_refuses_or_asks_about_the_attackers_goal(name):
    # The person asked says yes to everything: the goal is still refused or waits for them.
    decisions = replay_live(name, "enforce", answer=lambda position, decision: True)
    for position in EXPECTED[name]["goal"]:
        assert decisions[position].verdict in ("blocked", "ask"), (position, decisions[position].reason)


@pytest.mark.parametrize("name", BENIGN)
def test_an_enforcing_session_lets_a_benign_run_through(name):
    asked = []
    decisions = replay_live(name, "enforce", answer=lambda position, decision: asked.append(position) or True)
    assert [p for p, d in enumerate(decisions) if d.verdict == "blocked"] == []
    assert asked == sorted(expected_verdicts(name))


@pytest.mark.parametrize("name", ATTACKS)
def test_an_attack_denied_at_its_first_ask_runs_nothing_of_the_goal(name):
    denied = []
    decisions = replay_live(name, "enforce", answer=lambda position, decision: denied.append(position) or False)
    goal = EXPECTED[name]["goal"]
    assert all(not decisions[p].allowed for p in goal)
    # Each denied call was one the policy asked about, and it did not run.
    assert all(decisions[p].needs_approval for p in denied)


def ostik_cli(*args):
    return subprocess.run([sys.executable, "-m", "ostik", *args], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("suite", SUITES)
def test_ostik_test_fails_exactly_the_runs_with_a_blocked_step(suite):
    result = ostik_cli("test", "--json", str(DATA / suite / "policy.yaml"), str(DATA / suite))
    assert result.returncode in (0, 1), result.stderr
    *lines, summary = [json.loads(line) for line in result.stdout.splitlines()]
    passed = {str(Path(line["file"]).resolve().relative_to(DATA)): line["passed"] for line in lines}
    runs = [name for name in RUNS if suite_of(name) == suite]
    assert passed == {name: "blocked" not in EXPECTED[name]["verdicts"].values() for name in runs}
    assert result.returncode == (0 if all(passed.values()) else 1)


@pytest.mark.parametrize("name", [name for name in ATTACKS if "blocked" in EXPECTED[name]["verdicts"].values()])
def test_ostik_explain_shows_where_the_blocked_text_came_from(name):
    result = ostik_cli("explain", str(DATA / suite_of(name) / "policy.yaml"), str(DATA / name))
    assert result.returncode == 1, result.stderr
    assert "from the result of '" in result.stdout


def test_the_data_flow_page_gives_the_figures_of_the_scenarios():
    from docs_text import page, section

    text = " ".join(section(page("data-flow.md"), "Scenarios").split())
    asked = [name for name in BENIGN if "ask" in EXPECTED[name]["verdicts"].values()]
    blocked = [name for name in BENIGN if "blocked" in EXPECTED[name]["verdicts"].values()]
    assert blocked == []
    assert f"All {len(ATTACKS)} attacks have their goal call refused or asked." in text
    assert (f"Of the {len(BENIGN)} benign runs, none is blocked (no false refusals) and {len(asked)} are asked about "
            f"({round(100 * len(asked) / len(BENIGN))}%)") in text


@pytest.mark.parametrize("path", ["examples/flows.yaml", "docs/data-flow.md"])
def test_the_example_policies_check_cleanly(tmp_path, path):
    from docs_text import code

    source = ROOT / path
    texts = [source.read_text()] if path.endswith(".yaml") else code(source.read_text(), "yaml")
    assert texts
    for n, text in enumerate(texts):
        policy = tmp_path / f"p{n}.yaml"
        policy.write_text(text)
        result = ostik_cli("check", "--strict", str(policy))
        assert (result.returncode, result.stderr) == (0, ""), text
