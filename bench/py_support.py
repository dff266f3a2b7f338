"""What the Python benchmarks share: the built module on sys.path, the fake agent, a request
(the test suite's own request class, so both stay in step with the module)."""
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("VANTREL_BUILD_DIR", ROOT / "build"))
FAKE_AGENT = str(BUILD / "fake_agent" / "fake_agent")

sys.path.insert(0, str(ROOT / "python" / "tests"))

from conftest import Request  # noqa: E402,F401  (also puts the built module on sys.path)
import _vantrel  # noqa: E402


def fake_runner(script, **options):
    """A codex Runner whose agent is the fake agent playing `script`."""
    return _vantrel.Runner(executable=FAKE_AGENT, env={"VANTREL_FAKE_SCRIPT": script}, **options)
