"""CoverageAccumulator, AuditAccumulator and policy_bytes: partial results that merge exactly."""

import json
import pickle
import re
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import ostik
from ostik import AuditAccumulator, CoverageAccumulator, CoverageAnalyzer, Guard, Policy, policy_bytes

POLICY = """\
version: "1"
name: acc
metadata: {owner: team, limits: [1, -2, 2.5, null, true]}
tools:
  allow: [read, write, fs, login]
  deny: [rm]
  require_args: {write: [path]}
sequences:
  - {type: require, tool: read}
  - {type: never_after, trigger: login, forbidden: drop_db}
  - {type: max_calls, tool: write, max: 2}
  - {type: after, trigger: write, then: read, within: 2}
  - {type: blocklist, pattern: exec}
aliases:
  fs: [read_file, write_file]
"""

# The same records written another way: other order, other layout, comments.
POLICY_REWRITTEN = """\
# the same policy
name: acc
version: '1'
aliases: {fs: [read_file, write_file]}
metadata:
  limits: [1, -2, 2.5, ~, true]
  owner: team
tools:
  require_args:
    write: [path]
  deny: [rm]
  allow: [read, write, fs, login]
sequences:
  - type: require
    tool: read
  - {type: never_after, trigger: login, forbidden: drop_db}
  - {type: max_calls, tool: write, max: 2}
  - {type: after, trigger: write, then: read, within: 2}
  - {type: blocklist, pattern: exec}
"""

TOOLS = ["read", "write", "rm", "login", "drop_db", "read_file", "fs", "shell", "exec_x", "W\u00e9"]

TRACES = [
    [{"tool": "read"}, {"tool": "shell"}],
    [],
    [{"tool": "rm"}, {"name": "read_file", "args": {"p": 1}}],
    [{"tool": "write"}] * 3,
    [{"tool": "login"}, {"tool": "drop_db"}, {"tool_name": "read"}],
]


@pytest.fixture(scope="module")
def policy(tmp_path_factory):
    path = tmp_path_factory.mktemp("policy") / "policy.yaml"
    path.write_text(POLICY)
    return Policy.from_file(str(path))


def steps(*tools):
    return [{"tool": t} for t in tools]


def normalized(report_text):
    """A coverage report with the lists of unspecified order sorted."""
    report = json.loads(report_text)
    tools = report["tool_coverage"]
    tools["unseen_tools"].sort()
    tools["unexpected_tools"].sort()
    report["high_risk_gaps"].sort(key=lambda gap: gap["tool"])
    return report


def accumulated(policy, traces):
    acc = CoverageAccumulator(policy)
    acc.add_many(traces)
    return acc


# --- coverage: the report of analyze ----------------------------------------------------------------------


@pytest.mark.parametrize("traces", [[], [[]], TRACES, TRACES[:1], [steps("unknown"), [{}]]])
@pytest.mark.parametrize("threshold", [0, 80.0, 1e9, float("nan"), float("inf")])
def test_report_is_the_report_of_analyze(policy, traces, threshold):
    expected = CoverageAnalyzer(policy).analyze(traces, threshold)
    assert normalized(accumulated(policy, traces).report(threshold)) == normalized(expected)
    one_by_one = CoverageAccumulator(policy)
    for trace in traces:
        one_by_one.add(trace)
    assert normalized(one_by_one.report(threshold)) == normalized(expected)
    assert (one_by_one.traces, one_by_one.steps) == (len(traces), sum(map(len, traces)))


def test_worked_example_byte_for_byte(write_policy):
    policy = Policy.from_file(write_policy(
        'version: "1"\ntools:\n  allow: [read]\n  deny: [rm]\nsequences:\n  - {type: require, tool: read}\n'))
    acc = CoverageAccumulator(policy)
    acc.add(steps("read", "shell"))
    assert acc.report(80) == CoverageAnalyzer(policy).analyze([steps("read", "shell")], 80)


def test_report_does_not_depend_on_how_traces_were_grouped(policy):
    whole = accumulated(policy, TRACES).report(50)
    parts = [accumulated(policy, [trace]) for trace in reversed(TRACES)]
    for part in parts[1:]:
        parts[0].merge(part)
    # Even the lists of unspecified order: the report sorts the names it was given.
    assert parts[0].report(50) == whole


# --- coverage: arguments and errors -------------------------------------------------------------------------


class NotConvertible:
    pass


# Traces analyze refuses, and how the accumulators, which read steps in ostik's own words, refuse them
# (None: as analyze does).
BAD_TRACES = [
    ("not a list", None),
    (5, None),
    ([1], "Invalid trace format: a step must be a mapping, not int"),
    ([{"tool": 7}], 'Invalid trace format: "tool" must be str, not int'),
    ([{1: "x"}], None),
    ([{"tool": "a", "name": "b"}], 'Invalid trace format: duplicate field `tool`: both "tool" and "name" give '
                                   "the tool's name (only one may, unless the other is null)"),
    ([{"tool": "a", "args": NotConvertible()}], "Invalid trace format: unsupported type NotConvertible"),
    ([{"tool": "a"}, {"params": [NotConvertible()]}], "Invalid trace format: unsupported type NotConvertible"),
]


def error_of(call, *args):
    with pytest.raises((TypeError, ValueError)) as info:
        call(*args)
    return type(info.value), str(info.value)


@pytest.mark.parametrize(("trace", "message"), BAD_TRACES, ids=repr)
def test_errors_are_those_of_analyze_in_ostiks_words(policy, trace, message):
    analyzer = CoverageAnalyzer(policy)
    acc = accumulated(policy, TRACES)
    before = acc.to_bytes()
    expected = error_of(analyzer.analyze, [TRACES[0], trace], 0)
    if message is not None:
        expected = (ValueError, message)
    assert error_of(acc.add_many, [TRACES[0], trace]) == expected
    kind, text = error_of(acc.add, trace)
    assert (kind, text.replace("'trace'", "'traces'")) == expected
    assert acc.to_bytes() == before  # a failed call adds nothing


@pytest.mark.parametrize("threshold", ["80", None, [1]])
def test_threshold_errors_are_those_of_analyze(policy, threshold):
    assert error_of(accumulated(policy, []).report, threshold) == error_of(CoverageAnalyzer(policy).analyze, [],
                                                                           threshold)


@pytest.mark.parametrize("make", [CoverageAccumulator, AuditAccumulator])
def test_policy_argument(make, policy):
    with pytest.raises(TypeError, match=r"^argument 'policy': 'str' object cannot be converted to 'Policy'$"):
        make("policy.yaml")
    with pytest.raises(ValueError, match=r"^invalid policy bytes: not a policy's bytes$"):
        make(b"not a policy")
    assert make(bytearray(policy_bytes(policy))).to_bytes() == make(policy).to_bytes()


# --- same policy --------------------------------------------------------------------------------------------


def test_policies_with_equal_records_are_the_same(write_policy, policy):
    rewritten = Policy.from_file(write_policy(POLICY_REWRITTEN))
    assert policy_bytes(rewritten) == policy_bytes(policy)
    acc = accumulated(policy, TRACES[:2])
    acc.merge(accumulated(rewritten, TRACES[2:]))
    assert acc.report(0) == accumulated(policy, TRACES).report(0)
    CoverageAccumulator.from_bytes(rewritten, acc.to_bytes())


@pytest.mark.parametrize("change", [("name: acc", "name: other"), ("max: 2", "max: 3"), ("owner: team", "owner: x"),
                                    ("allow: [read,", "allow: [login, read,")])
@pytest.mark.parametrize("make", [CoverageAccumulator, AuditAccumulator])
def test_other_policies_are_refused(write_policy, policy, change, make):
    other = Policy.from_file(write_policy(POLICY.replace(*change)))
    assert policy_bytes(other) != policy_bytes(policy)
    with pytest.raises(ValueError, match="^cannot merge accumulators made with different policies$"):
        make(policy).merge(make(other))
    with pytest.raises(ValueError, match=r"made with another policy$"):
        make.from_bytes(other, make(policy).to_bytes())


def test_merge_takes_only_its_own_kind(policy):
    with pytest.raises(TypeError, match="^argument 'other': 'AuditAccumulator' object cannot be converted to "
                                        "'CoverageAccumulator'$"):
        CoverageAccumulator(policy).merge(AuditAccumulator(policy))


def test_merging_with_itself_counts_twice(policy):
    acc = accumulated(policy, TRACES)
    acc.merge(acc)
    assert (acc.traces, acc.steps) == (2 * len(TRACES), 2 * sum(map(len, TRACES)))
    audit = AuditAccumulator(policy)
    audit.add_many(TRACES)
    audit.merge(audit)
    assert audit.summary()["traces"] == 2 * len(TRACES)


# --- bytes and pickles --------------------------------------------------------------------------------------


def audited(policy, traces, refs=None, keep=100):
    acc = AuditAccumulator(policy, keep)
    acc.add_many(traces, refs)
    return acc


@pytest.mark.parametrize("make", [lambda p: accumulated(p, TRACES), lambda p: audited(p, TRACES, keep=3)])
def test_bytes_and_pickles_round_trip(policy, make):
    acc = make(policy)
    data = acc.to_bytes()
    assert type(acc).from_bytes(policy, data).to_bytes() == data
    assert type(acc).from_bytes(policy_bytes(policy), memoryview(data)).to_bytes() == data
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        copy = pickle.loads(pickle.dumps(acc, protocol))
        assert type(copy) is type(acc) and copy.to_bytes() == data


def test_a_pickle_carries_its_policy(policy, tmp_path):
    # No policy file, no Policy object: the pickle alone is enough.
    (tmp_path / "acc.pickle").write_bytes(pickle.dumps(accumulated(policy, TRACES)))
    code = ("import pickle, sys\nacc = pickle.loads(open(sys.argv[1], 'rb').read())\n"
            "sys.stdout.write(acc.report(50))")
    result = subprocess.run([sys.executable, "-c", code, str(tmp_path / "acc.pickle")], capture_output=True,
                            text=True, timeout=120)
    assert result.stdout == accumulated(policy, TRACES).report(50), result.stderr


def test_state_size_does_not_grow_with_the_traces(policy):
    acc = accumulated(policy, TRACES)
    size = len(acc.to_bytes())
    for _ in range(200):
        acc.add_many(TRACES * 10)
    assert len(acc.to_bytes()) <= size + 6  # only the counts' digits grow
    audit = audited(policy, TRACES, keep=2)
    size = len(audit.to_bytes())
    for _ in range(200):
        audit.add_many(TRACES * 10)
    assert len(audit.to_bytes()) <= size + 12


CORRUPTIONS = [
    lambda b: b"",
    lambda b: b[:4],
    lambda b: b[:-1],
    lambda b: b[:-9] + bytes([b[-9] ^ 1]) + b[-8:],
    lambda b: b[:5] + b"\xff" * (len(b) - 5),
    lambda b: b[:4] + b"\x09" + b[5:],
    lambda b: b"OSKP" + b[4:],
]


@pytest.mark.parametrize("corrupt", CORRUPTIONS)
@pytest.mark.parametrize("make", [lambda p: accumulated(p, TRACES), lambda p: audited(p, TRACES)])
def test_corrupt_bytes_are_refused(policy, make, corrupt):
    acc = make(policy)
    with pytest.raises(ValueError, match=rf"^invalid {type(acc).__name__} bytes: "):
        type(acc).from_bytes(policy, corrupt(acc.to_bytes()))


def test_the_kinds_of_bytes_do_not_mix(policy):
    with pytest.raises(ValueError, match="not a coverage accumulator's bytes"):
        CoverageAccumulator.from_bytes(policy, audited(policy, TRACES).to_bytes())
    with pytest.raises(ValueError, match="not an audit accumulator's bytes"):
        AuditAccumulator.from_bytes(policy, accumulated(policy, TRACES).to_bytes())
    with pytest.raises(ValueError, match="not a policy's bytes"):
        CoverageAccumulator(accumulated(policy, TRACES).to_bytes())
    with pytest.raises(TypeError, match="^argument 'data': 'str' object cannot be converted to 'bytes'$"):
        CoverageAccumulator.from_bytes(policy, "OSKC")


@settings(max_examples=300, deadline=None)
@given(data=st.binary(max_size=300), cut=st.integers(0, 400), flip=st.integers(0, 400))
def test_any_bytes_give_a_value_error_or_an_accumulator(policy, data, cut, flip):
    for make, good in ((CoverageAccumulator, accumulated(policy, TRACES).to_bytes()),
                       (AuditAccumulator, audited(policy, TRACES).to_bytes()),
                       (None, policy_bytes(policy))):
        damaged = bytearray(good[:cut] + data)
        if damaged:
            damaged[flip % len(damaged)] ^= 0x40
        for candidate in (bytes(damaged), data):
            try:
                if make is None:
                    CoverageAccumulator(candidate)
                else:
                    make.from_bytes(policy, candidate)
            except ValueError:
                pass


# --- merging: associative and order-independent -----------------------------------------------------------

# Steps with and without the argument that `write` requires.
step_strategy = st.one_of(st.sampled_from(TOOLS).map(lambda tool: {"tool": tool}),
                          st.sampled_from(["write", "fs", "rm"]).map(lambda tool: {"tool": tool, "args": {"path": "p"}}))
trace_strategy = st.lists(st.lists(step_strategy, max_size=6), max_size=14)


@settings(max_examples=60, deadline=None)
@given(traces=trace_strategy, data=st.data())
def test_merging_any_partition_in_any_order_gives_one_result(policy, traces, data):
    refs = [("f", i) for i in range(len(traces))]
    parts = data.draw(st.lists(st.integers(0, 3), min_size=len(traces), max_size=len(traces)))
    groups = [[i for i, p in enumerate(parts) if p == k] for k in range(4)]
    coverages = [accumulated(policy, [traces[i] for i in g]) for g in groups]
    audits = [audited(policy, [traces[i] for i in g], [refs[i] for i in g], keep=3) for g in groups]
    order = data.draw(st.permutations(range(4)))

    def fold(accs, shape):
        # A left fold or a balanced tree, from copies.
        accs = [pickle.loads(pickle.dumps(accs[i])) for i in order]
        if shape == "left":
            for acc in accs[1:]:
                accs[0].merge(acc)
            return accs[0]
        accs[0].merge(accs[1])
        accs[2].merge(accs[3])
        accs[0].merge(accs[2])
        return accs[0]

    whole = accumulated(policy, traces)
    whole_audit = audited(policy, traces, refs, keep=3)
    for shape in ("left", "tree"):
        assert fold(coverages, shape).to_bytes() == whole.to_bytes()
        assert fold(audits, shape).to_bytes() == whole_audit.to_bytes()
        assert fold(coverages, shape).argument_coverage() == Guard(policy).argument_coverage(traces)
    assert normalized(whole.report(0)) == normalized(CoverageAnalyzer(policy).analyze(traces, 0))


# --- audit: the guard's judgement ---------------------------------------------------------------------------


@settings(max_examples=60, deadline=None)
@given(traces=trace_strategy)
def test_audit_counts_what_guard_judge_says(policy, traces):
    guard = Guard(policy)
    judgements = [guard.judge(trace) for trace in traces]
    summary = audited(policy, traces, keep=1000).summary()
    assert summary["traces"] == len(traces)
    assert summary["failed_traces"] == sum(not j.passed for j in judgements)
    assert summary["steps"] == sum(j.steps for j in judgements)
    assert summary["blocked_steps"] == sum(j.blocked_steps for j in judgements)
    blocked_by = {}
    for judgement in judgements:
        for decision in judgement.decisions:
            if not decision.allowed:
                blocked_by[decision.blocked_by] = blocked_by.get(decision.blocked_by, 0) + 1
    assert summary["blocked_by"] == blocked_by
    failing = [{"ref": i, "first_block": j.first_block,
                "rule_id": j.blocking_rules[0]} for i, j in enumerate(judgements) if not j.passed]
    assert summary["failing"] == failing


def test_audit_summary(policy):
    acc = AuditAccumulator(policy, keep=3)
    acc.add(steps("read"), ref=("a.jsonl", 10))                     # passes
    acc.add([], ref=("a.jsonl", 9))                                # empty: fails the require rule
    acc.add(steps("read", "rm", "rm"), ref="b.jsonl: trace 7")     # blocked twice by the deny list
    acc.add(steps("read") + [{"tool": "write", "args": {"path": "p"}}] * 3, ref=("a.jsonl", 2))
    acc.add(steps("login", "drop_db"))                             # numbered: its position, 4
    summary = acc.summary()
    assert list(summary["blocked_by"]) == ["deny_list", "allow_list", "max_calls_write_2"]  # largest first
    assert summary == {
        "traces": 5, "failed_traces": 4, "steps": 10, "blocked_steps": 4, "asked_steps": 0, "untimed_traces": 0,
        "blocked_by": {"deny_list": 2, "allow_list": 1, "max_calls_write_2": 1},
        "end_failures": {"after_write_then_read": 1, "require_read": 2},
        "failing": [
            {"ref": 4, "first_block": 1, "rule_id": "allow_list"},  # not allowed, before forbidden
            {"ref": ("a.jsonl", 2), "first_block": 3, "rule_id": "max_calls_write_2"},
            {"ref": ("a.jsonl", 9), "first_block": None, "rule_id": "require_read"},
        ],
        "keep": 3,
    }


def test_audit_errors(policy):
    acc = AuditAccumulator(policy)
    with pytest.raises(ValueError, match="^Invalid tool call format: a step must be a mapping, not int$"):
        acc.add([{"tool": "a"}, 1])
    with pytest.raises(TypeError, match=r"^argument 'ref': expected None, an int, a str or a \(str, int\) tuple, "
                                        r"not 'list'$"):
        acc.add([], ref=["a", 1])
    with pytest.raises(ValueError, match="^argument 'ref': a reference's number must be between 0 and 2"):
        acc.add([], ref=("a", -1))
    with pytest.raises(ValueError, match="^argument 'refs': 1 references for 2 traces$"):
        acc.add_many([[], []], refs=["a"])
    with pytest.raises(ValueError, match="^argument 'keep': keep must be between 0 and 2"):
        AuditAccumulator(policy, keep=-1)
    with pytest.raises(ValueError, match="^Invalid tool call format: "):
        acc.add_many([[], [{"tool": 7}]], refs=["a", "b"])
    assert acc.summary()["traces"] == 0  # nothing of a failed call is kept


def test_arguments_are_read_only_for_a_policy_with_argument_rules(policy, write_policy):
    # Arguments that cannot be converted fail where the guard would judge them, and only there.
    bad = [{"tool": "write", "args": {"path": object()}}]
    for acc in (AuditAccumulator(policy), CoverageAccumulator(policy)):
        with pytest.raises(ValueError, match="^Invalid (tool call|trace) format: "):
            acc.add(bad)
    plain = Policy.from_file(write_policy("version: '1'\ntools: {allow: [write]}\n"))
    audit, coverage = AuditAccumulator(plain), CoverageAccumulator(plain)
    with pytest.raises(ValueError):
        audit.add(bad)  # checked as explain checks them, as before
    assert coverage.argument_coverage() == []


def test_a_constraint_the_guard_refuses(write_policy):
    policy = Policy.from_file(write_policy("version: '1'\ntools:\n  arg_constraints: {t: {x: {matchs: a}}}\n"))
    with pytest.raises(ValueError) as refused:
        Guard(policy)
    with pytest.raises(ValueError, match=f"^{re.escape(str(refused.value))}$"):
        AuditAccumulator(policy)
    coverage = accumulated(policy, [steps("t")])  # the tools' coverage needs no guard
    assert coverage.traces == 1 and json.loads(coverage.report(0))
    with pytest.raises(ValueError, match=f"^{re.escape(str(refused.value))}$"):
        coverage.argument_coverage()


def test_merged_audits_keep_the_smaller_keep(policy):
    a = audited(policy, [[]] * 5, [("f", i) for i in range(5)], keep=4)
    b = audited(policy, [[]] * 5, [("e", i) for i in range(5)], keep=2)
    a.merge(b)
    assert [f["ref"] for f in a.summary()["failing"]] == [("e", 0), ("e", 1)]
    assert a.summary()["keep"] == 2


def test_importing_ostik_exports_the_accumulators():
    assert {"CoverageAccumulator", "AuditAccumulator", "policy_bytes"} <= set(ostik.__all__)


# --- forged states: counts that cannot add up, and counts near 2**64 ---------------------------------------

MAX = 2**64 - 1


def _fnv1a64(data):
    h = 0xcbf29ce484222325
    for byte in data:
        h = ((h ^ byte) * 0x100000001b3) & MAX
    return h


def _varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7f) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def _text(s):
    return _varint(len(s.encode())) + s.encode()


def _sealed(body):
    return body + _fnv1a64(body).to_bytes(8, "little")


def forged_audit(real, *, keep, traces, failed, steps, blocked, blocked_by=(), end_failures=(), failing=()):
    """Audit bytes with these counts, correctly sealed, for the policy of the real bytes `real`.

    `failing` holds (label, first_block or None, rule id) entries."""
    body = real[:13]  # magic, version and the policy's fingerprint
    body += b"".join(_varint(n) for n in (keep, traces, failed, steps, blocked))
    for counts in (blocked_by, end_failures):
        body += _varint(len(counts)) + b"".join(_text(rule) + _varint(n) for rule, n in sorted(counts))
    body += _varint(len(failing))
    for label, first_block, rule in failing:
        body += b"\x01" + _text(label) + _varint(0)
        body += b"\x00" if first_block is None else b"\x01" + _varint(first_block)
        body += _text(rule)
    return _sealed(body)


def forged_coverage(real, *, traces, steps, names=(), counts=()):
    body = real[:13] + _varint(traces) + _varint(steps) + _varint(len(names)) + b"".join(_text(n) for n in names)
    body += _varint(len(counts)) + b"".join(_varint(r) + _varint(v) for r, v in counts)
    return _sealed(body)


def test_the_forging_helpers_write_what_the_accumulators_write(policy):
    audit = AuditAccumulator(policy, keep=2)
    audit.add(steps("rm"), ref="a")
    assert forged_audit(audit.to_bytes(), keep=2, traces=1, failed=1, steps=1, blocked=1,
                        blocked_by=[("deny_list", 1)], end_failures=[("require_read", 1)],
                        failing=[("a", 0, "deny_list")]) == audit.to_bytes()
    coverage = accumulated(policy, [steps("rm")])
    # The policy's one argument rule (require_args of write): reached by none.
    assert forged_coverage(coverage.to_bytes(), traces=1, steps=1, names=["rm"], counts=[(0, 0)]) == coverage.to_bytes()


@pytest.mark.parametrize("counts", [
    pytest.param(dict(traces=1, failed=2, steps=0, blocked=0), id="more failed than traces"),
    pytest.param(dict(traces=1, failed=0, steps=1, blocked=1, blocked_by=[("deny_list", 1)]),
                 id="a blocked step in no failed trace"),
    pytest.param(dict(traces=1, failed=1, steps=1, blocked=2, blocked_by=[("deny_list", 2)]),
                 id="more blocked than steps"),
    pytest.param(dict(traces=2, failed=1, steps=2, blocked=1, blocked_by=[("deny_list", 2)]),
                 id="rule counts beyond the blocked steps"),
    pytest.param(dict(traces=3, failed=1, steps=0, blocked=0, end_failures=[("require_read", 2)]),
                 id="end failures beyond the failed traces"),
    pytest.param(dict(traces=2, failed=2, steps=0, blocked=0, end_failures=[("require_read", 2)],
                      failing=[("a", None, "require_read")]), id="fewer failing traces kept than failed"),
    pytest.param(dict(traces=1, failed=1, steps=1, blocked=1, blocked_by=[("deny_list", 1)],
                      failing=[("a", 0, "allow_list")]), id="a kept trace blocked by a rule that blocked nothing"),
])
def test_forged_audit_counts_that_cannot_add_up_are_refused(policy, counts):
    real = AuditAccumulator(policy).to_bytes()
    with pytest.raises(ValueError, match="^invalid AuditAccumulator bytes: malformed$"):
        AuditAccumulator.from_bytes(policy, forged_audit(real, keep=100, **counts))


def _near_max_audit(policy):
    real = AuditAccumulator(policy).to_bytes()
    return AuditAccumulator.from_bytes(policy, forged_audit(
        real, keep=1, traces=MAX, failed=MAX, steps=MAX, blocked=MAX, blocked_by=[("deny_list", MAX)],
        end_failures=[("require_read", MAX)], failing=[("a", 0, "deny_list")]))


def test_audit_counts_at_the_limit_load_but_never_wrap(policy):
    forged = _near_max_audit(policy)
    before = forged.to_bytes()
    failing = AuditAccumulator(policy)
    failing.add(steps("rm"))
    with pytest.raises(OverflowError, match=r"^AuditAccumulator.merge: the traces count would pass 2\*\*64-1$"):
        forged.merge(failing)
    with pytest.raises(OverflowError, match=r"^AuditAccumulator.add: the traces count would pass 2\*\*64-1$"):
        forged.add(steps("rm"))
    with pytest.raises(OverflowError, match=r"^AuditAccumulator.add_many: "):
        forged.add_many([steps("read")])
    with pytest.raises(OverflowError, match=r"^AuditAccumulator.merge: "):
        forged.merge(forged)
    assert forged.to_bytes() == before
    assert forged.summary()["traces"] == forged.summary()["failed_traces"] == MAX
    # Merged the other way, the same refusal, and the small one unchanged too.
    small = failing.to_bytes()
    with pytest.raises(OverflowError):
        failing.merge(forged)
    assert failing.to_bytes() == small


def test_audit_rule_counts_at_the_limit_never_wrap(policy):
    real = AuditAccumulator(policy).to_bytes()
    forged = AuditAccumulator.from_bytes(policy, forged_audit(
        real, keep=0, traces=MAX - 5, failed=MAX - 5, steps=MAX, blocked=MAX, blocked_by=[("deny_list", MAX)]))
    before = forged.to_bytes()
    with pytest.raises(OverflowError, match="the steps count would pass"):
        forged.add(steps("rm"))
    with pytest.raises(OverflowError, match="the steps count would pass"):
        forged.add(steps("read"))
    assert forged.to_bytes() == before
    forged.add([])  # a trace of no steps still counts
    assert forged.summary()["traces"] == MAX - 4


def test_coverage_counts_at_the_limit_never_wrap(policy):
    real = CoverageAccumulator(policy).to_bytes()
    forged = CoverageAccumulator.from_bytes(policy, forged_coverage(real, traces=MAX, steps=MAX, names=["read"],
                                                                       counts=[(MAX, MAX)]))
    before = forged.to_bytes()
    with pytest.raises(OverflowError, match=r"^CoverageAccumulator.add: the traces count would pass 2\*\*64-1$"):
        forged.add(steps("rm"))
    with pytest.raises(OverflowError, match=r"^CoverageAccumulator.add_many: "):
        forged.add_many([steps("rm")])
    with pytest.raises(OverflowError, match=r"^CoverageAccumulator.merge: "):
        forged.merge(accumulated(policy, [steps("rm")]))
    assert forged.to_bytes() == before
    assert "rm" in json.loads(forged.report(0))["tool_coverage"]["unseen_tools"]
