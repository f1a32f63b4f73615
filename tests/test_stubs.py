"""The installed type stubs describe the native modules as they are."""

import ast
import inspect
from pathlib import Path

import ostik
from ostik import _engine, _inspect, _native

PACKAGE = Path(ostik.__file__).parent


def stub_functions(path):
    """{class name or "": {function name: [(parameter, has default)], ...}} from a stub file."""
    tree = ast.parse(path.read_text())
    found = {"": {}}

    def params(node):
        args = node.args.posonlyargs + node.args.args
        defaults = [False] * (len(args) - len(node.args.defaults)) + [True] * len(node.args.defaults)
        # Keyword-only parameters follow, each with its own default or none.
        args += node.args.kwonlyargs
        defaults += [d is not None for d in node.args.kw_defaults]
        return [(a.arg, d) for a, d in zip(args, defaults) if a.arg not in ("self", "cls")]

    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[""][node.name] = params(node)
        elif isinstance(node, ast.ClassDef):
            found[node.name] = {f.name: params(f) for f in node.body if isinstance(f, ast.FunctionDef)}
    return found, tree


def runtime_params(callable_obj):
    return [(p.name, p.default is not inspect.Parameter.empty)
            for p in inspect.signature(callable_obj).parameters.values() if p.name not in ("self", "$self")]


def test_stubs_and_marker_are_installed():
    assert (PACKAGE / "py.typed").is_file()
    assert (PACKAGE / "_native.pyi").is_file() and (PACKAGE / "_inspect.pyi").is_file()


def test_native_stub_matches_the_module():
    stubs, tree = stub_functions(PACKAGE / "_native.pyi")
    stub_all = next(ast.literal_eval(n.value) for n in tree.body
                    if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    assert stub_all == ["Policy", "CoverageAnalyzer", "OstikClient", "TraceExplainer"]
    for name in _native.__all__:
        cls = getattr(_native, name)
        public = {m for m in vars(cls) if not m.startswith("_")}
        assert public == set(stubs[name]) - {"__init__"}, name
        for method in public:
            assert stubs[name][method] == runtime_params(getattr(cls, method)), f"{name}.{method}"
        if cls.__text_signature__ is not None:
            assert stubs[name]["__init__"] == runtime_params(cls), name
        else:
            assert "__init__" not in stubs[name], name


def test_inspect_stub_matches_the_module():
    stubs, _ = stub_functions(PACKAGE / "_inspect.pyi")
    public = {name for name in dir(_inspect) if not name.startswith("_")}
    assert public == {"policy_records", "ignored_keys", "argument_rule_error", "rule_id"} == set(stubs[""])
    for name in public:
        assert stubs[""][name] == runtime_params(getattr(_inspect, name)), name



def test_engine_stub_matches_the_module():
    stubs, tree = stub_functions(PACKAGE / "_engine.pyi")
    stub_all = next(ast.literal_eval(n.value) for n in tree.body
                    if isinstance(n, (ast.Assign, ast.AnnAssign))
                    and (n.targets[0] if isinstance(n, ast.Assign) else n.target).id == "__all__")
    assert stub_all == list(_engine.__all__)
    for name in _engine.__all__:
        obj = getattr(_engine, name)
        if not isinstance(obj, type):
            assert stubs[""][name] == runtime_params(obj), name
            continue
        public = {m for m in vars(obj) if not m.startswith("_")
                  and callable(getattr(obj, m)) and not isinstance(vars(obj)[m], property)}
        stub_methods = {m for m in stubs[name] if not m.startswith("_")}
        assert public <= stub_methods, name
        for method in public:
            assert stubs[name][method] == runtime_params(getattr(obj, method)), f"{name}.{method}"
