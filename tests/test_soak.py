"""Soak and scale (opt-in: pytest -m soak).

- Eight threads share one explainer, one analyzer and one client for a minute
  (OSTIK_SOAK_SECONDS changes the length): no call fails and every recorded
  line is whole.
- A 1,000,000-step trace is explained in a child process whose peak memory
  stays within a small multiple of the report it returns.
- 50 MB policy files of three shapes either load or raise MemoryError cleanly
  in a child process limited to 2 GB of address space.

Time and peak-memory figures for the last two are printed by
bench/bench_scale.py; tests do not time anything.
"""

import json
import os
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import ostik

pytestmark = pytest.mark.soak

EXAMPLE_POLICY = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "policy.yaml")
MB = 1024 * 1024


def require_class(name):
    cls = getattr(ostik, name, None)
    if cls is None:
        pytest.skip(f"{name} not built yet")
    return cls


def run_child(code, *args, timeout=600):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                            capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr[-2000:]
    return json.loads(result.stdout.strip().splitlines()[-1])


TRACE = [
    {"tool": "read_file", "args": {"path": "a.py"}},
    {"tool": "edit_file", "args": {"path": "a.py", "patch": "+x"}},
    {"tool": "run_tests", "args": {"target": "unit"}},
    {"tool": "git_diff"},
    {"tool": "git_commit"},
    {"tool": "force_push"},
]


def test_threads_share_one_explainer_analyzer_and_client(tmp_path):
    explainer = require_class("TraceExplainer")(ostik.Policy.from_file(EXAMPLE_POLICY))
    analyzer = require_class("CoverageAnalyzer")(ostik.Policy.from_file(EXAMPLE_POLICY))
    path = tmp_path / "soak.jsonl"
    client = require_class("OstikClient")(str(path))
    expected_explanation = json.loads(explainer.explain(TRACE))
    expected_report = json.loads(analyzer.analyze([TRACE, TRACE[:2]], 60))
    deadline = time.monotonic() + float(os.environ.get("OSTIK_SOAK_SECONDS", "60"))
    failures = []
    recorded = [dict() for _ in range(8)]

    def work(k):
        rng = random.Random(k)
        n = 0
        try:
            while time.monotonic() < deadline:
                assert json.loads(explainer.explain(TRACE)) == expected_explanation
                assert json.loads(analyzer.analyze([TRACE, TRACE[:2]], 60)) == expected_report
                # Sizes on both sides of the client's 8 KB buffer.
                size = rng.choice([0, 10, 8000, 8191, 8192, 20000])
                client.record_trace({"thread": k, "seq": n, "payload": "x" * size, "step": TRACE[n % 6]})
                recorded[k][n] = size
                n += 1
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            failures.append((k, repr(e)))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    del client
    assert failures == []

    data = path.read_bytes()
    assert data.endswith(b"\n")
    seen = [dict() for _ in range(8)]
    for line in data[:-1].split(b"\n"):
        record = json.loads(line)
        assert record["step"] == TRACE[record["seq"] % 6]
        seen[record["thread"]][record["seq"]] = len(record["payload"])
    assert seen == recorded
    assert sum(map(len, recorded)) > 8 * 10
    print(f"\n{sum(map(len, recorded))} records, each with one explain and one analyze, by 8 threads")


MILLION_STEPS = """
    import json, resource, sys
    import ostik
    path, n = sys.argv[1], int(sys.argv[2])
    tools = ["read_file", "edit_file", "run_tests", "git_diff", "git_commit"]
    trace = [{"tool": tools[i % 5], "args": {"i": i}} for i in range(n)]
    explainer = ostik.TraceExplainer(ostik.Policy.from_file(path))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    text = explainer.explain(trace)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    head = text[:300]
    tail = text[-300:]
    print(json.dumps({"before": before, "peak": peak, "size": len(text), "head": head, "tail": tail,
                      "indices": text.count('"index":'), "blocked": text.count('"verdict":"blocked"')}))
"""


def test_million_step_trace(tmp_path):
    require_class("TraceExplainer")
    policy = tmp_path / "policy.yaml"
    policy.write_text('version: "1"\nname: scale\nsequences:\n'
                      "  - {type: blocklist, pattern: git_c}\n"
                      "  - {type: require, tool: ask_user}\n")
    n = 1_000_000
    r = run_child(MILLION_STEPS, policy, n)
    assert r["head"].startswith('{"policy_name":"scale","policy_version":"1","total_steps":1000000,'
                                '"allowed_steps":800000,"blocked_steps":200000,"first_block_index":4,')
    assert r["indices"] == n
    assert r["blocked"] == 200_000
    assert r["tail"].endswith('"blocking_rules":["blocklist_git_c","require_ask_user"]}')
    # The report is built once and handed over once: the call needs a small
    # multiple of the report's size, not more.
    assert r["peak"] - r["before"] < 4 * r["size"] + 64 * MB


BIG_POLICY = """
    import json, resource, sys
    limit = 2 * 1024 ** 3
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    import ostik
    try:
        policy = ostik.Policy.from_file(sys.argv[1])
        outcome = "loaded"
    except MemoryError:
        outcome = "MemoryError"
    except ValueError as e:
        outcome = "ValueError: " + str(e)
    print(json.dumps({"outcome": outcome}))
"""


@pytest.mark.parametrize("shape", ["long string", "block list", "flow list"])
def test_50_mb_policy_loads_or_fails_cleanly(tmp_path, shape):
    path = tmp_path / "big.yaml"
    size = 50 * MB
    with open(path, "w") as f:
        if shape == "long string":
            f.write('version: "1"\nname: "' + "x" * size + '"\n')
        elif shape == "block list":
            f.write('version: "1"\nmetadata:\n' + "  - abcdefgh\n" * (size // 13))
        else:
            f.write('version: "1"\nmetadata: [' + "1," * (size // 2) + "1]\n")
    outcome = run_child(BIG_POLICY, path)["outcome"]
    assert outcome in ("loaded", "MemoryError")
