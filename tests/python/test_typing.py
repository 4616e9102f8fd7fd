"""Types: the _quorvex stubs describe the module as built, and mypy --strict accepts the
examples and a typed use of the package."""
import ast
import inspect
import pathlib
import subprocess
import sys

import pytest

import _quorvex

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "python" / "_quorvex.pyi"


def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"))


def stub_functions(body):
    return {n.name: n for n in body if isinstance(n, ast.FunctionDef)}


def stub_classes():
    return {n.name: n for n in stub_tree().body if isinstance(n, ast.ClassDef)}


def test_stub_names_every_export():
    tree = stub_tree()
    names = set(stub_functions(tree.body)) | set(stub_classes())
    assert names == set(_quorvex.__all__)


def public(cls):
    return {n for n in vars(cls) if not n.startswith("_")}


@pytest.mark.parametrize("name", [n for n in _quorvex.__all__ if isinstance(getattr(_quorvex, n), type)])
def test_stub_class_members(name):
    stub = stub_classes()[name]
    declared = {n for n in stub_functions(stub.body) if not n.startswith("_")}
    assert declared == public(getattr(_quorvex, name))


def parameters(node):
    args = [a.arg for a in node.args.args]
    return args[1:] if args and args[0] in ("self", "cls") else args


def runtime_callables():
    for name in _quorvex.__all__:
        obj = getattr(_quorvex, name)
        if isinstance(obj, type):
            for member in sorted(public(obj)):
                attr = getattr(obj, member)
                if callable(attr):
                    yield pytest.param(name, member, id=f"{name}.{member}")
        else:
            yield pytest.param(None, name, id=name)


@pytest.mark.parametrize("cls,name", list(runtime_callables()))
def test_stub_parameters_match_text_signatures(cls, name):
    obj = getattr(getattr(_quorvex, cls), name) if cls else getattr(_quorvex, name)
    runtime = [p for p in inspect.signature(obj).parameters if p != "self"]
    body = stub_classes()[cls].body if cls else stub_tree().body
    assert parameters(stub_functions(body)[name]) == runtime


def mypy(*paths):
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", *paths], cwd=ROOT,
                          capture_output=True, text=True)


def test_mypy_strict_on_examples_and_typed_use():
    pytest.importorskip("mypy")
    result = mypy("examples", "tests/typing", "python/quorvex")
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_rejects_a_wrong_use(tmp_path):
    # The stubs carry real types: decoding with a table directory where a TableSet is due,
    # or treating an optional meaning as text, is refused.
    pytest.importorskip("mypy")
    wrong = tmp_path / "wrong.py"
    wrong.write_text(
        "import _quorvex\n"
        "_quorvex.decode_values_with_tables(b'', '/some/dir')\n"
        "m: str = _quorvex.TableSet().get_meaning(20003, 1)\n"
    )
    result = mypy(str(wrong))
    assert result.returncode == 1
    assert result.stdout.count("error:") == 2, result.stdout
