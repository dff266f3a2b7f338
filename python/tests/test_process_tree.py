"""Agents as process trees: every stop reaches the agent's whole tree (its group and every
descendant, whatever their session or group), no agent outlives its host, a helper that holds the
agent's pipes does not hold the run, and the agent's signals are as `subprocess` leaves them."""
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import pytest

import _vantrel
from conftest import BUILD, MODULE_DIR, AccountReq, Request, recorded
from scenarios import out
from test_account_usage import COMPLETE

LAUNCHER = BUILD / "fake_agent" / "launcher.sh"
# A launcher that leaves helpers of every shape around the agent and records them all.
TREE_LAUNCHER = BUILD / "fake_agent" / "tree_launcher.sh"
TREE_SHAPES = ("launcher", "session", "group", "parent", "grandchild", "loop", "pid")
TESTS = pathlib.Path(__file__).resolve().parent
STARTED = out({"type": "thread.started", "thread_id": "t"})
# A run that waited for its agent to end by itself would take a minute.
HANG = 30


def eventually(condition):
    """Polls `condition` for up to 30 s."""
    deadline = time.monotonic() + 30
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def first_recorded(record, key):
    """The first value of `key` in the record, once the fake agent wrote it."""
    assert eventually(lambda: recorded(record, key)), f"no {key} recorded"
    return recorded(record, key)[0]


def live_members(group):
    """The processes of `group` that still run; zombies, waiting for their parent, do not."""
    count = 0
    for entry in os.listdir("/proc"):
        try:
            stat = pathlib.Path("/proc", entry, "stat").read_text()
        except (OSError, ValueError):
            continue
        state, _parent, pgrp = stat[stat.rindex(")") + 2:].split()[:3]
        count += int(pgrp) == group and state != "Z"
    return count


def running(pid):
    try:
        stat = pathlib.Path("/proc", str(pid), "stat").read_text()
    except OSError:
        return False
    return stat[stat.rindex(")") + 2] != "Z"


def launched_runner(lines, record):
    return _vantrel.Runner(executable=str(LAUNCHER), env={
        "VANTREL_FAKE_SCRIPT": "\n".join([STARTED] + lines), "VANTREL_FAKE_RECORD": str(record)})


@pytest.mark.parametrize("lines", [
    ["sleep 60000"],
    ["hold 60000", "sleep 60000"],
    ["close-stdout", "sleep 60000"],
], ids=["running", "helper holding the pipes", "output closed"])
def test_a_cancel_reaches_every_process_of_a_launched_agent(record, lines):
    session = launched_runner(lines, record).start(Request(prompt="hi"))
    assert session.next_event().type == "thread.started"
    if lines[0].startswith("hold"):
        first_recorded(record, "hold")
    group = int(first_recorded(record, "pgid"))
    assert group != os.getpgid(0)
    begun = time.monotonic()
    session.cancel()
    outcome = session.wait()
    assert time.monotonic() - begun < HANG
    assert (outcome.error.kind, outcome.error.message) == ("cancelled", "agent run cancelled")
    assert eventually(lambda: live_members(group) == 0)


def test_a_helper_holding_the_pipes_ends_with_the_grace(record):
    begun = time.monotonic()
    outcome = launched_runner(["err before", "hold 60000"], record).run(Request(prompt="hi"))
    assert time.monotonic() - begun < HANG
    assert outcome.error is None
    assert [e.type for e in outcome.result.events] == ["thread.started"]
    assert outcome.result.stderr == "before\n"
    # The grace ended with the pipes still held: the rest of the agent's group, the helper with
    # it, is killed.
    holder = int(first_recorded(record, "hold"))
    group = int(first_recorded(record, "pgid"))
    assert eventually(lambda: not running(holder))
    assert eventually(lambda: live_members(group) == 0)


def run_in_host(host_setup, fake_agent, record, lines):
    """Runs the fake agent from a Python process that first runs `host_setup`; its outcome's
    error kind ("None" for none) and event count."""
    code = (f"import signal, sys\nsys.path.insert(0, {str(TESTS)!r})\n"
            "from conftest import Request\nimport _vantrel\n"
            f"{host_setup}\n"
            f"runner = _vantrel.Runner(executable={fake_agent!r}, env={{"
            f"'VANTREL_FAKE_SCRIPT': {chr(10).join(lines)!r}, 'VANTREL_FAKE_RECORD': {str(record)!r}}})\n"
            "outcome = runner.run(Request(prompt='hi'))\n"
            "print(outcome.error and outcome.error.kind, len(outcome.result.events))\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=HANG, env=dict(os.environ, VANTREL_BUILD_DIR=str(BUILD)))
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


def test_signals_the_host_ignores_stay_ignored_but_sigpipe_and_sigxfsz(fake_agent, record):
    # Python itself ignores SIGPIPE and SIGXFSZ; a host under nohup ignores SIGHUP too.
    assert run_in_host("signal.signal(signal.SIGHUP, signal.SIG_IGN)", fake_agent, record,
                       [STARTED]) == ["None", "1"]
    ignored = recorded(record, "ignored")[0].split()
    assert str(int(signal.SIGHUP)) in ignored
    assert str(int(signal.SIGPIPE)) not in ignored
    assert str(int(signal.SIGXFSZ)) not in ignored
    assert recorded(record, "blocked") == [""]


def test_a_host_that_ignores_sigchld_still_gets_a_successful_run(fake_agent, record):
    # The kernel reaps the agent then, and its exit status is lost: it reads as 0.
    assert run_in_host("signal.signal(signal.SIGCHLD, signal.SIG_IGN)", fake_agent, record,
                       [STARTED, "sleep 100"]) == ["None", "1"]


def tree_pids(record):
    return [int(pid) for shape in TREE_SHAPES for pid in recorded(record, shape)]


def tree_is_up(record):
    """Every shape of the tree launcher in place, the agent started, the loop a few rounds on."""
    return (all(recorded(record, shape) for shape in ("session", "group", "grandchild", "pid"))
            and len(recorded(record, "loop")) >= 3)


def tree_has_ended(record):
    return not [pid for pid in tree_pids(record) if running(pid)]


@pytest.fixture
def tree(record):
    """The record of a tree launcher's agent; what it names is killed should the test fail."""
    yield record
    for pid in tree_pids(record):
        if running(pid):
            os.kill(pid, signal.SIGKILL)


def tree_env(record, script):
    return {"VANTREL_FAKE_SCRIPT": script, "VANTREL_FAKE_RECORD": str(record)}


def tree_runner(record, script="sleep 600000"):
    return _vantrel.Runner(executable=str(TREE_LAUNCHER), env=tree_env(record, script))


def cancel_session(record):
    session = tree_runner(record).start(Request(prompt="hi"))
    assert eventually(lambda: tree_is_up(record))
    session.cancel()
    assert session.wait().error.kind == "cancelled"


def cancel_group(record):
    group = tree_runner(record).run_many([Request(prompt="hi")])
    assert eventually(lambda: tree_is_up(record))
    group.cancel()
    assert [r.error.kind for r in group.wait()] == ["cancelled"]


def query_account(record, script, timeout):
    """Runs a codex account query against the tree launcher's agent playing `script` (after the
    tree is up) and returns its outcome."""
    go = record.with_name("go")
    outcome = []
    query = threading.Thread(target=lambda: outcome.append(_vantrel.get_account_usage(
        AccountReq(str(TREE_LAUNCHER), tree_env(record, f"await {go}\n{script}"), timeout))))
    query.start()
    assert eventually(lambda: tree_is_up(record))
    go.touch()
    query.join()
    return outcome[0]


def end_account_query(record):
    # The server answers every request, then waits to be killed.
    assert query_account(record, COMPLETE, 30).error is None


def time_out_account_query(record):
    assert query_account(record, "sleep 600000", 3).error.kind == "process"


@pytest.mark.parametrize("stop", [cancel_session, cancel_group, end_account_query,
                                  time_out_account_query])
def test_every_stop_in_the_host_reaches_the_whole_tree(tree, stop):
    stop(tree)
    assert eventually(lambda: tree_has_ended(tree)), tree.read_text()


def tree_host(record, body):
    """A Python host that starts the tree launcher's agent and runs `body` (`runner` is bound)."""
    code = (f"import os, sys, time\nsys.path[:0] = [{str(MODULE_DIR)!r}, {str(TESTS)!r}]\n"
            "import _vantrel\nfrom conftest import Request\n"
            f"runner = _vantrel.Runner(executable={str(TREE_LAUNCHER)!r}, "
            f"env={tree_env(record, 'sleep 600000')!r})\n{body}\n")
    return subprocess.Popen([sys.executable, "-c", code], stderr=subprocess.PIPE, text=True)


WAIT_FOR_GO = "while not os.path.exists({go!r}): time.sleep(0.01)"


@pytest.mark.parametrize("body, how", [
    ("runner.run(Request(prompt='hi'))", signal.SIGINT),
    ("session = runner.start(Request(prompt='hi'))\n" + WAIT_FOR_GO + "\nsys.exit(0)", "go"),
    ("session = runner.start(Request(prompt='hi'))\ntime.sleep(600)", signal.SIGTERM),
    ("session = runner.start(Request(prompt='hi'))\ntime.sleep(600)", signal.SIGHUP),
    ("session = runner.start(Request(prompt='hi'))\ntime.sleep(600)", signal.SIGKILL),
], ids=["ctrl-c in run", "interpreter exit", "host SIGTERM", "host SIGHUP", "host SIGKILL"])
def test_an_ending_host_takes_the_whole_tree_with_it(tree, body, how):
    go = tree.with_name("go")
    host = tree_host(tree, body.format(go=str(go)))
    try:
        assert eventually(lambda: tree_is_up(tree))
        if how == "go":
            go.touch()
        else:
            host.send_signal(how)
        host.wait(timeout=HANG)
        # The watchdog ends what a killed host started within 3 s of its end.
        deadline = time.monotonic() + 3
        while not tree_has_ended(tree) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert tree_has_ended(tree), (tree.read_text(), host.stderr.read())
    finally:
        host.kill()
        host.wait()
