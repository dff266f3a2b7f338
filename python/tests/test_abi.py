"""The one built .abi3.so imports under every CPython 3.10+ found on this machine."""
import os
import subprocess

import pytest

from conftest import MODULE_DIR, interpreters, version_of

SO = MODULE_DIR / "_vantrel.abi3.so"


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
