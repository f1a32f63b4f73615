"""The recorded results' text index: runs shared with earlier results that
hold the same windows in other text are still found."""

import pytest

import ostik

POLICY = """
version: "1"
flows:
  - {from: read_file, to: send, min_length: 8}
"""


@pytest.mark.parametrize("results, sent, verdict", [
    # The second result's only indexed window also starts the first one.
    (["ABCDzzzz", "ABCDEFGH"], "ABCDEFGH", "blocked"),
    (["ABCDzzzz", "ABCDEFGH"], "xxABCDEFGHyy", "blocked"),
    (["ABCDzzzz", "ABCDEFGH"], "ABCDzzzz", "blocked"),
    (["ABCDzzzz", "ABCDEFGH"], "ABCDEFGz", "allowed"),
    # Repeated text is indexed once and still found.
    (["a" * 100_000], "a" * 8, "blocked"),
    (["a" * 100_000 + "WXYZ1234"], "aaaaWXYZ1234", "blocked"),
    (["éléphant" * 50, "éléphantXYZ"], "…léphantXYZ", "blocked"),
])
def test_shared_windows_in_other_text_are_found(write_policy, results, sent, verdict):
    s = ostik.Guard.from_file(write_policy(POLICY)).session()
    for i, result in enumerate(results):
        s.check("read_file", {}, call_id=f"r{i}")
        s.record_result(f"r{i}", result)
    assert s.check("send", {"text": sent}, call_id="out").verdict == verdict


TWO_FLOWS = """
version: "1"
flows:
  - {from: read_file, to: send, min_length: 12}
  - {from: fetch, to: post, min_length: 12}
"""


@pytest.mark.parametrize("resume_at", [None, 1, 2])
def test_a_result_recorded_again_is_found_for_every_flow_it_feeds(write_policy, resume_at):
    """The same text given by one tool twice (a file read again) and by a tool
    of another flow: each flow finds it, in its own earliest result."""
    guard = ostik.Guard.from_file(write_policy(TWO_FLOWS))
    rng = random.Random(3)
    text = "".join(rng.choice("abcdefgh ") for _ in range(5000)) + " IBAN DE89370400440532013000 "
    s = guard.session()
    for i, tool in enumerate(["read_file", "read_file", "fetch"]):
        if i == resume_at:
            s = guard.resume(s.to_bytes())
        s.check(tool, None)
        s.record_result(i, {"body": text, "again": [text]})
    for tool, source in [("send", 0), ("post", 2)]:
        d = s.peek(tool, {"to": "DE89370400440532013000"})
        assert d.verdict == "blocked" and d.failures[0].context["source_step"] == source
    assert guard.resume(s.to_bytes()).to_bytes() == s.to_bytes()
    assert s.peek("send", {"to": "QQ99887766554433221100"}).verdict == "allowed"


# ---- every shared run of at least min_length characters is found ----

import random  # noqa: E402
import unicodedata  # noqa: E402

from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

MIN_LENGTHS = (1, 2, 3, 5, 8, 12, 16, 17)
FLOWS_POLICY = 'version: "1"\nflows:\n' + "".join(
    f"  - {{from: read_file, to: send{n}, min_length: {n}}}\n" for n in MIN_LENGTHS)

# Few letters, so that runs repeat and windows collide; combining marks and
# precomposed letters, so that NFC joins and the code points are not bytes.
LETTERS = st.sampled_from(list("ab ") + ["é", "e\u0301", "\u0301", "ß", "𝄞", "日", "\u00c5", "A\u030a"])
TEXTS = st.lists(LETTERS, max_size=40).map("".join)


def shares_run(result: str, sent: str, n: int) -> bool:
    """A run of n code points of `sent` in `result`, after NFC (the plain way)."""
    result, sent = unicodedata.normalize("NFC", result), unicodedata.normalize("NFC", sent)
    return any(sent[i:i + n] in result for i in range(len(sent) - n + 1))


@pytest.fixture(scope="module")
def flows_guard(tmp_path_factory):
    path = tmp_path_factory.mktemp("flows") / "policy.yaml"
    path.write_text(FLOWS_POLICY)
    return ostik.Guard.from_file(path)


@settings(max_examples=150, deadline=None)
@given(results=st.lists(TEXTS, min_size=1, max_size=4), sent=TEXTS, split=st.integers(0, 4))
def test_every_shared_run_is_found(flows_guard, results, sent, split):
    """Results recorded before and after resume, each a str or a nested value:
    a call is blocked exactly when one of its strings shares a run of
    min_length characters with one string of a result."""
    s = flows_guard.session()
    for i, result in enumerate(results):
        if i == split:
            s = flows_guard.resume(s.to_bytes())
        s.check("read_file", None, call_id=f"r{i}")
        s.record_result(f"r{i}", result if i % 2 else {"body": [result, 7]})
    for n in MIN_LENGTHS:
        expected = any(shares_run(r, sent, n) for r in results)
        d = s.peek(f"send{n}", {"text": sent})
        assert d.verdict == ("blocked" if expected else "allowed"), (n, d.reason)
        if expected:
            matched = d.failures[0].context["matched"]
            assert len(matched) >= n and any(matched in unicodedata.normalize("NFC", r) for r in results)


@settings(max_examples=40, deadline=None)
@given(prefix=st.text(alphabet="xyz", max_size=3000), secret=st.text(alphabet="0123456789", min_size=12, max_size=12),
       suffix=st.text(alphabet="xyz", max_size=50), cut=st.integers(0, 30))
def test_a_run_is_found_wherever_it_lies_in_a_long_result(flows_guard, prefix, secret, suffix, cut):
    """Long results, at every offset from the stride's windows, and a run at
    the very start or end of the text looked in."""
    s = flows_guard.session()
    s.check("read_file", None)
    s.record_result(0, prefix + secret + suffix)
    assert s.peek("send12", {"to": secret}).verdict == "blocked"
    assert s.peek("send12", {"to": "q" * cut + secret}).verdict == "blocked"
    assert s.peek("send12", {"to": secret + "q" * cut}).verdict == "blocked"
    assert s.peek("send12", {"to": secret[:11] + "q" + secret[1:]}).verdict == "allowed"


@pytest.mark.parametrize("seed", range(8))
def test_long_results_and_runs_at_every_window_of_the_args(flows_guard, seed):
    """Results of up to thousands of windows (so the tables grow, and inserts
    and checks run far past the windows they fetch ahead), ASCII and not, in
    NFC and not, some given back by a resumed session; runs just shorter and
    longer than min_length, at the first to the sixtieth window of the args:
    blocked exactly when the plain search finds the run."""
    rng = random.Random(seed)
    letters = "abcdefgh" if seed % 2 else "abcdef\u00e9\u65e5\U0001d11e"
    results = ["".join(rng.choice(letters) for _ in range(rng.choice([3, 11, 40, 3000, 8000]))) for _ in range(6)]
    recorded = []
    s = flows_guard.session()
    for i, r in enumerate(results):
        if i == 3:
            s = flows_guard.resume(s.to_bytes())
        s.check("read_file", None, call_id=f"r{i}")
        if i % 2:
            strings = [r, r[::-1], unicodedata.normalize("NFD", r)]
            s.record_result(f"r{i}", {"a": strings[0], "b": [strings[1], strings[2]]})
        else:
            strings = [r]
            s.record_result(f"r{i}", r)
        recorded += strings
    normalized = [unicodedata.normalize("NFC", r) for r in recorded]
    for _ in range(40):
        source = rng.choice(normalized)
        length = rng.randint(6, 15)
        at = rng.randint(0, max(0, len(source) - length))
        run = source[at:at + length]
        sent = "xyz" * rng.randint(0, 20) + run + "zyx" * rng.randint(0, 3)
        for n in (8, 12):
            pieces = [sent[i:i + n] for i in range(len(sent) - n + 1)]
            expected = any(p in r for r in normalized for p in pieces)
            d = s.peek(f"send{n}", {"text": sent})
            assert d.verdict == ("blocked" if expected else "allowed"), (n, sent, d.reason)
            if expected:
                matched = d.failures[0].context["matched"]
                assert len(matched) >= n and matched in sent


@pytest.mark.parametrize("seed", range(6))
def test_windows_that_thousands_share_are_all_found(flows_guard, seed):
    """Results made of a few short words, so that with a short window one key
    is shared by thousands of windows with other text around them: a run is
    found wherever it lies among them, and none that is not there."""
    rng = random.Random(seed)
    words = ["the", "a", "of", "tea", "toe", "at"]
    results = [" ".join(rng.choice(words) for _ in range(rng.choice([40, 3000]))) for _ in range(3)]
    s = flows_guard.session()
    for i, r in enumerate(results):
        s.check("read_file", None, call_id=f"r{i}")
        s.record_result(f"r{i}", r)
    for _ in range(40):
        n = rng.choice([1, 3, 5, 8, 12])
        if rng.random() < 0.5:
            source = rng.choice(results)
            at = rng.randint(0, len(source) - n)
            sent = source[at:at + n + rng.randint(0, 6)].replace(" ", rng.choice(" _"))
        else:
            sent = "".join(rng.choice("theoaf _") for _ in range(rng.randint(n, 3 * n)))
        expected = any(shares_run(r, sent, n) for r in results)
        d = s.peek(f"send{n}", {"text": sent})
        assert d.verdict == ("blocked" if expected else "allowed"), (n, sent, d.reason)
        if expected:
            context = d.failures[0].context
            assert len(context["matched"]) >= n and context["matched"] in results[context["source_step"]]


@pytest.mark.parametrize("n", [3, 5, 8, 12])
def test_a_run_whose_windows_are_all_common_is_found(flows_guard, n):
    """Every window of the secret first occurs a hundred times in other text
    (more than a key keeps with it), the secret itself once, last."""
    rng = random.Random(n)
    secret = "abcdefghijklmnop"[:n]
    window = (n + 1) // 2
    noise = [secret[i:i + window] for i in range(n - window + 1)] * 100
    rng.shuffle(noise)
    text = "".join("".join(rng.choice("xyz") for _ in range(6)) + gram for gram in noise) + "xyz" + secret + "zyx"
    s = flows_guard.session()
    s.check("read_file", None)
    s.record_result(0, text)
    assert s.peek(f"send{n}", {"to": secret}).verdict == "blocked"
    assert s.peek(f"send{n}", {"to": secret[:-1] + "q"}).verdict == "allowed"


# Each byte value maps to one of 36 letters and digits.
LETTERS = bytes(b"abcdefghijklmnopqrstuvwxyz0123456789"[i % 36] for i in range(256))


def random_text(rng: random.Random, n: int) -> str:
    """n random letters and digits, made fast enough for megabytes."""
    return rng.randbytes(n).translate(LETTERS).decode()


@pytest.mark.parametrize("foreign", ["", "éß日𝄞ÅøΩж"])
def test_runs_are_found_all_through_a_result_of_many_thousand_windows(flows_guard, foreign):
    """The index works through a long result some thousands of windows at a
    time: runs that start at every offset around the places where one such
    stretch ends (16384 windows of the stride in) and the next begins, and at
    the result's start and end, are all found, in ASCII text and in text of
    letters past it."""
    rng = random.Random(len(foreign))
    alphabet = "abcdefghijklmnopqrstuvwxyz0123456789" + foreign
    result = "".join(rng.choices(alphabet, k=400_000))
    s = flows_guard.session()
    s.check("read_file", None)
    s.record_result(0, result)
    for n, stride in ((8, 5), (12, 7)):
        for stretch in (1, 2, 3):
            edge = stretch * 16384 * stride
            for at in [*range(edge - 2 * n, edge + 2 * n), 0, len(result) - n]:
                run = result[at:at + n]
                assert s.peek(f"send{n}", {"to": "_" + run + "_"}).verdict == "blocked", (n, at)
                assert s.peek(f"send{n}", {"to": "_" + run[:-1] + "_"}).verdict == "allowed", (n, at)


@pytest.mark.parametrize("after", [0, 40])
def test_every_window_of_a_result_is_found_in_a_table_made_to_its_size(flows_guard, after):
    """A large first result has its tables made to the room its windows need,
    which is no power of two, and small results after it grow them again: a
    run at every window of the first result (so in every part of the table,
    its last slots too, from which a walk goes on at the first) is found,
    alone and after the small ones, which are found too."""
    rng = random.Random(after)
    result = random_text(rng, 90_000)
    others = [random_text(rng, 2_000) for _ in range(after)]
    s = flows_guard.session()
    s.check("read_file", None)
    s.record_result(0, result)
    for i, other in enumerate(others, 1):
        s.check("read_file", None)
        s.record_result(i, other)
    for n, stride in ((8, 5), (12, 7)):
        for at in range(0, len(result) - n + 1, stride):
            d = s.peek(f"send{n}", {"to": "_" + result[at:at + n] + "_"})
            assert d.verdict == "blocked" and d.failures[0].context["source_step"] == 0, (n, at)
    for i, other in enumerate(others, 1):
        assert s.peek("send8", {"to": other[-8:]}).failures[0].context["source_step"] == i


@pytest.mark.parametrize("sizes", [
    [300_000] * 12,                # the text outgrows the heap, then its mapping, several times
    [5, 2_500_000, 7, 1_200_000],  # a small start, then one piece past the mapping at once
])
def test_megabytes_of_results_keep_every_piece_in_reach(write_policy, sizes):
    """Results of megabytes, so that the recorded text and the tables move to
    mappings of their own and grow there: runs at the start, end and middle
    of every result, the first one's too, are still found afterwards, and in
    a resumed session, whose bytes are the same."""
    g = ostik.Guard.from_file(write_policy('version: "1"\nflows:\n  - {from: read_file, to: send12, min_length: 12}\n'))
    rng = random.Random(len(sizes))
    results = [random_text(rng, n) for n in sizes]
    s = g.session()
    for i, r in enumerate(results):
        s.check("read_file", None, call_id=f"r{i}")
        s.record_result(f"r{i}", r)
    resumed = g.resume(s.to_bytes())
    assert resumed.to_bytes() == s.to_bytes()
    for session in (s, resumed):
        for r in results:
            for at in {0, len(r) // 2, max(0, len(r) - 12)}:
                run = r[at:at + 12]
                verdict = "blocked" if len(run) == 12 else "allowed"
                assert session.peek("send12", {"text": "_" + run + "_"}).verdict == verdict
        assert session.peek("send12", {"text": "_" * 40}).verdict == "allowed"


@pytest.mark.parametrize("result, sent, verdict", [
    ("x" * 5000 + "caf\u00e9-au-lait-1234", "cafe\u0301-au-lait", "blocked"),  # NFD args, NFC result
    ("x" * 5000 + "cafe\u0301-au-lait-1234", "caf\u00e9-au-lait", "blocked"),  # NFC args, NFD result
    ("日本語のテキストです" * 300, "テキストです日本語のテキ", "blocked"),
    ("日本語のテキストです" * 300, "テキストです日本語のテX", "allowed"),
    ("\U0001d11e" * 11 + "ab", "\U0001d11e" * 12, "allowed"),  # eleven, not twelve
    ("\U0001d11e" * 12, "z\U0001d11e" + "\U0001d11e" * 11, "blocked"),
])
def test_non_ascii_results_and_normalisation(flows_guard, result, sent, verdict):
    s = flows_guard.session()
    s.check("read_file", None)
    s.record_result(0, result)
    assert s.peek("send12", {"text": sent}).verdict == verdict


@pytest.mark.parametrize("n", [8, 12, 16, 17])
@pytest.mark.parametrize("result, sent", [
    ("\u00e9t\u00e9 {secret}", "{secret}"),          # an ASCII run at the end of a text that is not ASCII
    ("{secret}", "\u65e5\u672c {secret} \u00e9"),    # and in the args
    ("{secret}\u00e9", "x{secret}"),                   # the run just before the first code point past ASCII
    ("pre {secret}", "{secret}"),                      # all ASCII, the run ending where the text ends
])
def test_ascii_runs_are_found_across_texts_of_either_kind(write_policy, n, result, sent):
    """A run of ASCII text is found whether the texts around it on either
    side are ASCII or not, up to the last bytes of the result."""
    path = write_policy(f'version: "1"\nflows:\n  - {{from: read_file, to: send, min_length: {n}}}\n')
    secret = "0123456789ABCDEFGHIJ"[:n]
    s = ostik.Guard.from_file(path).session()
    s.check("read_file", None)
    s.record_result(0, result.format(secret=secret))
    assert s.peek("send", {"text": sent.format(secret=secret)}).verdict == "blocked"
    assert s.peek("send", {"text": sent.format(secret=secret[:-1] + "_")}).verdict == "allowed"


# ---- the bound on tracked text ----

BOUND_POLICY = """
version: "1"
labels:
  private: [read_file]
flows:
  - {from: private, to: send_email, min_length: 8}
  - {from: read_email, to: post, effect: ask}
"""


@pytest.mark.parametrize("bound, results, verdict", [
    (100, ["x" * 100], "allowed"),            # exactly the bound: tracked
    (100, ["x" * 101], "blocked"),            # past it: fails closed
    (100, ["x" * 60, "y" * 60], "blocked"),   # the second result passes it
    (0, [""], "allowed"),                     # no text, nothing past the bound
    (0, ["z"], "blocked"),
    (10, ["é" * 5], "allowed"),               # counted in bytes of NFC text
    (10, ["e\u0301" * 5 + "!"], "blocked"),
])
def test_a_small_bound_fails_closed_with_its_reason(write_policy, bound, results, verdict):
    g = ostik.Guard.from_file(write_policy(BOUND_POLICY), max_tracked_bytes=bound)
    s = g.session()
    for i, result in enumerate(results):
        s.check("read_file", None, call_id=f"r{i}")
        s.record_result(f"r{i}", result)
    d = s.check("send_email", {"body": "unrelated text"})
    assert d.verdict == verdict
    if verdict == "blocked":
        assert d.reason == ("the results of 'private' recorded in this session passed max_tracked_bytes, "
                            "so the arguments of 'send_email' cannot be traced to them")
        # Taint flows need no text: they are not bounded.
        s.check("read_email", None, call_id="e")
        s.record_result("e", "x" * 1000)
        assert s.check("post", None).verdict == "ask"


def test_the_bound_is_the_guards_on_resume(write_policy):
    path = write_policy(BOUND_POLICY)
    big = ostik.Guard.from_file(path, max_tracked_bytes=1000)
    small = ostik.Guard.from_file(path, max_tracked_bytes=100)
    s = big.session()
    s.check("read_file", None)
    s.record_result(0, "secret-0123456789-" * 10)  # 180 bytes
    data = s.to_bytes()
    with pytest.raises(ValueError, match="^invalid Session bytes: tracking more result text than the guard's "
                                         "max_tracked_bytes$"):
        small.resume(data)
    r = big.resume(data)
    assert r.check("send_email", {"body": "0123456789"}).verdict == "blocked"
    assert r.check("send_email", {"body": "unrelated"}).verdict == "allowed"
    # The bound goes on counting what was tracked before.
    r.check("read_file", None, call_id="more")
    r.record_result("more", "y" * 900)
    assert "passed max_tracked_bytes" in r.check("send_email", {"body": "unrelated"}).reason
    # A session that failed closed stays so on resume, under a larger bound too.
    for g in (big, ostik.Guard.from_file(path)):
        assert g.resume(r.to_bytes()).check("send_email", {"body": "unrelated"}).verdict == "blocked"


def test_the_bound_on_a_guard_built_from_a_policy(write_policy):
    from ostik import _native
    policy = _native.Policy.from_file(write_policy('version: "1"\n'))
    g = ostik.Guard(policy, max_tracked_bytes=5)
    assert g.session().check("anything", None).verdict == "allowed"


@pytest.mark.parametrize("value, error, message", [
    ("64", TypeError, "argument 'max_tracked_bytes': 'str' object cannot be converted to 'int'"),
    (True, TypeError, "argument 'max_tracked_bytes': 'bool' object cannot be converted to 'int'"),
    (1.5, TypeError, "argument 'max_tracked_bytes': 'float' object cannot be converted to 'int'"),
    (-1, ValueError, "argument 'max_tracked_bytes': max_tracked_bytes must be between 0 and 2**32-2"),
    (2**70, ValueError, "argument 'max_tracked_bytes': max_tracked_bytes must be between 0 and 2**32-2"),
    (2**32 - 1, ValueError, "argument 'max_tracked_bytes': max_tracked_bytes must be between 0 and 2**32-2"),
])
def test_the_bound_is_validated(write_policy, value, error, message):
    path = write_policy(BOUND_POLICY)
    with pytest.raises(error) as e:
        ostik.Guard.from_file(path, max_tracked_bytes=value)
    assert str(e.value) == message
    with pytest.raises(TypeError, match="positional"):
        ostik.Guard.from_file(path, 100)  # type: ignore[misc]


# ---- a str result is read in place: the same as any other result ----

class Text(str):
    """A str subclass: converted as a value, the general way."""


EQUIVALENCE_POLICY = """
version: "1"
labels:
  private: [read_file]
taint:
  - label: secret
    result: {matches: 'sk-[0-9]{4}'}
flows:
  - {from: private, to: send, min_length: 8}
  - {from: secret, to: post, effect: ask}
  - {from: secret, to: send, min_length: 6}
"""


@pytest.mark.parametrize("results", [
    ["plain ascii text, long enough", "sk-1234 and more"],
    ["caf\u00e9 au lait, tr\u00e8s bien", "cafe\u0301 au lait NFD", "日本語のテキストです" * 50],
    ["", "x" * 3000, "\U0001d11e" * 20],
])
@pytest.mark.parametrize("traced", [False, True])
def test_str_results_read_in_place_match_the_general_path(write_policy, tmp_path, results, traced):
    """Sessions given each result as a str and as a str subclass make the same
    decisions, bytes and trace file."""
    g = ostik.Guard.from_file(write_policy(EQUIVALENCE_POLICY))
    sessions, files = [], []
    for kind in (str, Text):
        path = tmp_path / f"{kind.__name__}.jsonl"
        s = g.session(trace_file=str(path), clock=lambda: 5.0) if traced else g.session()
        for i, r in enumerate(results):
            s.check("read_file", None, call_id=f"r{i}")
            s.record_result(f"r{i}", kind(r), is_error=i == 1)
        s.check("fetch", None, call_id="f")
        s.record_result("f", kind("sk-9876"))
        sessions.append(s)
        files.append(path)
    fast, general = sessions
    sent = [r[2:14] for r in results] + ["unrelated words", "sk-9876"]
    verdicts = set()
    for tool in ("send", "post"):
        for text in sent:
            a, b = (s.peek(tool, {"text": text}) for s in sessions)
            assert (a.verdict, a.reason, a.failures) == (b.verdict, b.reason, b.failures)
            verdicts.add(a.verdict)
    assert verdicts == {"allowed", "blocked", "ask"}
    assert fast.to_bytes() == general.to_bytes()
    if traced:
        assert files[0].read_bytes() == files[1].read_bytes()
        assert files[0].read_bytes().count(b'"result_of"') == len(results) + 1


@pytest.mark.parametrize("traced", [False, True])
def test_str_results_that_cannot_be_recorded_fail_alike(write_policy, tmp_path, traced):
    g = ostik.Guard.from_file(write_policy(EQUIVALENCE_POLICY))
    errors = []
    for kind in (str, Text):
        s = g.session(trace_file=str(tmp_path / f"{kind.__name__}.jsonl")) if traced else g.session()
        s.check("read_file", None, call_id="r")
        for call, result in (("r", "bad \ud800 surrogate"), ("nope", "text"), ("nope", "caf\u00e9")):
            with pytest.raises(ValueError) as e:
                s.record_result(call, kind(result))
            errors.append(str(e.value))
        assert s.check("send", {"text": "bad  surrogate"}).verdict == "allowed"
    assert errors[:3] == errors[3:]
    assert errors[0].startswith("the result cannot be recorded: ")
    assert errors[1] == "no result can be recorded for call 'nope': it is no call of this session"


@pytest.mark.parametrize("size", [20_000, 3_000_000])
def test_a_session_finds_nothing_of_the_sessions_before_it(write_policy, size):
    """Tables start empty whatever memory they are given: a session made after
    others recorded megabytes (their tables grown and freed) finds no run of
    their results, and still finds its own."""
    guard = ostik.Guard.from_file(write_policy(POLICY))
    rng = random.Random(size)
    earlier = []
    for _ in range(3):
        s = guard.session()
        s.check("read_file", None)
        earlier.append(random_text(rng, size))
        s.record_result(0, earlier[-1])
        del s
    s = guard.session()
    s.check("read_file", None)
    own = random_text(rng, size)
    s.record_result(0, own)
    for other in earlier:
        for at in (0, size // 2, size - 40):
            assert s.peek("send", {"text": other[at:at + 40]}).verdict == "allowed"
    assert s.peek("send", {"text": own[size // 3:size // 3 + 40]}).verdict == "blocked"


@pytest.mark.parametrize("first, second", [
    ("notes: the meeting is at noon", "noon tomorrow, room 4"),
    ("réunion à midi, salle", "salle 4 à l'étage"),
])
@pytest.mark.parametrize("n", [8, 12])
def test_a_run_through_two_results_is_not_one(flows_guard, first, second, n):
    """The results' texts lie one after another: a string made of the end of one
    and the start of the next shares a run with neither, though it does with their
    text side by side; many places of its windows (a repeated word) change nothing."""
    s = flows_guard.session()
    for i, text in enumerate([first + " noon" * 40, second, first, second]):
        s.check("read_file", None, call_id=f"r{i}")
        s.record_result(f"r{i}", text)
    half = n // 2 + 1
    sent = first[-half:] + second[:half]
    assert not any(sent[i:i + n] in r for r in (first, second) for i in range(len(sent) - n + 1))
    assert s.peek(f"send{n}", {"text": sent}).verdict == "allowed"
    # A run in one of them is found, and named by the text it came from.
    found = s.peek(f"send{n}", {"text": "x" + second[:n + 1]})
    assert found.verdict == "blocked" and found.failures[0].context["matched"] in second
