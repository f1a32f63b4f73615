"""Flows: indexing recorded results, checking a `to` call against them, and calls no flow names.

    .venv/bin/python bench/bench_flows.py

Targets: at least 200 MB/s of result text indexed; a `to` call with 1 KB of
args against 10 MB of recorded results in at most 5 us, as a `to` call of a
flow the results do not feed against 1 MB; a call of a tool no flow names no
slower (<= 20 ns) than under the same policy without flows; at most about 2
bytes of index per recorded byte.

Also shown, without a target: the same for prose (words in a Zipf
distribution), whose short windows recur, with a check that finds no run and
one that finds a run; a check of release notes of links, where a window is
shared by thousands of places with the same text after it; and the memory a
session's index takes (RSS grown per recorded byte, the text itself
included)."""

import os
import random
import statistics
import string
import tempfile
import time
from pathlib import Path

import ostik

POLICY = """
version: "1"
labels:
  private: [read_file]
  external: [send_email]
flows:
  - {from: private, to: external, min_length: 12}
"""
PLAIN = 'version: "1"\n'
OTHER_FLOWS = """
version: "1"
flows:
  - {from: read_file, to: send_email, min_length: 2}
  - {from: fetch, to: post, min_length: 2}
"""


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def prose(rng: random.Random, size: int) -> str:
    """Text of words, a few frequent and many rare, as results of e-mail and web pages are."""
    words = "the of and to a in is that for it as was with be by on not he this are or his from at".split()
    words += ["".join(rng.choice(string.ascii_lowercase) for _ in range(rng.randint(3, 9))) for _ in range(3000)]
    weights = [1.0 / (i + 1) for i in range(len(words))]
    return " ".join(rng.choices(words, weights, k=size // 4))[:size]


def time_prose(rng: random.Random) -> None:
    """Indexing prose and checking 1 KB of its words against it, at min_length 8 and 12: 1 MB
    of it, and 10 MB, where a check's cost shows growing with the text its windows recur in;
    and the 10 MB indexed as many results of 64 KB."""
    for size, checks in ((1 << 20, 200), (10 << 20, 20)):
        text = prose(rng, size)
        for n in (8, 12):
            policy = guard(f'version: "1"\nflows:\n  - {{from: read_file, to: send, min_length: {n}}}\n')
            s = policy.session()
            s.check("read_file", None)
            cpu = time.process_time()
            s.record_result(0, text)
            cpu = time.process_time() - cpu
            # Its words, joined so that no run of them is as long as min_length;
            # and other prose, which shares runs of its frequent words (a check
            # that finds one).
            joined = {"body": text[len(text) // 2:len(text) // 2 + 1024].replace(" ", "_")}
            other = {"body": prose(random.Random(size + n), 1024)}
            times = []
            for args in (joined, other):
                start = time.process_time()
                for _ in range(checks):
                    s.peek("send", args)
                times.append((time.process_time() - start) / checks)
            print(f"prose, min_length {n}: {(size >> 20) / cpu:.0f} MB/s cpu indexing {size >> 20} MB, "
                  f"{times[0] * 1e6:.1f} us cpu per check of 1 KB, {times[1] * 1e6:.1f} us for one that finds a run")
            if size > 1 << 20:
                # The same text as the results of many calls (e-mails, pages),
                # 64 KB each: the index grows result by result.
                piece = 1 << 16
                s = policy.session()
                for step in range(size // piece):
                    s.check("read_file", None)
                cpu = time.process_time()
                for step in range(size // piece):
                    s.record_result(step, text[step * piece:(step + 1) * piece])
                cpu = time.process_time() - cpu
                print(f"prose, min_length {n}: {(size >> 20) / cpu:.0f} MB/s cpu indexing {size >> 20} MB "
                      f"as {size // piece} results of {piece >> 10} KB")


def links(rng: random.Random, size: int) -> tuple[str, str]:
    """Release notes of links to pull requests (organisations in a Zipf
    distribution), and 1 KB of other such lines that starts inside a link of
    a rare organisation: its first window (".com/") is shared by thousands of
    places, and the first whose run goes on is far into them."""
    words = "fix add the of and to a in for with by on not from at".split()
    words += ["".join(rng.choice(string.ascii_lowercase) for _ in range(rng.randint(3, 9))) for _ in range(3000)]
    weights = [1.0 / (i + 1) for i in range(len(words))]
    orgs = ["".join(rng.choice(string.ascii_lowercase) for _ in range(rng.randint(4, 10))) for _ in range(200)]
    repos = {o: ["".join(rng.choice(string.ascii_lowercase + "-") for _ in range(rng.randint(3, 12)))
                 for _ in range(rng.randint(1, 20))] for o in orgs}
    org_weights = [1.0 / (i + 1) for i in range(len(orgs))]
    lines, n = [], 0
    while n < size:
        org = rng.choices(orgs, org_weights)[0]
        line = (f"- [{' '.join(rng.choices(words, weights, k=rng.randint(3, 10)))}]"
                f"(https://github.com/{org}/{rng.choice(repos[org])}/pull/{rng.randint(1, 99999)}/)\n")
        lines.append(line)
        n += len(line)
    rare = orgs[60]
    sent = f"b.com/{rare}/{repos[rare][0]}/pull/7/)\n" + "- [zzz qqq](https://example.org/x/)\n" * 40
    return "".join(lines)[:size], sent[:1024]


def time_links(rng: random.Random) -> None:
    """Checking 1 KB that starts inside a link against 10 MB of release notes, at min_length 8 and 12."""
    text, sent = links(rng, 10 << 20)
    for n in (8, 12):
        s = guard(f'version: "1"\nflows:\n  - {{from: read_file, to: send, min_length: {n}}}\n').session()
        s.check("read_file", None)
        s.record_result(0, text)
        args = {"body": sent}
        start = time.process_time()
        for _ in range(2000):
            s.peek("send", args)
        print(f"links, min_length {n}: {(time.process_time() - start) / 2000 * 1e6:.1f} us cpu per check of 1 KB "
              "that starts inside a link, against 10 MB of them")


def guard(text: str) -> ostik.Guard:
    path = Path(tempfile.mkdtemp()) / "policy.yaml"
    path.write_text(text)
    return ostik.Guard.from_file(path)


def time_peeks(label: str, session, tool: str, args: dict, n: int = 20000) -> None:
    """Prints the wall and cpu time per `peek` of `tool` with `args`."""
    start, cpu = time.perf_counter(), time.process_time()
    for _ in range(n):
        session.peek(tool, args)
    wall, cpu = time.perf_counter() - start, time.process_time() - cpu
    print(f"{label}: {wall / n * 1e6:.2f} us wall, {cpu / n * 1e6:.2f} us cpu per check (peek)")


def main() -> None:
    rng = random.Random(7)
    alphabet = string.ascii_letters + string.digits + "     "
    chunk = "".join(rng.choice(alphabet) for _ in range(1 << 20))  # 1 MB
    g = guard(POLICY)
    texts = [chunk[i:] + chunk[:i] for i in range(10)]

    def indexed():
        """A session that has indexed the 10 MB: its wall and cpu seconds, and the memory it grew by."""
        s = g.session()
        for i in range(10):
            s.check("read_file", None)
        before = rss()
        start, cpu = time.perf_counter(), time.process_time()
        for i, text in enumerate(texts):
            s.record_result(i, text)
        seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
        return s, seconds, cpu, rss() - before

    # The first session's memory (fresh from the kernel); the time over
    # several, as one run of some 50 ms is at the mercy of the machine.
    s, *first = indexed()
    times = [first[:2]] + [indexed()[1:3] for _ in range(4)]
    grown = first[2] / sum(len(t) for t in texts)
    wall, cpu = statistics.median(w for w, _ in times), statistics.median(c for _, c in times)
    print(f"indexing: {10 / wall:.0f} MB/s wall, {10 / cpu:.0f} MB/s cpu (10 MB of text, median of {len(times)} sessions); "
          f"{grown:.1f} bytes of memory per recorded byte, the text included")

    args = {"body": "".join(rng.choice(alphabet) for _ in range(1024))}
    time_peeks("a to call, 1 KB args vs 10 MB", s, "send_email", args)

    # A call that one flow names, against a large result that only another
    # flow follows, with a short min_length: windows of one or two characters
    # share few keys, and none of the result's may be walked for this call.
    other = guard(OTHER_FLOWS).session()
    other.check("read_file", None)
    other.record_result(0, chunk)
    args = {"body": "".join(rng.choice(alphabet) for _ in range(1024))}
    time_peeks("a to call of another flow, min_length 2, 1 KB args vs 1 MB", other, "post", args)

    time_prose(rng)
    time_links(rng)

    plain = guard(PLAIN).session()
    for label, session in (("without flows", plain), ("with flows", s)):
        # A tool the session has met (as every call after its first has):
        # its slot holds what it needs, worked out once.
        session.check("other_tool")
        n = 500000
        start, cpu = time.perf_counter(), time.process_time()
        for _ in range(n):
            session.peek("other_tool", None)
        wall, cpu = time.perf_counter() - start, time.process_time() - cpu
        print(f"a call no flow names, {label}: {wall / n * 1e9:.0f} ns wall, {cpu / n * 1e9:.0f} ns cpu")


if __name__ == "__main__":
    main()
