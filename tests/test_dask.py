"""ostik.dask on a real Dask cluster, and the command line's -j and --dask-scheduler.

That `import ostik` imports no Dask, and that ostik.dask names its extra, is in test_integrations."""

import json
import os
import random
import subprocess
import sys

import pytest

import ostik
import ostik.formats
from ostik import AuditAccumulator, CoverageAnalyzer, Policy
from ostik.formats.trace_files import TraceFileError

dask_bag = pytest.importorskip("dask.bag")
distributed = pytest.importorskip("distributed")

import ostik.dask  # noqa: E402 - after the skips

POLICY = """\
version: "1"
name: cluster
tools:
  allow: [read, write, search, login, fs]
  deny: [rm, drop_db]
sequences:
  - {type: require, tool: read}
  - {type: max_calls, tool: write, max: 3}
  - {type: never_after, trigger: login, forbidden: rm}
  - {type: after, trigger: write, then: read, within: 3}
aliases:
  fs: [read_file, write_file]
"""

TOOLS = ["read", "write", "search", "login", "rm", "drop_db", "read_file", "shell", "fs", "unlisted_1"]


def random_traces(rng, count):
    return [[{"tool": rng.choice(TOOLS), "args": {"n": rng.randrange(5)}} for _ in range(rng.randrange(8))]
            for _ in range(count)]


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """A policy and trace files of each layout: traces as array lines, one trace as object lines, a .json file."""
    root = tmp_path_factory.mktemp("corpus")
    (root / "policy.yaml").write_text(POLICY)
    rng = random.Random(16)
    traces = []
    for i in range(9):
        batch = random_traces(rng, 5 + i)
        (root / f"part-{i}.jsonl").write_text("".join(json.dumps(t) + "\n" for t in batch))
        traces += batch
    lines = random_traces(rng, 1)[0] + [{"tool": "read"}]
    (root / "run.jsonl").write_text("".join(json.dumps(step) + "\n" for step in lines))
    whole = random_traces(rng, 1)[0]
    (root / "whole.json").write_text(json.dumps(whole))
    paths = sorted(str(p) for p in root.iterdir() if p.suffix in (".jsonl", ".json"))
    ordered = [trace.steps for path in paths for trace in ostik.formats.read_file(path).traces]
    assert len(ordered) == len(traces) + 2
    return root, paths, ordered


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40) as local, distributed.Client(local) as client:
        yield local, client


def normalized(text):
    report = json.loads(text)
    report["tool_coverage"]["unseen_tools"].sort()
    report["tool_coverage"]["unexpected_tools"].sort()
    report["high_risk_gaps"].sort(key=lambda gap: gap["tool"])
    return report


def test_coverage_on_the_cluster_is_the_single_process_report(corpus, cluster):
    root, paths, traces = corpus
    policy = Policy.from_file(str(root / "policy.yaml"))
    expected = normalized(CoverageAnalyzer(policy).analyze(traces, 75.0))
    assert normalized(ostik.dask.coverage(paths, policy, 75.0)) == expected
    # A directory, a glob and a policy path name the same files and policy.
    assert normalized(ostik.dask.coverage(str(root), str(root / "policy.yaml"), 75.0)) == expected
    assert normalized(ostik.dask.coverage([str(root / "*.json*")], policy, 75.0, split_every=2)) == expected
    # A bag of traces, in partitions of any size.
    bag = dask_bag.from_sequence(traces, npartitions=7)
    assert normalized(ostik.dask.coverage(bag, policy, 75.0)) == expected


def test_audit_on_the_cluster_is_the_single_process_summary(corpus, cluster):
    root, paths, traces = corpus
    policy = Policy.from_file(str(root / "policy.yaml"))
    local = AuditAccumulator(policy, keep=7)
    for path in paths:
        for trace in ostik.formats.read_file(path).traces:
            line = trace.line if trace.line is not None else None
            local.add(trace.steps, trace.label if line is None else (trace.source, line))
    assert ostik.dask.audit(paths, policy, keep=7) == local.summary()
    summary = ostik.dask.audit(dask_bag.from_sequence(traces, npartitions=3), ostik.policy_bytes(policy))
    assert (summary["traces"], summary["failed_traces"]) == (local.summary()["traces"],
                                                             local.summary()["failed_traces"])


def test_problems_name_the_first_file_in_order(corpus, cluster, tmp_path):
    root, paths, _ = corpus
    bad_step = tmp_path / "a-bad-step.jsonl"
    bad_step.write_text('[{"tool": "read"}, {"tool": 7}]\n')
    unreadable = tmp_path / "b-unreadable.jsonl"
    unreadable.write_text("{not json\n")
    policy = str(root / "policy.yaml")
    with pytest.raises(ValueError,
                       match=r"a-bad-step\.jsonl: line 1: step 1: Invalid trace format: \"tool\" must be str"):
        ostik.dask.coverage([*paths, str(bad_step)], policy)
    # A file that cannot be read comes first, as when one process reads every file before the steps.
    with pytest.raises(TraceFileError, match=r"b-unreadable\.jsonl"):
        ostik.dask.coverage([str(bad_step), *paths, str(unreadable)], policy)
    with pytest.raises(FileNotFoundError, match="no trace files"):
        ostik.dask.coverage([str(tmp_path / "*.none")], policy)


def ostik_cli(*args):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("GITHUB_", "NO_COLOR"))}
    return subprocess.run([sys.executable, "-m", "ostik", *map(str, args)], capture_output=True, text=True,
                          timeout=300, env=env)


def test_command_line_on_one_process_more_processes_and_the_cluster(corpus, cluster):
    root, _, _ = corpus
    local, _ = cluster
    policy = root / "policy.yaml"
    for command in (["coverage", policy, root], ["coverage", "--json", policy, root, "--fail-under", "99"],
                    ["test", policy, root], ["test", "-q", policy, root]):
        # `ostik test` ends with the time it took.
        untimed = (lambda out: out.rsplit(" in ", 1)[0]) if command[0] == "test" else (lambda out: out)
        one = ostik_cli(*command, "-j", "1")
        assert one.returncode in (0, 1) and one.stdout, one.stderr
        two = ostik_cli(*command, "-j", "2")
        assert (two.returncode, untimed(two.stdout)) == (one.returncode, untimed(one.stdout))
        on_cluster = ostik_cli(*command, "--dask-scheduler", local.scheduler_address)
        assert (on_cluster.returncode, untimed(on_cluster.stdout)) == (one.returncode, untimed(one.stdout))


def test_command_line_problems_on_the_cluster(corpus, cluster, tmp_path):
    root, _, _ = corpus
    local, _ = cluster
    (tmp_path / "x.jsonl").write_text("{not json\n")
    result = ostik_cli("coverage", root / "policy.yaml", tmp_path, "--dask-scheduler", local.scheduler_address)
    assert (result.returncode, result.stdout) == (2, "")
    assert "x.jsonl: line 1" in result.stderr
    result = ostik_cli("coverage", root / "policy.yaml", "-", "--dask-scheduler", local.scheduler_address)
    assert result.returncode == 2 and "standard input cannot be read on a cluster" in result.stderr


def python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


def test_without_distributed_the_command_line_names_the_extra(corpus):
    root, paths, _ = corpus
    result = python("import sys\nsys.modules['distributed'] = None\nfrom ostik.cli import main\n"
                    f"sys.exit(main(['coverage', {str(root / 'policy.yaml')!r}, {paths[0]!r}, "
                    "'--dask-scheduler', 'tcp://127.0.0.1:1']))")
    assert result.returncode == 2
    assert result.stderr == "--dask-scheduler needs Dask with distributed: pip install 'ostik[dask]'\n"


# --- flows: judged from the steps' results, wherever the files are read -------------

FLOWS = os.path.join(os.path.dirname(__file__), "data", "flows")
FLOW_SUITES = sorted(name for name in os.listdir(FLOWS) if os.path.isdir(os.path.join(FLOWS, name)))


@pytest.mark.parametrize("suite", FLOW_SUITES)
def test_flows_on_the_cluster_count_as_one_process_does(suite, cluster):
    directory = os.path.join(FLOWS, suite)
    guard = ostik.Guard.from_file(os.path.join(directory, "policy.yaml"))
    paths = sorted(os.path.join(directory, name) for name in os.listdir(directory) if name.endswith(".jsonl"))
    local = AuditAccumulator(guard, keep=100)
    coverage = ostik.CoverageAccumulator(guard)
    for path in paths:
        for trace in ostik.formats.read_file(path).traces:
            local.add(trace.steps, trace.label if trace.line is None else (trace.source, trace.line))
            coverage.add(trace.steps)
    assert local.summary()["blocked_steps"] + local.summary()["asked_steps"] > 0
    assert ostik.dask.audit(paths, guard) == local.summary()
    on_cluster = ostik.dask.coverage_accumulator(paths, guard)
    assert on_cluster.entry_coverage() == coverage.entry_coverage()
    assert any(entry["rule_type"] == "flow" and entry["triggered"] for entry in on_cluster.entry_coverage())


def test_flow_commands_on_one_process_more_processes_and_the_cluster(cluster):
    local, _ = cluster
    directory = os.path.join(FLOWS, "banking")
    policy = os.path.join(directory, "policy.yaml")
    untimed = (lambda out: out.rsplit(" in ", 1)[0])
    for command in (["test", "-q", policy, directory], ["coverage", "--json", policy, directory]):
        one = ostik_cli(*command, "-j", "1")
        assert one.returncode in (0, 1) and one.stdout, one.stderr
        for more in (["-j", "2"], ["--dask-scheduler", local.scheduler_address]):
            other = ostik_cli(*command, *more)
            assert (other.returncode, untimed(other.stdout)) == (one.returncode, untimed(one.stdout))
