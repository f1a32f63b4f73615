"""What a repeat limit and a call id compare a call's arguments by: equal arguments,
however their dicts are ordered, and only those; and sessions saved before the
arguments were hashed as they are now."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from ostik import Guard

# Ints, texts, lists and dicts only: for them Python's == is the arguments' equality
# (1 == 1.0 == True and a tuple != a list are not).
VALUES = st.recursive(
    st.none() | st.integers(-(2**63), 2**64 - 1) | st.text(max_size=30),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=10), inner, max_size=4),
    max_leaves=12)


@pytest.fixture(scope="module")
def pairs_guard(tmp_path_factory):
    path = tmp_path_factory.mktemp("fingerprints") / "policy.yaml"
    path.write_text('version: "1"\nlimits:\n  - {repeat: 2}\n')
    return Guard.from_file(str(path))


def reordered(v):
    """The same value with every dict's members inserted in reverse."""
    if isinstance(v, dict):
        return {k: reordered(v[k]) for k in reversed(list(v))}
    if isinstance(v, list):
        return [reordered(x) for x in v]
    return v


@settings(max_examples=300, deadline=None)
@given(a=VALUES, b=VALUES)
def test_a_second_call_repeats_the_first_exactly_when_the_arguments_are_equal(pairs_guard, a, b):
    for second in (b, reordered(a)):
        s = pairs_guard.session()
        assert s.check("tool", {"v": a}).allowed
        assert s.check("tool", {"v": second}).verdict == ("blocked" if second == a else "allowed")


def near(text: str) -> list:
    """Texts of the same length that differ from `text` in one character, at each place."""
    return [text[:i] + chr(ord(c) ^ 1) + text[i + 1:] for i, c in enumerate(text)]


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 24, 100])
def test_texts_that_differ_in_any_one_place_do_not_repeat(pairs_guard, n):
    text = "".join(chr(97 + i % 26) for i in range(n))
    for other in near(text) + [text + "\0", "\0" + text]:
        for shape in (lambda t: t, lambda t: {t: 1}, lambda t: [t]):
            s = pairs_guard.session()
            assert s.check("tool", {"v": shape(text)}).allowed
            assert s.check("tool", {"v": shape(other)}).allowed, (text, other)


@pytest.mark.parametrize("a, b", [
    ({"a": "b"}, {"b": "a"}),
    ({"a": {"b": 1}}, {"a": 1, "b": 1}),
    ([["a"], "b"], ["a", ["b"]]),
    ({"a": 1, "b": 2}, {"a": 2, "b": 1}),
    ({"a": [1, 2]}, {"a": [2, 1]}),
    ({"a": [1]}, {"a": 1}),
    ({"a": {}}, {"a": []}),
    ({"a": ""}, {"a": None}),
    ({"x": -1}, {"x": 2**64 - 1}),
    ({"x": 0}, {"x": -0.0}),
])
def test_arguments_of_another_shape_do_not_repeat(pairs_guard, a, b):
    s = pairs_guard.session()
    assert s.check("tool", a).allowed and s.check("tool", b).allowed


# ---- sessions saved by the last release ----

FORMER_POLICY = 'version: "1"\nask:\n  - tool: deploy\nlimits:\n  - {repeat: 3}\n'
DEPLOY = {"env": "prod", "tags": ["a", 1, 2.5, None, True]}
SEARCH = {"q": "a", "n": {"deep": [1, -2]}}
# A session that asked about DEPLOY (call c3) and allowed SEARCH twice (c1, c2),
# as the last release saved it.
FORMER_BYTES = bytes.fromhex(
    "4f534b530175799ecaf7f06d5a00020000000302633301d4258f3c84ab9b4d0200066465706c6f7901050000000000000000"
    "0000000002633101854a68be42018215000006736561726368000002633201854a68be420182150001067365617263680000"
    "010001000100010673656172636801854a68be420182150200010263330123080203656e76060470726f6404746167730705"
    "06016103010500000000000004400002d2d8d554483547f7")


@pytest.fixture
def former_guard(tmp_path):
    path = tmp_path / "policy.yaml"
    path.write_text(FORMER_POLICY)
    return Guard.from_file(str(path))


@pytest.mark.parametrize("saved_again", [False, True])
def test_a_session_saved_by_the_last_release_resumes(former_guard, saved_again):
    s = former_guard.resume(FORMER_BYTES)
    if saved_again:
        s = former_guard.resume(s.to_bytes())
        assert s.to_bytes()[4] == 2
    # Its call ids keep their decisions, held to the same arguments.
    assert s.check("search", SEARCH, call_id="c1").allowed
    with pytest.raises(ValueError, match="already decided for another call"):
        s.check("search", {"q": "b"}, call_id="c1")
    assert list(s.pending) == ["c3"]
    with pytest.raises(ValueError, match="already decided for another call"):
        s.check("deploy", {"env": "test"}, call_id="c3")
    assert s.check("deploy", DEPLOY, call_id="c3").needs_approval
    assert s.approve("c3").allowed
    # The run of equal calls it held starts over: the third from here is refused.
    assert [s.check("search", SEARCH).verdict for _ in range(3)] == ["allowed", "allowed", "blocked"]


@pytest.mark.parametrize("version", [0, 3, 255])
def test_session_bytes_of_other_formats_are_refused(former_guard, version):
    data = bytearray(FORMER_BYTES)
    data[4] = version
    with pytest.raises(ValueError, match=f"unsupported format version {version}"):
        former_guard.resume(bytes(data))


def sealed(body: bytes) -> bytes:
    """`body` with its checksum (FNV-1a, 64 bits, little-endian) after it."""
    h = 0xCBF29CE484222325
    for b in body:
        h = ((h ^ b) * 0x100000001B3) % 2**64
    return body + h.to_bytes(8, "little")


def test_a_waiting_call_with_a_former_hash_in_current_bytes_is_refused(former_guard):
    data = bytearray(former_guard.resume(FORMER_BYTES).to_bytes())
    at = data.index(b"\x02c3") + 3  # the waiting call's id, then its has_args byte
    assert data[at] == 1
    former_guard.resume(sealed(bytes(data[:-8])))  # resealed as it was: read
    data[at] |= 2
    with pytest.raises(ValueError, match="malformed"):
        former_guard.resume(sealed(bytes(data[:-8])))
