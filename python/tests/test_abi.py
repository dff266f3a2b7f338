"""The one built .abi3.so imports under every CPython 3.10+ found on this machine."""
import glob
import os
import pathlib
import subprocess

import pytest

from conftest import MODULE_DIR

SO = MODULE_DIR / "_vantrel.abi3.so"


def interpreters():
    found = {"/usr/bin/python3"}
    found.update(glob.glob("/root/.pyenv/versions/3.*/bin/python3"))
    found.update(glob.glob("/usr/bin/python3.1[0-9]"))
    return sorted(p for p in found if os.access(p, os.X_OK))


def version_of(python):
    out = subprocess.run([python, "-c", "import sys; print(sys.version_info[:2])"],
                         capture_output=True, text=True, check=True).stdout
    return tuple(int(x) for x in out.strip("()\n").split(","))


def test_no_libpython_linked():
    ldd = subprocess.run(["ldd", str(SO)], capture_output=True, text=True, check=True).stdout
    assert "libpython" not in ldd


@pytest.mark.parametrize("python", interpreters())
def test_imports_under(python):
    if version_of(python) < (3, 10):
        pytest.skip(f"{python} is older than 3.10, which the stable ABI build does not serve")
    code = "import _vantrel; print(_vantrel.__doc__)"
    env = dict(os.environ, PYTHONPATH=str(MODULE_DIR))
    out = subprocess.run([python, "-c", code], capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "The native `_vantrel` extension module.\n"
