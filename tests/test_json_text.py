"""The compact JSON text form of values, as written to trace lines."""

import decimal
import json
import random
import re
import struct
import sys

import pytest

from ostik import OstikClient


@pytest.fixture
def written(tmp_path):
    """Records objects and returns the lines written, as bytes without line feeds."""

    def write(*objs):
        path = tmp_path / "trace.jsonl"
        path.unlink(missing_ok=True)
        client = OstikClient(str(path))
        for obj in objs:
            client.record_trace(obj)
        data = path.read_bytes()
        assert data.endswith(b"\n")
        return data[:-1].split(b"\n")

    return write


@pytest.mark.parametrize(
    ("number", "text"),
    [
        (0.1, "0.1"),
        (100.0, "100.0"),
        (1.0, "1.0"),
        (-2.5, "-2.5"),
        (123.456, "123.456"),
        (1e15, "1000000000000000.0"),
        (1.2345e15, "1234500000000000.0"),
        (9007199254740993.0, "9007199254740992.0"),
        (1e16, "1e+16"),
        (1.5e300, "1.5e+300"),
        (1.5e-7, "1.5e-7"),
        (1e-5, "0.00001"),
        (1.25e-5, "0.0000125"),
        (1e-6, "1e-6"),
        (0.0, "0.0"),
        (-0.0, "-0.0"),
        (5e-324, "5e-324"),
        (-5e-324, "-5e-324"),
        (sys.float_info.max, "1.7976931348623157e+308"),
        (sys.float_info.min, "2.2250738585072014e-308"),
    ],
)
def test_float_forms(written, number, text):
    assert written(number) == [text.encode()]


def test_integers_and_floats_are_told_apart(written):
    assert written(1, 1.0, [0, 0.0, -3]) == [b"1", b"1.0", b"[0,0.0,-3]"]


def expected_layout(number):
    """The plain or exponent layout, built from the shortest digits Python finds."""
    shortest = decimal.Decimal(repr(abs(number))).normalize().as_tuple()
    ds = "".join(map(str, shortest.digits))
    n = len(ds)
    e = shortest.exponent + n - 1
    sign = "-" if number < 0 else ""
    if -5 <= e <= 15:
        if e < 0:
            return sign + "0." + "0" * (-e - 1) + ds
        if e <= n - 2:
            return sign + ds[: e + 1] + "." + ds[e + 1:]
        return sign + ds + "0" * (e - n + 1) + ".0"
    mantissa = ds[0] + ("." + ds[1:] if n > 1 else "")
    return sign + mantissa + "e" + ("-" if e < 0 else "+") + str(abs(e))


def test_random_doubles_round_trip_in_their_layout(written):
    rng = random.Random(20240611)
    numbers = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(1500)]
    numbers += [rng.uniform(-1e6, 1e6) for _ in range(500)]
    numbers += [rng.randint(1, 10**17) * 10.0 ** rng.randint(-25, 5) for _ in range(500)]
    numbers = [x for x in numbers if x == x and abs(x) != float("inf") and x != 0]
    lines = written(numbers)
    texts = lines[0].decode()[1:-1].split(",")
    for number, text in zip(numbers, texts, strict=True):
        assert float(text) == number
        assert text == expected_layout(number), number
        assert re.fullmatch(r"-?(\d+\.\d+|\d(\.\d+)?e[+-][1-9]\d*)", text)


@pytest.mark.parametrize(
    ("text", "escaped"),
    [
        ('say "hi"', b'"say \\"hi\\""'),
        ("back\\slash", b'"back\\\\slash"'),
        ("\b\t\n\f\r", b'"\\b\\t\\n\\f\\r"'),
        ("\x00\x01\x0b\x0e\x1f", b'"\\u0000\\u0001\\u000b\\u000e\\u001f"'),
        ("a/b\x7f", b'"a/b\x7f"'),
        ("caf\u00e9", b'"caf\xc3\xa9"'),
        ("\u2028\U0001f600", '"\u2028\U0001f600"'.encode()),
        ("", b'""'),
    ],
)
def test_string_escaping(written, text, escaped):
    assert written(text) == [escaped]


def test_every_control_character_is_escaped(written):
    controls = "".join(chr(c) for c in range(0x20))
    (line,) = written(controls)
    assert not any(b < 0x20 for b in line)
    assert json.loads(line) == controls
    assert line.count(b"\\u00") == 32 - 5


def test_keys_are_written_in_byte_order(written):
    obj = {"b": 1, "é": 2, "a": {"y": [], "x": {}}, "B": 3, "ab": 4, "": 5}
    assert written(obj) == [b'{"":5,"B":3,"a":{"x":{},"y":[]},"ab":4,"b":1,"\xc3\xa9":2}']


def test_keys_are_escaped_like_strings(written):
    assert written({'k"\n': 1}) == [b'{"k\\"\\n":1}']
