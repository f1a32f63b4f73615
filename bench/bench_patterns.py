"""Regular expressions of argument constraints against a 1 MB argument: the worst shapes known.

Each shape is a policy with one `matches`/`not_matches` constraint on `command`
and an argument of 1 MiB chosen to be the worst for it (a text that never
matches, so the whole argument is read, and that keeps the automaton building
new states). For each, the time of Session.check on a fresh guard (the first
check builds the automaton's states) and the slowest of the next three. The
target: every pattern that loads checks 1 MiB in at most 50 ms. Patterns over
the budget are refused when the guard is made; their message is shown instead.

Shapes: the two of the hardening report (a 5,000-alternative 45 KB pattern; a
100,000-character literal against a 100,000-character argument), the largest
patterns the budget lets load (an alternation of words, a literal of repeated
characters, counted repetitions of `.` and of classes, Unicode classes), the
classic backtracking shapes, automata with many states (`a[ab]{n}c`, a counted
class after a selective prefix, nested and serial counted repetitions: the
largest the state estimate lets load and the smallest it refuses), and the
patterns real policies hold (keys, IBANs, UUIDs, addresses, commands), each
against a text built to keep the most of its matches open without completing
one.

Times are CPU time of the checking thread (time.thread_time), steadier than
the wall clock on a shared machine.

Usage: python bench/bench_patterns.py [SHAPE-SUBSTRING ...]   (all by default)
"""

import json
import random
import string
import sys
import tempfile
import time
from pathlib import Path

from ostik import Guard, Policy

MB = 1 << 20
TARGET_MS = 50

rng = random.Random(25)
LOWER = string.ascii_lowercase
PROSE = rng.choices(LOWER + " ", k=MB)
PROSE = "".join(PROSE)
AB = "".join(rng.choices("ab", k=MB))


def tokens(parts, breaker, every, size=MB):
    """Random `parts` joined up to `size` bytes, with `breaker` at every `every`-th byte."""
    out = []
    total = 0
    while total < size:
        part = rng.choice(parts)
        out.append(part)
        total += len(part)
    text = list("".join(out)[:size])
    for i in range(every, size, every + 1):
        text[i] = breaker
    return "".join(text)


def words(n, length=8):
    return [''.join(rng.choices(LOWER, k=length)) for _ in range(n)]


def alternation(limit):
    """Random words joined by | up to `limit` bytes, in no particular order."""
    out = []
    size = -1
    for word in words(100_000):
        if size + 1 + len(word) > limit:
            break
        out.append(word)
        size += 1 + len(word)
    return "|".join(out)


# (name, pattern(s) by operator, argument)
SHAPES = [
    ("report: 5,000 alternatives (45 KB)", {"not_matches": "|".join(words(5000))}, PROSE),
    ("report: 100,000-char literal vs 100,000 chars", {"not_matches": "a" * 99_999 + "b"}, "a" * 100_000),
    ("alternation of words, 1 KB", {"not_matches": alternation(1024)}, PROSE),
    ("two patterns on one argument", {"matches": "^[a-z ]+$", "not_matches": alternation(1024)}, PROSE),
    ("literal a{1023}b vs a*", {"not_matches": "a" * 1023 + "b"}, "a" * MB),
    ("(?i) literal a{1023}b vs A*", {"not_matches": "(?i)" + "a" * 1019 + "b"}, "A" * MB),
    (".{499}Q (4,000 instructions)", {"not_matches": ".{499}Q"}, PROSE),
    ("(?s).{499}Q", {"not_matches": "(?s).{499}Q"}, PROSE),
    ("[^Q]{499}Q", {"not_matches": "[^Q]{499}Q"}, PROSE),
    (".{1000}Q (refused)", {"not_matches": ".{1000}Q"}, PROSE),
    ("\\pL{3}!", {"not_matches": "\\pL{3}!"}, PROSE),
    ("\\pL+!", {"not_matches": "\\pL+!"}, PROSE),
    ("\\pL{100}! (refused)", {"not_matches": "\\pL{100}!"}, PROSE),
    ("[\\p{Greek}\\p{Cyrillic}]{2}x", {"not_matches": "[\\p{Greek}\\p{Cyrillic}]{2}x"}, "\u03b1\u0436" * (MB // 4)),
    ("(x+x+)+y", {"not_matches": "(x+x+)+y"}, "x" * MB),
    ("(a|aa)*b", {"not_matches": "(a|aa)*b"}, "a" * MB),
    ("(a*)*b", {"not_matches": "(a*)*b"}, "a" * MB),
    ("^(a+)+$ vs a*!", {"matches": "^(a+)+$"}, "a" * (MB - 1) + "!"),
    ("\\b(\\w+\\s+){50}Z", {"not_matches": "\\b(\\w+\\s+){50}Z"}, PROSE),
    ("(?m)^.*foo.*$", {"not_matches": "(?m)^.*foo.*$"}, PROSE),
    ("a[ab]{10}c", {"not_matches": "a[ab]{10}c"}, AB),
    ("a[ab]{12}c", {"not_matches": "a[ab]{12}c"}, AB),
    ("a[ab]{16}c", {"not_matches": "a[ab]{16}c"}, AB),
    ("a[ab]{20}c", {"not_matches": "a[ab]{20}c"}, AB),
    ("a[ab]{11}c|b[ab]{11}d (refused)", {"not_matches": "a[ab]{11}c|b[ab]{11}d"}, AB),
    ("a[ab]{6}b[ab]{6}c", {"not_matches": "a[ab]{6}b[ab]{6}c"}, AB),
    ("a(?:[ab]{4}){4}c (refused)", {"not_matches": "a(?:[ab]{4}){4}c"}, AB),
    ("x.{100}Q (refused)", {"not_matches": "x.{100}Q"}, PROSE),
    ("AKIA[0-9A-Z]{16} vs AKIA...", {"not_matches": "AKIA[0-9A-Z]{16}"},
     tokens(["AKIA", "AKIA", "A", "K", "I", "B"], "-", 19)),
    ("(?i)akia[0-9a-z]{16} vs akia...", {"not_matches": "(?i)akia[0-9a-z]{16}"},
     tokens(["AKIA", "akia", "a", "K", "i", "B"], "-", 19)),
    ("AAAA[0-9A-Z]{16} (refused)", {"not_matches": "AAAA[0-9A-Z]{16}"}, tokens(["A", "B"], "-", 19)),
    ("IBAN [A-Z]{2}[0-9]{2}[A-Z0-9]{11,30}", {"not_matches": "[A-Z]{2}[0-9]{2}[A-Z0-9]{11,30}"},
     tokens(["AB01", "AB01", "A", "1"], "-", 14)),
    ("UUID", {"not_matches": "[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"},
     tokens(["0", "a", "-", "0a0a0a0a-"], "x", 60)),
    ("ghp_[A-Za-z0-9]{36}", {"not_matches": "ghp_[A-Za-z0-9]{36}"}, tokens(["ghp_", "a", "B", "_"], "-", 39)),
    ("xox[baprs]-[0-9a-zA-Z-]{10,48}", {"not_matches": "xox[baprs]-[0-9a-zA-Z-]{10,48}"},
     tokens(["xoxb-", "xoxa-", "-", "a"], "_", 13)),
    ("IPv4", {"not_matches": r"\b(?:\d{1,3}\.){3}\d{1,3}\b"}, tokens(["1", ".", "12", "123", "1234", " "], "a", 9)),
    ("e-mail address", {"not_matches": r"[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,}"},
     tokens(["1", "@", ".", "1@1.", "a@"], " ", 30)),
    ("rm\\s+-rf and a path", {"not_matches": r"rm\s+-rf|^/etc/|\.\./"}, tokens(["rm ", "rm", " ", "-r", "-", "etc/", "."], "x", 50)),
]


def policy_text(operators):
    body = ", ".join(f"{op}: {json.dumps(pattern)}" for op, pattern in operators.items())
    return f'version: "1"\nname: bench-patterns\ntools:\n  arg_constraints:\n    shell:\n      command: {{{body}}}\n'


def measure(directory, name, operators, argument):
    path = Path(directory) / "policy.yaml"
    path.write_text(policy_text(operators))
    started = time.thread_time()
    try:
        guard = Guard(Policy.from_file(str(path)))
    except ValueError as err:
        message = str(err).split(": ", 1)[1]
        return f"{name:48} refused: {message[:90]}"
    loaded = (time.thread_time() - started) * 1000
    call = {"command": argument}
    times = []
    for _ in range(4):
        session = guard.session()
        started = time.thread_time()
        session.check("shell", call)
        times.append((time.thread_time() - started) * 1000)
    worst = max(times)
    verdict = "ok" if worst <= TARGET_MS else "OVER"
    return (f"{name:48} load {loaded:6.1f} ms   first {times[0]:7.1f} ms   next {max(times[1:]):7.1f} ms cpu   "
            f"{len(argument) / MB:4.2f} MiB   {verdict}")


def main():
    wanted = sys.argv[1:]
    with tempfile.TemporaryDirectory() as directory:
        for name, operators, argument in SHAPES:
            if wanted and not any(w in name for w in wanted):
                continue
            print(measure(directory, name, operators, argument), flush=True)


if __name__ == "__main__":
    main()
