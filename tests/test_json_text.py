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


@pytest.mark.parametrize("length", range(1, 20))
def test_an_escape_at_any_place_of_a_short_string(written, length):
    # Text is looked at eight bytes at a time, its end in a word that may
    # overlap the one before: every place of the escaped byte is tried, in
    # values and in keys.
    texts = [
        "a" * place + c + "b" * (length - place - 1)
        for place in range(length)
        for c in ['"', "\\", "\n", "\x01", "\x1f"]
    ]
    expected = [json.dumps(t, ensure_ascii=False).encode() for t in texts]
    assert written(*texts) == expected
    assert written(*({t: 1} for t in texts)) == [b"{" + e + b":1}" for e in expected]


@pytest.mark.parametrize(
    "text",
    ["caf\u00e9 \"x\"\n", "\u00ff\x00\u00e0", "\u20ac\\\u2028\t", "\U0001f600\x1f\u00e9\u0800", "\u07ff\uffff"],
    ids=["latin-1", "latin-1-controls", "bmp", "astral", "boundaries"],
)
def test_non_ascii_text_of_every_width_is_encoded_and_escaped(written, text):
    assert written(text, [text], {text: text}) == [
        json.dumps(text, ensure_ascii=False).encode(),
        json.dumps([text], ensure_ascii=False, separators=(",", ":")).encode(),
        json.dumps({text: text}, ensure_ascii=False, separators=(",", ":")).encode(),
    ]


def test_recording_non_ascii_text_leaves_the_str_as_it_was(written):
    # A str asked for its UTF-8 form keeps that copy for its lifetime.
    texts = ["\u00e9" * 100, "\u20ac" * 100, "\U0001f600" * 100]
    sizes = [sys.getsizeof(t) for t in texts]
    written(texts, {"k": texts[0]})
    assert [sys.getsizeof(t) for t in texts] == sizes


def test_many_keys_of_a_plain_dict_come_out_sorted(written):
    keys = [f"key_{i}" for i in range(100)] + ["\u00e9", "Z", "", "a\"b"]
    random.Random(3).shuffle(keys)
    obj = {k: {k: i, "z": [i], "a": None} for i, k in enumerate(keys)}
    expected = json.dumps(obj, ensure_ascii=False, sort_keys=True, separators=(",", ":")).encode()
    assert written(obj) == [expected]
