import inspect

import pytest

import ostik
from ostik import _native


def test_module_frame():
    assert _native.__name__ == "ostik._native"
    assert _native.__doc__ == ""
    assert list(_native.__all__) == [name for name in ("Policy", "CoverageAnalyzer", "OstikClient", "TraceExplainer")
                                    if hasattr(_native, name)]
    public = [name for name in dir(_native) if not name.startswith("_")]
    assert sorted(public) == sorted(_native.__all__)
    for name in _native.__all__:
        assert getattr(ostik, name) is getattr(_native, name)


@pytest.mark.parametrize("name", ["Policy", "CoverageAnalyzer", "OstikClient", "TraceExplainer"])
def test_classes_are_final_plain_and_closed(name):
    cls = getattr(_native, name, None)
    if cls is None:
        pytest.skip(f"{name} not built yet")
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "ostik._native"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls)
    assert cls.__weakrefoffset__ == 0
    assert cls.__dictoffset__ == 0


def test_policy_has_no_constructor(tmp_path):
    with pytest.raises(TypeError, match="^No constructor defined for Policy$"):
        _native.Policy()
    with pytest.raises(TypeError, match="^No constructor defined for Policy$"):
        _native.Policy(1, x=2)


def test_from_file_signature_and_doc():
    assert _native.Policy.from_file.__text_signature__ == "(path)"
    assert _native.Policy.from_file.__doc__ is None
    assert str(inspect.signature(_native.Policy.from_file)) == "(path)"
    assert _native.Policy.__doc__ is None


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: _native.Policy.from_file(), "Policy.from_file() missing 1 required positional argument: 'path'"),
        (lambda: _native.Policy.from_file("a", "b"), "Policy.from_file() takes 1 positional argument but 2 were given"),
        (lambda: _native.Policy.from_file(pth="a"), "Policy.from_file() got an unexpected keyword argument 'pth'"),
        (lambda: _native.Policy.from_file("a", path="a"), "Policy.from_file() got multiple values for argument 'path'"),
        (lambda: _native.Policy.from_file(1), "argument 'path': 'int' object cannot be converted to 'PyString'"),
        (lambda: _native.Policy.from_file(b"p"), "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_from_file_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_path_keyword_and_position_are_equivalent(tmp_path):
    path = tmp_path / "p.yaml"
    path.write_text("version: 1\n")
    assert type(_native.Policy.from_file(str(path))) is type(_native.Policy.from_file(path=str(path)))
