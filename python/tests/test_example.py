"""The README's examples: one run of the bundled fake codex agent, streamed through Runner.start,
and the README's own lines of Python, run against the fake agent as `codex`."""
import json
import os
import re
import subprocess
import sys

from conftest import MODULE_DIR, ROOT
from test_account_usage import COMPLETE, RATE_LIMITS


def test_the_example_streams_a_run(fake_agent):
    env = dict(os.environ, PYTHONPATH=str(MODULE_DIR))
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "stream_run.py"), "--agent", fake_agent,
         "--scenario", str(ROOT / "examples" / "codex_demo.scenario")],
        capture_output=True, text=True, env=env, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    lines = result.stdout.splitlines()
    assert lines[0].startswith("run run-")
    streamed = [line.split("ms", 1)[1].split()[0] for line in lines if line.startswith("  +")]
    assert streamed == ["thread.started", "turn.started", "item.completed", "item.started",
                        "item.completed", "item.completed", "turn.completed"]
    summary = lines[len(streamed) + 1:]
    assert summary[:3] == [
        "thread: demo-thread-1",
        "final message: The repository holds a README and a src folder.",
        "usage: input 1200 (cached 300), output 80",
    ]
    assert summary[3].startswith("events kept: 7, took ")
    assert summary[4:] == ["error: None"]


def test_the_readmes_python_runs_as_written(fake_agent, tmp_path):
    [code] = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "codex").symlink_to(fake_agent)
    # One script serves the runs (whose lines then fail to decode, which their outcomes report)
    # and the account query, as the codex app-server.
    env = dict(os.environ, PYTHONPATH=str(MODULE_DIR), PATH=f"{bin_dir}:{os.environ['PATH']}",
               VANTREL_FAKE_SCRIPT=COMPLETE)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=env, cwd=tmp_path, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    lines = result.stdout.splitlines()
    # The stream ends at its failure, before any event; the cancel may come after it.
    assert lines[:2] == ["decode agent JSONL line 1: missing event type",
                         "[(0, 'decode'), (1, 'decode')]"]
    assert lines[2] in ("cancelled", "decode") and len(lines) == 4, lines
    assert json.loads(lines[3]) == json.loads(RATE_LIMITS[len("out "):])["result"]
