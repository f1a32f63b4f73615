"""Property tests: random values, policies and traces through the public classes.

Each property holds the output to an independent Python model: the JSON text
of a record against a reference writer, and the explanation and coverage
reports against the invariants that tie their fields together.
"""

import json
import math
import os
import re
from decimal import Decimal

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import ostik

# OSTIK_PROPERTY_EXAMPLES raises the bound for a deeper run by hand.
SETTINGS = settings(max_examples=int(os.environ.get("OSTIK_PROPERTY_EXAMPLES", "150")), deadline=None, suppress_health_check=[HealthCheck.too_slow])


def require_class(name):
    """The class under test; skipped only while its branch has not landed."""
    cls = getattr(ostik, name, None)
    if cls is None:
        pytest.skip(f"{name} not built yet")
    return cls


# --- reference JSON writer -------------------------------------------------

_SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def ref_string(s):
    out = []
    for ch in s:
        if ch in _SHORT_ESCAPES:
            out.append(_SHORT_ESCAPES[ch])
        elif ord(ch) < 0x20:
            out.append(f"\\u{ord(ch):04x}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def ref_float(x):
    if not math.isfinite(x):
        return "null"
    if x == 0:
        return "-0.0" if math.copysign(1, x) < 0 else "0.0"
    # repr gives the shortest digits that read back as the same double.
    _, digit_tuple, exponent = Decimal(repr(abs(x))).normalize().as_tuple()
    digits = "".join(map(str, digit_tuple))
    n = len(digits)
    e = exponent + n - 1  # the decimal exponent of the first digit
    sign = "-" if x < 0 else ""
    if -5 <= e <= 15:
        if e < 0:
            return sign + "0." + "0" * (-e - 1) + digits
        if e <= n - 2:
            return sign + digits[: e + 1] + "." + digits[e + 1:]
        return sign + digits + "0" * (e - n + 1) + ".0"
    return sign + digits[0] + ("." + digits[1:] if n > 1 else "") + ("e-" if e < 0 else "e+") + str(abs(e))


def ref_json(v, keep_order=False):
    """The JSON text of `v`; dicts in key order, or as given with keep_order."""
    if v is None:
        return "null"
    if v is True:
        return "true"
    if v is False:
        return "false"
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        return ref_float(v)
    if isinstance(v, str):
        return ref_string(v)
    if isinstance(v, (list, tuple)):
        return "[" + ",".join(ref_json(x, keep_order) for x in v) + "]"
    if isinstance(v, dict):
        # Ascending byte order of the UTF-8 keys is code point order.
        keys = list(v) if keep_order else sorted(v)
        return "{" + ",".join(ref_string(k) + ":" + ref_json(v[k], keep_order) for k in keys) + "}"
    raise AssertionError(type(v))


@pytest.mark.parametrize("x, text", [
    (0.1, "0.1"), (100.0, "100.0"), (1e15, "1000000000000000.0"), (1e16, "1e+16"), (1.5e-7, "1.5e-7"),
    (1e-5, "0.00001"), (-0.0, "-0.0"), (123.456, "123.456"), (5e-324, "5e-324"), (1.7976931348623157e308,
                                                                                   "1.7976931348623157e+308"),
])
def test_reference_float_form(x, text):
    # The model itself, on the forms the writing rules name.
    assert ref_float(x) == text


# --- record_trace ----------------------------------------------------------

SCALARS = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(allow_nan=True, allow_infinity=True)
    | st.text(alphabet=st.characters(codec="utf-8"), max_size=20)
    | st.sampled_from(["", '"', "\\", "/", "\x00\x01\x1f\x7f", "\b\t\n\f\r", "é\u2028\U0001f600", "\\u0041"])
)

KEYS = st.text(alphabet=st.characters(codec="utf-8"), max_size=8)

VALUES = st.recursive(
    SCALARS,
    lambda children: st.lists(children, max_size=6)
    | st.lists(children, max_size=4).map(tuple)
    | st.dictionaries(KEYS, children, max_size=6),
    max_leaves=40,
)


def to_expected(v):
    """What json.loads must give back: tuples as lists, non-finite floats as null."""
    if isinstance(v, float) and not math.isfinite(v):
        return None
    if isinstance(v, (list, tuple)):
        return [to_expected(x) for x in v]
    if isinstance(v, dict):
        return {k: to_expected(x) for k, x in v.items()}
    return v


def same(a, b):
    """Equality that also tells int from float and 0.0 from -0.0."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


@pytest.fixture(scope="module")
def write_policy(tmp_path_factory):
    """Writes policy text over one file (shared by all examples) and returns its path."""
    path = tmp_path_factory.mktemp("policies") / "policy.yaml"

    def write(text):
        path.write_text(text, encoding="utf-8")
        return str(path)

    return write


@pytest.fixture(scope="module")
def trace_path(tmp_path_factory):
    return str(tmp_path_factory.mktemp("records") / "trace.jsonl")


@SETTINGS
@given(values=st.lists(VALUES, min_size=1, max_size=3))
def test_recorded_values_read_back_equal(trace_path, values):
    client_cls = require_class("OstikClient")
    with open(trace_path, "wb"):
        pass
    client = client_cls(trace_path)
    for v in values:
        assert client.record_trace(v) is None
    del client
    with open(trace_path, "rb") as f:
        data = f.read()
    lines = data.split(b"\n")
    assert lines[-1] == b"", "the file ends with a line feed"
    assert len(lines) == len(values) + 1, "one line per record, none split"
    for line, v in zip(lines, values):
        text = line.decode("utf-8")
        assert text == ref_json(v)
        assert same(json.loads(text), to_expected(v))


@SETTINGS
@given(n=st.one_of(st.integers(min_value=2**64, max_value=2**128 - 1),
                   st.integers(min_value=-(2**127), max_value=-(2**63) - 1)))
def test_integers_outside_64_bits_are_refused_and_write_nothing(tmp_path_factory, n):
    client_cls = require_class("OstikClient")
    path = tmp_path_factory.mktemp("range") / "trace.jsonl"
    client = client_cls(str(path))
    with pytest.raises(ValueError, match="^Invalid trace format: JSON number out of range$"):
        client.record_trace({"a": [1, n]})
    del client
    assert path.read_bytes() == b""


# --- random policies and traces --------------------------------------------

# A small name pool so that rules, lists, aliases and steps refer to the same
# tools; it includes names whose lower-casing is not ASCII-simple.
NAMES = st.sampled_from(["read", "write", "Exec", "rm", "ΟΔΟΣ", "İd", "a b", "x\"y", "grp", "ops", "unknown", ""])
TOOL_NAMES = NAMES | st.text(alphabet="abcé", min_size=1, max_size=3)
SMALL = st.integers(min_value=0, max_value=4)

RULES = st.one_of(
    st.fixed_dictionaries({"type": st.just("require"), "tool": NAMES}),
    st.fixed_dictionaries({"type": st.just("eventually"), "tool": NAMES, "within": SMALL}),
    st.fixed_dictionaries({"type": st.just("max_calls"), "tool": NAMES, "max": SMALL}),
    st.fixed_dictionaries({"type": st.just("before"), "first": NAMES, "then": NAMES}),
    st.fixed_dictionaries({"type": st.just("after"), "trigger": NAMES, "then": NAMES},
                          optional={"within": SMALL}),
    st.fixed_dictionaries({"type": st.just("never_after"), "trigger": NAMES, "forbidden": NAMES}),
    st.fixed_dictionaries({"type": st.just("sequence"), "tools": st.lists(NAMES, max_size=4)},
                          optional={"strict": st.booleans()}),
    st.fixed_dictionaries({"type": st.just("blocklist"), "pattern": st.sampled_from(["ex", "rm", "", "Σ"])}),
)

# Tools, argument names, values and constraints: few enough that calls often
# meet the rules; patterns that mean the same in RE2 and in Python's re.
ARG_TOOLS = st.sampled_from(["read", "Exec", "grp"])
ARG_CALL_TOOLS = st.sampled_from(["read", "Exec", "write"])
ARG_NAMES = st.sampled_from(["a", "b", "é", "ΣX"])
ARG_SCALARS = (st.none() | st.booleans() | st.integers(-3, 3) | st.sampled_from([1.0, 2.5, -0.5, 2**63])
               | st.sampled_from(["", "a", "ab", "é€", "ba", "aaaa"]))
ARG_VALUES = ARG_SCALARS | st.lists(ARG_SCALARS, max_size=3) | st.dictionaries(ARG_NAMES, ARG_SCALARS, max_size=2)
SUBSTRINGS = st.sampled_from(["a", "b", "é", ""])
PATTERNS = st.sampled_from(["^a", "b$", "é", "a|b", "", "^a+$", "[^a]"])
OPERATORS = {
    "equals": ARG_VALUES,
    "one_of": st.lists(ARG_SCALARS, max_size=3),
    "not_one_of": st.lists(ARG_SCALARS, max_size=3),
    "contains": SUBSTRINGS | st.lists(SUBSTRINGS, max_size=2),
    "not_contains": SUBSTRINGS | st.lists(SUBSTRINGS, max_size=2),
    "matches": PATTERNS,
    "not_matches": PATTERNS,
    "min": st.integers(-3, 3) | st.sampled_from([0.5, -1.5, 2**63]),
    "max": st.integers(-3, 3) | st.sampled_from([0.5, -1.5, 2**63]),
    "max_length": st.integers(0, 4),
}
CONSTRAINTS = (ARG_SCALARS | st.lists(ARG_SCALARS, max_size=2)
               | st.fixed_dictionaries({}, optional=OPERATORS).filter(bool))

POLICIES = st.fixed_dictionaries(
    {"version": st.sampled_from(["1", "2.0"]), "sequences": st.lists(RULES, max_size=6)},
    optional={
        "name": NAMES,
        "tools": st.fixed_dictionaries({}, optional={
            "allow": st.lists(NAMES, max_size=4),
            "deny": st.lists(NAMES, max_size=3),
            "require_args": st.dictionaries(ARG_TOOLS | NAMES, st.lists(ARG_NAMES | NAMES, max_size=2), max_size=2),
            "arg_constraints": st.dictionaries(ARG_TOOLS, st.dictionaries(ARG_NAMES, CONSTRAINTS, max_size=3),
                                               max_size=2),
        }),
        "aliases": st.dictionaries(st.sampled_from(["grp", "ops", "read"]), st.lists(NAMES, max_size=3),
                                   max_size=3),
        "on_error": st.sampled_from(["block", "allow"]),
    },
)

# Policies that always have argument rules, for the guard's properties.
ARGUMENT_POLICIES = st.fixed_dictionaries(
    {"version": st.just("1"), "sequences": st.lists(RULES, max_size=3),
     "tools": st.fixed_dictionaries(
         {"arg_constraints": st.dictionaries(ARG_TOOLS, st.dictionaries(ARG_NAMES, CONSTRAINTS, min_size=1,
                                                                        max_size=3), min_size=1, max_size=2)},
         optional={"require_args": st.dictionaries(ARG_TOOLS, st.lists(ARG_NAMES, max_size=2), max_size=2),
                   "deny": st.lists(NAMES, max_size=2)})},
    optional={"aliases": st.dictionaries(st.sampled_from(["grp"]), st.lists(ARG_CALL_TOOLS, max_size=2),
                                         max_size=1)},
)

ARGS = st.recursive(st.none() | st.integers(-5, 5) | st.floats(allow_nan=False) | st.text(max_size=5),
                    lambda c: st.lists(c, max_size=3) | st.dictionaries(st.text(max_size=3), c, max_size=3),
                    max_leaves=6)

STEPS = st.one_of(
    st.builds(lambda t: {"tool": t}, TOOL_NAMES),
    st.builds(lambda t, a: {"tool": t, "args": a}, TOOL_NAMES, ARGS),
    st.builds(lambda t, a: {"tool": t, "args": a}, ARG_CALL_TOOLS, st.dictionaries(ARG_NAMES, ARG_VALUES, max_size=3)),
    st.builds(lambda t, a: {"name": t, "arguments": a}, TOOL_NAMES, ARGS),
    st.builds(lambda t: {"tool_name": t, "other": object()}, TOOL_NAMES),
    st.just({}),
)
TRACES = st.lists(STEPS, max_size=8)

def rule_id(rule):
    k = rule["type"]
    if k == "require":
        return "require_" + rule["tool"].lower()
    if k == "eventually":
        return f"eventually_{rule['tool'].lower()}_{rule['within']}"
    if k == "max_calls":
        return f"max_calls_{rule['tool'].lower()}_{rule['max']}"
    if k == "before":
        return f"before_{rule['first'].lower()}_then_{rule['then'].lower()}"
    if k == "after":
        return f"after_{rule['trigger'].lower()}_then_{rule['then'].lower()}"
    if k == "never_after":
        return f"never_after_{rule['trigger'].lower()}_forbidden_{rule['forbidden'].lower()}"
    if k == "sequence":
        return "sequence_" + "_".join(rule["tools"]).lower()
    return "blocklist_" + rule["pattern"].lower()


def step_tool(step):
    return step.get("tool", step.get("name", step.get("tool_name", "unknown")))


def tool_check(policy, tool):
    """The tool-check failure id for a step, or None."""
    tools = policy.get("tools", {})
    if "deny" in tools and tool in tools["deny"]:
        return "deny_list"
    if "allow" in tools:
        members = {m for ms in policy.get("aliases", {}).values() for m in ms}
        if tool not in tools["allow"] and tool not in members:
            return "allow_list"
    return None


def load(write_policy, policy):
    # JSON is YAML's flow style: the generated policy is written as is.
    return ostik.Policy.from_file(write_policy(json.dumps(policy, ensure_ascii=False)))


EXPLANATION_KEYS = ["policy_name", "policy_version", "total_steps", "allowed_steps", "blocked_steps",
                    "first_block_index", "steps", "blocking_rules"]
STEP_KEYS = ["index", "tool", "args", "verdict", "rules_evaluated", "state_snapshot"]
EVAL_KEYS = ["rule_id", "rule_type", "passed", "explanation", "context"]


def assert_key_order(obj, keys, optional):
    present = [k for k in keys if k in obj]
    assert list(obj) == present
    assert set(keys) - set(obj) <= set(optional)


def check_explanation(policy, trace, text):
    report = json.loads(text)
    # Compact, canonically escaped text: the parsed report written again in
    # its own key order gives the same bytes.
    assert text == ref_json(report, keep_order=True)
    assert_key_order(report, EXPLANATION_KEYS, {"first_block_index"})
    rules = policy["sequences"]
    steps = report["steps"]
    assert report["policy_name"] == policy.get("name", "")
    assert report["policy_version"] == policy["version"]
    assert report["total_steps"] == len(trace) == len(steps)
    assert report["allowed_steps"] + report["blocked_steps"] == report["total_steps"]
    assert report["blocked_steps"] == sum(s["verdict"] == "blocked" for s in steps)

    counts = {}
    failed_ids = set()
    for i, (step, given_step) in enumerate(zip(steps, trace)):
        assert_key_order(step, STEP_KEYS, {"args", "state_snapshot"})
        tool = step_tool(given_step)
        assert step["index"] == i and step["tool"] == tool
        args = given_step.get("args")
        if args is None:
            args = given_step.get("arguments")
        if args is None:
            assert "args" not in step
        else:
            assert same(step["args"], to_expected(args))
            assert ref_json(step["args"], keep_order=True) == ref_json(step["args"]), "object keys sorted"
        evals = step["rules_evaluated"]
        for e in evals:
            assert_key_order(e, EVAL_KEYS, {"context"})
            assert isinstance(e["passed"], bool) and e["explanation"]
        gate = tool_check(policy, tool)
        own = evals[: len(rules) + (gate is not None)]
        if gate is not None:
            first = own[0]
            assert (first["rule_id"], first["passed"], "context" in first) == (gate, False, False)
            assert first["rule_type"] == {"deny_list": "deny", "allow_list": "allow"}[gate]
            own = own[1:]
        # One entry per rule, in policy order, after the tool-check entry.
        assert [e["rule_type"] for e in own] == [r["type"] for r in rules]
        assert [e["rule_id"] for e in own] == [rule_id(r) for r in rules]
        blocked = gate is not None or not all(e["passed"] for e in own)
        assert step["verdict"] == ("blocked" if blocked else "allowed")
        failed_ids.update(e["rule_id"] for e in evals if not e["passed"])
        extra = evals[len(own) + (gate is not None):]
        if i < len(steps) - 1:
            assert extra == []
        for e in extra:  # end-of-trace results on the last step only
            assert e["rule_type"] in ("require", "after") and e["passed"] is False
        counts[tool] = counts.get(tool, 0) + 1
        assert step["state_snapshot"] == {f"calls:{t}": str(n) for t, n in counts.items()}

    blocked_at = [i for i, s in enumerate(steps) if s["verdict"] == "blocked"]
    if blocked_at:
        assert report["first_block_index"] == blocked_at[0]
    else:
        assert "first_block_index" not in report
    blocking = report["blocking_rules"]
    assert len(blocking) == len(set(blocking))
    assert set(blocking) <= failed_ids
    if not trace:
        assert blocking == []
    return report


@SETTINGS
@given(policy=POLICIES, trace=TRACES)
def test_explain_holds_its_invariants(write_policy, policy, trace):
    explainer_cls = require_class("TraceExplainer")
    explainer = explainer_cls(load(write_policy, policy))
    text = explainer.explain(trace)
    check_explanation(policy, trace, text)
    # Calls are independent: the same trace gives the same report again
    # (up to the unspecified order inside the snapshots).
    assert json.loads(explainer.explain(tuple(trace))) == json.loads(text)


CALLS = st.lists(st.tuples(TOOL_NAMES, st.none() | ARGS) | st.tuples(
    ARG_CALL_TOOLS, st.dictionaries(ARG_NAMES, ARG_VALUES, max_size=3)), max_size=8)


# --- argument rules, restated ------------------------------------------------

def value_equal(a, b):
    """Equality of JSON values: same type and value (1 and 1.0 differ, as do True and 1)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(value_equal(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(value_equal(a[k], b[k]) for k in a)
    return a == b


def is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def operator_holds(op, operand, v):
    text = isinstance(v, str)
    if op == "equals":
        return value_equal(v, operand)
    if op in ("one_of", "not_one_of"):
        return any(value_equal(v, x) for x in operand) == (op == "one_of")
    if op in ("contains", "not_contains"):
        subs = [operand] if isinstance(operand, str) else operand
        return text and any(x in v for x in subs) == (op == "contains")
    if op in ("matches", "not_matches"):
        return text and (re.search(operand, v) is not None) == (op == "matches")
    if op == "min":
        return is_number(v) and v >= operand  # Python compares int and float exactly
    if op == "max":
        return is_number(v) and v <= operand
    return (text or isinstance(v, list)) and len(v) <= operand  # max_length: characters or items


def shown(v):
    text = ref_json(v)
    return text if len(text) <= 80 else text[:77] + "..."


def argument_failures(policy, tool, args):
    """The report entries of the argument rules a call fails, in their order."""
    tools = policy.get("tools", {})
    aliases = policy.get("aliases", {})

    def meets(name):
        return tool in aliases[name] if name in aliases else tool == name

    held = args if isinstance(args, dict) else {}
    out = []
    for name, required in sorted(tools.get("require_args", {}).items()):
        missing = [arg for arg in required if arg not in held]
        if meets(name) and missing:
            out.append({"rule_id": f"require_args_{name.lower()}", "rule_type": "require_args", "passed": False,
                        "explanation": f"Tool '{name}' requires argument '{missing[0]}'",
                        "context": {"argument": missing[0], "tool": name}})
    for name, constraints in sorted(tools.get("arg_constraints", {}).items()):
        for arg, constraint in sorted(constraints.items()):
            if not meets(name) or arg not in held:
                continue
            ops = constraint.items() if isinstance(constraint, dict) else [("equals", constraint)]
            failed = [op for op in OPERATORS if op in dict(ops) and not operator_holds(op, dict(ops)[op], held[arg])]
            if failed:
                out.append({"rule_id": f"arg_{name.lower()}_{arg.lower()}", "rule_type": "arg_constraint",
                            "passed": False,
                            "explanation": f"Argument '{arg}' of '{name}' violates {failed[0]}: {shown(held[arg])}",
                            "context": {"argument": arg, "operator": failed[0], "tool": name}})
    return out


def step_args(step):
    args = step.get("args")
    return step.get("arguments") if args is None else args


def failure_entry(f):
    entry = {"rule_id": f.rule_id, "rule_type": f.rule_type, "passed": False, "explanation": f.explanation}
    if f.context is not None:
        entry["context"] = f.context
    return entry


@SETTINGS
@given(policy=POLICIES | ARGUMENT_POLICIES, calls=CALLS)
def test_guard_decides_as_explain(write_policy, policy, calls):
    # The i-th decision is step i of the explanation of the same calls, and
    # finish() gives the last step's end-of-trace entries.
    p = load(write_policy, policy)
    session = require_class("Guard")(p).session(mode="observe")
    steps = [{"tool": t} if a is None else {"tool": t, "args": a} for t, a in calls]
    report = json.loads(ostik.TraceExplainer(p).explain(steps))
    rules = policy["sequences"]
    for i, ((tool, args), step) in enumerate(zip(calls, report["steps"])):
        peeked = session.peek(tool, args)
        decision = session.check(tool, args)
        assert peeked == decision
        evals = step["rules_evaluated"]
        gated = tool_check(policy, tool) is not None
        own = len(rules) + gated
        # The explanation's failures, and the argument failures after the tool check.
        failed = [e for e in evals[:own] if not e["passed"]]
        failed[gated:gated] = argument_failures(policy, tool, args)
        assert decision.verdict == ("blocked" if failed else "allowed")
        assert [failure_entry(f) for f in decision.failures] == failed
        assert decision.step == i
        assert decision.blocked_by == (failed[0]["rule_id"] if failed else None)
        assert decision.reason == (failed[0]["explanation"] if failed else "")
    finish = [failure_entry(f) for f in session.finish()]
    if calls:
        evals = report["steps"][-1]["rules_evaluated"]
        assert finish == evals[len(rules) + (tool_check(policy, calls[-1][0]) is not None):]
    else:
        assert [e["rule_id"] for e in finish] == [rule_id(r) for r in rules if r["type"] == "require"]


@SETTINGS
@given(constraint=CONSTRAINTS, value=ARG_VALUES | st.text(alphabet="abé€", max_size=90))
def test_a_constraint_judges_a_value_as_restated(write_policy, constraint, value):
    policy = {"version": "1", "tools": {"arg_constraints": {"t": {"x": constraint}}}}
    decision = require_class("Guard")(load(write_policy, policy)).session().check("t", {"x": value})
    assert [failure_entry(f) for f in decision.failures] == argument_failures(policy, "t", {"x": value})


@SETTINGS
@given(policy=POLICIES | ARGUMENT_POLICIES, trace=TRACES)
def test_a_judgement_agrees_with_explain_and_a_session(write_policy, policy, trace):
    # Guard.judge gives the verdicts, failures and blocking rules of the
    # explanation, and what a fresh session's check and finish give.
    p = load(write_policy, policy)
    guard = require_class("Guard")(p)
    judgement = guard.judge(trace)
    report = json.loads(ostik.TraceExplainer(p).explain(trace))
    rules = policy["sequences"]
    decisions = judgement.decisions
    assert judgement.steps == len(decisions) == report["total_steps"]
    session = guard.session(keep=True, mode="observe")
    blocked_at, blocking = [], []
    for decision, step, given in zip(decisions, report["steps"], trace):
        gated = tool_check(policy, step["tool"]) is not None
        own = len(rules) + gated
        failed = [e for e in step["rules_evaluated"][:own] if not e["passed"]]
        failed[gated:gated] = argument_failures(policy, step["tool"], step_args(given))
        assert (decision.step, decision.tool, decision.verdict) == (step["index"], step["tool"],
                                                                    "blocked" if failed else "allowed")
        assert [failure_entry(f) for f in decision.failures] == failed
        if failed:
            blocked_at.append(decision.step)
            blocking.append(failed[0]["rule_id"])
        assert session.check(step_tool(given), step_args(given)) == decision
    assert judgement.blocked_steps == len(blocked_at)
    assert judgement.first_block == (blocked_at[0] if blocked_at else None)
    blocking += [f.rule_id for f in judgement.end_failures]
    assert judgement.blocking_rules == list(dict.fromkeys(blocking))
    if trace:
        last = report["steps"][-1]["rules_evaluated"]
        own = len(rules) + (tool_check(policy, report["steps"][-1]["tool"]) is not None)
        assert [failure_entry(f) for f in judgement.end_failures] == last[own:]
    else:
        assert [f.rule_id for f in judgement.end_failures] == [rule_id(r) for r in rules if r["type"] == "require"]
    assert judgement.passed == (not blocked_at and not judgement.end_failures)
    assert judgement.end_failures == session.finish()

    # The session's report: the explainer's, with the argument failures in their
    # place and the totals they make; byte for byte the explainer's without them.
    guarded = session.explain()
    if not trace or not any(argument_failures(policy, step_tool(g), step_args(g)) for g in trace):
        assert guarded == ostik.TraceExplainer(p).explain(trace)
    guarded_report = json.loads(guarded)
    for step, decision, plain in zip(guarded_report["steps"], decisions, report["steps"]):
        gated = tool_check(policy, step["tool"]) is not None
        arguments = [failure_entry(f) for f in decision.failures if f.rule_type in ("require_args", "arg_constraint")]
        assert step["rules_evaluated"] == plain["rules_evaluated"][:gated] + arguments + plain["rules_evaluated"][gated:]
        assert step["verdict"] == decision.verdict
    assert (guarded_report["blocked_steps"], guarded_report.get("first_block_index")) == (
        judgement.blocked_steps, judgement.first_block)
    if trace:
        assert guarded_report["blocking_rules"] == judgement.blocking_rules


def policy_tools(policy):
    tools = policy.get("tools", {})
    names = set(tools.get("allow", [])) | set(tools.get("deny", [])) | set(tools.get("require_args", {}))
    for r in policy["sequences"]:
        for field in ("tool", "first", "then", "trigger", "forbidden"):
            if field in r:
                names.add(r[field])
        names.update(r.get("tools", []) if r["type"] == "sequence" else [])
    for alias, members in policy.get("aliases", {}).items():
        names.add(alias)
        names.update(members)
    return names


def is_tool_seen(tool, seen, aliases):
    if tool in seen:
        return True
    if tool in aliases:
        return any(m in seen for m in aliases[tool])
    return any(name in seen for name, members in aliases.items() if tool in members)


COVERAGE_KEYS = ["tool_coverage", "rule_coverage", "high_risk_gaps", "policy_violations", "policy_warnings",
                 "overall_coverage_pct", "meets_threshold", "threshold"]
TOOL_KEYS = ["total_tools_in_policy", "tools_seen_in_traces", "coverage_pct", "unseen_tools", "unexpected_tools"]
RULE_KEYS = ["total_rules", "rules_triggered", "coverage_pct", "untriggered_rules"]


@SETTINGS
@given(policy=POLICIES, traces=st.lists(TRACES, max_size=4),
       threshold=st.floats(allow_nan=True, allow_infinity=True) | st.integers(-200, 200))
def test_analyze_holds_its_invariants(write_policy, policy, traces, threshold):
    analyzer_cls = require_class("CoverageAnalyzer")
    report = json.loads(analyzer_cls(load(write_policy, policy)).analyze(traces, threshold))
    assert list(report) == COVERAGE_KEYS
    tc, rc = report["tool_coverage"], report["rule_coverage"]
    assert list(tc) == TOOL_KEYS and list(rc) == RULE_KEYS
    assert report["policy_violations"] == [] and report["policy_warnings"] == []

    names = policy_tools(policy)
    members = {m for ms in policy.get("aliases", {}).values() for m in ms}
    called = [step_tool(s) for t in traces for s in t]
    assert tc["total_tools_in_policy"] == len(names)
    assert tc["tools_seen_in_traces"] == len({t for t in called if t in names or t in members})
    assert sorted(tc["unexpected_tools"]) == sorted({t for t in called if t not in names and t not in members})
    aliases = policy.get("aliases", {})
    seen = set(called)
    unseen = tc["unseen_tools"]
    assert len(unseen) == len(set(unseen))
    assert set(unseen) == {t for t in names if not is_tool_seen(t, seen, aliases)}

    ids = [rule_id(r) for r in policy["sequences"]]
    gate_ids = {tool_check(policy, t) for t in called} - {None}
    any_steps = bool(called)
    assert rc["total_rules"] == len(ids)
    assert rc["untriggered_rules"] == ([] if any_steps else ids)
    assert rc["rules_triggered"] == (len(set(ids) | gate_ids) if any_steps else 0)

    def pct(part, whole):
        return 100.0 if whole == 0 else part / whole * 100

    assert tc["coverage_pct"] == pct(tc["tools_seen_in_traces"], tc["total_tools_in_policy"])
    assert rc["coverage_pct"] == pct(rc["rules_triggered"], rc["total_rules"])
    overall = (tc["coverage_pct"] + rc["coverage_pct"]) * 0.5
    assert report["overall_coverage_pct"] == overall
    assert report["meets_threshold"] is (overall >= float(threshold))
    if math.isfinite(threshold):
        assert report["threshold"] == float(threshold)
    else:
        assert report["threshold"] is None

    gaps = [g["tool"] for g in report["high_risk_gaps"]]
    assert len(gaps) == len(set(gaps))
    risky = set(policy.get("tools", {}).get("deny", [])) | {
        r["forbidden"] for r in policy["sequences"] if r["type"] == "never_after"}
    assert set(gaps) == {h for h in risky if not h.startswith("*") and not is_tool_seen(h, seen, aliases)}
    for g in report["high_risk_gaps"]:
        assert g["reason"] == "Tool is in deny list but never appeared in test traces" and g["severity"] == "high"


@SETTINGS
@given(policy=POLICIES, trace=TRACES.filter(bool))
def test_one_trace_triggers_what_its_explanation_evaluates(write_policy, policy, trace):
    explainer_cls = require_class("TraceExplainer")
    analyzer_cls = require_class("CoverageAnalyzer")
    p = load(write_policy, policy)
    explanation = json.loads(explainer_cls(p).explain(trace))
    evaluated = {e["rule_id"] for s in explanation["steps"] for e in s["rules_evaluated"]}
    report = json.loads(analyzer_cls(p).analyze([trace], 0))
    assert report["rule_coverage"]["rules_triggered"] == len(evaluated)


@SETTINGS
@given(text=st.text(alphabet=st.sampled_from(list("{}[]:,-?&*!|>'\"#%@` \n\tab01~.") + ["é", "\u2028"]),
                    max_size=60))
def test_any_text_loads_or_raises_value_error(write_policy, text):
    # The loader never crashes on text; the error, if any, is a ValueError
    # with a one-line-or-more message that Python can hold.
    try:
        ostik.Policy.from_file(write_policy(text))
    except ValueError as e:
        assert str(e)
