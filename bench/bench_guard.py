"""Session.check from Python: time per call, and memory over a long run. Prints medians.

  (time)    Session.check(tool, args) with a 30-rule policy of every kind, with
            aliases and allow/deny lists, args a small dict; beside it, in the
            same run, a Python call of a function that does nothing with the
            same arguments. Medians over rounds of 10,000 calls, wall and CPU time.
            The calls are allowed (the common case); a denied tool's call, which
            builds its failure records, is timed too.
  (args)    The same policy with argument rules: 20 constraints (5 of them
            regular expressions) and a require_args entry that every call
            meets, args a 4-key dict that passes them all; beside it the plain
            call and the same policy without argument rules, with the same args.
            The difference is the argument rules' cost per call.
  (language) The same policy with the whole language's sections: 10 ask
            entries (names, patterns, an alias, argument conditions, `after`)
            and 5 limits (over the session, over windows of the session clock,
            repeated calls), none of which stops the steady state's calls;
            beside it the same policy without them. The difference is their
            cost per call. Target: at most 100 ns.
  (memory)  RSS of a process after 10,000 calls of one session and after
            10,000,000 (no trace file, no kept calls), for an enforcing and an
            observing session, every tenth call refused: the session's memory
            must not grow with the number of calls. Runs in a subprocess.

Targets: an allowed check at most 200 ns median, a blocked (refused) one at
most 500 ns; RSS flat over 10 million calls in both modes.

Usage: python bench/bench_guard.py [time] [args] [language] [memory]   (all by default)
"""

import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from ostik import Guard, Policy

TOOLS = [f"tool_{i}" for i in range(16)] + ["read_file", "list_dir", "write_file", "shell_exec"]

# 30 rules: every kind, names and aliases mixed. The limits are wide enough
# that a long run of the calls below stays allowed.
POLICY = """\
version: "1"
name: bench-guard
tools:
  allow: [{allow}]
  deny: [shell_exec, drop_db]
aliases:
  readers: [read_file, list_dir, tool_0, tool_1]
  writers: [write_file, tool_2, tool_3]
  heavy: [tool_14, tool_15]
sequences:
  - {{type: require, tool: readers}}
  - {{type: require, tool: tool_4}}
  - {{type: require, tool: write_file}}
  - {{type: eventually, tool: readers, within: 5}}
  - {{type: eventually, tool: tool_5, within: 50}}
  - {{type: eventually, tool: writers, within: 20}}
  - {{type: eventually, tool: tool_6, within: 100}}
  - {{type: max_calls, tool: heavy, max: 4000000000}}
  - {{type: max_calls, tool: tool_7, max: 4000000000}}
  - {{type: max_calls, tool: writers, max: 4000000000}}
  - {{type: max_calls, tool: tool_8, max: 4000000000}}
  - {{type: before, first: readers, then: writers}}
  - {{type: before, first: tool_4, then: tool_9}}
  - {{type: before, first: tool_5, then: tool_10}}
  - {{type: before, first: readers, then: tool_11}}
  - {{type: after, trigger: tool_12, then: tool_13, within: 30}}
  - {{type: after, trigger: writers, then: readers, within: 30}}
  - {{type: after, trigger: tool_9, then: tool_10, within: 30}}
  - {{type: after, trigger: heavy, then: tool_4, within: 30}}
  - {{type: never_after, trigger: drop_db, forbidden: writers}}
  - {{type: never_after, trigger: tool_16_never, forbidden: tool_7}}
  - {{type: never_after, trigger: shell_exec, forbidden: readers}}
  - {{type: never_after, trigger: deploy, forbidden: heavy}}
  - {{type: sequence, tools: [readers, writers, tool_4]}}
  - {{type: sequence, tools: [tool_5, tool_6, tool_7, tool_8]}}
  - {{type: sequence, tools: [list_dir, heavy]}}
  - {{type: sequence, tools: [tool_0, tool_1, tool_2, tool_3]}}
  - {{type: blocklist, pattern: exec}}
  - {{type: blocklist, pattern: sudo}}
  - {{type: blocklist, pattern: rm_rf}}
""".format(allow=", ".join(TOOLS[:-1]))

# Every tool of the allow list in turn, readers first: after the first round
# every rule is satisfied, so the steady state is allowed.
ORDER = ["read_file", "list_dir", "tool_0", "tool_1", "tool_2", "tool_3", "write_file", "tool_4", "tool_5",
         "tool_6", "tool_7", "tool_8", "tool_9", "tool_10", "tool_11", "tool_12", "tool_13", "tool_14", "tool_15"]
ARGS = {"path": "src/module_3.py", "line": 42, "dry_run": False}

ROUND = 10_000


def make_session(tmp: Path, mode: str = "enforce"):
    path = tmp / "policy.yaml"
    path.write_text(POLICY)
    return Guard(Policy.from_file(str(path))).session(mode=mode)


def calls(n: int) -> list:
    return [(ORDER[i % len(ORDER)], ARGS) for i in range(n)]


def nothing(tool, args=None):
    pass


def timed(fn, batch) -> tuple[float, float]:
    start, start_cpu = time.perf_counter(), time.process_time()
    for tool, args in batch:
        fn(tool, args)
    return time.perf_counter() - start, time.process_time() - start_cpu


def interleaved(rounds: int, checks: dict) -> dict[str, tuple[float, float]]:
    """Each labelled (function, batch) round after round, interleaved so that all see
    the same machine load: the median wall and CPU time per call, in ns."""
    samples: dict[str, list[tuple[float, float]]] = {label: [] for label in checks}
    for _ in range(rounds):
        for label, (fn, batch) in checks.items():
            samples[label].append(timed(fn, batch))
    return {label: (statistics.median(w for w, _ in got) / ROUND * 1e9,
                    statistics.median(c for _, c in got) / ROUND * 1e9) for label, got in samples.items()}


def print_medians(heading: str, medians: dict[str, tuple[float, float]], texts: dict[str, str], width: int) -> None:
    print(heading)
    for label, text in texts.items():
        wall, cpu = medians[label]
        print(f"  {text:<{width}} wall {wall:7.0f} ns   cpu {cpu:7.0f} ns")


def bench_time(tmp: Path, rounds: int = 31) -> None:
    session = make_session(tmp)
    batch = calls(ROUND)
    timed(session.check, batch)  # warm-up: the first round enters every tool
    assert all(session.check(tool, args) for tool, args in batch), "the steady state is allowed"
    denied = [("shell_exec", ARGS)] * ROUND
    assert not session.check("shell_exec", ARGS)

    medians = interleaved(rounds, {"nothing": (nothing, batch), "check": (session.check, batch),
                                   "denied": (session.check, denied)})
    print_medians(f"median per call over {rounds} rounds of {ROUND:,} calls (loop included), 30 rules, args a 3-key dict:",
                  medians, {"nothing": "do-nothing Python function", "check": "Session.check, allowed",
                            "denied": "Session.check, refused tool"}, 28)
    print(f"  check beyond the plain call: {medians['check'][1] - medians['nothing'][1]:.0f} ns (cpu)")


MEMORY_CHILD = """
import sys
sys.path.insert(0, {bench_dir!r})
from pathlib import Path
from bench_guard import calls, make_session, ROUND

def rss():
    with open("/proc/self/statm") as f:
        import os
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

session = make_session(Path({tmp!r}), {mode!r})
# Every tenth call refused (a denied tool): in an enforcing session it leaves
# nothing behind, in an observing one it counts.
batch = [("shell_exec", args) if i % 10 == 9 else (tool, args) for i, (tool, args) in enumerate(calls(ROUND))]
check = session.check
for tool, args in batch:
    check(tool, args)
after_first = rss()
for _ in range({rounds} - 1):
    for tool, args in batch:
        check(tool, args)
print(session.steps, after_first, rss())
"""


def bench_memory(tmp: Path, total: int = 10_000_000) -> None:
    for mode in ("enforce", "observe"):
        print(f"{mode}: ", end="", flush=True)
        bench_memory_of(tmp, mode, total)


def bench_memory_of(tmp: Path, mode: str, total: int) -> None:
    code = MEMORY_CHILD.format(bench_dir=str(Path(__file__).parent), tmp=str(tmp), rounds=total // ROUND,
                               mode=mode)
    start = time.perf_counter()
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    steps, first, last = map(int, out.split())
    growth = last - first
    print(f"RSS after {ROUND:,} calls: {first / 2**20:.2f} MiB; after {steps:,}: {last / 2**20:.2f} MiB; "
          f"growth {growth / 2**10:+.0f} KiB ({'within' if abs(growth) <= 2**20 else 'OVER'} 1 MiB)"
          f"  [{time.perf_counter() - start:.0f} s]")


# 20 constraints that judge every call: four arguments under each of five
# names (aliases of every tool the calls use), 5 of them patterns; and the
# arguments that pass them all.
ARGUMENT_NAMES = ["every_call", "agents", "sandboxed", "audited", "reviewed"]
ARGUMENT_RULES = """\
  require_args:
    every_call: [command, cwd]
  arg_constraints:
    every_call:
      command: {not_matches: 'rm\\s+-rf|mkfs|dd\\s+if=', max_length: 4096}
      cwd: {matches: '^(src|tests|docs)(/|$)'}
      timeout_s: {min: 1, max: 600}
      env: {one_of: [ci, dev]}
    agents:
      command: {not_contains: ["sudo ", "| sh"]}
      cwd: {not_contains: ".."}
      timeout_s: {max: 3600}
      env: {not_one_of: [prod]}
    sandboxed:
      command: {not_matches: 'curl[^|]*\\|\\s*(ba)?sh'}
      cwd: {max_length: 200}
      timeout_s: {min: 0}
      env: {max_length: 10}
    audited:
      command: {not_matches: '(?i)password|secret'}
      cwd: {not_matches: '^/'}
      timeout_s: {one_of: [60, 300, 600]}
      env: {not_contains: " "}
    reviewed:
      command: {max_length: 1000}
      cwd: {not_one_of: [/, /etc]}
      timeout_s: {not_one_of: [0]}
      env: ci
"""
ARGUMENT_ARGS = {"command": "pytest -q tests/test_server.py", "cwd": "src/app", "timeout_s": 300, "env": "ci"}


def bench_arguments(tmp: Path, rounds: int = 31) -> None:
    plain_path, rules_path = tmp / "plain.yaml", tmp / "rules.yaml"
    plain_path.write_text(POLICY)
    aliases = "".join(f"  {name}: [{', '.join(ORDER)}]\n" for name in ARGUMENT_NAMES)
    with_aliases = POLICY.replace("aliases:\n", "aliases:\n" + aliases)
    rules_path.write_text(with_aliases.replace("  deny: [shell_exec, drop_db]\n",
                                               "  deny: [shell_exec, drop_db]\n" + ARGUMENT_RULES))
    plain_guard, rules_guard = Guard(Policy.from_file(str(plain_path))), Guard(Policy.from_file(str(rules_path)))
    assert [r["rule_type"] for r in rules_guard.argument_rules].count("arg_constraint") == 20
    assert sum(op.endswith("matches") for r in rules_guard.argument_rules for op in r["operators"]) == 5
    plain, ruled = plain_guard.session(), rules_guard.session()
    batch = [(tool, ARGUMENT_ARGS) for tool, _ in calls(ROUND)]
    timed(plain.check, batch)
    timed(ruled.check, batch)
    assert all(ruled.check(tool, args) for tool, args in batch), "every call passes the argument rules"
    assert all(r["reached"] == 100 for r in rules_guard.argument_coverage(
        [[{"tool": t, "args": a} for t, a in batch[:100]]])), "every rule judges every call"

    medians = interleaved(rounds, {"nothing": (nothing, batch), "plain": (plain.check, batch),
                                   "rules": (ruled.check, batch)})
    print_medians(f"median per call over {rounds} rounds of {ROUND:,} calls (loop included), 30 rules, args a 4-key dict:",
                  medians, {"nothing": "do-nothing Python function", "plain": "Session.check, no argument rules",
                            "rules": "Session.check, 20 constraints"}, 34)
    print(f"  argument rules' cost per call: {medians['rules'][1] - medians['plain'][1]:.0f} ns (cpu); "
          f"the guard beyond the plain call: {medians['rules'][1] - medians['nothing'][1]:.0f} ns (cpu)")


LANGUAGE = """
ask:
  - tool: deploy
  - tool: git_push
  - tool: "mcp__github__*"
  - tool: [send_email, "mcp__slack__*"]
    after: read_email
  - tool: writers
    args: {path: {matches: '^/etc/'}}
  - tool: "tool_?"
    args: {line: {min: 1000}}
  - tool: "*_file"
    args: {dry_run: true}
  - tool: drop_*
  - tool: heavy
    after: tool_16_never
  - tool: [rm, rmdir, "shred*"]
limits:
  - {tool: "*", max: 1000000000000}
  - {tool: read_file, max: 1000000000, per: 60s}
  - {tool: "tool_?", max: 1000000000, per: 1h}
  - {tool: write_file, max: 1000000000000}
  - {repeat: 5}
"""


def bench_language(tmp: Path, rounds: int = 31) -> None:
    plain_path, whole_path = tmp / "plain.yaml", tmp / "whole.yaml"
    plain_path.write_text(POLICY)
    whole_path.write_text(POLICY + LANGUAGE)
    plain, whole = Guard.from_file(str(plain_path)).session(), Guard.from_file(str(whole_path))
    assert len([e for e in whole.entries if e["rule_type"] == "ask"]) == 10 and len(whole.entries) == 15
    session = whole.session()
    batch = calls(ROUND)
    timed(plain.check, batch)
    timed(session.check, batch)
    assert all(session.check(tool, args) for tool, args in batch), "no entry stops the steady state"

    medians = interleaved(rounds, {"nothing": (nothing, batch), "plain": (plain.check, batch),
                                   "whole": (session.check, batch)})
    print_medians(f"median per call over {rounds} rounds of {ROUND:,} calls (loop included), 30 rules, args a 3-key dict:",
                  medians, {"nothing": "do-nothing Python function", "plain": "Session.check, no ask/limits",
                            "whole": "Session.check, 10 asks, 5 limits"}, 34)
    print(f"  the ask and limit entries' cost per call: {medians['whole'][1] - medians['plain'][1]:.0f} ns (cpu), "
          f"{medians['whole'][0] - medians['plain'][0]:.0f} ns (wall)")

    # A repeat limit fingerprints every call's arguments: a file's contents
    # written by turns of two tools (no run, so every call is judged).
    big = {"path": "notes.txt", "content": "".join(chr(97 + i % 26) for i in range(100_000))}
    turns = [("write_file" if i % 2 else "tool_2", big) for i in range(2_000)]
    timed(session.check, turns)
    wall, cpu = timed(session.check, turns)
    print(f"  100 KB of arguments under the repeat limit: {cpu / len(turns) * 1e6:.1f} us (cpu) per call")


def main() -> None:
    which = sys.argv[1:] or ["time", "args", "language", "memory"]
    with tempfile.TemporaryDirectory() as tmp:
        if "time" in which:
            bench_time(Path(tmp))
        if "args" in which:
            bench_arguments(Path(tmp))
        if "language" in which:
            bench_language(Path(tmp))
        if "memory" in which:
            bench_memory(Path(tmp))


if __name__ == "__main__":
    main()
