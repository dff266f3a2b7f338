"""The type stubs (python/_vantrel.pyi) match the built module: mypy's stubtest checks every name,
attribute and signature; the tests after it check what stubtest passes over, the constructor's
text signature and the iteration slots."""
import ast
import inspect
import os
import subprocess

import pytest

from conftest import MODULE_DIR, ROOT

import _vantrel

STUB = ROOT / "python" / "_vantrel.pyi"
RUNTIME_ONLY_DUNDERS = {"__doc__", "__module__", "__new__"}


def stub_classes():
    tree = ast.parse(STUB.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def test_stubtest_passes(tmp_path):
    env = dict(os.environ, PYTHONPATH=str(MODULE_DIR), MYPYPATH=str(STUB.parent))
    done = subprocess.run(["/usr/bin/python3", "-m", "mypy.stubtest", "_vantrel"], cwd=tmp_path,
                          env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


def test_runner_constructor_matches_its_text_signature():
    [init] = [f for f in stub_classes()["Runner"].body
              if isinstance(f, ast.FunctionDef) and f.name == "__init__"]
    params = init.args.args[1:]
    assert len(init.args.defaults) == len(params)
    stub = [(p.arg, ast.literal_eval(d)) for p, d in zip(params, init.args.defaults)]
    runtime = [(p.name, p.default) for p in inspect.signature(_vantrel.Runner).parameters.values()]
    assert stub == runtime


CLASS_NAMES = [n for n in _vantrel.__all__ if isinstance(getattr(_vantrel, n), type)]


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_slots_are_in_the_stub(name):
    runtime = {k for k in vars(getattr(_vantrel, name)) if k.startswith("__")}
    runtime -= RUNTIME_ONLY_DUNDERS
    stub = {f.name for f in stub_classes()[name].body
            if isinstance(f, ast.FunctionDef) and f.name.startswith("__")} - {"__init__"}
    assert stub == runtime
