"""DiffAccumulator and `ostik diff`: what a change of policy changes, against the guard's own verdicts."""

import json
import os
import pickle
import random
import re
import sys
from pathlib import Path

import pytest
from junitparser import Failure, JUnitXml

import ostik
from ostik import DiffAccumulator, Guard, Policy, policy_bytes

SCRIPT = Path(sys.executable).with_name("ostik")

BASE = """\
version: "1"
tools:
  deny: [rm]
sequences:
  - {type: max_calls, tool: read, max: 3}
  - {type: before, first: login, then: deploy}
"""

# Each: a change of BASE, a trace, and what the trace's change must read as.
PAIRS = {
    "tightened max": (
        BASE.replace("max: 3", "max: 2"),
        ["read", "read", "read"],
        {"outcome": (True, False), "steps": [(2, None, "max_calls_read_2")],
         "by_rule": {"max_calls_read_3": (0, 0), "max_calls_read_2": (1, 0)}},
    ),
    "new deny": (
        BASE.replace("deny: [rm]", "deny: [rm, shell]"),
        ["login", "shell", "read", "shell"],
        {"outcome": (True, False), "steps": [(1, None, "deny_list")], "later": {1: [3]},
         "by_rule": {"deny_list": (2, 0)}},
    ),
    "removed rule": (
        BASE.replace("  - {type: before, first: login, then: deploy}\n", ""),
        ["deploy", "read"],
        {"outcome": (False, True), "steps": [(0, "before_login_then_deploy", None)],
         "by_rule": {"before_login_then_deploy": (0, 1)}},
    ),
    "other blocking rule": (
        BASE.replace("deny: [rm]", "deny: []") + "  - {type: blocklist, pattern: rm}\n",
        ["login", "rm"],
        {"outcome": (False, False), "steps": [(1, "deny_list", "blocklist_rm")],
         "by_rule": {"deny_list": (0, 1), "blocklist_rm": (1, 0)}},
    ),
}


@pytest.fixture
def base(write_policy):
    return Policy.from_file(write_policy(BASE))


def steps(tools):
    return [{"tool": t} for t in tools]


@pytest.mark.parametrize("name", PAIRS)
def test_hand_made_pairs(name, base, write_policy):
    text, tools, want = PAIRS[name]
    new = Policy.from_file(write_policy(text))
    acc = DiffAccumulator(base, new)
    acc.add(steps(tools), ("t.jsonl", 1))
    acc.add(steps(["login", "read"]), ("t.jsonl", 2))  # changes under none of them
    s = acc.summary()
    assert (s["traces"], s["changed_traces"]) == (2, 1)
    assert s["newly_failing"] == (want["outcome"] == (True, False))
    assert s["newly_passing"] == (want["outcome"] == (False, True))
    (changed,) = s["changed"]
    assert changed["ref"] == ("t.jsonl", 1)
    assert (changed["old_passed"], changed["new_passed"]) == want["outcome"]
    got = [(c["step"], c["old"] and c["old"]["rule_id"], c["new"] and c["new"]["rule_id"])
           for c in changed["changes"]]
    assert got == want["steps"]
    for c in changed["changes"]:
        assert c["later_steps"] == want.get("later", {}).get(c["step"], [])
    for rule_id, (newly, no_longer) in want["by_rule"].items():
        entry = s["by_rule"].get(rule_id, {"newly_blocks": 0, "no_longer_blocks": 0})
        assert (entry["newly_blocks"], entry["no_longer_blocks"]) == (newly, no_longer)


def test_the_reasons_are_the_guards(base, write_policy):
    new = Policy.from_file(write_policy(PAIRS["tightened max"][0]))
    acc = DiffAccumulator(base, new)
    trace = steps(["read", "read", "read"])
    acc.add(trace)
    (change,) = acc.summary()["changed"][0]["changes"]
    decision = Guard(new).judge(trace).decisions[2]
    assert change["old"] is None
    assert change["new"] == {"verdict": "blocked", "rule_id": decision.blocked_by, "reason": decision.reason}


def test_end_of_trace_checks_that_change(base, write_policy):
    new = Policy.from_file(write_policy(BASE + "  - {type: require, tool: audit}\n"))
    acc = DiffAccumulator(base, new)
    acc.add(steps(["login"]))
    acc.add([])
    s = acc.summary()
    assert s["newly_failing"] == 2 and s["changed_steps"] == 0
    assert s["by_rule"]["require_audit"]["newly_fails_at_end"] == 2
    first = s["changed"][0]
    assert first["old_end_failures"] == []
    assert [f["rule_id"] for f in first["new_end_failures"]] == ["require_audit"]
    # The other way round, the same trace no longer fails.
    back = DiffAccumulator(new, base)
    back.add(steps(["login"]))
    assert back.summary()["by_rule"]["require_audit"]["no_longer_fails_at_end"] == 1


def test_equal_policies_change_nothing(base, write_policy):
    acc = DiffAccumulator(base, Policy.from_file(write_policy(BASE)))
    acc.add_many([steps(["rm", "deploy"]), steps(["read"] * 5), []])
    s = acc.summary()
    assert s["changed_traces"] == s["changed_steps"] == 0 and s["changed"] == [] and s["by_rule"] == {}
    assert s["old_failed_traces"] == s["new_failed_traces"] == 2


# --- against the guard's verdicts on random traces ------------------------------

TOOLS = ["a", "b", "c", "d", "rm"]


def random_policy(rng):
    rules = []
    for _ in range(rng.randint(0, 5)):
        x, y = rng.sample(TOOLS, 2)
        rules.append(rng.choice([f"{{type: max_calls, tool: {x}, max: {rng.randint(0, 3)}}}",
                                 f"{{type: before, first: {x}, then: {y}}}",
                                 f"{{type: require, tool: {x}}}",
                                 f"{{type: never_after, trigger: {x}, forbidden: {y}}}",
                                 f"{{type: after, trigger: {x}, then: {y}, within: 2}}"]))
    deny = rng.sample(TOOLS, rng.randint(0, 2))
    args = "  arg_constraints: {a: {n: {max: 2}}}\n" if rng.random() < 0.3 else ""
    listed = "".join(f"\n  - {r}" for r in rules) if rules else " []"
    return f'version: "1"\ntools:\n  deny: [{", ".join(deny)}]\n{args}sequences:{listed}\n'


def blocking(judgement):
    return [d.blocked_by for d in judgement.decisions]


@pytest.mark.parametrize("seed", range(6))
def test_random_pairs_match_the_guard(seed, write_policy):
    rng = random.Random(seed)
    old_text, new_text = random_policy(rng), random_policy(rng)
    old, new = Policy.from_file(write_policy(old_text)), Policy.from_file(write_policy(new_text))
    traces = [[{"tool": rng.choice(TOOLS), "args": {"n": rng.randint(0, 4)}} for _ in range(rng.randint(0, 8))]
              for _ in range(60)]
    acc = DiffAccumulator(old, new, keep=1000)
    acc.add_many(traces)
    s = acc.summary()
    by_ref = {c["ref"]: c for c in s["changed"]}
    newly_failing = changed_steps = 0
    for i, trace in enumerate(traces):
        a, b = Guard(old).judge(trace), Guard(new).judge(trace)
        old_ends = {f.rule_id for f in a.end_failures}
        new_ends = {f.rule_id for f in b.end_failures}
        differing = [k for k, (x, y) in enumerate(zip(blocking(a), blocking(b))) if x != y]
        changed_steps += len(differing)
        changed = bool(differing) or old_ends != new_ends
        assert (i in by_ref) == changed
        newly_failing += a.passed and not b.passed
        if changed:
            entry = by_ref[i]
            assert (entry["old_passed"], entry["new_passed"]) == (a.passed, b.passed)
            listed = sorted([c["step"] for c in entry["changes"]] +
                            [k for c in entry["changes"] for k in c["later_steps"]])
            assert listed == differing
            for c in entry["changes"]:
                assert (c["old"] and c["old"]["rule_id"]) == a.decisions[c["step"]].blocked_by
                assert (c["new"] and c["new"]["rule_id"]) == b.decisions[c["step"]].blocked_by
    assert s["newly_failing"] == newly_failing and s["changed_steps"] == changed_steps


# --- merging, bytes, pickling ---------------------------------------------------

@pytest.fixture
def pieces(base, write_policy):
    new = Policy.from_file(write_policy(PAIRS["new deny"][0] + "  - {type: require, tool: login}\n"))
    rng = random.Random(5)
    traces = [[{"tool": rng.choice(["login", "read", "shell", "deploy"])} for _ in range(rng.randint(0, 6))]
              for _ in range(40)]
    return base, new, traces


def test_merged_in_any_grouping_is_one_pass(pieces):
    old, new, traces = pieces
    whole = DiffAccumulator(old, new, keep=7)
    whole.add_many(traces, [("f", i) for i in range(len(traces))])
    parts = []
    for start in range(0, len(traces), 9):
        part = DiffAccumulator(policy_bytes(old), policy_bytes(new), keep=7)
        part.add_many(traces[start:start + 9], [("f", i) for i in range(start, min(start + 9, len(traces)))])
        parts.append(part)
    merged = DiffAccumulator(old, new, keep=7)
    for part in reversed(parts):
        merged.merge(pickle.loads(pickle.dumps(part)))
    assert merged.summary() == whole.summary()
    assert merged.to_bytes() == whole.to_bytes()
    assert len(whole.summary()["changed"]) == 7


def test_bytes_round_trip_and_refusals(pieces, write_policy):
    old, new, traces = pieces
    acc = DiffAccumulator(old, new)
    acc.add_many(traces)
    data = acc.to_bytes()
    assert DiffAccumulator.from_bytes(old, new, data).summary() == acc.summary()
    with pytest.raises(ValueError, match="invalid DiffAccumulator bytes: made with other policies"):
        DiffAccumulator.from_bytes(new, old, data)
    with pytest.raises(ValueError, match="invalid DiffAccumulator bytes: damaged"):
        DiffAccumulator.from_bytes(old, new, data[:-9] + bytes([data[-9] ^ 1]) + data[-8:])
    with pytest.raises(ValueError, match="cannot merge accumulators made with different policies"):
        acc.merge(DiffAccumulator(new, old))
    with pytest.raises(TypeError):
        acc.merge(ostik.AuditAccumulator(old))


def test_a_bad_step_adds_nothing(base):
    acc = DiffAccumulator(base, base)
    with pytest.raises(ValueError, match="Invalid tool call format"):
        acc.add_many([steps(["a"]), [{"tool": 3}]])
    assert acc.summary()["traces"] == 0


LISTED_OLD = """\
version: "1"
tools:
  deny: [rm]
sequences:
  - {type: require, tool: login}
  - {type: require, tool: login}
"""
LISTED_NEW = """\
version: "1"
tools:
  deny: [rm, "sh\\u202eell", "é"]
sequences:
  - {type: max_calls, tool: read, max: 1}
"""
LISTED = [
    "f.json: trace 7: \x1b[33mfail → fail\x1b[0m (0 of 1 step change)\n"
    "  end of trace: require_login: Required tool 'login' never called → passed",
    "a\\u001b.jsonl:3: \x1b[1;31mpass → fail\x1b[0m (2 of 3 steps change)\n"
    "  step 1 sh\\u202eell: allowed → blocked by deny_list: Tool 'sh\\u202eell' is in deny list\n"
    "  step 2 é: allowed → blocked by deny_list: Tool 'é' is in deny list",
    "f.json: \x1b[33mfail → fail\x1b[0m (19 of 21 steps change)\n"
    "  step 1 read: allowed → blocked by max_calls_read_1: 'read' exceeded max calls (2 > 1)\n"
    "    \x1b[2mand at 9 later steps: 3, 5, 7, 9, 11, 13, 15, 17, ...\x1b[0m\n"
    "  step 2 x: allowed → blocked by max_calls_read_1: 'read' exceeded max calls (2 > 1)\n"
    "    \x1b[2mand at 8 later steps: 4, 6, 8, 10, 12, 14, 16, 18\x1b[0m\n"
    "  end of trace: require_login: Required tool 'login' never called → passed",
    "f.json: trace\\u2028id: \x1b[1;31mpass → fail\x1b[0m (1 of 3 steps change)\n"
    "  step 2 read: allowed → blocked by max_calls_read_1: 'read' exceeded max calls (2 > 1)",
    "\\udcff.json: trace 0: \x1b[32mfail → pass\x1b[0m (0 of 0 steps change)\n"
    "  end of trace: require_login: Required tool 'login' never called → passed",
]


@pytest.mark.parametrize("colour", [False, True])
def test_the_listing_of_changed_traces(write_policy, colour):
    """Every kind of place, names shown as printable() shows them, runs of later steps cut at eight,
    end-of-trace checks of two rules with one id shown once."""
    old = Policy.from_file(write_policy(LISTED_OLD, "old.yaml"))
    new = Policy.from_file(write_policy(LISTED_NEW, "new.yaml"))
    acc = DiffAccumulator(old, new)
    acc.add([], 0)  # read from a file whose name is not UTF-8
    (back,) = acc.listing("\udcff.json", colour)
    acc = DiffAccumulator(old, new)
    acc.add([{"tool": "login"}, {"tool": "sh\u202eell"}, {"tool": "é"}], ("a\x1b.jsonl", 3))
    acc.add(steps(["read", "read"] + ["x", "read"] * 9 + ["rm"]), "f.json")
    acc.add(steps(["login", "read", "read"]), "f.json: trace\u2028id")
    acc.add(steps(["rm"]), 7)
    listed = acc.listing("f.json", colour=colour) + [back]
    want = LISTED if colour else [re.sub("\x1b\\[[0-9;]*m", "", text) for text in LISTED]
    assert listed == want
    assert len(listed) == len(acc.summary()["changed"]) + 1
    with pytest.raises(TypeError):
        acc.listing(b"f.json")


# --- the command line -------------------------------------------------------------

def run(*args, **kwargs):
    import subprocess
    return subprocess.run([str(SCRIPT), *map(str, args)], capture_output=True, text=True, timeout=300,
                          env={"PATH": "/usr/bin:/bin", "NO_COLOR": "1"}, **kwargs)


@pytest.fixture
def corpus(tmp_path, write_policy):
    rng = random.Random(9)
    root = tmp_path / "traces"
    root.mkdir()
    for f in range(5):
        lines = [json.dumps([{"tool": rng.choice(["login", "read", "shell", "deploy", "rm"])}
                             for _ in range(rng.randint(0, 7))]) for _ in range(30)]
        (root / f"part-{f}.jsonl").write_text("\n".join(lines) + "\n")
    old = write_policy(BASE, "old.yaml")
    new = write_policy(PAIRS["new deny"][0].replace("max: 3", "max: 2"), "new.yaml")
    return old, new, root


def without_time(text):
    return re.sub(r"in \d+\.\d\d s", "in - s", text)


def test_cli_lists_changes_and_gates(corpus):
    old, new, root = corpus
    done = run("diff", old, new, root, "-j", "1")
    assert done.returncode == 1, done.stderr
    assert re.search(r"part-0\.jsonl:\d+: pass → fail \(\d+ of \d+ steps? change\)", done.stdout)
    assert "blocked by deny_list: " in done.stdout
    assert re.search(r"^\d+ of 150 traces change: \d+ newly fail", done.stdout, re.M)
    assert "by rule:" in done.stdout and "max_calls_read_2" in done.stdout
    # Nothing newly fails the other way round.
    back = run("diff", new, old, root, "-j", "1")
    assert back.returncode == 0 and "0 newly fail" in back.stdout
    assert run("diff", old, old, root).returncode == 0


@pytest.mark.parametrize("args", [["-q"], ["--json"], []])
def test_cli_jobs_agree(corpus, args):
    old, new, root = corpus
    one = run("diff", old, new, root, "-j", "1", *args)
    two = run("diff", old, new, root, "-j", "2", *args)
    assert one.returncode == two.returncode == 1
    if "--json" in args:
        strip = [json.loads(line) for line in one.stdout.splitlines()]
        other = [json.loads(line) for line in two.stdout.splitlines()]
        for out in (strip, other):
            out[-1].pop("seconds")
        assert strip == other
    else:
        assert without_time(one.stdout) == without_time(two.stdout)


def test_cli_on_a_dask_cluster(corpus):
    distributed = pytest.importorskip("distributed")
    old, new, root = corpus
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40) as local:
        for args in ([], ["-q"]):
            here = run("diff", old, new, root, "-j", "1", *args)
            there = run("diff", old, new, root, "--dask-scheduler", local.scheduler_address, *args)
            assert there.returncode == here.returncode == 1, there.stderr
            assert without_time(there.stdout) == without_time(here.stdout)
        summary = ostik.dask.diff(str(root), old, new, keep=1000)
    acc = DiffAccumulator(Policy.from_file(old), Policy.from_file(new), keep=1000)
    for path in sorted(root.iterdir()):
        for trace in ostik.formats.read_file(str(path)).traces:
            acc.add(trace.steps, (trace.source, trace.line))
    assert summary == acc.summary()


def test_cli_json_and_junit(corpus, tmp_path):
    old, new, root = corpus
    xml = tmp_path / "diff.xml"
    done = run("diff", old, new, root, "--json", "--junit-xml", xml)
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    *changed, summary = lines
    assert summary["changed_traces"] == len(changed) > 0
    assert summary["newly_failing"] == sum(1 for c in changed if c["old_passed"] and not c["new_passed"])
    assert all(c["file"].endswith(".jsonl") and isinstance(c["line"], int) for c in changed)
    suites = JUnitXml.fromfile(str(xml))
    cases = [case for suite in suites for case in suite]
    assert len(cases) == len(changed)
    failed = [case for case in cases if any(isinstance(r, Failure) for r in case.result)]
    assert len(failed) == summary["newly_failing"]


def test_cli_github_annotations(corpus):
    old, new, root = corpus
    import subprocess
    done = subprocess.run([str(SCRIPT), "diff", old, new, str(root), "-q"], capture_output=True, text=True,
                          env={"PATH": "/usr/bin:/bin", "GITHUB_ACTIONS": "true"}, timeout=300)
    annotations = [line for line in done.stdout.splitlines() if line.startswith("::error ")]
    assert annotations and all("title=ostik diff%3A newly fails%3A " in line for line in annotations)
    assert all(re.search(r"file=[^,]*part-\d\.jsonl,line=\d+", line) for line in annotations)


@pytest.mark.parametrize("bad", ["policy", "trace"])
def test_cli_bad_input_exits_2(corpus, bad, tmp_path):
    old, new, root = corpus
    if bad == "policy":
        broken = tmp_path / "broken.yaml"
        broken.write_text("version: [\n")
        done = run("diff", old, broken, root)
        assert done.returncode == 2 and "broken.yaml" in done.stderr
    else:
        (root / "zz.jsonl").write_text("{not json\n")
        done = run("diff", old, new, root)
        assert done.returncode == 2 and "zz.jsonl" in done.stderr
        assert "150 traces" in done.stdout  # the other files are still judged


def test_report_compare_page(corpus, tmp_path):
    old, new, root = corpus
    page = tmp_path / "diff.html"
    done = run("report", old, "--compare", new, root, "-o", page)
    assert done.returncode == 1, done.stderr
    text = page.read_text()
    assert "pass → fail" in text and "deny_list" in text and "<script" not in text
    assert "Content-Security-Policy" in text


# --- the page that documents it -----------------------------------------------------

def test_the_documented_commands_and_output(tmp_path):
    sys.path.insert(0, str(Path(__file__).parent))
    from docs_text import ROOT, code, page, section

    text = page("policy-changes.md")
    (examples,) = [tmp_path / "examples"]
    examples.symlink_to(ROOT / "examples")
    (commands,) = code(text, "sh")
    import subprocess
    for command in commands.splitlines():
        name, *args = command.split()
        done = subprocess.run([str(SCRIPT), *args], cwd=tmp_path, capture_output=True, text=True, timeout=120,
                              env={"PATH": "/usr/bin:/bin", "NO_COLOR": "1"})
        assert done.returncode == 0, (command, done.stdout, done.stderr)
    shown = run("diff", ROOT / "examples/policy.yaml", ROOT / "examples/policy-next.yaml", ROOT / "examples/traces",
                cwd=ROOT).stdout
    for line in code(section(text, "`ostik diff OLD NEW PATH...`"), "text")[0].splitlines():
        assert line in shown
    suggested = (tmp_path / "suggested.yaml").read_text()
    for line in code(section(text, "`ostik suggest PATH... [-o FILE]`"), "yaml")[0].splitlines()[1:]:
        assert line in suggested
    (block,) = code(section(text, "`DiffAccumulator`"), "python")
    exec(compile(block.replace('"examples/', f'"{ROOT}/examples/'), "policy-changes.md", "exec"), {})


def sealed(body):
    """Bytes with the checksum the accumulators' forms end with, so that damage behind it is reached."""
    h = 0xcbf29ce484222325
    for b in body:
        h = ((h ^ b) * 0x100000001b3) % 2**64
    return body + h.to_bytes(8, "little")


def test_damaged_bytes_are_refused_or_read_exactly(pieces):
    """Whatever a damaged form decodes to reads back as the same bytes, and still counts and merges."""
    old, new, traces = pieces
    acc = DiffAccumulator(old, new)
    acc.add_many(traces[:12], [("f", i) for i in range(12)])
    body = acc.to_bytes()[:-8]
    rng = random.Random(1)
    decoded = 0
    for _ in range(3000):
        damaged = bytearray(body)
        for _ in range(rng.randint(1, 3)):
            at = rng.randrange(13, len(damaged))  # past the magic, version and fingerprints
            damaged[at] = rng.randrange(256)
        if rng.random() < 0.3:
            del damaged[rng.randrange(13, len(damaged)):]
        data = sealed(bytes(damaged))
        try:
            got = DiffAccumulator.from_bytes(old, new, data)
        except ValueError as err:
            assert str(err).startswith("invalid DiffAccumulator bytes: ")
            continue
        decoded += 1
        assert got.to_bytes() == data
        got.summary()
        got.merge(got)
        got.add(steps(["shell"]))
    assert decoded > 0


@pytest.mark.parametrize("command", ["diff", "compare", "suggest"])
def test_an_output_that_is_an_input_is_refused(corpus, tmp_path, command):
    old, new, root = corpus
    victim = root / "part-0.jsonl" if command != "compare" else Path(new)
    before = victim.read_bytes()
    out = tmp_path / "same.out"
    os.link(victim, out)
    args = {"diff": ["diff", old, new, root, "--junit-xml", out],
            "compare": ["report", old, "--compare", new, root, "-o", out],
            "suggest": ["suggest", root, "-o", out]}[command]
    done = run(*args)
    assert done.returncode == 2 and "refusing to overwrite it" in done.stderr
    assert victim.read_bytes() == before
