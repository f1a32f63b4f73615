"""Conversion of Python objects into trace values, observed through record_trace."""

import collections
import datetime
import decimal
import enum
import sys
from collections.abc import Mapping, Sequence

import pytest

from ostik import OstikClient, Policy, TraceExplainer


@pytest.fixture
def record(tmp_path):
    """Records one object and returns the line it wrote, without its line feed."""
    path = tmp_path / "trace.jsonl"
    client = OstikClient(str(path))

    def record_one(obj):
        before = path.read_bytes()
        client.record_trace(obj)
        line = path.read_bytes()[len(before):]
        assert line.endswith(b"\n") and line.count(b"\n") == 1
        return line[:-1].decode()

    return record_one


@pytest.fixture
def rejected(tmp_path):
    """Records an object that must fail; returns the conversion error text."""
    path = tmp_path / "trace.jsonl"
    client = OstikClient(str(path))

    def reject(obj):
        with pytest.raises(ValueError) as info:
            client.record_trace(obj)
        message = str(info.value)
        assert message.startswith("Invalid trace format: ")
        assert path.read_bytes() == b""
        return message[len("Invalid trace format: "):]

    return reject


class Color(enum.Enum):
    RED = 1


class Level(enum.IntEnum):
    HIGH = 3


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyStr(str):
    pass


class MyList(list):
    pass


class MyDict(dict):
    pass


class Outer:
    class Inner:
        pass


class Pair(Sequence):
    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return ("x", i)[i]


class Growing(Sequence):
    def __init__(self):
        self.n = 1

    def __len__(self):
        self.n += 1
        return self.n

    def __getitem__(self, i):
        return i


class Table(Mapping):
    def __init__(self, **items):
        self.items_ = items

    def __getitem__(self, key):
        return self.items_[key]

    def __iter__(self):
        return iter(self.items_)

    def __len__(self):
        return len(self.items_)


class RepeatedKeys(Table):
    def keys(self):
        return ["b", "a", "b"]

    def values(self):
        return [1, 2, 3]

    def __len__(self):
        return 3


class SequenceAndMapping(Pair):
    def keys(self):
        return ["k"]

    def values(self):
        return [1]


Mapping.register(SequenceAndMapping)


class Keyed(Table):
    def keys(self):
        return [7]

    def values(self):
        return [1]

    def __len__(self):
        return 1


class BadStr(Exception):
    def __str__(self):
        raise ValueError("no text")


class FailingItem(Sequence):
    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise self.exc


class NoClass:
    """An instance whose type tests against the abstract classes raise."""

    @property
    def __class__(self):
        raise RuntimeError("no class here")


def nested_lists(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


@pytest.mark.parametrize(
    ("obj", "text"),
    [
        (None, "null"),
        (True, "true"),
        (False, "false"),
        (0, "0"),
        (1, "1"),
        (MyInt(5), "5"),
        (Level.HIGH, "3"),
        (18446744073709551615, "18446744073709551615"),
        (-1, "-1"),
        (-9223372036854775808, "-9223372036854775808"),
        (1.5, "1.5"),
        (1.0, "1.0"),
        (MyFloat(2.5), "2.5"),
        (float("nan"), "null"),
        (float("inf"), "null"),
        (float("-inf"), "null"),
        ("text", '"text"'),
        (MyStr("sub"), '"sub"'),
        ([], "[]"),
        ({}, "{}"),
        ([1, [True, None]], "[1,[true,null]]"),
        ((1, "a"), '[1,"a"]'),
        (MyList([1, 2]), "[1,2]"),
        (frozenset([4]), "[4]"),
        (range(3), "[0,1,2]"),
        (Pair(), '["x",1]'),
        ({"b": 1, "a": 2}, '{"a":2,"b":1}'),
        (MyDict(z=1, y=None), '{"y":null,"z":1}'),
        (collections.OrderedDict([("b", 1), ("a", 2)]), '{"a":2,"b":1}'),
        (Table(q=[1], p={}), '{"p":{},"q":[1]}'),
        (RepeatedKeys(), '{"a":2,"b":3}'),
        (SequenceAndMapping(), '["x",1]'),
    ],
)
def test_converted_values(record, obj, text):
    assert record(obj) == text


def test_set_keeps_its_iteration_order(record):
    items = {3, 100, 7, 2**40}
    assert record(items) == "[" + ",".join(str(i) for i in items) + "]"


@pytest.mark.parametrize(
    ("obj", "text"),
    [
        (18446744073709551616, "JSON number out of range"),
        (2**127, "JSON number out of range"),
        (2**128 - 1, "JSON number out of range"),
        (-9223372036854775809, "JSON number out of range"),
        (-(2**127), "JSON number out of range"),
        (2**128, "OverflowError: int too big to convert"),
        (-(2**127) - 1, "OverflowError: int too big to convert"),
        (-(2**400), "OverflowError: int too big to convert"),
        (b"raw", "invalid type: byte array, expected any valid JSON value"),
        (bytearray(b"raw"), "unexpected type: 'bytearray' object cannot be converted to 'PyBytes'"),
        ({1: "a"}, "unexpected type: 'int' object cannot be converted to 'PyString'"),
        ([{"ok": {(1, 2): 3}}], "unexpected type: 'tuple' object cannot be converted to 'PyString'"),
        (Keyed(), "unexpected type: 'int' object cannot be converted to 'PyString'"),
        (object(), "unsupported type object"),
        ({object()}, "unsupported type object"),
        (Outer.Inner(), "unsupported type Outer.Inner"),
        ({"when": datetime.datetime(2024, 1, 2)}, "unsupported type datetime"),
        ([decimal.Decimal("1.5")], "unsupported type Decimal"),
        (Color.RED, "unsupported type Color"),
        (iter([1]), "unsupported type list_iterator"),
        ("\ud800", "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: "
                   "surrogates not allowed"),
        ({"\udc80": 1}, "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udc80' in position 0: "
                        "surrogates not allowed"),
        (Growing(), "expected sequence of length 2, got 3"),
        (FailingItem(KeyError("gone")), "KeyError: 'gone'"),
        (FailingItem(BadStr()), "BadStr: <exception str() failed>"),
    ],
)
def test_conversion_errors(rejected, obj, text):
    assert rejected(obj) == text


def test_failing_abstract_class_check_goes_to_the_unraisable_hook(rejected, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    obj = NoClass()
    assert rejected(obj) == "unsupported type NoClass"
    # Both the Sequence and the Mapping test failed; neither error escaped.
    assert [type(u.exc_value) for u in seen] == [RuntimeError, RuntimeError]
    assert all(u.object is obj for u in seen)


def test_nesting_up_to_the_limit_converts(record):
    assert record(nested_lists(512)) == "[" * 512 + "]" * 512
    assert record({"a": nested_lists(511)}) == '{"a":' + "[" * 511 + "]" * 511 + "}"


@pytest.mark.parametrize(
    "obj",
    [nested_lists(513), [{"a": nested_lists(512)}], nested_lists(100_000)],
    ids=["513-lists", "mixed-514", "100000-lists"],
)
def test_nesting_past_the_limit_fails(rejected, obj):
    assert rejected(obj) == "recursion limit exceeded"


def test_self_containing_containers_fail(rejected):
    items = []
    items.append(items)
    table = {}
    table["self"] = table
    assert rejected(items) == "recursion limit exceeded"
    assert rejected(table) == "recursion limit exceeded"


def test_many_keys_in_any_order_come_out_sorted_with_the_last_duplicate(record):
    import json
    import random

    rng = random.Random(7)
    keys = [f"k{i}" for i in range(5000)]
    rng.shuffle(keys)

    class Pairs(Mapping):
        # A user mapping may report a key twice: the later value wins.
        def __init__(self, pairs):
            self.pairs = pairs

        def __getitem__(self, key):
            raise KeyError(key)

        def __iter__(self):
            return iter([k for k, _ in self.pairs])

        def __len__(self):
            return len(self.pairs)

        def keys(self):
            return [k for k, _ in self.pairs]

        def values(self):
            return [v for _, v in self.pairs]

    pairs = [(k, 0) for k in keys] + [(k, i) for i, k in enumerate(keys[:100])]
    line = record(Pairs(pairs))
    decoded = json.loads(line)
    assert list(decoded) == sorted(keys)
    assert all(decoded[k] == i for i, k in enumerate(keys[:100]))
    assert all(decoded[k] == 0 for k in keys[100:])


def test_a_few_keys_repeated_keep_the_last(record):
    class Few(Mapping):
        def __init__(self, pairs):
            self.pairs = pairs

        def __getitem__(self, key):
            raise KeyError(key)

        def __iter__(self):
            return iter([k for k, _ in self.pairs])

        def __len__(self):
            return len(self.pairs)

        def keys(self):
            return [k for k, _ in self.pairs]

        def values(self):
            return [v for _, v in self.pairs]

    assert record(Few([("b", 1), ("a", 2), ("b", 3), ("c", {"z": 1, "y": [2, {"x": None, "w": 1.5}]})])) == \
        '{"a":2,"b":3,"c":{"y":[2,{"w":1.5,"x":null}],"z":1}}'


@pytest.mark.parametrize("obj, message", [
    # The first failure in the mapping's own order, not in key order.
    ({"b": object(), "a": b"x"}, "unsupported type object"),
    ({"b": [1, {"d": b"x", "c": object()}], "a": 1}, "invalid type: byte array, expected any valid JSON value"),
])
def test_the_first_failure_is_in_the_mappings_order(rejected, obj, message):
    assert rejected(obj) == message


@pytest.mark.parametrize(
    ("obj", "text"),
    [
        # Plain dicts are written in key order as they are walked, unless
        # something inside may run the caller's code: then in their own
        # order, put in key order afterwards. The text is the same.
        ({"b": Pair(), "a": {"d": 1, "c": Table(y=2, x=1)}}, '{"a":{"c":{"x":1,"y":2},"d":1},"b":["x",1]}'),
        ([{"z": 1, "y": MyList([2])}, {"b": MyDict(k=1), "a": 0}], '[{"y":[2],"z":1},{"a":0,"b":{"k":1}}]'),
        ({"b": {MyStr("k"): 1, "j": 2}, "a": 2}, '{"a":2,"b":{"j":2,"k":1}}'),
        ({"c": {"y": frozenset([1])}, "b": range(2), "a": [{"q": 1, "p": 2}]},
         '{"a":[{"p":2,"q":1}],"b":[0,1],"c":{"y":[1]}}'),
        ({"b": {"d": (MyInt(1), MyFloat(0.5)), "c": MyStr("s")}, "a": Level.HIGH},
         '{"a":3,"b":{"c":"s","d":[1,0.5]}}'),
    ],
)
def test_dicts_holding_the_callers_objects_come_out_sorted(record, obj, text):
    assert record(obj) == text


@pytest.mark.parametrize("obj, message", [
    # Met first in key order, but not first in the mapping's order.
    ({"b": {"y": b"x"}, "a": Pair()}, "invalid type: byte array, expected any valid JSON value"),
    ({"b": 2**64, "a": "\ud800"}, "JSON number out of range"),
    ({"b": [1, {"d": 2**200, "c": b"x"}], "a": {"c": object()}}, "OverflowError: int too big to convert"),
    ({"z": {"b": [], "a": {(): 1}}, "y": {1: 2}}, "unexpected type: 'tuple' object cannot be converted to 'PyString'"),
    ({"b": {MyStr("k"): b"x"}, "a": {1: 2}}, "invalid type: byte array, expected any valid JSON value"),
])
def test_the_first_failure_is_in_the_mappings_order_at_any_depth(rejected, obj, message):
    assert rejected(obj) == message


@pytest.fixture
def built(tmp_path):
    """The JSON text of an object converted into a Value: a step's args as the explanation report writes them."""
    policy = tmp_path / "policy.yaml"
    policy.write_text("version: '1'\n")
    explainer = TraceExplainer(Policy.from_file(str(policy)))

    def build(obj):
        text = explainer.explain([{"tool": "t", "args": obj}])
        start = text.index('"args":') + len('"args":')
        end = text.index(',"verdict":', start)
        return text[start:end]

    return build


@pytest.mark.parametrize(
    "obj",
    [
        {"path": "src/module_3.py", "line": 42, "dry_run": False},
        {"b": Pair(), "a": {"d": 1.5, "c": Table(y=2, x=-1)}},
        RepeatedKeys(),
        {"z": MyDict(q=[1, (2, "three")], p={}), "\u00e9": "\u20ac" * 20, "A": MyStr("s")},
        # Strings about the length a Value holds in place, and longer.
        ["x" * 13, "y" * 14, "z" * 15, "\u00e9" * 7, "\u00e9" * 8, "k" * 1000],
        {"k" * 14: 1, "k" * 15: 2, "k" * 13: {"": None}},
        [18446744073709551615, -9223372036854775808, 0, -1, 2**30, -(2**30), 1e300, -0.0, float("nan")],
    ],
    ids=["args", "user-objects", "repeated-keys", "mixed", "string-lengths", "key-lengths", "numbers"],
)
def test_a_built_value_is_written_as_the_direct_walk_writes_it(built, record, obj):
    assert built(obj) == record(obj)
