"""The module's type stubs as built: where they are, and that what they say
beyond types (docstrings, constants as Final) matches the module. Their
types are checked against the module by stubtest in scripts/test."""

import ast
import inspect

import pytest

import Tarvik

from conftest import PYTHON_DIR, REPO

STUBS = REPO / "src" / "Tarvik" / "Tarvik.pyi"


def stub_tree():
    return ast.parse(STUBS.read_text())


def test_stubs_are_built_beside_the_module_and_as_a_stub_package():
    text = STUBS.read_text()
    assert (PYTHON_DIR / "Tarvik.pyi").read_text() == text
    assert (PYTHON_DIR / "Tarvik-stubs" / "__init__.pyi").read_text() == text
    assert (PYTHON_DIR / "tarvik_engine" / "py.typed").exists()


def docstrings():
    """(path, stub docstring) for every function, record type and member."""
    for node in stub_tree().body:
        if isinstance(node, ast.FunctionDef):
            overload = any(ast.unparse(d) == "overload" for d in node.decorator_list)
            if overload and ast.get_docstring(node) is None:
                continue  # the last overload carries the docstring
            yield node.name, ast.get_docstring(node, clean=False)
        elif isinstance(node, ast.ClassDef):
            yield node.name, ast.get_docstring(node, clean=False)
            body = node.body
            for index, item in enumerate(body):
                if isinstance(item, ast.FunctionDef) and item.name not in ("__new__", "__init__"):
                    yield f"{node.name}.{item.name}", ast.get_docstring(item, clean=False)
                elif isinstance(item, ast.AnnAssign):
                    following = body[index + 1]
                    assert isinstance(following, ast.Expr), item.target.id
                    yield f"{node.name}.{item.target.id}", following.value.value


def runtime_doc(path):
    owner, _, member = path.partition(".")
    value = getattr(Tarvik, owner)
    return (value.__dict__[member] if member else value).__doc__


def test_stub_docstrings_are_the_module_s():
    checked = 0
    for path, doc in docstrings():
        # Indented for the stub; the module's text has no indent.
        assert inspect.cleandoc(doc) == inspect.cleandoc(runtime_doc(path)), path
        checked += 1
    assert checked == 29 + 28 + sum(len([m for m in vars(t).values() if type(m).__name__ == "member_descriptor"])
                                    for t in vars(Tarvik).values() if isinstance(t, type))


def test_every_constant_is_final_int():
    annotations = {node.target.id: ast.unparse(node.annotation) for node in stub_tree().body
                   if isinstance(node, ast.AnnAssign)}
    constants = [name for name, value in vars(Tarvik).items() if type(value) is int]
    assert len(constants) == 193  # year and the 192 constants
    for name in constants:
        assert annotations[name] == "Final[int]", name


@pytest.mark.parametrize("name", ["ProcessTape", "LoadTarvik", "StateGetMMQuotes", "PriceFormat"])
def test_stub_parameters_are_the_text_signature_s(name):
    function = next(node for node in stub_tree().body if isinstance(node, ast.FunctionDef) and node.name == name)
    arguments = function.args
    stub = [(a.arg, "POSITIONAL_ONLY") for a in arguments.posonlyargs]
    stub += [(a.arg, "POSITIONAL_OR_KEYWORD") for a in arguments.args]
    runtime = [(p.name, p.kind.name) for p in inspect.signature(getattr(Tarvik, name)).parameters.values()]
    assert stub == runtime


@pytest.mark.parametrize("package", ["tarvik_engine", "tarvik_days"])
def test_the_packages_signatures_can_be_read_at_run_time(package):
    """help() and editors read signatures with their annotations evaluated:
    a name imported only for type checking must not break them."""
    import importlib
    module = importlib.import_module(package)
    for name in module.__all__:
        value = getattr(module, name)
        if inspect.isfunction(value):
            inspect.signature(value)
