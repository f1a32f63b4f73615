"""Scale figures: explaining a 1,000,000-step trace (into a str, and streamed),
and loading 50 MB policy files of three shapes. Each case runs in a fresh
interpreter (so its peak memory is its own); prints the median time and peak
RSS over the runs, and for explain the memory the call itself took against
the size of the str it returned.

    python bench/bench_scale.py [runs]
"""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap

RUNS = int(sys.argv[1]) if len(sys.argv) > 1 else 3
MB = 1024 * 1024

# The memory a call takes is its peak RSS less the RSS just before it, when
# the trace is built: the str (or nothing, when streamed), the steps read from
# the trace, and what the writer holds.
EXPLAIN = """
    import json, os, resource, sys, time
    import ostik
    policy, n, how = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    tools = ["read_file", "edit_file", "run_tests", "git_diff", "git_commit"]
    trace = [{"tool": tools[i % 5], "args": {"i": i}} for i in range(n)]
    explainer = ostik.TraceExplainer(ostik.Policy.from_file(policy))
    before = int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    t = time.perf_counter()
    if how == "str":
        text = explainer.explain(trace)
        size = sys.getsizeof(text)
    else:
        output, size = ostik.stream_explanation(explainer, trace, os.devnull), 0
    elapsed = time.perf_counter() - t
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    if how == "str":
        output = len(text.encode())  # after the peak was read: the encoded copy is the bench's own
    print(json.dumps({"seconds": elapsed, "peak": peak, "taken": peak - before, "str": size, "output": output}))
"""

LOAD = """
    import json, resource, sys, time
    import ostik
    t = time.perf_counter()
    try:
        ostik.Policy.from_file(sys.argv[1])
        outcome = "loaded"
    except (MemoryError, ValueError) as e:
        outcome = type(e).__name__
    elapsed = time.perf_counter() - t
    print(json.dumps({"seconds": elapsed, "peak": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
                      "outcome": outcome}))
"""


def run(code, *args):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], capture_output=True,
                         text=True, check=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def report(label, results, extra=""):
    seconds = statistics.median(r["seconds"] for r in results)
    peak = statistics.median(r["peak"] for r in results) / MB
    print(f"{label:50} {seconds:8.2f} s   peak RSS {peak:7.0f} MB   {extra}")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    with tempfile.TemporaryDirectory() as d:
        small = os.path.join(d, "two_rules.yaml")
        with open(small, "w") as f:
            f.write('version: "1"\nsequences:\n  - {type: blocklist, pattern: git_c}\n'
                    "  - {type: require, tool: ask_user}\n")
        example = os.path.join(here, os.pardir, "examples", "policy.yaml")
        for label, policy in [("explain 1,000,000 steps, 2 rules", small),
                              ("explain 1,000,000 steps, example policy (8 rules)", example)]:
            results = [run(EXPLAIN, policy, 1_000_000, "str") for _ in range(RUNS)]
            taken = statistics.median(r["taken"] for r in results)
            report(label, results, f"report {results[0]['output'] / MB:.0f} MB, str {results[0]['str'] / MB:.0f} MB; "
                                   f"the call took {taken / MB:.0f} MB = {taken / results[0]['str']:.2f} x the str")
        results = [run(EXPLAIN, example, 1_000_000, "stream") for _ in range(RUNS)]
        taken = statistics.median(r["taken"] for r in results)
        report("stream_explanation of the same to /dev/null", results,
               f"report {results[0]['output'] / MB:.0f} MB; the call took {taken / MB:.0f} MB")

        shapes = {
            "long string": lambda f: f.write('version: "1"\nname: "' + "x" * (50 * MB) + '"\n'),
            "block list": lambda f: f.write('version: "1"\nmetadata:\n' + "  - abcdefgh\n" * (50 * MB // 13)),
            "flow list": lambda f: f.write('version: "1"\nmetadata: [' + "1," * (50 * MB // 2) + "1]\n"),
        }
        for shape, write in shapes.items():
            path = os.path.join(d, "big.yaml")
            with open(path, "w") as f:
                write(f)
            results = [run(LOAD, path) for _ in range(RUNS)]
            report(f"load 50 MB policy, {shape}", results, results[0]["outcome"])


if __name__ == "__main__":
    main()
