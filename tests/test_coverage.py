import json
import math
from collections.abc import Sequence

import pytest

import ostik
from ostik import CoverageAnalyzer, Policy, TraceExplainer

EXAMPLE_POLICY = """\
version: "1"
tools:
  allow: [read]
  deny: [rm]
sequences:
  - {type: require, tool: read}
"""

GAP_REASON = "Tool is in deny list but never appeared in test traces"

RULES_POLICY = """\
version: "1"
tools:
  deny: [rm]
sequences:
  - {type: require, tool: read}
  - {type: max_calls, tool: Write_File, max: 5}
  - {type: never_after, trigger: login, forbidden: drop_db}
  - {type: blocklist, pattern: Exec}
  - {type: require, tool: read}
"""

ALIAS_POLICY = """\
version: "1"
aliases:
  fs: [read_file, write_file]
  nothing: []
"""


@pytest.fixture
def load(write_policy):
    return lambda text: Policy.from_file(write_policy(text))


@pytest.fixture
def analyze(load):
    def analyze(policy_text, traces, threshold=0.0):
        return json.loads(CoverageAnalyzer(load(policy_text)).analyze(traces, threshold))

    return analyze


def steps(*tools):
    return [{"tool": t} for t in tools]


def test_worked_example_is_written_byte_for_byte(load):
    # Every list in this report holds at most one item, so the text is fixed.
    text = CoverageAnalyzer(load(EXAMPLE_POLICY)).analyze([steps("read", "shell")], 80)
    assert text == (
        '{"tool_coverage":{"total_tools_in_policy":2,"tools_seen_in_traces":1,"coverage_pct":50.0,'
        '"unseen_tools":["rm"],"unexpected_tools":["shell"]},'
        '"rule_coverage":{"total_rules":1,"rules_triggered":2,"coverage_pct":200.0,"untriggered_rules":[]},'
        '"high_risk_gaps":[{"tool":"rm","reason":"' + GAP_REASON + '","severity":"high"}],'
        '"policy_violations":[],"policy_warnings":[],'
        '"overall_coverage_pct":125.0,"meets_threshold":true,"threshold":80.0}'
    )


def test_percentages_keep_full_double_precision(load):
    policy = load('version: "1"\ntools:\n  allow: [a, b, c]\n')
    text = CoverageAnalyzer(policy).analyze([steps("a")], 0)
    assert '"coverage_pct":33.33333333333333,' in text
    assert '"overall_coverage_pct":66.66666666666666,' in text


def test_empty_policy_without_traces_is_fully_covered(analyze):
    report = analyze('version: "1"\n', [], 100)
    assert report["tool_coverage"] == dict(total_tools_in_policy=0, tools_seen_in_traces=0, coverage_pct=100.0,
                                           unseen_tools=[], unexpected_tools=[])
    assert report["rule_coverage"] == dict(total_rules=0, rules_triggered=0, coverage_pct=100.0, untriggered_rules=[])
    assert (report["overall_coverage_pct"], report["meets_threshold"]) == (100.0, True)
    assert analyze('version: "1"\n', [], 100.00000000000001)["meets_threshold"] is False


@pytest.mark.parametrize("traces", [[], [[]], [[], ()]], ids=["no traces", "one empty", "two empty"])
def test_no_calls_cover_nothing(analyze, traces):
    report = analyze(RULES_POLICY, traces)
    assert list(report) == ["tool_coverage", "rule_coverage", "high_risk_gaps", "policy_violations",
                            "policy_warnings", "overall_coverage_pct", "meets_threshold", "threshold"]
    tools, rules = report["tool_coverage"], report["rule_coverage"]
    # Names as written; the blocklist pattern is not a tool.
    assert sorted(tools.pop("unseen_tools")) == ["Write_File", "drop_db", "login", "read", "rm"]
    assert tools == dict(total_tools_in_policy=5, tools_seen_in_traces=0, coverage_pct=0.0, unexpected_tools=[])
    # Policy order, duplicates kept, only the ids lower-cased.
    assert rules == dict(total_rules=5, rules_triggered=0, coverage_pct=0.0, untriggered_rules=[
        "require_read", "max_calls_write_file_5", "never_after_login_forbidden_drop_db", "blocklist_exec",
        "require_read"])
    assert sorted(g["tool"] for g in report["high_risk_gaps"]) == ["drop_db", "rm"]
    assert all(g == {"tool": g["tool"], "reason": GAP_REASON, "severity": "high"} for g in report["high_risk_gaps"])
    assert report["policy_violations"] == [] and report["policy_warnings"] == []


@pytest.mark.parametrize(
    ("policy", "trace", "triggered", "pct"),
    [
        # Distinct rules, no tool-check failure.
        ('version: "1"\nsequences:\n  - [require, a]\n  - [max_calls, b, 1]\n', ["x"], 2, 100.0),
        # A denied step adds "deny_list" on top of every rule.
        ('version: "1"\ntools: {deny: [rm]}\nsequences:\n  - [require, a]\n  - [require, b]\n', ["rm"], 3, 150.0),
        # Both tool-check ids: a denied and a not-allowed step.
        ('version: "1"\ntools: {deny: [rm], allow: [a]}\nsequences:\n  - [require, a]\n', ["rm", "x"], 3, 300.0),
        # Identical rules count twice in the total, once when triggered.
        ('version: "1"\nsequences:\n  - [require, a]\n  - [require, a]\n', ["a"], 1, 50.0),
    ],
)
def test_any_call_triggers_every_rule(analyze, policy, trace, triggered, pct):
    rules = analyze(policy, [[], steps(*trace)])["rule_coverage"]
    assert rules["rules_triggered"] == triggered
    assert rules["coverage_pct"] == pct
    assert rules["untriggered_rules"] == []


@pytest.mark.parametrize(
    ("called", "unseen"),
    [
        # A member makes its alias seen, not the other member, and only the
        # member counts; an alias without members is never seen through them.
        ("read_file", ["nothing", "write_file"]),
        ("fs", ["nothing"]),  # the alias name makes every member seen
    ],
)
def test_aliases_stand_for_members_and_members_for_aliases(analyze, called, unseen):
    tools = analyze(ALIAS_POLICY, [steps(called)])["tool_coverage"]
    assert (tools["total_tools_in_policy"], tools["tools_seen_in_traces"]) == (4, 1)
    assert sorted(tools["unseen_tools"]) == unseen
    assert tools["unexpected_tools"] == []


def test_seen_count_and_lists(analyze):
    policy = 'version: "1"\ntools:\n  allow: [read]\n  require_args: {upload: [path]}\n'
    tools = analyze(policy, [steps("read", "shell", "read"), [{}], steps("shell")])["tool_coverage"]
    # A step without a tool name calls "unknown"; each name listed once.
    assert sorted(tools.pop("unexpected_tools")) == ["shell", "unknown"]
    assert tools == dict(total_tools_in_policy=2, tools_seen_in_traces=1, coverage_pct=50.0, unseen_tools=["upload"])


@pytest.mark.parametrize(
    ("policy", "trace", "gaps"),
    [
        (RULES_POLICY, [], ["drop_db", "rm"]),
        (RULES_POLICY, ["rm"], ["drop_db"]),  # called, though blocked
        (RULES_POLICY, ["drop_db", "rm"], []),
        ('version: "1"\ntools:\n  deny: ["*x", rm]\n', [], ["rm"]),  # a leading "*" is never a gap
        ('version: "1"\ntools:\n  deny: [fs]\naliases:\n  fs: [rm]\n', ["rm"], []),  # seen through a member
    ],
)
def test_high_risk_gaps(analyze, policy, trace, gaps):
    report = analyze(policy, [steps(*trace)])
    assert sorted(g["tool"] for g in report["high_risk_gaps"]) == gaps


class Floaty:
    def __float__(self):
        return 75.0


class Indexy:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    ("threshold", "written", "meets"),
    [
        (75.0, "75.0", True),  # equal meets
        (75.00000000000001, "75.00000000000001", False),
        (1, "1.0", True),
        (-math.inf, "null", True),
        (math.inf, "null", False),
        (math.nan, "null", False),
        (Floaty(), "75.0", True),
        (Indexy(), "7.0", True),
    ],
)
def test_threshold(load, threshold, written, meets):
    # One of two tools seen (50.0) and every rule triggered (100.0): overall 75.0.
    policy = load('version: "1"\nsequences:\n  - [before, a, b]\n')
    text = CoverageAnalyzer(policy).analyze([steps("a")], threshold)
    assert text.endswith(f'"overall_coverage_pct":75.0,"meets_threshold":{str(meets).lower()},"threshold":{written}}}')


def test_analyzer_keeps_its_own_policy_copy(load):
    policy = load(EXAMPLE_POLICY)
    analyzer = CoverageAnalyzer(policy=policy)
    first = analyzer.analyze(traces=[steps("read", "shell")], threshold=80)
    del policy
    load('version: "2"\n')
    assert analyzer.analyze([steps("read", "shell")], 80) == first


def test_summaries_match_explained_rule_ids(load):
    # The analyzer collects rule ids without explaining traces; they must be
    # exactly the ids the explainer reports.
    policy = load(
        """\
version: "1"
tools:
  allow: [a, b]
  deny: [rm]
aliases:
  grp: [m1, m2]
sequences:
  - {type: require, tool: never_called}
  - {type: after, trigger: a, then: b, within: 2}
  - {type: eventually, tool: B, within: 1}
  - {type: max_calls, tool: a, max: 1}
  - {type: before, first: b, then: a}
  - {type: never_after, trigger: a, forbidden: b}
  - {type: sequence, tools: [a, grp, b]}
  - {type: blocklist, pattern: r}
  - {type: require, tool: never_called}
"""
    )
    analyzer = CoverageAnalyzer(policy)
    explainer = TraceExplainer(policy)
    rule_ids = json.loads(analyzer.analyze([], 0))["rule_coverage"]["untriggered_rules"]
    traces = [
        [],
        steps("a"),
        steps("rm"),
        steps("zz", "a", "a"),
        steps("m1", "b", "rm", "x", "a"),
        steps("b", "a", "grp", "m2", "b"),
    ]
    for trace in traces:
        explained = json.loads(explainer.explain(trace))
        ids = {e["rule_id"] for step in explained["steps"] for e in step["rules_evaluated"]}
        rules = json.loads(analyzer.analyze([trace], 0))["rule_coverage"]
        assert rules["rules_triggered"] == len(ids), trace
        assert rules["untriggered_rules"] == [r for r in rule_ids if r not in ids], trace


def test_class_surface():
    assert CoverageAnalyzer.__text_signature__ == "(policy)"
    assert CoverageAnalyzer.analyze.__text_signature__ == "($self, traces, threshold)"
    assert CoverageAnalyzer.__doc__ is None
    assert ostik._native.__all__[:2] == ["Policy", "CoverageAnalyzer"]


class FailingSequence(Sequence):
    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        raise RuntimeError("length is only a hint")

    def __getitem__(self, i):
        raise self.exc


NOT_STR = "argument 'traces': Can't extract `str` to `Vec`"
NOT_SEQ = "argument 'traces': '{}' object cannot be converted to 'Sequence'"
BAD_STEP = "Invalid trace format: unexpected type: '{}' object cannot be converted to '{}'"
MISSING = "CoverageAnalyzer.analyze() missing "


@pytest.mark.parametrize(
    ("args", "kwargs", "exc", "message"),
    [
        ((), {}, TypeError, MISSING + "2 required positional arguments: 'traces' and 'threshold'"),
        (([],), {}, TypeError, MISSING + "1 required positional argument: 'threshold'"),
        (([], 1), {"x": 1}, TypeError, "CoverageAnalyzer.analyze() got an unexpected keyword argument 'x'"),
        (([], 1, 2), {}, TypeError, "CoverageAnalyzer.analyze() takes 2 positional arguments but 3 were given"),
        # The traces, all the way down, are checked before the threshold.
        (("abc", "x"), {}, TypeError, NOT_STR),
        ((iter([]), "x"), {}, TypeError, NOT_SEQ.format("list_iterator")),
        (([[{}], "abc"], "x"), {}, TypeError, NOT_STR),
        (([[{}], {"tool": "a"}], "x"), {}, TypeError, NOT_SEQ.format("dict")),
        ((range(2), "x"), {}, TypeError, NOT_SEQ.format("int")),
        (([FailingSequence(TypeError("boom"))], "x"), {}, TypeError, "argument 'traces': boom"),
        ((FailingSequence(KeyError("k")), "x"), {}, KeyError, "'k'"),
        (([[], FailingSequence(RuntimeError("inner"))], "x"), {}, RuntimeError, "inner"),
        # Then the threshold, before any step is read.
        (([["not a step"]], "x"), {}, TypeError, "argument 'threshold': must be real number, not str"),
        # Then the steps.
        (([["not a step"]], 1), {}, ValueError, BAD_STEP.format("str", "Mapping")),
        (([b"a"], 1), {}, ValueError, BAD_STEP.format("int", "Mapping")),
        (([[{}], [{"tool": "a", "name": "b"}]], 1), {}, ValueError, "Invalid trace format: duplicate field `tool`"),
        (([[{"tool": 7}]], 1), {}, ValueError, BAD_STEP.format("int", "PyString")),
    ],
)
def test_analyze_argument_errors(load, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        CoverageAnalyzer(load(EXAMPLE_POLICY)).analyze(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "CoverageAnalyzer.__new__() missing 1 required positional argument: 'policy'"),
        (("p.yaml",), {}, "argument 'policy': 'str' object cannot be converted to 'Policy'"),
        ((), {"policy": None}, "argument 'policy': 'NoneType' object cannot be converted to 'Policy'"),
        ((), {"x": 1}, "CoverageAnalyzer.__new__() got an unexpected keyword argument 'x'"),
    ],
)
def test_constructor_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        CoverageAnalyzer(*args, **kwargs)
    assert str(info.value) == message


def fresh(name):
    """An equal str in an object of its own."""
    return "".join(list(name))


@pytest.mark.parametrize("distinct", [10, 5000])
def test_tool_names_count_by_value_whatever_their_objects(tmp_path, distinct):
    # The same names, once through shared str objects and once through a new
    # object at every step, with more objects than the analyzer keeps in mind.
    path = tmp_path / "policy.yaml"
    path.write_text(RULES_POLICY)
    analyzer = CoverageAnalyzer(Policy.from_file(str(path)))
    names = ["read", "rm", "login", "drop_db"] + [f"tool_{i}" for i in range(distinct)]
    shared = [[{"tool": names[(t * 40 + s) % len(names)], "args": {"n": s}} for s in range(40)] for t in range(300)]
    shared.append([{"args": {}}, {"tool": None}])  # "unknown", twice
    copied = [[{k: (fresh(v) if k == "tool" and v else v) for k, v in step.items()} for step in trace]
              for trace in shared]
    one, other = json.loads(analyzer.analyze(shared, 50.0)), json.loads(analyzer.analyze(copied, 50.0))
    for report in (one, other):
        report["tool_coverage"]["unexpected_tools"].sort()
        report["tool_coverage"]["unseen_tools"].sort()
    assert one == other
    seen = {step.get("tool") or "unknown" for trace in shared for step in trace}
    assert set(one["tool_coverage"]["unexpected_tools"]) == seen - {"read", "rm", "login", "drop_db"}
    assert one["tool_coverage"]["tools_seen_in_traces"] == 4
