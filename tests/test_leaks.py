"""Memory and reference checks: every method, on valid input and on each kind of
invalid input, called many times over, must not grow memory or hold on to
references.

Three measurements, after a warm-up that fills the caches:
- native heap: glibc's in-use bytes (mallinfo2), which the C++ core allocates
  from; a leak of even one small block per call exceeds the bound;
- Python objects: tracemalloc over the same kind of run;
- references: the refcount of every object handed to the call is unchanged.
RSS is recorded as a coarse cross-check.

The default run calls each case 2,000 times; the `slow` marker runs the full
20,000 (pytest -m slow).
"""

import ctypes
import gc
import os
import pickle
import sys
import tracemalloc
from collections.abc import Mapping, Sequence

import pytest

import ostik

EXAMPLE_POLICY = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "policy.yaml")

# Bounds for a whole run, well below what a per-call leak would add: one lost
# 32-byte heap block per call is 64 KB over the short run.
NATIVE_BOUND = 16 * 1024
PYTHON_BOUND = 16 * 1024
RSS_BOUND = 8 * 1024 * 1024
WARM_UP = 300


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2


# Under AddressSanitizer (scripts/sanitize.sh) malloc is ASan's own, glibc's
# figures stay still and freed memory sits in ASan's quarantine: the native and
# RSS measurements are left out there (ASan checks the heap itself).
NATIVE_MEASURED = "libasan" not in os.environ.get("LD_PRELOAD", "")


def native_in_use():
    """Bytes the C heap has handed out and not taken back (main arena + mmapped)."""
    if not NATIVE_MEASURED:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def require_class(name):
    cls = getattr(ostik, name, None)
    if cls is None:
        pytest.skip(f"{name} not built yet")
    return cls


# --- the cases ---------------------------------------------------------------
# Each case builds (call, watched): `call` runs the method once and swallows
# the exception the case expects; `watched` are the objects whose refcounts
# must not move.

CASES = {}


def case(name):
    def register(build):
        CASES[name] = build
        return build
    return register


def expecting(exc, fn, *args):
    def call():
        try:
            fn(*args)
        except exc:
            pass
        else:
            raise AssertionError(f"{fn} did not raise {exc.__name__}")
    return call


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("leaks")
    written = {}
    contents = {
        "bad_utf8": b"version: \"1\"\nname: \xff\xfe\n",
        "empty": b"",
        "syntax": b"version: \"1\"\nname: [unclosed\n",
        "unknown_field": b"version: \"1\"\nrules: []\n",
        "bad_rule": b"version: \"1\"\nsequences:\n  - {type: max_calls, tool: a, max: -1}\n",
        "stray_keys": b"version: \"1\"\nsequences:\n  - {type: after, trigger: a, then: b, withn: 2, note: [x]}\n"
                      b"  - {type: before, first: a, then: b, e: !!int x}\n",
        "stray_then_bad": b"version: \"1\"\nsequences:\n  - {type: require, tool: a, note: x}\n"
                          b"  - {type: max_calls, tool: a, max: -1}\n",
        "two_docs": b"version: \"1\"\n---\nversion: \"2\"\n",
        "bad_constraint": b"version: \"1\"\ntools:\n  arg_constraints: {t: {x: {matches: '(a'}, y: {min: [1]}}}\n",
        "too_deep": b"version: \"1\"\nmetadata: " + b"[" * 200 + b"]" * 200 + b"\n",
        "laughs": b"version: \"1\"\nmetadata:\n  a: &a [x, x, x, x, x, x, x, x, x]\n"
                   + b"".join(b"  %c: &%c [%s]\n" % (k, k, b", ".join([b"*%c" % (k - 1)] * 9)) for k in b"bcdef"),
    }
    for name, data in contents.items():
        path = d / f"{name}.yaml"
        path.write_bytes(data)
        written[name] = str(path)
    written["missing"] = str(d / "missing.yaml")
    written["directory"] = str(d)
    written["trace"] = str(d / "trace.jsonl")
    return written


def example_policy():
    return ostik.Policy.from_file(EXAMPLE_POLICY)


TRACE = [
    {"tool": "read_file", "args": {"path": "src/a.py", "lines": [1, 2, 3]}},
    {"tool": "edit_file", "args": {"path": "src/a.py", "patch": "-a\n+b"}},
    {"name": "run_tests", "arguments": {"target": "all", "timeout_s": 60.5}},
    {"tool_name": "git_commit"},
    {"tool": "exec", "args": None},
]


def nested(depth):
    x = []
    for _ in range(depth):
        x = [x]
    return x


class BrokenSequence(Sequence):
    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise KeyError("no item")


class Unsupported:
    pass


@case("from_file valid")
def _(files):
    return lambda: ostik.Policy.from_file(EXAMPLE_POLICY), []


for _name, _exc in [("missing", FileNotFoundError), ("directory", FileNotFoundError),
                    ("bad_utf8", FileNotFoundError), ("empty", ValueError), ("syntax", ValueError),
                    ("unknown_field", ValueError), ("bad_rule", ValueError), ("two_docs", ValueError),
                    ("too_deep", ValueError), ("laughs", ValueError)]:
    def _build(files, _name=_name, _exc=_exc):
        path = files[_name]
        return expecting(_exc, ostik.Policy.from_file, path), [path]
    CASES[f"from_file {_name}"] = _build


@case("from_file wrong type")
def _(files):
    arg = 12345.5
    return expecting(TypeError, ostik.Policy.from_file, arg), [arg]


@case("policy_records")
def _(files):
    path = EXAMPLE_POLICY
    return (lambda: ostik.policy_records(path)), [path]


@case("ignored_keys")
def _(files):
    path = files["stray_keys"]
    return (lambda: ostik._inspect.ignored_keys(path)), [path]


@case("ignored_keys bad rule after a stray key")
def _(files):
    path = files["stray_then_bad"]
    return expecting(ValueError, ostik._inspect.ignored_keys, path), [path]


@case("TraceExplainer construct")
def _(files):
    cls = require_class("TraceExplainer")
    policy = example_policy()
    return (lambda: cls(policy)), [policy]


@case("TraceExplainer construct wrong type")
def _(files):
    cls = require_class("TraceExplainer")
    arg = ["not a policy"]
    return expecting(TypeError, cls, arg), [arg]


@case("explain valid")
def _(files):
    explainer = require_class("TraceExplainer")(example_policy())
    trace = [dict(s) for s in TRACE]
    return (lambda: explainer.explain(trace)), [explainer, trace, *trace]


@case("explain empty")
def _(files):
    explainer = require_class("TraceExplainer")(example_policy())
    trace = ()
    return (lambda: explainer.explain(trace)), [explainer]


BAD_TRACES = {
    "str": (TypeError, "read_file"),
    "not a sequence": (TypeError, {"tool": "read_file"}),
    "step not a mapping": (ValueError, [{"tool": "a"}, ["read_file"]]),
    "non-str key": (ValueError, [{"tool": "a", 1: "x"}]),
    "duplicate field": (ValueError, [{"tool": "a", "name": "b"}]),
    "tool not a str": (ValueError, [{"tool": 7}]),
    "unsupported args": (ValueError, [{"tool": "a", "args": {"when": Unsupported()}}]),
    "args out of range": (ValueError, [{"tool": "a", "args": [1, 2, 2**64]}]),
    "args too deep": (ValueError, [{"tool": "a", "args": nested(5000)}]),
    "args bytes": (ValueError, [{"tool": "a", "args": {"k": [b"raw"]}}]),
    "broken sequence": (ValueError, [{"tool": "a", "args": BrokenSequence()}]),
    "lone surrogate": (ValueError, [{"tool": "a", "args": "\ud800"}]),
}

for _name, (_exc, _trace) in BAD_TRACES.items():
    def _build_explain(files, _exc=_exc, _trace=_trace):
        explainer = require_class("TraceExplainer")(example_policy())
        return expecting(_exc, explainer.explain, _trace), [explainer, _trace]
    CASES[f"explain {_name}"] = _build_explain

    def _build_analyze(files, _exc=_exc, _trace=_trace):
        analyzer = require_class("CoverageAnalyzer")(example_policy())
        traces = [TRACE, _trace]
        return expecting(_exc, analyzer.analyze, traces, 50), [analyzer, traces, _trace]
    CASES[f"analyze {_name}"] = _build_analyze


@case("CoverageAnalyzer construct")
def _(files):
    cls = require_class("CoverageAnalyzer")
    policy = example_policy()
    return (lambda: cls(policy)), [policy]


@case("analyze valid")
def _(files):
    analyzer = require_class("CoverageAnalyzer")(example_policy())
    traces = [TRACE, [], TRACE[:2]]
    return (lambda: analyzer.analyze(traces, 75.5)), [analyzer, traces]


class FreshNames(Mapping):
    """A step whose str values are made anew at each access: the reader's reference is the only one."""

    def __init__(self, step):
        self.step = step

    def __getitem__(self, key):
        value = self.step[key]
        return "".join(list(value)) if isinstance(value, str) else value

    def __iter__(self):
        return iter(self.step)

    def __len__(self):
        return len(self.step)


@case("analyze mapping steps")
def _(files):
    analyzer = require_class("CoverageAnalyzer")(example_policy())
    traces = [[FreshNames(step) for step in TRACE], TRACE]
    return (lambda: analyzer.analyze(traces, 75.5)), [analyzer, traces] + traces[0]


@case("analyze bad threshold")
def _(files):
    analyzer = require_class("CoverageAnalyzer")(example_policy())
    traces = [TRACE]
    threshold = "high"
    return expecting(TypeError, analyzer.analyze, traces, threshold), [analyzer, traces, threshold]


@case("OstikClient construct without file")
def _(files):
    cls = require_class("OstikClient")
    return (lambda: cls()), []


@case("OstikClient construct and drop")
def _(files):
    cls = require_class("OstikClient")
    path = files["trace"]
    return (lambda: cls(path)), [path]


@case("OstikClient construct bad path")
def _(files):
    cls = require_class("OstikClient")
    path = os.path.join(files["missing"], "no", "dir.jsonl")
    return expecting(RuntimeError, cls, path), [path]


@case("OstikClient construct wrong type")
def _(files):
    cls = require_class("OstikClient")
    arg = b"/tmp/x"
    return expecting(TypeError, cls, arg), [arg]


@case("record_trace valid")
def _(files):
    client = require_class("OstikClient")(os.devnull)
    record = {"trace": TRACE, "meta": {"n": 1.5, "s": "é\n"}}
    return (lambda: client.record_trace(record)), [client, record]


@case("record_trace unconvertible")
def _(files):
    client = require_class("OstikClient")(os.devnull)
    record = {"ok": [1, 2], "bad": {Unsupported()}}
    return expecting(ValueError, client.record_trace, record), [client, record]


@case("record_trace too deep")
def _(files):
    client = require_class("OstikClient")(os.devnull)
    record = nested(5000)
    return expecting(ValueError, client.record_trace, record), [client, record]


@case("record_trace not configured")
def _(files):
    client = require_class("OstikClient")()
    record = {"a": 1}
    return expecting(RuntimeError, client.record_trace, record), [client, record]


@case("record_trace full device")
def _(files):
    client = require_class("OstikClient")("/dev/full")
    # Large enough to need writes before the flush as well.
    record = {"data": ["x" * 100] * 200}
    return expecting(RuntimeError, client.record_trace, record), [client, record]


@case("record_trace closed file")
def _(files):
    path = files["trace"]
    client = require_class("OstikClient")(path)
    target = os.path.realpath(path)
    fds = [int(fd) for fd in os.listdir("/proc/self/fd")
           if os.path.realpath(os.path.join("/proc/self/fd", fd)) == target]
    assert len(fds) == 1
    # Put a read-only descriptor in the client's place rather than closing it,
    # so the number cannot be reused by a file opened later in the test run.
    ro = os.open(os.devnull, os.O_RDONLY)
    os.dup2(ro, fds[0])
    os.close(ro)
    record = {"a": [1, 2, 3]}
    return expecting(RuntimeError, client.record_trace, record), [client, record]


def example_guard():
    return require_class("Guard")(example_policy())


ARGS = {"path": "src/a.py", "lines": [1, 2, 3], "ratio": 0.5, "flags": {"dry": True}}


@case("Guard construct")
def _(files):
    cls = require_class("Guard")
    policy = example_policy()
    return (lambda: cls(policy)), [policy]


@case("Guard construct wrong type")
def _(files):
    cls = require_class("Guard")
    arg = {"not": "a policy"}
    return expecting(TypeError, cls, arg), [arg]


@case("Guard construct bad constraint")
def _(files):
    cls = require_class("Guard")
    policy = ostik.Policy.from_file(files["bad_constraint"])
    return expecting(ValueError, cls, policy), [policy]


@case("argument rules, coverage and failures")
def _(files):
    guard = example_guard()
    traces = [[{"tool": "edit_file", "args": {"path": "../x", "patch": "p"}}, {"tool": "run_tests", "args": "all"}],
              [{"tool": "run_tests", "args": {"target": "t", "timeout_s": 9e9}}]]
    path = files["bad_constraint"]

    def call():
        judged = [guard.judge(trace) for trace in traces]
        return (guard.argument_rules, guard.argument_coverage(traces), ostik._inspect.argument_rule_error(path),
                [(f.rule_id, f.explanation, f.context) for j in judged for d in j.decisions for f in d.failures])
    return call, [guard, traces, path]


@case("argument coverage bad step")
def _(files):
    guard = example_guard()
    traces = [[{"tool": "edit_file", "args": {"bad": {Unsupported()}}}]]
    return expecting(ValueError, guard.argument_coverage, traces), [guard, traces]


@case("session open and drop")
def _(files):
    guard = example_guard()
    return (lambda: guard.session(os.devnull, keep=True)), [guard]


@case("session bad path")
def _(files):
    guard = example_guard()
    path = os.path.join(files["missing"], "no", "dir.jsonl")
    return expecting(RuntimeError, guard.session, path), [guard, path]


@case("session outlives its guard")
def _(files):
    policy = example_policy()
    cls = require_class("Guard")
    return (lambda: cls(policy).session().check("read_file", ARGS)), [policy]


@case("check allowed, recorded")
def _(files):
    session = example_guard().session(os.devnull)
    return (lambda: session.check("read_file", ARGS)), [session, ARGS]


@case("check blocked")
def _(files):
    session = example_guard().session()
    return (lambda: session.check("force_push", ARGS)), [session, ARGS]


@case("check unconvertible")
def _(files):
    session = example_guard().session(os.devnull)
    args = {"ok": [1, 2], "bad": {Unsupported()}}
    return expecting(ValueError, session.check, "read_file", args), [session, args]


@case("check wrong type")
def _(files):
    session = example_guard().session()
    tool = ["read_file"]
    return expecting(TypeError, session.check, tool), [session, tool]


@case("check failed write")
def _(files):
    session = example_guard().session("/dev/full", keep=True)
    return expecting(RuntimeError, session.check, "read_file", ARGS), [session, ARGS]


@case("peek new names")
def _(files):
    session = example_guard().session()
    names = iter(range(10**9))
    return (lambda: session.peek(f"tool_{next(names)}", ARGS)), [session, ARGS]


@case("finish")
def _(files):
    session = example_guard().session()
    session.check("edit_file")
    return session.finish, [session]


@case("explain kept calls")
def _(files):
    guard = example_guard()

    def call():
        session = guard.session(keep=True)
        session.check("read_file", ARGS)
        session.check("force_push")
        return session.explain()
    return call, [guard, ARGS]


@case("explain without kept calls")
def _(files):
    session = example_guard().session()
    return expecting(RuntimeError, session.explain), [session]


@case("decision fields")
def _(files):
    decision = example_guard().session().check("edit_file", ARGS)

    def call():
        return (decision.failures, decision.blocked_by, decision.reason, repr(decision), hash(decision),
                [(f.context, repr(f)) for f in decision.failures], decision == decision)
    return call, [decision]


@case("judge a trace")
def _(files):
    guard = example_guard()
    trace = [{"tool": "edit_file", "args": ARGS}, {"tool": "read_file"}, {"tool": "force_push", "args": ARGS}]

    def call():
        judgement = guard.judge(trace)
        decisions = judgement.decisions
        failures = [f for d in decisions for f in d.failures]
        assert pickle.loads(pickle.dumps(decisions)) == decisions
        for state in (("blocked", 0, "t", ()), ("allowed", 0, "t", (1,))):
            try:
                ostik.Decision._restore(*state)
            except (TypeError, ValueError):
                pass
        return (judgement.end_failures, judgement.blocking_rules, repr(judgement),
                [(d.tool, d.blocked_by, d.reason, repr(d), hash(d), d == d) for d in decisions],
                [(f.rule_id, f.rule_type, f.explanation, f.context, repr(f), hash(f)) for f in failures])
    return call, [guard, trace, ARGS]


@case("judge a bad step")
def _(files):
    guard = example_guard()
    trace = [{"tool": "read_file", "args": ARGS}, {"tool": "edit_file", "args": {"bad": {Unsupported()}}}]
    return expecting(ValueError, guard.judge, trace), [guard, trace, ARGS]


@case("judge wrong type")
def _(files):
    guard = example_guard()
    trace = iter([{"tool": "read_file"}])
    return expecting(TypeError, guard.judge, trace), [guard]


def _guarded():
    session = example_guard().session()

    def read_file(path, *rest, **options):
        return path

    def list_dir(path):
        raise OSError("disk")
    return session, session.guarded(read_file), session.tool(name="force_push")(read_file), session.guarded(list_dir)


@case("guarded call allowed")
def _(files):
    session, read, _, _ = _guarded()
    return (lambda: read("a.py", 1, mode="r")), [session, read]


@case("guarded call blocked")
def _(files):
    session, _, push, _ = _guarded()
    return expecting(ostik.PolicyViolation, push, "a.py"), [session, push]


@case("guarded call refused")
def _(files):
    session, read, _, _ = _guarded()
    arg = Unsupported()
    return expecting(ostik.PolicyViolation, read, arg), [session, read, arg]


@case("guarded function raises")
def _(files):
    session, _, _, edit = _guarded()
    return expecting(OSError, edit, "a.py"), [session, edit]

class Discard:
    """A binary file object that takes every piece and keeps none."""

    def write(self, data):
        return len(data)


class Refuse:
    def write(self, data):
        raise OSError("refused")


@case("stream_explanation to a file object")
def _(files):
    explainer = require_class("TraceExplainer")(example_policy())
    trace, out = [dict(s) for s in TRACE], Discard()
    return (lambda: ostik.stream_explanation(explainer, trace, out)), [explainer, trace, out, *trace]


@case("stream_explanation to a path")
def _(files):
    explainer = require_class("TraceExplainer")(example_policy())
    trace, out = [dict(s) for s in TRACE], os.devnull
    return (lambda: ostik.stream_explanation(explainer, trace, out)), [explainer, trace, out]


@case("stream_explanation failing write")
def _(files):
    explainer = require_class("TraceExplainer")(example_policy())
    trace, out = [dict(s) for s in TRACE], Refuse()
    return expecting(OSError, ostik.stream_explanation, explainer, trace, out), [explainer, trace, out]


@case("stream_explanation unopenable path")
def _(files):
    explainer = require_class("TraceExplainer")(example_policy())
    trace, out = [dict(s) for s in TRACE], os.path.join(files["missing"], "report.json")
    return expecting(FileNotFoundError, ostik.stream_explanation, explainer, trace, out), [explainer, trace, out]


@case("stream_explanation bad trace")
def _(files):
    explainer = require_class("TraceExplainer")(example_policy())
    trace, out = [{"tool": "a", "args": {"when": Unsupported()}}], Discard()
    return expecting(ValueError, ostik.stream_explanation, explainer, trace, out), [explainer, trace, out]


@case("coverage accumulator")
def _(files):
    policy = example_policy()
    trace = [dict(s) for s in TRACE]

    def call():
        acc = ostik.CoverageAccumulator(policy)
        acc.add(trace)
        acc.add_many([trace, []])
        acc.merge(pickle.loads(pickle.dumps(acc)))
        again = ostik.CoverageAccumulator.from_bytes(ostik.policy_bytes(policy), acc.to_bytes())
        return acc.report(50.0), again.traces, repr(again)
    return call, [policy, trace, *trace]


@case("coverage accumulator errors")
def _(files):
    policy = example_policy()
    acc = ostik.CoverageAccumulator(policy)
    trace = [{"tool": "a"}, {"tool": "b", "args": {"bad": {Unsupported()}}}]
    bad_bytes = acc.to_bytes()[:-1]

    def call():
        for fn, args in ((acc.add, (trace,)), (acc.add_many, ([trace],)), (acc.report, ("x",)),
                         (ostik.CoverageAccumulator.from_bytes, (policy, bad_bytes)),
                         (ostik.CoverageAccumulator, (b"OSKP",)), (acc.merge, (policy,))):
            try:
                fn(*args)
            except (TypeError, ValueError):
                pass
            else:
                raise AssertionError(f"{fn} did not fail")
    return call, [policy, acc, trace, bad_bytes]


@case("audit accumulator")
def _(files):
    policy = example_policy()
    trace = [dict(s) for s in TRACE]
    refs = [("a.jsonl", 1), "b.jsonl: trace 2", 3]

    def call():
        acc = ostik.AuditAccumulator(policy, keep=2)
        acc.add(trace, ("c.jsonl", 9))
        acc.add_many([trace, [], trace], refs)
        acc.merge(pickle.loads(pickle.dumps(acc)))
        return acc.summary(), repr(acc), ostik.AuditAccumulator.from_bytes(policy, acc.to_bytes()).summary()
    return call, [policy, trace, refs, *trace, *refs]


@case("audit accumulator errors")
def _(files):
    policy = example_policy()
    acc = ostik.AuditAccumulator(policy)
    trace = [{"tool": "a", "args": {"bad": {Unsupported()}}}]
    ref = ["not", "a", "ref"]

    def call():
        for fn, args in ((acc.add, (trace,)), (acc.add, ([], ref)), (acc.add_many, ([[]], [ref])),
                         (acc.add_many, ([[]], [1, 2])), (ostik.AuditAccumulator.from_bytes, (policy, b"OSKA\x01")),
                         (ostik.AuditAccumulator, (policy, -1))):
            try:
                fn(*args)
            except (TypeError, ValueError):
                pass
            else:
                raise AssertionError(f"{fn} did not fail")
    return call, [policy, acc, trace, ref]


# --- the check ---------------------------------------------------------------


def run_case(build, files, iterations):
    call, watched = build(files)
    for _ in range(WARM_UP):
        call()
    gc.collect()
    refcounts = [sys.getrefcount(o) for o in watched]

    # The interpreter's attribute cache keeps a reference to each name it
    # caches, and CPython makes a fresh name str for each lookup when pickling
    # a C method: up to one str per cache entry, kept until the cache is
    # cleared. Cleared around each measure, so only what the calls keep counts.
    sys._clear_type_cache()
    rss_before = rss()
    native_before = native_in_use()
    for _ in range(iterations):
        call()
    gc.collect()
    sys._clear_type_cache()
    native_growth = native_in_use() - native_before
    rss_growth = rss() - rss_before

    tracemalloc.start()
    try:
        for _ in range(WARM_UP):
            call()
        gc.collect()
        sys._clear_type_cache()
        python_before = tracemalloc.get_traced_memory()[0]
        for _ in range(min(iterations, 5000)):
            call()
        gc.collect()
        sys._clear_type_cache()
        python_growth = tracemalloc.get_traced_memory()[0] - python_before
    finally:
        tracemalloc.stop()

    assert [sys.getrefcount(o) for o in watched] == refcounts, "references held by the calls"
    assert native_growth < NATIVE_BOUND, f"native heap grew by {native_growth} bytes"
    assert python_growth < PYTHON_BOUND, f"Python memory grew by {python_growth} bytes"
    assert rss_growth < RSS_BOUND or not NATIVE_MEASURED, f"RSS grew by {rss_growth} bytes"


pytestmark = pytest.mark.skipif(_mallinfo2 is None, reason="needs glibc's mallinfo2")


# Cases that cost a millisecond or so per call run fewer times by default; the
# slow run gives them the full count.
COSTLY = {"from_file laughs": 10, "from_file too_deep": 4, "policy_records": 2}


@pytest.mark.parametrize("name", list(CASES))
def test_no_growth(files, name):
    run_case(CASES[name], files, 2000 // COSTLY.get(name, 1))


@pytest.mark.slow
@pytest.mark.parametrize("name", list(CASES))
def test_no_growth_20000(files, name):
    run_case(CASES[name], files, 20000)


_kept = []


@pytest.mark.parametrize("leak, message", [
    pytest.param(lambda o: _libc.malloc(64), "native heap grew",
                 marks=pytest.mark.skipif(not NATIVE_MEASURED, reason="ASan replaces malloc")),
    (lambda o: _kept.append(str(len(_kept))), "grew by"),
    (lambda o: _kept.append(o), "references held"),
])
def test_the_check_sees_a_leak(files, leak, message):
    # The measurement itself must notice one small leak per call.
    watched = object()

    def build(files):
        return (lambda: leak(watched)), [watched]

    _libc.malloc.restype = ctypes.c_void_p
    with pytest.raises(AssertionError, match=message):
        run_case(build, files, 2000)
    _kept.clear()


@pytest.mark.skipif(not NATIVE_MEASURED or _mallinfo2 is None, reason="glibc's heap figures are not available")
def test_a_large_report_leaves_at_most_a_few_mib_behind():
    # The thread keeps a report buffer between calls, never more than 4 MiB.
    explainer = require_class("TraceExplainer")(example_policy())
    big = [{"tool": ("read_file", "edit_file", "run_tests")[i % 3], "args": {"i": i}} for i in range(40_000)]
    explainer.explain(TRACE)
    gc.collect()
    before = native_in_use()
    report = explainer.explain(big)
    assert len(report) > 20 * 1024 * 1024
    del report
    gc.collect()
    assert native_in_use() - before < 4 * 1024 * 1024 + 512 * 1024
