"""A session whose policy reads only part of a call's arguments (a repeat limit's fingerprint,
the members an ask condition names) reads just that part from the Python objects. Its
decisions and its bytes must be those of a session that converts the arguments whole (one
that keeps its calls), for arguments of every shape, resumed or not."""

import collections.abc
import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from ostik import Guard

# `edit` is asked about by a condition, every tool is under the repeat limit.
POLICY = """\
version: "1"
ask:
  - tool: edit
    args: {path: {matches: '^/etc/'}, mode: 0o600}
  - tool: edit
    args: {an_argument_with_a_long_name: {min: 1}}
limits:
  - {repeat: 3}
"""


class Args(collections.abc.Mapping):
    """Arguments that are a mapping of the caller's, not a dict."""

    def __init__(self, items):
        self._items = dict(items)

    def __getitem__(self, key):
        return self._items[key]

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)


class Text(str):
    pass


class Number(int):
    pass


class Real(float):
    pass


nested = {"a": [1, {"b": (2, 3.5)}], "c": {"d": {"e": [None, True, False]}}}
deep = []
for _ in range(600):
    deep = [deep]

# Shapes the fingerprint reads, and some it leaves to the whole conversion.
SHAPES = [
    None,
    {},
    [],
    (),
    {"path": "src/a.py"},
    {"path": "/etc/passwd", "mode": 0o600},
    {"path": "/etc/passwd", "mode": 384.0},
    {"mode": 0o600, "path": "/etc/passwd"},
    {"b": 1, "a": 2, "ab": 3, "": 4, "B": 5},
    {"x": 1},
    {"x": 1.0},
    {"x": True},
    {"x": 0},
    {"x": False},
    {"x": 0.0},
    {"x": -0.0},
    {"x": math.nan},
    {"x": math.inf},
    {"x": -math.inf},
    {"x": -1},
    {"x": 2**30},
    {"x": 2**62},
    {"x": 2**63},
    {"x": 2**64 - 1},
    {"x": -(2**63)},
    {"x": -(2**40)},
    {"x": None},
    {"x": ""},
    {"x": "a" * 300},
    {"x": "é"},
    {"x": "日本語 \U0001f600"},
    {"é": 1, "e": 2, "f": 3, "日": 4},
    {"x": [1, 2]},
    {"x": (1, 2)},
    {"x": [[], {}, [[]]]},
    nested,
    [1, "a", None],
    "text",
    7,
    {"x": Text("a")},
    {"x": Number(1)},
    {"x": Real(1.5)},
    Args({"path": "/etc/passwd", "mode": 0o600}),
    {"x": Args({"y": 1})},
    {"x": {1, 2}},
    {"x": frozenset()},
    {f"k{i}": i for i in reversed(range(20))},
    # The members the conditions name among others, before, between and after
    # them, some missing, some names a prefix of others.
    {"z": 1, "path": "/etc/passwd", "a": [2], "mode": 0o600, "": None},
    {"pathname": "/etc/x", "pat": 1, "mode": 0o600},
    {"mode": 0o600},
    {"modes": 0o600, "path": "/etc/x", "m": {"path": "/etc/y"}},
    {"path": ["/etc/x"], "mode": 0o600},
    {f"k{i}": i for i in range(20)} | {"path": "/etc/passwd", "mode": 0o600},
    # Members of every size, a name longer than a short string's.
    {"path": "/etc/" + "x" * 200, "mode": 0o600, "an_argument_with_a_long_name": 0},
    {"an_argument_with_a_long_name": 2, "path": "/tmp/x"},
    {"an_argument_with_a_long_name": "no number", "mode": 0o600, "path": "/etc/" + "é" * 20},
    {f"k{i}": i for i in range(16)},
    {f"k{i}": i for i in range(17)},
    {"x": 2**30 - 1, "y": -(2**30 - 1), "z": 2**31},
]

# Arguments the conversion refuses: both sessions must refuse them alike.
REFUSED = [
    {"x": 2**64},
    {"x": -(2**63) - 1},
    {"x": "\ud800"},
    {"\udc80": 1},
    {1: "a"},
    {"x": b"bytes"},
    {"x": object()},
    {"x": deep},
]


@pytest.fixture
def guard(tmp_path):
    path = tmp_path / "policy.yaml"
    path.write_text(POLICY)
    return Guard.from_file(str(path))


def judged(d):
    return d.verdict, d.step, d.blocked_by, d.reason, d.message


def run(session, calls):
    return [judged(session.check(tool, args)) for tool, args in calls]


def calls_of(a, b):
    # Runs of each, broken by another tool and by each other: the repeat limit
    # refuses the third of a run, the ask entry asks about some of edit's.
    return [("shell", a), ("shell", a), ("shell", a), ("shell", b), ("edit", a), ("edit", a), ("read", None),
            ("shell", b), ("shell", b), ("shell", b), ("edit", b), ("shell", a)]


@pytest.mark.parametrize("mode", ["enforce", "observe"])
@pytest.mark.parametrize("a", range(len(SHAPES)))
def test_decisions_and_bytes_are_those_of_the_whole_arguments(guard, mode, a):
    first = SHAPES[a]
    for second in (SHAPES[(a + 1) % len(SHAPES)], SHAPES[a - 1], first):
        partial, whole = guard.session(mode=mode), guard.session(keep=True, mode=mode)
        for tool, args in calls_of(first, second):
            assert judged(partial.check(tool, args)) == judged(whole.check(tool, args))
            assert partial.pending == whole.pending
            # The state holds the same fingerprint and run, and waiting calls
            # are stored whole.
            assert partial.to_bytes() == whole.to_bytes()


@pytest.mark.parametrize("a", range(len(SHAPES)))
def test_resumed_sessions_decide_alike(guard, a):
    args = SHAPES[a]
    partial, whole = guard.session(), guard.session(keep=True)
    assert run(partial, [("shell", args)] * 2) == run(whole, [("shell", args)] * 2)
    resumed = guard.resume(partial.to_bytes())
    # Either way the third of the run is refused, and a change of arguments
    # starts a new one.
    assert run(resumed, [("shell", args), ("shell", {"other": args})]) == \
        run(guard.resume(whole.to_bytes()), [("shell", args), ("shell", {"other": args})])
    assert judged(guard.resume(partial.to_bytes()).check("shell", args)) == judged(whole.check("shell", args))


def test_equal_arguments_run_and_unequal_ones_do_not(guard):
    session = guard.session()
    # Equal Values: another dict of the same items, keys in another order, a
    # tuple for a list. Unequal ones: 1 and 1.0, 0 and False, 0.0 and -0.0.
    assert [session.check("shell", a).verdict for a in
            [{"a": [1, 2], "b": "x"}, {"b": "x", "a": (1, 2)}, {"b": "x", "a": [1, 2]}]] == \
        ["allowed", "allowed", "blocked"]
    for pair in [(1, 1.0), (0, False), (0.0, -0.0), (1, True), ("1", 1)]:
        session = guard.session()
        assert [session.check("shell", {"x": v}).verdict for v in pair * 2] == ["allowed"] * 4


@pytest.mark.parametrize("args", REFUSED)
@pytest.mark.parametrize("tool", ["shell", "edit"])
def test_refused_arguments_are_refused_alike(guard, tool, args):
    partial, whole = guard.session(), guard.session(keep=True)
    with pytest.raises(Exception) as got:
        partial.check(tool, args)
    with pytest.raises(Exception) as want:
        whole.check(tool, args)
    assert (type(got.value), str(got.value)) == (type(want.value), str(want.value))
    assert partial.to_bytes() == whole.to_bytes()


def outcome(judge, tool, args):
    try:
        return judged(judge(tool, args))
    except Exception as e:
        return type(e), str(e)


def test_one_session_reads_every_shape_in_turn(guard):
    # The object a call's members are given in is refilled call after call,
    # also after a call whose reading failed midway.
    partial, whole = guard.session(), guard.session(keep=True)
    for args in SHAPES + REFUSED + SHAPES[::-1]:
        for tool in ["edit", "shell", "edit"]:
            assert outcome(partial.check, tool, args) == outcome(whole.check, tool, args), (tool, args)
        assert outcome(partial.peek, "edit", args) == outcome(whole.peek, "edit", args)
    assert partial.pending == whole.pending
    assert partial.to_bytes() == whole.to_bytes()


def test_a_waiting_call_is_kept_whole(guard):
    args = {"path": "/etc/hosts", "mode": 0o600, "content": ["a", {"b": 1.5}]}
    partial, whole = guard.session(), guard.session(keep=True)
    assert judged(partial.check("edit", args)) == judged(whole.check("edit", args))
    assert partial.pending == ["ask-1"]
    assert partial.to_bytes() == whole.to_bytes()
    # The id names that call, with all its arguments.
    assert judged(partial.check("edit", args, call_id="ask-1")) == judged(whole.check("edit", args, call_id="ask-1"))
    with pytest.raises(ValueError, match="already decided"):
        partial.check("edit", dict(args, content=[]), call_id="ask-1")
    # Approved, it runs and counts in the run of its arguments, also in a
    # session resumed while it waited.
    waited = guard.resume(partial.to_bytes())
    assert judged(partial.approve("ask-1")) == judged(whole.approve("ask-1")) == judged(waited.approve("ask-1"))
    assert waited.to_bytes() == whole.to_bytes()
    assert partial.to_bytes() == whole.to_bytes()
    resumed = guard.resume(partial.to_bytes())
    assert run(resumed, [("edit", args)] * 3) == run(guard.resume(whole.to_bytes()), [("edit", args)] * 3)


def test_peek_reads_the_same_part(guard):
    partial, whole = guard.session(), guard.session(keep=True)
    for args in SHAPES:
        for tool in ["shell", "edit"]:
            assert judged(partial.peek(tool, args)) == judged(whole.peek(tool, args))
            assert judged(partial.check(tool, args)) == judged(whole.check(tool, args))
            assert judged(partial.peek(tool, args)) == judged(whole.peek(tool, args))


def fresh_keys(value):
    """The value with every dict key a str made at run time: equal to the literal, never
    its object, nor interned (as keys read from JSON or a socket are)."""
    if isinstance(value, dict) and type(value) is dict:
        return {("".join(["", *k]) if len(k) > 1 else k): fresh_keys(v) for k, v in value.items()}
    if isinstance(value, list):
        return [fresh_keys(v) for v in value]
    return value


def test_keys_made_at_run_time_are_read_alike(guard):
    import sys

    made = [fresh_keys(a) for a in SHAPES if type(a) is dict]
    assert any(k is not sys.intern(k) for a in made for k in a if len(k) > 1)
    partial, whole = guard.session(), guard.session(keep=True)
    for args in made + [{sys.intern("pathx"): 1, "path": "/etc/a", "mode": 0o600}]:
        for tool in ["edit", "shell", "edit"]:
            assert outcome(partial.check, tool, args) == outcome(whole.check, tool, args), (tool, args)
    assert partial.to_bytes() == whole.to_bytes()
    # The ask condition is met by names made at run time.
    asked = guard.session().check("edit", fresh_keys({"path": "/etc/passwd", "mode": 0o600}))
    assert asked.verdict == "ask"


# Keys the conditions read, keys one of them is a prefix of, and others; each
# drawn as the literal's object or as an equal str made at run time, mostly
# with values that meet the conditions.
KEY_NAMES = ["path", "mode", "an_argument_with_a_long_name", "pat", "paths", "x", "é"]
VALUES = [0o600, "/etc/passwd", 2, 0o600, "/etc/passwd", 2, 384.0, 0, True, None, "/tmp/x", [1], {"path": "/etc/y"}]


@st.composite
def argument_dicts(draw):
    items = draw(st.lists(st.tuples(st.sampled_from(KEY_NAMES), st.sampled_from(VALUES), st.booleans()),
                          max_size=6, unique_by=lambda t: t[0]))
    return {("".join(["", *k]) if made else k): v for k, v, made in items}


@settings(max_examples=300, deadline=None)
@given(calls=st.lists(st.tuples(st.sampled_from(["edit", "edit", "shell"]), argument_dicts()), min_size=2, max_size=12))
def test_sequences_of_dicts_decide_as_whole_arguments(tmp_path_factory, calls):
    # One session's object of members is refilled call after call, with more
    # members, fewer, others, and keys that are not the names' objects.
    path = tmp_path_factory.mktemp("policy") / "policy.yaml"
    path.write_text(POLICY)
    guard = Guard.from_file(str(path))
    partial, whole = guard.session(), guard.session(keep=True)
    for tool, args in calls:
        assert outcome(partial.check, tool, args) == outcome(whole.check, tool, args), (tool, args)
    assert partial.pending == whole.pending
    assert partial.to_bytes() == whole.to_bytes()


def test_a_member_of_the_call_before_is_not_read_again(tmp_path):
    # A tool whose conditions read ten names: the first call's members fill
    # the object the session keeps (it is allowed, so the object is kept for
    # the next call); the second call has one of them, whose value makes the
    # ask entry apply, and none of the others may be read as still there.
    names = [f"k{i}" for i in range(10)]
    path = tmp_path / "policy.yaml"
    path.write_text('version: "1"\nask:\n' + "".join(f"  - tool: edit\n    args: {{{name}: {{min: 5}}}}\n" for name in names)
                    + "limits:\n  - {repeat: 3}\n")
    guard = Guard.from_file(str(path))
    for name in names:
        session = guard.session()
        assert session.check("edit", {n: 0 for n in names}).verdict == "allowed"
        assert session.check("edit", {name: 10}).verdict == "ask"
        assert session.check("edit", {name: 0, "other": 1}).verdict == "allowed"
