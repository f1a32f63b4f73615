"""Reading trace steps: key names, defaults, duplicates and the error texts (through TraceExplainer.explain),
and the readers of tool names only (CoverageAnalyzer.analyze, CoverageAccumulator)."""
import collections.abc
import json

import pytest

from ostik import CoverageAnalyzer, Policy, TraceExplainer


@pytest.fixture
def read(write_policy):
    """The (tool, args) pairs the explainer read from the steps; args is absent as the string "-"."""
    explainer = TraceExplainer(Policy.from_file(write_policy("version: '1'\n")))

    def run(*steps):
        report = json.loads(explainer.explain(list(steps)))
        return [(s["tool"], s.get("args", "-")) for s in report["steps"]]

    return run


def failure(read, *steps):
    with pytest.raises(ValueError) as info:
        read(*steps)
    prefix = "Invalid tool call format: "
    assert str(info.value).startswith(prefix)
    return str(info.value)[len(prefix):]


class UserMapping(collections.abc.Mapping):
    def __init__(self, *pairs):
        self.pairs = pairs

    def __getitem__(self, key):
        return dict(self.pairs)[key]

    def __iter__(self):
        return iter(k for k, _ in self.pairs)

    def __len__(self):
        return len(self.pairs)


class BrokenMapping(UserMapping):
    def __iter__(self):
        raise RuntimeError("no keys today")


@pytest.mark.parametrize(
    "step, expected",
    [
        ({"tool": "read", "args": {"b": 1, "a": [2]}}, ("read", {"a": [2], "b": 1})),
        ({"name": "read"}, ("read", "-")),
        ({"tool_name": "read"}, ("read", "-")),
        ({"tool_name": "second", "tool": "first"}, ("first", "-")),
        ({"tool": None, "tool_name": "t"}, ("t", "-")),
        ({"tool": None}, ("unknown", "-")),
        ({}, ("unknown", "-")),
        ({"tool": ""}, ("", "-")),
        ({"args": None, "params": [1, 2]}, ("unknown", [1, 2])),
        ({"arguments": {"x": None}}, ("unknown", {"x": None})),
        ({"params": 1, "args": 5}, ("unknown", 5)),
        ({"Tool": "a", "tool ": "b", "ARGS": object(), "other": object()}, ("unknown", "-")),
        (UserMapping(("name", "m"), ("args", (1.5,))), ("m", [1.5])),
    ],
)
def test_step_fields(read, step, expected):
    assert read(step) == [expected]


@pytest.mark.parametrize(
    "step, text",
    [
        ({"tool": "a", "name": "b"}, "duplicate field `tool`"),
        ({"name": "b", "tool": "a"}, "duplicate field `tool`"),
        ({"tool": None, "name": "b"}, "duplicate field `tool`"),
        ({"params": 1, "arguments": 2}, "duplicate field `params`"),
        (UserMapping(("args", 1), ("args", 2)), "duplicate field `args`"),
        (UserMapping(("tool_name", "a"), ("tool_name", None)), "duplicate field `tool_name`"),
        ({"tool": "a", 1: "x"}, "dict keys must have type str"),
        ({1: "x", "args": object()}, "dict keys must have type str"),
        ({"args": object(), 1: "x"}, "unsupported type object"),
        ({"args": 1, "params": object()}, "unsupported type object"),
        ({"tool": 7}, "unexpected type: 'int' object cannot be converted to 'PyString'"),
        ({"tool_name": ["x"]}, "unexpected type: 'list' object cannot be converted to 'PyString'"),
        ({"args": {"a": b"x"}}, "invalid type: byte array, expected any valid JSON value"),
        ({"params": {1: 2}}, "unexpected type: 'int' object cannot be converted to 'PyString'"),
        ({"tool": "\ud800"}, "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: "
                             "surrogates not allowed"),
        ({"\udc80": 1}, "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udc80' in position 0: "
                        "surrogates not allowed"),
        (BrokenMapping(), "RuntimeError: no keys today"),
        (["tool", "a"], "unexpected type: 'list' object cannot be converted to 'Mapping'"),
        ("tool", "unexpected type: 'str' object cannot be converted to 'Mapping'"),
        (None, "unexpected type: 'NoneType' object cannot be converted to 'Mapping'"),
    ],
)
def test_step_errors(read, step, text):
    assert failure(read, step) == text


def test_first_failing_step_stops_the_call(read):
    assert failure(read, {"tool": "ok"}, {"tool": 1.5}, {"tool": b"x"}) == (
        "unexpected type: 'float' object cannot be converted to 'PyString'")


def test_dict_subclass_is_read_through_its_views(read):
    class Renamed(dict):
        def keys(self):
            return ["tool"]

        def values(self):
            return ["from_view"]

    assert read(Renamed(name="from_items")) == [("from_view", "-")]


# --- the readers of tool names only (CoverageAnalyzer.analyze, CoverageAccumulator) ----------------------------
# A plain dict step is read in one pass of its own; these cases hold each such step beside the same pairs in
# a mapping of another type, which is read the full way, and the two readings must agree in every outcome.


class Text(str):
    pass


class PlainDict(dict):
    pass


class Opaque:
    pass


TOOL_STEPS = [
    {"tool": "a", "args": {"path": "/tmp/x", "n": 1}},
    {"tool": "a", "args": {}},
    {"tool": "a", "args": {"t": True, "f": False, "z": None, "x": 1.5, "nan": float("nan"), "neg": -3}},
    {"tool": "a", "args": {"big": 2**40, "huge": 2**70}},
    {"tool": "a", "args": {"huge": -(2**64)}},
    {"tool": "a", "args": {"s": "é"}},
    {"tool": "a", "args": {"s": Text("x")}},
    {"tool": "a", "args": {Text("k"): 1}},
    {"tool": "a", "args": {"é": 1}},
    {"tool": "a", "args": {1: 2}},
    {"tool": "a", "args": PlainDict(k=1)},
    {"tool": "a", "args": [1, "x", {"k": None}]},
    {"tool": "a", "args": 5},
    {"tool": "a", "args": "text"},
    # Bad values at different depths, and after good ones.
    {"tool": "a", "args": {"k": b"x"}},
    {"tool": "a", "args": {"ok": 1, "k": [b"x"]}},
    {"tool": "a", "args": {"k": {"j": {"i": Opaque()}}}},
    {"tool": "a", "args": {"k": 1, "j": Opaque()}},
    {"args": {"k": Opaque()}, "tool": 7},
    {"tool": 7, "args": {"k": Opaque()}},
    {"args": None, "params": {"x": Opaque()}},
    {"params": {"x": 1}, "args": {"k": bytearray(b"x")}},
    # Names: their types, their keys, given twice, given as null.
    {"tool": Text("a")},
    {Text("tool"): "a"},
    {"tool": "é"},
    {"tool": "\ud800"},
    {"tööl": 1, "tool": "a"},
    {"tool": True},
    {"tool": 7},
    {"tool": None},
    {},
    {"other": Opaque(), "tool": "a"},
    {"tool_name": "b", "tool": "a"},
    {"tool": None, "tool_name": "b"},
    {"name": "b"},
    {"tool": "a", "name": "b"},
    {"tool": None, "name": "b"},
    {"tool": "a", "name": None},
    {"params": {"x": 1}, "arguments": {"y": 2}},
    {"args": None, "args ": Opaque(), "Args": 1},
    {"tool": "a", 1: "x"},
    {1: "x", "tool": 7},
    {"tool": "a", "args": {"k": 1}, None: 2},
]


class Pairs(collections.abc.Mapping):
    """The pairs of a dict, in its order, behind a mapping of another type."""

    def __init__(self, step):
        self.step = dict(step)

    def __getitem__(self, key):
        return self.step[key]

    def __iter__(self):
        return iter(self.step)

    def __len__(self):
        return len(self.step)


def outcome(call, *args):
    try:
        return call(*args)
    except (TypeError, ValueError) as error:
        return type(error), str(error)


@pytest.fixture
def tool_readers(write_policy):
    """The outcome of reading a trace of steps, by CoverageAnalyzer.analyze and by a CoverageAccumulator."""
    from ostik._engine import CoverageAccumulator

    policy = Policy.from_file(write_policy("version: '1'\ntools:\n  allow: [a]\n"))
    analyzer = CoverageAnalyzer(policy)

    def accumulate(trace):
        acc = CoverageAccumulator(policy)
        acc.add(trace)
        return acc.report(0)

    return {"analyze": lambda trace: outcome(analyzer.analyze, [trace], 0), "accumulate": lambda trace: outcome(accumulate, trace)}


@pytest.mark.parametrize("reader", ["analyze", "accumulate"])
@pytest.mark.parametrize("step", TOOL_STEPS, ids=repr)
@pytest.mark.parametrize("kind", [Pairs, PlainDict])
def test_plain_steps_read_as_the_full_reading_reads_them(tool_readers, reader, step, kind):
    read = tool_readers[reader]
    before = [{"tool": "a"}, {"tool": "z"}]
    assert read(before + [step]) == read(before + [kind(step)])


@pytest.mark.parametrize(
    ("step", "analyzed", "accumulated"),
    [
        ({"tool": "a", "args": {"n": 1}}, [], None),
        ({"tool": Text("b"), "args": {"n": 1}}, ["b"], None),
        ({Text("tool"): "b"}, ["b"], None),
        ({"tool": "é"}, ["é"], None),
        ({"tool": None, "tool_name": "b"}, ["b"], None),
        ({"tool": None, "name": "b"}, "duplicate field `tool`", ["b"]),
        ({"tool": "b", "name": None}, "duplicate field `tool`", ["b"]),
        ({"tool": "a", "args": {"n": 2**70}}, "JSON number out of range", []),
        ({"tool": "a", "args": {"k": {"j": [Opaque()]}}}, "unsupported type Opaque",
         "argument 'k': at k.j[0], unsupported type Opaque"),
        ({"tool": "a", 1: "x"}, "dict keys must have type str", "dict keys must have type str"),
        ({"tool": 7, "args": {"k": Opaque()}}, "unexpected type: 'int' object cannot be converted to 'PyString'",
         '"tool" must be str, not int'),
        ({"args": {"k": Opaque()}, "tool": 7}, "unsupported type Opaque", "argument 'k': unsupported type Opaque"),
    ],
    ids=repr,
)
def test_plain_steps_give_the_names_and_failures_they_hold(tool_readers, step, analyzed, accumulated):
    expected = {"analyze": analyzed, "accumulate": analyzed if accumulated is None else accumulated}
    for reader, want in expected.items():
        got = tool_readers[reader]([{"tool": "a"}, step])
        if isinstance(want, str):
            assert got == (ValueError, "Invalid trace format: " + want), reader
        else:
            assert json.loads(got)["tool_coverage"]["unexpected_tools"] == want, reader


def test_names_read_both_ways_count_once(tool_readers):
    # One str object named by plain steps and by mappings, and equal names in objects a mapping makes anew
    # each time it is asked: each name is listed once, whichever way it came.
    class Fresh(Pairs):
        def __getitem__(self, key):
            value = self.step[key]
            return "".join(list(value)) if isinstance(value, str) else value

    names = [f"tool_{i}" for i in range(30)]
    trace = [(Fresh if i % 3 else dict)({"tool": names[i * 7 % 30], "args": {"i": i}}) for i in range(600)]
    for reader in ("analyze", "accumulate"):
        listed = json.loads(tool_readers[reader](trace))["tool_coverage"]["unexpected_tools"]
        assert sorted(listed) == sorted(names)
