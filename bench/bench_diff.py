"""`ostik diff OLD NEW` against `ostik test -q OLD` over the scale-out benchmark's corpus (1,000,000
traces of 20 steps in 200 files, bench_scale_out.py), with the same -j: the diff's summary (-q) and
its full listing (written to /dev/null) must take at most 1.3 times the test's time. NEW tightens a
max_calls rule, removes a before rule and denies a tool that traces call, so that about half the
traces change. Prints each run's wall-clock time and CPU time (with its worker processes; the
medians of --repeat runs) and the ratios: on a machine shared with other work, the CPU times
compare the commands' own work.

Run (the files, about 0.7 GB for the million, are written once into --dir, or a temporary directory):
    nice .venv/bin/python bench/bench_diff.py [--traces N] [--files N] [--jobs N ...] [--repeat N] [--dir DIR]
"""

import argparse
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_scale_out import policy_text, write_files  # noqa: E402 - the same corpus and policy

TARGET = 1.3


def new_policy_text():
    text = policy_text()
    lines = text.splitlines()
    before = next(i for i, line in enumerate(lines) if "type: before" in line)
    del lines[before]
    text = "\n".join(lines) + "\n"
    text = text.replace("{type: max_calls, tool: tool_2, max: 5}", "{type: max_calls, tool: tool_2, max: 1}")
    return text.replace("deny: [rm, drop_db]", "deny: [rm, drop_db, shell]")


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(command, repeat):
    """The median wall-clock time and the median CPU time of the command and its worker processes."""
    times, cpu, codes = [], [], set()
    for _ in range(repeat):
        cpu_start = children_cpu()
        start = time.perf_counter()
        with open("/dev/null", "w") as sink:
            result = subprocess.run([sys.executable, "-m", "ostik", *command], stdout=sink,
                                    stderr=subprocess.PIPE, text=True)
        times.append(time.perf_counter() - start)
        cpu.append(children_cpu() - cpu_start)
        if result.returncode not in (0, 1):
            sys.exit(f"ostik {' '.join(command)} failed:\n{result.stderr}")
        codes.add(result.returncode)
    return statistics.median(times), statistics.median(cpu)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--traces", type=int, default=1_000_000)
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--jobs", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--dir", help="where the files are, or are written if missing (default: a temporary one)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        directory = Path(args.dir or tmp)
        directory.mkdir(parents=True, exist_ok=True)
        old, new = directory / "policy.yaml", directory / "new-policy.yaml"
        old.write_text(policy_text())
        new.write_text(new_policy_text())
        if len(list(directory.glob("traces-*.jsonl"))) != args.files:
            start = time.perf_counter()
            write_files(directory, args.traces, args.files)
            print(f"wrote {args.traces:,} traces in {args.files} files in {time.perf_counter() - start:.0f} s")
        summary = subprocess.run([sys.executable, "-m", "ostik", "diff", "-q", str(old), str(new), str(directory)],
                                 capture_output=True, text=True).stdout.splitlines()[0]
        print(f"the change: {summary}")
        worst = 0.0
        for jobs in args.jobs:
            j = ["-j", str(jobs)]
            test, test_cpu = timed(["test", "-q", str(old), str(directory), *j], args.repeat)
            quiet, quiet_cpu = timed(["diff", "-q", str(old), str(new), str(directory), *j], args.repeat)
            listed, listed_cpu = timed(["diff", str(old), str(new), str(directory), *j], args.repeat)
            worst = max(worst, quiet / test, listed / test)
            print(f"-j {jobs}: wall  ostik test -q {test:7.1f} s   ostik diff -q {quiet:7.1f} s ({quiet / test:4.2f}x)"
                  f"   ostik diff {listed:7.1f} s ({listed / test:4.2f}x)")
            print(f"-j {jobs}: CPU   ostik test -q {test_cpu:7.1f} s   ostik diff -q {quiet_cpu:7.1f} s "
                  f"({quiet_cpu / test_cpu:4.2f}x)   ostik diff {listed_cpu:7.1f} s ({listed_cpu / test_cpu:4.2f}x)")
        print(f"worst ratio {worst:.2f}x, target at most {TARGET}x: {'met' if worst <= TARGET else 'NOT met'}")


if __name__ == "__main__":
    main()
