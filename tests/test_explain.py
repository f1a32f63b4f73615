"""TraceExplainer: each rule kind's decisions, ids, texts and contexts; the driver; the report; the arguments."""
import inspect
import json
from pathlib import Path

import pytest

from ostik import Policy, TraceExplainer


@pytest.fixture
def explain(write_policy):
    """Explains `tools` (names, or step dicts) against a policy of `body` lines; returns the parsed report."""

    def run(body, tools, raw=False):
        explainer = TraceExplainer(Policy.from_file(write_policy("version: '1'\nname: p\n" + body)))
        steps = [t if isinstance(t, dict) else {"tool": t} for t in tools]
        text = explainer.explain(steps)
        return text if raw else json.loads(text)

    return run


def rule_at(report, k=0):
    """(passed, explanation) of the k-th entry of every step."""
    return [(s["rules_evaluated"][k]["passed"], s["rules_evaluated"][k]["explanation"]) for s in report["steps"]]


G = "aliases: {g: [a, b]}\n"


@pytest.mark.parametrize(
    "rule, tools, expected",
    [
        ("{type: require, tool: a}", "xa", [(1, "Require 'a' (checked at end)")] * 2),
        ("{type: eventually, tool: a, within: 2}", "xxxax", [
            (1, "'a' required within 2 calls (at 1/2)"), (1, "'a' required within 2 calls (at 2/2)"),
            (0, "'a' not seen within first 2 calls"), (1, "'a' already seen ✓"), (1, "'a' already seen ✓")]),
        ("{type: eventually, tool: a, within: 0}", "xa", [
            (0, "'a' not seen within first 0 calls"), (1, "'a' already seen ✓")]),
        ("{type: max_calls, tool: a, max: 2}", "aaax", [
            (1, "'a' call 1/2"), (1, "'a' call 2/2"), (0, "'a' exceeded max calls (3 > 2)"),
            (0, "'a' exceeded max calls (3 > 2)")]),
        (G + "sequences: [{type: max_calls, tool: g, max: 1}]", "abx", [
            (1, "'g' call 1/1"), (1, "'g' call 1/1"), (0, "'g' exceeded max calls (2 > 1)")]),
        ("aliases: {h: []}\nsequences: [{type: max_calls, tool: h, max: 0}]", "h", [(1, "'h' call 0/0")]),
        ("{type: before, first: a, then: b}", "bxab", [
            (0, "'b' requires 'a' first"), (1, "Not 'b', rule not applicable"),
            (1, "Not 'b', rule not applicable"), (1, "'a' was called first ✓")]),
        ("{type: before, first: a, then: a}", "aa", [(0, "'a' requires 'a' first"), (1, "'a' was called first ✓")]),
        # `first` counts when called by its own name, even when it is an alias
        (G + "sequences: [{type: before, first: g, then: c}]", "gc", [
            (1, "Not 'c', rule not applicable"), (1, "'g' was called first ✓")]),
        (G + "sequences: [{type: before, first: g, then: c}]", "bc", [
            (1, "Not 'c', rule not applicable"), (1, "'g' was called first ✓")]),
        ("{type: after, trigger: a, then: b, within: 2}", "axxx", [
            (1, "'a' triggered, 'b' required within 2"), (1, "Pending: 'b' needed within 1 more calls"),
            (1, "Pending: 'b' needed within 0 more calls"), (0, "'b' required within 2 calls after 'a' (triggered at 0)")]),
        ("{type: after, trigger: a, then: b, within: 2}", "axb", [
            (1, "'a' triggered, 'b' required within 2"), (1, "Pending: 'b' needed within 1 more calls"),
            (1, "'b' satisfies after 'a' ✓")]),
        ("{type: after, trigger: a, then: b, within: 2}", "axxbx", [
            (1, "'a' triggered, 'b' required within 2"), (1, "Pending: 'b' needed within 1 more calls"),
            (1, "Pending: 'b' needed within 0 more calls"), (0, "'b' called too late after 'a' (at 3, deadline 2)"),
            (0, "'b' required within 2 calls after 'a' (triggered at 0)")]),
        # a window answered in time is discarded
        ("{type: after, trigger: a, then: b}", "abxxb", [
            (1, "'a' triggered, 'b' required within 1"), (1, "'b' satisfies after 'a' ✓"),
            (1, "After rule: waiting for 'a'"), (1, "After rule: waiting for 'a'"), (1, "After rule: waiting for 'a'")]),
        ("{type: after, trigger: a, then: b, within: 1}", "axaxx", [
            (1, "'a' triggered, 'b' required within 1"), (1, "Pending: 'b' needed within 0 more calls"),
            (0, "'b' required within 1 calls after 'a' (triggered at 0)"), (1, "Pending: 'b' needed within 0 more calls"),
            (0, "'b' required within 1 calls after 'a' (triggered at 2)")]),
        (G + "sequences: [{type: after, trigger: g, then: c}]", "g", [(1, "After rule: waiting for 'g'")]),
        ("{type: never_after, trigger: a, forbidden: b}", "baxabx", [
            (1, "Waiting for trigger 'a'"), (1, "'a' triggered, 'b' now forbidden"), (1, "'b' forbidden (trigger at 1)"),
            (1, "'b' forbidden (trigger at 1)"), (0, "'b' forbidden after 'a' (triggered at index 1)"),
            (1, "'b' forbidden (trigger at 1)")]),
        ("{type: never_after, trigger: a, forbidden: a}", "aa", [
            (1, "'a' triggered, 'a' now forbidden"), (0, "'a' forbidden after 'a' (triggered at index 0)")]),
        ("{type: sequence, tools: [a, b, c], strict: true}", "xax", [
            (1, "Waiting for sequence start: 'a'"), (1, "Sequence step 1/3: 'a' ✓"),
            (0, "Strict sequence: expected 'b' but got 'x'")]),
        ("{type: sequence, tools: [a, b], strict: true}", "axbb", [
            (1, "Sequence step 1/2: 'a' ✓"), (0, "Strict sequence: expected 'b' but got 'x'"),
            (1, "Sequence step 2/2: 'b' ✓"), (1, "Sequence complete ✓")]),
        ("{type: sequence, tools: [a, b, c]}", "cxab", [
            (0, "Sequence order violated: 'c' before 'a'"), (1, "Sequence: waiting for 'a' (0/3)"),
            (1, "Sequence step 1/3: 'a' ✓"), (1, "Sequence step 2/3: 'b' ✓")]),
        ("{type: sequence, tools: [a, b, a]}", "a", [(0, "Sequence order violated: 'a' before 'a'")]),
        (G + "sequences: [{type: sequence, tools: [x, g]}]", "bxa", [
            (0, "Sequence order violated: 'b' before 'x'"), (1, "Sequence step 1/2: 'x' ✓"),
            (1, "Sequence step 2/2: 'a' ✓")]),
        ("{type: sequence, tools: []}", "a", [(1, "Sequence complete ✓")]),
        ("{type: blocklist, pattern: exec}", ["run_exec_cmd", "Exec", "exec"], [
            (0, "'run_exec_cmd' matches blocklist pattern 'exec'"), (1, "'Exec' does not match blocklist 'exec'"),
            (0, "'exec' matches blocklist pattern 'exec'")]),
        ("{type: blocklist, pattern: ''}", ["a", ""], [
            (0, "'a' matches blocklist pattern ''"), (0, "'' matches blocklist pattern ''")]),
        ("{type: max_calls, tool: read, max: 0}", ["Read", "read_file"], [(1, "'read' call 0/0")] * 2),
    ],
)
def test_rule_decisions(explain, rule, tools, expected):
    body = rule if rule.startswith("aliases") else f"sequences: [{rule}]"
    report = explain(body, list(tools))
    assert rule_at(report) == [(bool(p), text) for p, text in expected]


@pytest.mark.parametrize(
    "rule, tools, rule_id, contexts",
    [
        ("{type: require, tool: Run_Tests}", "x", "require_run_tests", [None]),
        ("{type: eventually, tool: A, within: 1}", ["x", "A"], "eventually_a_1", [
            {"current_index": 0, "required_tool": "A", "seen": False, "within": 1},
            {"current_index": 1, "required_tool": "A", "seen": True, "within": 1}]),
        ("{type: max_calls, tool: Write_File, max: 5}", ["Write_File"], "max_calls_write_file_5", [
            {"current_count": 1, "max": 5, "tool": "Write_File"}]),
        ("{type: before, first: Read, then: Edit}", ["Edit", "x"], "before_read_then_edit", [
            {"first": "Read", "first_seen": False, "is_then_call": True, "then": "Edit"},
            {"first": "Read", "first_seen": False, "is_then_call": False, "then": "Edit"}]),
        ("{type: after, trigger: Edit, then: Test, within: 3}", ["Edit"], "after_edit_then_test", [
            {"then": "Test", "trigger": "Edit", "within": 3}]),
        ("{type: never_after, trigger: Commit, forbidden: Edit}", ["x", "Commit", "x"],
         "never_after_commit_forbidden_edit", [
             {"forbidden": "Edit", "trigger": "Commit", "triggered": False},
             {"forbidden": "Edit", "trigger": "Commit", "triggered": True},
             {"forbidden": "Edit", "trigger": "Commit", "triggered": True}]),
        ("{type: sequence, tools: [A, B], strict: true}", ["A", "B"], "sequence_a_b", [
            {"progress": 0, "strict": True, "tools": ["A", "B"]}, {"progress": 1, "strict": True, "tools": ["A", "B"]}]),
        ("{type: blocklist, pattern: RM -RF}", ["x"], "blocklist_rm -rf", [None]),
    ],
)
def test_rule_ids_and_contexts(explain, rule, tools, rule_id, contexts):
    report = explain(f"sequences: [{rule}]", tools)
    entries = [s["rules_evaluated"][0] for s in report["steps"]]
    assert [e["rule_id"] for e in entries] == [rule_id] * len(tools)
    assert [e["rule_type"] for e in entries] == [rule.split("type: ")[1].split(",")[0]] * len(tools)
    assert [e.get("context") for e in entries] == contexts
    assert all(list(e.get("context", {})) == sorted(e.get("context", {})) for e in entries)


def test_empty_trace(explain):
    assert explain("sequences: [{type: require, tool: a}]", [], raw=True) == (
        '{"policy_name":"p","policy_version":"1","total_steps":0,"allowed_steps":0,"blocked_steps":0,'
        '"steps":[],"blocking_rules":[]}')


def test_report_layout(explain):
    # key order, no whitespace, absent args/context/first_block_index left out
    text = explain("sequences: [{type: require, tool: a}, {type: max_calls, tool: a, max: 9}]",
                   [{"tool": "a", "args": {"z": 1, "y": [1.0, None]}}, "a"], raw=True)
    assert text == (
        '{"policy_name":"p","policy_version":"1","total_steps":2,"allowed_steps":2,"blocked_steps":0,"steps":['
        '{"index":0,"tool":"a","args":{"y":[1.0,null],"z":1},"verdict":"allowed","rules_evaluated":['
        '{"rule_id":"require_a","rule_type":"require","passed":true,"explanation":"Require \'a\' (checked at end)"},'
        '{"rule_id":"max_calls_a_9","rule_type":"max_calls","passed":true,"explanation":"\'a\' call 1/9",'
        '"context":{"current_count":1,"max":9,"tool":"a"}}],"state_snapshot":{"calls:a":"1"}},'
        '{"index":1,"tool":"a","verdict":"allowed","rules_evaluated":['
        '{"rule_id":"require_a","rule_type":"require","passed":true,"explanation":"Require \'a\' (checked at end)"},'
        '{"rule_id":"max_calls_a_9","rule_type":"max_calls","passed":true,"explanation":"\'a\' call 2/9",'
        '"context":{"current_count":2,"max":9,"tool":"a"}}],"state_snapshot":{"calls:a":"2"}}],"blocking_rules":[]}')


def test_names_are_escaped_everywhere(explain):
    name = 'q"uo\\te\n\x01é'
    text = explain(f"sequences: [{{type: max_calls, tool: {json.dumps(name)}, max: 0}}]", [name, {"args": 5}], raw=True)
    assert "\n" not in text and "\\u0001" in text and "é" in text
    report = json.loads(text)
    first, second = report["steps"]
    assert first["tool"] == name and second["args"] == 5
    assert first["rules_evaluated"][0]["explanation"] == f"'{name}' exceeded max calls (1 > 0)"
    assert first["rules_evaluated"][0]["rule_id"] == f"max_calls_{name.lower()}_0"
    assert first["state_snapshot"] == {f"calls:{name}": "1"}
    assert report["blocking_rules"] == [f"max_calls_{name.lower()}_0"]


def test_tool_check_comes_first_and_blocked_steps_still_count(explain):
    body = ("tools: {allow: [a, d], deny: [d]}\naliases: {g: [m]}\n"
            "sequences: [{type: max_calls, tool: d, max: 1}, {type: require, tool: d}]")
    report = explain(body, ["d", "m", "g", "d"])
    steps = report["steps"]
    assert [s["verdict"] for s in steps] == ["blocked", "allowed", "blocked", "blocked"]
    assert steps[0]["rules_evaluated"][0] == {
        "rule_id": "deny_list", "rule_type": "deny", "passed": False, "explanation": "Tool 'd' is in deny list"}
    assert steps[2]["rules_evaluated"][0] == {
        "rule_id": "allow_list", "rule_type": "allow", "passed": False, "explanation": "Tool 'g' is not in allow list"}
    assert [len(s["rules_evaluated"]) for s in steps] == [3, 2, 3, 3]
    assert steps[3]["rules_evaluated"][1]["explanation"] == "'d' exceeded max calls (2 > 1)"
    assert [s["state_snapshot"] for s in steps] == [
        {"calls:d": "1"}, {"calls:d": "1", "calls:m": "1"}, {"calls:d": "1", "calls:g": "1", "calls:m": "1"},
        {"calls:d": "2", "calls:g": "1", "calls:m": "1"}]
    assert report["blocking_rules"] == ["deny_list", "allow_list"]  # the require rule was met by blocked calls
    assert (report["allowed_steps"], report["blocked_steps"], report["first_block_index"]) == (1, 3, 0)


def test_empty_allow_list_admits_alias_members_only(explain):
    report = explain("tools: {allow: []}\naliases: {grp: [m]}", ["m", "grp"])
    assert [s["verdict"] for s in report["steps"]] == ["allowed", "blocked"]


def test_blocking_rules_order_and_end_of_trace_records(explain):
    body = ("sequences: [{type: require, tool: r}, {type: blocklist, pattern: x}, {type: before, first: q, then: x},"
            " {type: after, trigger: t, then: u, within: 5}, {type: after, trigger: v, then: u}, {type: require, tool: a}]")
    report = explain(body, ["a", "x", "x", "v", "u", "t"])
    assert [s["verdict"] for s in report["steps"]] == ["allowed", "blocked", "blocked", "allowed", "allowed", "allowed"]
    # the before rule failed only where the blocklist had blocked first; the last step's own verdict stands
    assert report["steps"][1]["rules_evaluated"][2]["passed"] is False
    assert report["blocking_rules"] == ["blocklist_x", "require_r", "after_t_then_u"]
    assert (report["allowed_steps"], report["blocked_steps"], report["first_block_index"]) == (4, 2, 1)
    last = report["steps"][-1]["rules_evaluated"]
    assert len(last) == 8
    assert last[6:] == [
        {"rule_id": "require_r", "rule_type": "require", "passed": False,
         "explanation": "Required tool 'r' never called"},
        {"rule_id": "after_t_then_u", "rule_type": "after", "passed": False,
         "explanation": "'t' triggered at 5, but 'u' never called within 5 steps (trace ended)",
         "context": {"deadline": 10, "trace_len": 6, "trigger": "t"}}]


@pytest.mark.parametrize(
    "tools, end_records",
    [
        ("abxx", 0),   # answered in time: the window is gone
        ("axxbx", 0),  # answered late: the deadline plays no part at the end
        ("abab", 0),
        ("aba", 1),    # a new trigger needs its own answer
        ("xx", 0),     # never triggered
    ],
)
def test_after_end_of_trace_check(explain, tools, end_records):
    report = explain("sequences: [{type: after, trigger: a, then: b, within: 1}]", list(tools))
    assert len(report["steps"][-1]["rules_evaluated"]) == 1 + end_records


def test_explainer_keeps_its_own_policy(write_policy):
    path = write_policy("version: '1'\nsequences: [{type: require, tool: a}]\n", name="same.yaml")
    policy = Policy.from_file(path)
    explainer = TraceExplainer(policy=policy)
    before = explainer.explain([{"tool": "b"}])
    del policy
    write_policy("version: '2'\nsequences: []\n", name="same.yaml")
    Policy.from_file(path)
    assert explainer.explain(traces=[{"tool": "b"}]) == before
    assert before == TraceExplainer(Policy.from_file(write_policy(
        "version: '1'\nsequences: [{type: require, tool: a}]\n"))).explain([{"tool": "b"}])


class Steps:
    """A sequence of one step whose iteration fails with the given exception."""

    def __init__(self, error):
        self.error = error

    def __getitem__(self, i):
        raise self.error

    def __len__(self):
        raise RuntimeError("length is ignored")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda x: TraceExplainer(), TypeError, "TraceExplainer.__new__() missing 1 required positional argument: 'policy'"),
        (lambda x: TraceExplainer(x, x), TypeError, "TraceExplainer.__new__() takes 1 positional argument but 2 were given"),
        (lambda x: TraceExplainer(5), TypeError, "argument 'policy': 'int' object cannot be converted to 'Policy'"),
        (lambda x: TraceExplainer(policy=x).explain(), TypeError,
         "TraceExplainer.explain() missing 1 required positional argument: 'traces'"),
        (lambda x: TraceExplainer(x).explain(steps=[]), TypeError,
         "TraceExplainer.explain() got an unexpected keyword argument 'steps'"),
        (lambda x: TraceExplainer(x).explain("[]"), TypeError, "argument 'traces': Can't extract `str` to `Vec`"),
        (lambda x: TraceExplainer(x).explain({"tool": "a"}), TypeError,
         "argument 'traces': 'dict' object cannot be converted to 'Sequence'"),
        (lambda x: TraceExplainer(x).explain({"a"}), TypeError,
         "argument 'traces': 'set' object cannot be converted to 'Sequence'"),
        (lambda x: TraceExplainer(x).explain(iter([])), TypeError,
         "argument 'traces': 'list_iterator' object cannot be converted to 'Sequence'"),
        (lambda x: TraceExplainer(x).explain(b"ab"), ValueError,
         "Invalid tool call format: unexpected type: 'int' object cannot be converted to 'Mapping'"),
        (lambda x: TraceExplainer(x).explain(Steps(TypeError("bad item"))), TypeError, "argument 'traces': bad item"),
        (lambda x: TraceExplainer(x).explain(Steps(KeyError("k"))), KeyError, "'k'"),
    ],
)
def test_argument_errors(write_policy, call, error, message):
    policy = Policy.from_file(write_policy("version: '1'\n"))
    with pytest.raises(error) as info:
        call(policy)
    assert type(info.value) is error and str(info.value) == message


@pytest.mark.parametrize("trace", [[], (), range(0), ({"tool": "a"},)])
def test_sequences_accepted(write_policy, trace):
    report = json.loads(TraceExplainer(Policy.from_file(write_policy("version: '1'\n"))).explain(trace))
    assert report["total_steps"] == len(trace)


def test_signatures():
    assert TraceExplainer.__text_signature__ == "(policy)"
    assert str(inspect.signature(TraceExplainer)) == "(policy)"
    assert TraceExplainer.__doc__ is None
    assert TraceExplainer.explain.__text_signature__ == "($self, traces)"
    assert TraceExplainer.explain.__doc__ is None


@pytest.mark.parametrize("tool", ["plain", "é", "x" * 37 + "é" + "y" * 40, "✓" + "z" * 33, "q" * 20 + "𝄞é✓" * 3])
def test_report_str_of_every_width(explain, tool):
    # ASCII, Latin-1, two-byte and four-byte strs must come out equal to (and hash like) the same text built in Python
    report = explain("", [tool], raw=True)
    expected = ('{"policy_name":"p","policy_version":"1","total_steps":1,"allowed_steps":1,"blocked_steps":0,"steps":['
                f'{{"index":0,"tool":"{tool}","verdict":"allowed","rules_evaluated":[],'
                f'"state_snapshot":{{"calls:{tool}":"1"}}}}],"blocking_rules":[]}}')
    assert report == expected and hash(report) == hash(expected)
    assert report.isascii() == tool.isascii()


def test_bundled_example_trace():
    examples = Path(__file__).resolve().parent.parent / "examples"
    explainer = TraceExplainer(Policy.from_file(str(examples / "policy.yaml")))
    report = json.loads(explainer.explain(json.loads((examples / "trace.json").read_text())))
    assert [s["verdict"] for s in report["steps"]] == ["allowed"] * 6 + ["blocked"] * 2
    assert report["blocking_rules"] == [
        "never_after_git_commit_forbidden_edit_file", "allow_list", "after_edit_file_then_run_tests"]
