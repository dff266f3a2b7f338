"""get_claude_account_usage and its result objects, with the fake agent standing in for claude."""
import math
import os
import subprocess
import sys
import threading
import time

import pytest

from conftest import MODULE_DIR, AccountReq, Index, Seconds, recorded

import _vantrel

TIMED_OUT = "agent process error: claude account usage command timed out"
REFUSED = "timeout must be a finite non-negative number"
REPLY = ('out {"result":"Usage\\\\nSession: 3% used, resets 5pm\\\\nWeek: 80.5% used",'
         '"is_error":false}')


@pytest.fixture
def probe(fake_agent, record):
    """Runs get_claude_account_usage against the fake agent playing `script`."""
    def run(script, timeout=30, **env):
        env = {"VANTREL_FAKE_SCRIPT": script, "VANTREL_FAKE_RECORD": str(record), **env}
        return _vantrel.get_claude_account_usage(AccountReq(fake_agent, env, timeout))
    return run


def expect_error(outcome, kind, message, code=None, stderr=None):
    assert type(outcome) is _vantrel.PyClaudeAccountUsageOutcome
    assert outcome.result is None
    error = outcome.error
    assert type(error) is _vantrel.PyError
    assert (error.kind, error.message, error.code, error.stderr, error.line) == (
        kind, message, code, stderr, None)


def test_a_successful_probe_gives_the_report_and_its_windows(probe, fake_agent, record):
    outcome = probe("stdin\n" + REPLY + "\n")
    assert outcome.error is None
    usage = outcome.result
    assert type(usage) is _vantrel.PyClaudeAccountUsage
    assert usage.report == "Usage\nSession: 3% used, resets 5pm\nWeek: 80.5% used"
    assert usage.raw == REPLY[len("out "):].replace("\\\\", "\\")
    windows = usage.windows
    assert type(windows) is list
    assert [type(w) for w in windows] == [_vantrel.PyClaudeAccountUsageWindow] * 2
    assert [(w.label, w.used_percent, w.resets_at) for w in windows] == [
        ("Session", 3.0, "5pm"), ("Week", 80.5, "")]
    assert type(windows[0].used_percent) is float

    assert recorded(record, "arg") == [
        fake_agent, "-p", "--output-format", "json", "--no-session-persistence"]
    assert recorded(record, "stdin") == ["/usage"]


def test_every_read_builds_new_objects(probe):
    outcome = probe("stdin\n" + REPLY + "\n")
    first, second = outcome.result, outcome.result
    assert first is not second
    assert (first.report, first.raw) == (second.report, second.raw)
    windows = first.windows
    assert windows is not first.windows
    assert windows[0] is not first.windows[0]
    windows.clear()
    assert len(first.windows) == 2
    with pytest.raises(AttributeError):
        first.report = "x"
    with pytest.raises(AttributeError):
        first.windows[0].label = "x"
    for obj in (outcome, first, first.windows[0]):
        assert not hasattr(obj, "__dict__")


@pytest.mark.parametrize("script,kind,message,code,stderr", [
    ('stdin\nout {"is_error":true,"result":"","errors":["a","b"]}\n', "process",
     "agent process error: claude account usage failed: a; b", None, None),
    ('stdin\nout {"is_error":true}\n', "process",
     "agent process error: claude account usage failed: unknown error", None, None),
    ('stdin\nout {"result":"A: 1% used"}\nerr  not logged in \nexit 2\n', "exit",
     "agent exited with code 2", 2, "not logged in"),
    ("stdin\nsignal KILL\n", "exit", "agent exited with code -1", -1, ""),
    ("stdin\nerr oops\n", "process",
     "agent process error: decode claude account usage: EOF while parsing a value at line 1 "
     "column 0: oops", None, None),
    ('stdin\nout {"result":null}\n', "process",
     "agent process error: decode claude account usage: invalid type: null, expected a string "
     "at line 1 column 14", None, None),
])
def test_failures_come_back_as_error_records(probe, script, kind, message, code, stderr):
    expect_error(probe(script), kind, message, code, stderr)


def test_a_child_that_outlives_the_timeout_is_killed(probe, record):
    outcome = probe("stdin\nsleep 60000\n", timeout=0.3)
    expect_error(outcome, "process", TIMED_OUT)
    assert recorded(record, "end") == []


def test_a_program_that_cannot_start():
    outcome = _vantrel.get_claude_account_usage(AccountReq("/nonexistent/vantrel/claude"))
    expect_error(outcome, "process", "agent process error: start claude account usage: "
                 "No such file or directory (os error 2)")


@pytest.mark.parametrize("executable", ["", None])
def test_claude_is_the_default_program(tmp_path, fake_agent, record, executable):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "claude").symlink_to(os.path.abspath(fake_agent))
    env = {"PATH": str(bin_dir), "VANTREL_FAKE_SCRIPT": "stdin\n" + REPLY + "\n",
           "VANTREL_FAKE_RECORD": str(record)}
    outcome = _vantrel.get_claude_account_usage(req=AccountReq(executable, env))
    assert outcome.error is None
    assert recorded(record, "arg")[0] == "claude"


@pytest.mark.parametrize("timeout", [30, 12.5, 1e19, Seconds(20.0), Index(20)])
def test_accepted_timeouts(probe, timeout):
    assert probe("stdin\n" + REPLY + "\n", timeout=timeout).error is None


def test_true_is_one_second(probe):
    started = time.monotonic()
    expect_error(probe("stdin\nsleep 60000\n", timeout=True), "process", TIMED_OUT)
    assert 1.0 <= time.monotonic() - started < 30


def test_minus_zero_is_a_zero_timeout(probe):
    expect_error(probe("stdin\nsleep 60000\n", timeout=-0.0), "process", TIMED_OUT)


@pytest.mark.parametrize("timeout", [
    -1, -1e-300, math.nan, math.inf, -math.inf, 1e20, 2.0 ** 64, 2 ** 64, Seconds(math.nan)])
def test_refused_timeouts_start_no_process(probe, record, timeout):
    expect_error(probe("stdin\n" + REPLY + "\n", timeout=timeout), "invalidRequest", REFUSED)
    assert not record.exists()


def test_a_refused_timeout_builds_no_runtime():
    code = (f"import os, sys\nsys.path.insert(0, {str(MODULE_DIR)!r})\nimport _vantrel\n"
            "class R: executable = 'claude'; env = None; timeout = -1\n"
            "before = len(os.listdir('/proc/self/task'))\n"
            "error = _vantrel.get_claude_account_usage(R()).error\n"
            "print(error.kind, before == len(os.listdir('/proc/self/task')))\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout
    assert out.split() == ["invalidRequest", "True"]


def test_attributes_are_read_in_order_and_a_missing_one_stops_the_reading():
    looked_up = []

    class Partial:
        def __getattr__(self, name):
            looked_up.append(name)
            if name == "executable":
                return None
            raise AttributeError(name)

    with pytest.raises(AttributeError) as raised:
        _vantrel.get_claude_account_usage(Partial())
    assert looked_up == ["executable", "env"]
    assert raised.value.__notes__ == ["while processing 'req'"]


def test_argument_binding():
    with pytest.raises(TypeError):
        _vantrel.get_claude_account_usage(None, None)
    with pytest.raises(TypeError):
        _vantrel.get_claude_account_usage(request=None)


def test_the_interpreter_lock_is_released_while_the_probe_runs(probe, tmp_path):
    # The agent waits for a file that only this thread makes, while the other thread is inside
    # the call: if the call held the lock, the file would never come and the probe would time out.
    go = tmp_path / "go"
    outcomes = []
    worker = threading.Thread(
        target=lambda: outcomes.append(probe(f"stdin\nawait {go}\n" + REPLY + "\n", timeout=60)))
    worker.start()
    while not (tmp_path / "record").exists():
        threading.Event().wait(0.01)
    go.touch()
    worker.join()
    assert outcomes[0].error is None
