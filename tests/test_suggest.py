"""`ostik suggest`: on generated corpora whose structure is known, the rules that hold by construction are
found, none that a trace breaks is written, and the policy loads, passes every trace and is the same each time."""

import json
import random
import subprocess
import sys
from pathlib import Path

import pytest

import ostik
from ostik import AuditAccumulator, Policy
from ostik.suggesting.observations import Observations
from ostik.suggesting.policy_text import yaml_scalar, yaml_string
from ostik.suggesting.suggestion import Options, suggest

SCRIPT = Path(sys.executable).with_name("ostik")


def run(*args):
    return subprocess.run([str(SCRIPT), *map(str, args)], capture_output=True, text=True, timeout=300,
                          env={"PATH": "/usr/bin:/bin", "NO_COLOR": "1"})


def structured_trace(rng):
    """login first, then reads and edits in any order, tests before every deploy, audit somewhere;
    deploy's env is prod or staging, read's path anything."""
    middle = [rng.choice(["read", "edit", "search"]) for _ in range(rng.randint(0, 6))]
    tail = ["test", "deploy"] if rng.random() < 0.6 else []
    steps = ["login", *middle, *tail]
    steps.insert(rng.randint(1, len(steps)), "audit")
    trace = []
    for tool in steps:
        args = {}
        if tool == "deploy":
            args = {"env": rng.choice(["prod", "staging"]), "replicas": rng.choice([1, 2])}
        elif tool == "read":
            args = {"path": f"/src/{rng.randint(0, 10**6)}.py"}
        trace.append({"tool": tool, "args": args})
    return trace


@pytest.fixture
def corpus(tmp_path):
    rng = random.Random(3)
    root = tmp_path / "good"
    root.mkdir()
    traces = [structured_trace(rng) for _ in range(120)]
    for f in range(3):
        (root / f"runs-{f}.jsonl").write_text("".join(json.dumps(t) + "\n" for t in traces[f::3]))
    return root, traces


def records_of(path):
    return ostik.policy_records(str(path))


def rules_of(records):
    return {tuple(sorted(rule.items())) for rule in records["sequences"]}


def has(records, **rule):
    return tuple(sorted(rule.items())) in rules_of(records)


def test_the_rules_that_hold_by_construction_are_found(corpus, tmp_path):
    root, traces = corpus
    out = tmp_path / "policy.yaml"
    done = run("suggest", root, "-o", out)
    assert done.returncode == 0, done.stderr
    records = records_of(out)
    tools = {"login", "read", "edit", "search", "audit", "test", "deploy"}
    assert set(records["tools"]["allow"]) == tools
    assert has(records, type="require", tool="login") and has(records, type="require", tool="audit")
    assert not any(rule["type"] == "require" and rule["tool"] in ("read", "deploy") for rule in records["sequences"])
    assert has(records, type="before", first="login", then="test")
    assert has(records, type="before", first="test", then="deploy")
    # Implied by the two above: left out.
    assert not has(records, type="before", first="login", then="deploy")
    most = {tool: max(sum(1 for s in t if s["tool"] == tool) for t in traces) for tool in tools}
    for tool in tools:
        assert has(records, type="max_calls", tool=tool, max=most[tool])
    constraints = records["tools"]["arg_constraints"]
    assert constraints["deploy"]["env"] == {"one_of": ["prod", "staging"]}
    assert constraints["deploy"]["replicas"] == {"one_of": [1, 2]}
    assert "read" not in constraints  # a path per call: no few values
    # Every rule says how many traces it held in.
    text = out.read_text()
    assert "# held in 120 of 120 traces\n  - {type: require, tool: \"audit\"}" in text
    assert "that call 'deploy'" in text
    assert "coverage by the traces read:" in done.stdout and "overall: 100.0%" in done.stdout


def test_the_policy_passes_every_trace_loads_strictly_and_is_deterministic(corpus, tmp_path):
    root, traces = corpus
    first, second = tmp_path / "a.yaml", tmp_path / "b.yaml"
    assert run("suggest", root, "-o", first).returncode == 0
    assert run("suggest", root, "-o", second).returncode == 0
    assert first.read_bytes() == second.read_bytes()
    check = run("check", "--strict", first)
    assert check.returncode == 0, check.stdout + check.stderr
    test = run("test", first, root)
    assert test.returncode == 0, test.stdout
    audit = AuditAccumulator(Policy.from_file(str(first)))
    audit.add_many(traces)
    assert audit.summary()["failed_traces"] == 0
    # Written to stdout instead, the same file; the coverage goes to stderr.
    to_stdout = run("suggest", root)
    assert to_stdout.stdout == first.read_text() and "coverage by the traces read:" in to_stdout.stderr


@pytest.mark.parametrize("seed", range(8))
def test_no_written_rule_is_broken_by_a_trace(seed, tmp_path):
    """Random traces of few tools: every rule made holds in every trace, each on its own."""
    rng = random.Random(seed)
    names = ["a", "b", "c", "d", "A", "e\u202ex", 'q"uo\\te', "new\nline"]
    traces = [[{"tool": rng.choice(names), "args": {"k": rng.choice([0, 1, 1.0, True, None, "1"])}}
               for _ in range(rng.randint(0, 7))] for _ in range(rng.randint(1, 30))]
    path = tmp_path / "t.jsonl"
    path.write_text("".join(json.dumps(t) + "\n" for t in traces))
    out = tmp_path / "p.yaml"
    done = run("suggest", path, "-o", out, "--min-support", "1", "--max-values", "6")
    assert done.returncode == 0, done.stderr
    assert "left out" not in done.stderr  # made right, not mended afterwards
    policy = Policy.from_file(str(out))
    audit = AuditAccumulator(policy)
    audit.add_many(traces)
    assert audit.summary()["failed_traces"] == 0
    assert run("check", "--strict", out).returncode == 0
    # Each sequence rule alone, as a policy of its own, passes every trace too.
    records = records_of(out)
    assert set(records["tools"]["allow"]) == {s["tool"] for t in traces for s in t}
    for rule in records["sequences"]:
        fields = ", ".join(f"{k}: {json.dumps(v)}" for k, v in rule.items() if k != "type")
        single = tmp_path / "single.yaml"
        single.write_text(f'version: "1"\nsequences:\n  - {{type: {rule["type"]}, {fields}}}\n')
        alone = AuditAccumulator(Policy.from_file(str(single)))
        alone.add_many(traces)
        assert alone.summary()["failed_traces"] == 0, rule


def test_margin_and_min_support():
    seen = Observations()
    for tools in (["a", "b", "b"], ["a", "b"], ["c"]):
        seen.add(tools, [None] * len(tools))
    rules = suggest(seen, Options(margin=50, min_support=1))
    limits = {r.record["tool"]: r.record["max"] for r in rules.rules if r.record["type"] == "max_calls"}
    assert limits == {"a": 2, "b": 3, "c": 2}  # ceil(1.5 * most)
    befores = [r.record for r in rules.rules if r.record["type"] == "before"]
    assert befores == [{"type": "before", "first": "a", "then": "b"}]
    assert not [r for r in suggest(seen, Options(min_support=3)).rules if r.record["type"] == "before"]


@pytest.mark.parametrize("value", ["plain", "with \"quotes\" and \\", "tab\there", "\x7f\x85\u2028\ufeff", "é漢字",
                                   "\U0001f600", "", "~", "null", "123"])
def test_names_read_back_as_written(value, write_policy):
    path = write_policy(f'version: "1"\ntools:\n  allow: [{yaml_string(value)}]\n')
    assert ostik.policy_records(path)["tools"]["allow"] == [value]


@pytest.mark.parametrize("value", [0, -3, 2**64 - 1, 1.5, 1e-05, 1e16, -2.5e-300, True, False, None, "1"])
def test_values_read_back_with_their_type(value, write_policy):
    path = write_policy(f'version: "1"\ntools:\n  arg_constraints:\n    t:\n      k: {{one_of: [{yaml_scalar(value)}]}}\n')
    (read,) = ostik.policy_records(path)["tools"]["arg_constraints"]["t"]["k"]["one_of"]
    assert read == value and type(read) is type(value)


def test_unusable_input(tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    done = run("suggest", empty)
    assert done.returncode == 2 and "no .jsonl or .json files" in done.stderr
    assert run("suggest", tmp_path / "missing.jsonl").returncode == 2
    (tmp_path / "bad.jsonl").write_text('[{"tool": 3}]\n')
    done = run("suggest", tmp_path / "bad.jsonl", "-o", tmp_path / "out.yaml")
    assert done.returncode == 2 and not (tmp_path / "out.yaml").exists()
