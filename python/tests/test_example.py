"""The README's example: one run of the bundled fake codex agent, streamed through Runner.start."""
import os
import subprocess
import sys

from conftest import MODULE_DIR, ROOT


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
