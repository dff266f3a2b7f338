"""The module's surface: its definition and what importing it does."""
import subprocess
import sys

from conftest import MODULE_DIR


def test_definition():
    import _vantrel
    assert _vantrel.__name__ == "_vantrel"
    assert _vantrel.__doc__ == "The native `_vantrel` extension module."
    assert isinstance(_vantrel.__all__, list)


def test_import_starts_no_thread():
    code = (
        "import os, sys\n"
        f"sys.path.insert(0, {str(MODULE_DIR)!r})\n"
        "before = len(os.listdir('/proc/self/task'))\n"
        "import _vantrel\n"
        "print(before, len(os.listdir('/proc/self/task')))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    before, after = out.stdout.split()
    assert before == after
