"""Reading trace steps: key names, defaults, duplicates and the error texts (through TraceExplainer.explain)."""
import collections.abc
import json

import pytest

from ostik import Policy, TraceExplainer


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
