"""The module inside its host process: signals during waits, fork() and interpreter exit.

Each test runs a small program in a Python subprocess, since it interrupts, forks or ends that
interpreter. The program reports what it saw as JSON lines on its standard output."""
import json
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import FAKE_AGENT, MODULE_DIR

TESTS_DIR = pathlib.Path(__file__).resolve().parent

# The start of every host program: the module, the fake agent and small helpers.
PRELUDE = f"""
import json, os, sys, time
sys.path[:0] = [{str(MODULE_DIR)!r}, {str(TESTS_DIR)!r}]
import _vantrel
from conftest import AccountReq, Request
FAKE = {str(FAKE_AGENT)!r}

def runner(script, record, **options):
    return _vantrel.Runner(executable=FAKE, env={{"VANTREL_FAKE_SCRIPT": script,
                                                  "VANTREL_FAKE_RECORD": record}}, **options)

def report(**values):
    print(json.dumps(values), flush=True)

def agent_pid(record, deadline=20):
    # The pid the agent recorded at its start, waiting for it.
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        try:
            for line in open(record).read().splitlines():
                if line.startswith("pid "):
                    return int(line[4:])
        except FileNotFoundError:
            pass
        time.sleep(0.01)
    raise AssertionError("the agent never started: " + record)

def gone(pid):
    # Ended: no such process, or only its exit status is left.
    try:
        return open(f"/proc/{{pid}}/stat").read().rsplit(")", 1)[1].split()[0] == "Z"
    except (FileNotFoundError, ProcessLookupError):
        return True

def inside(thread, name):
    # Whether the thread `thread` (an ident) is inside the function `name`.
    frame = sys._current_frames().get(thread)
    while frame is not None:
        if frame.f_code.co_name == name:
            return True
        frame = frame.f_back
    return False

def announce_when_in(name):
    # Reports ready once the main thread is inside the function `name`: a signal sent then can no
    # longer land before the call the function makes.
    import threading
    main = threading.main_thread().ident

    def announce():
        while not inside(main, name):
            time.sleep(0.001)
        report(ready=True)

    threading.Thread(target=announce, daemon=True).start()

def ends(pid, deadline=30):
    # Whether the process ends within the deadline (a killed one takes a moment to go).
    end = time.monotonic() + deadline
    while not gone(pid) and time.monotonic() < end:
        time.sleep(0.01)
    return gone(pid)
"""


def host(program, tmp_path, **env):
    """Starts `program` (after the prelude; a list is joined, each part dedented on its own) in
    a new interpreter."""
    parts = program if isinstance(program, list) else [program]
    source = PRELUDE + "\n".join(textwrap.dedent(part) for part in parts)
    # In a session of its own, so that a hung program and what it forked can be killed together.
    return subprocess.Popen(
        [sys.executable, "-c", source], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        cwd=tmp_path, env={**os.environ, **env}, start_new_session=True)


def killed_after(child, timeout):
    """Kills the program once `timeout` has passed: a hung program fails the test, not hangs it."""
    timer = threading.Timer(timeout, lambda: os.killpg(child.pid, signal.SIGKILL))
    timer.start()
    return timer


def read_report(child, timeout=20):
    """The next JSON line the program prints; fails when it ends or stays silent."""
    timer = killed_after(child, timeout)
    try:
        line = child.stdout.readline()
    finally:
        timer.cancel()
    assert line, "the host program ended early or hung: " + child.stderr.read()
    return json.loads(line)


def finish(child, timeout=20):
    """Every remaining report, once the program has ended with status 0."""
    timer = killed_after(child, timeout)
    try:
        out = child.stdout.read()
        err = child.stderr.read()
        child.wait()
    finally:
        timer.cancel()
    assert child.returncode == 0, err
    return [json.loads(line) for line in out.splitlines()]


def wait_for_record(record, child, timeout=20):
    """Waits until the agent has recorded its pid; fails when the program ended first."""
    end = time.monotonic() + timeout
    while "pid " not in (record.read_text() if record.exists() else ""):
        assert child.poll() is None, "the host program ended early: " + child.stderr.read()
        assert time.monotonic() < end, "the agent never started"
        time.sleep(0.01)


def gone(pid):
    try:
        return pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] == "Z"
    except (FileNotFoundError, ProcessLookupError):
        return True


HANG = "sleep 60000"
LINE = 'out {"type":"turn.started"}'

SESSION, SESSION_END = 'start(Request(prompt="p"))', "x.wait().error.kind"
GROUP, GROUP_END = 'run_many([Request(prompt="p")])', "x.wait()[0].error.kind"


def reading(start, read, event_type, end):
    """A blocking read of a stream whose agent writes one event, then waits for the go file before
    the next: after the interrupt the program lets it go on and reads that next event."""
    return f"""
        x = runner(LINE + "\\nawait " + GO + "\\n" + LINE + "\\n" + HANG, RECORD).{start}
        {read}
        call = lambda: {read}
        def after():
            open(GO, "w").close()
            event = {read}
            x.cancel()
            report(next={event_type}, then={end})
    """


# Each blocking call, made on the main thread while its agent hangs. `wait` and `next_event` leave
# their run or group as it was: the program then shows that it still works. `run` and the account
# functions own their agent: the program shows it is gone.
CALLS = {
    "Runner.run": """
        r = runner(HANG, RECORD)
        call = lambda: r.run(Request(prompt="p"))
        after = lambda: report(gone=ends(agent_pid(RECORD)))
    """,
    "Session.wait": """
        s = runner(HANG, RECORD).start(Request(prompt="p"))
        call = s.wait
        def after():
            alive = not gone(agent_pid(RECORD))
            s.cancel()
            report(alive=alive, then=s.wait().error.kind)
    """,
    "Session.next_event": reading(SESSION, "x.next_event()", "event.type", SESSION_END),
    "Session iteration": reading(SESSION, "next(x)", "event.type", SESSION_END),
    "Session.next_event behind another reader": """
        import threading
        x = runner("await " + GO + "\\n" + LINE + "\\n" + LINE + "\\n" + HANG, RECORD).start(
            Request(prompt="p"))
        got = []

        def other_reader():
            got.append(x.next_event().type)

        reader = threading.Thread(target=other_reader)
        reader.start()
        while not inside(reader.ident, "other_reader"):
            time.sleep(0.001)
        call = x.next_event
        def after():
            open(GO, "w").close()
            reader.join()
            event = x.next_event()
            x.cancel()
            report(next=[got[0], event.type], then=x.wait().error.kind)
    """,
    "Group.wait": """
        g = runner(HANG, RECORD).run_many([Request(prompt="p")])
        call = g.wait
        def after():
            alive = not gone(agent_pid(RECORD))
            g.cancel()
            report(alive=alive, then=g.wait()[0].error.kind)
    """,
    "Group.next_event": reading(GROUP, "x.next_event()", "event.event.type", GROUP_END),
    "Group iteration": reading(GROUP, "next(x)", "event.event.type", GROUP_END),
    "get_account_usage": """
        env = {"VANTREL_FAKE_SCRIPT": HANG, "VANTREL_FAKE_RECORD": RECORD}
        call = lambda: _vantrel.get_account_usage(AccountReq(FAKE, env, timeout=60))
        after = lambda: report(gone=ends(agent_pid(RECORD)))
    """,
    "get_claude_account_usage": """
        env = {"VANTREL_FAKE_SCRIPT": "stdin\\n" + HANG, "VANTREL_FAKE_RECORD": RECORD}
        call = lambda: _vantrel.get_claude_account_usage(AccountReq(FAKE, env, timeout=60))
        after = lambda: report(gone=ends(agent_pid(RECORD)))
    """,
}

AFTER = {
    "Runner.run": {"gone": True},
    "Session.wait": {"alive": True, "then": "cancelled"},
    "Session.next_event": {"next": "turn.started", "then": "cancelled"},
    "Session iteration": {"next": "turn.started", "then": "cancelled"},
    "Session.next_event behind another reader": {
        "next": ["turn.started", "turn.started"], "then": "cancelled"},
    "Group.wait": {"alive": True, "then": "cancelled"},
    "Group.next_event": {"next": "turn.started", "then": "cancelled"},
    "Group iteration": {"next": "turn.started", "then": "cancelled"},
    "get_account_usage": {"gone": True},
    "get_claude_account_usage": {"gone": True},
}


@pytest.mark.parametrize("name", CALLS)
def test_sigint_interrupts_each_blocking_call(name, tmp_path):
    record = tmp_path / "record"
    child = host([f"""
        RECORD, GO, HANG, LINE = {str(record)!r}, {str(tmp_path / "go")!r}, {HANG!r}, {LINE!r}
    """, CALLS[name], """
        def calling():
            return call()

        announce_when_in("calling")
        try:
            calling()
            report(interrupted=False)
        except KeyboardInterrupt:
            report(interrupted=True, at=time.monotonic())
        after()
    """], tmp_path)
    assert read_report(child) == {"ready": True}
    wait_for_record(record, child)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    seen = read_report(child)
    assert seen["interrupted"]
    # Promptly: the agent would hang for a minute.
    assert seen["at"] - sent < 5
    assert finish(child) == [AFTER[name]]


def test_a_signal_handler_that_does_not_raise_lets_the_wait_go_on(tmp_path):
    go = tmp_path / "go"
    child = host(f"""
        import signal
        signal.signal(signal.SIGUSR1, lambda *_: report(handled=True))
        r = runner("await {go}\\n" + {LINE!r}, {str(tmp_path / "record")!r})
        s = r.start(Request(prompt="p"))

        def reading():
            return [e.type for e in s]

        announce_when_in("reading")
        report(events=reading(), error=s.wait().error)
    """, tmp_path)
    assert read_report(child) == {"ready": True}
    child.send_signal(signal.SIGUSR1)
    assert read_report(child) == {"handled": True}
    go.touch()
    assert finish(child) == [{"events": ["turn.started"], "error": None}]


def test_a_handler_that_reads_the_stream_it_interrupted_fails_instead_of_hanging(tmp_path):
    child = host(f"""
        import signal
        s = runner({HANG!r}, {str(tmp_path / "record")!r}).start(Request(prompt="p"))
        signal.signal(signal.SIGUSR1, lambda *_: s.next_event())

        def reading():
            return s.next_event()

        announce_when_in("reading")
        try:
            reading()
        except RuntimeError as e:
            report(error=str(e))
        s.cancel()
    """, tmp_path)
    assert read_report(child) == {"ready": True}
    child.send_signal(signal.SIGUSR1)
    assert finish(child) == [{"error": "the event stream was read again inside its own wait"}]


def test_fork_child_runs_afresh_and_leaves_the_parent_alone(tmp_path):
    go = tmp_path / "go"
    child = host(f"""
        def fds():
            found = {{}}
            for fd in map(int, os.listdir("/proc/self/fd")):
                try:
                    found[fd] = os.readlink(f"/proc/self/fd/{{fd}}")
                except FileNotFoundError:
                    pass  # the listing's own descriptor, closed by now
            return found

        before = fds()
        quick = runner({LINE!r}, {str(tmp_path / "quick")!r})
        outcome = quick.run(Request(prompt="p"))
        hang = runner("await {go}\\n" + {LINE!r}, {str(tmp_path / "hang-%p")!r})
        s = hang.start(Request(prompt="p"))
        g = hang.run_many([Request(prompt="p")])
        runtime_fds = {{fd: target for fd, target in fds().items() if before.get(fd) != target}}

        pid = os.fork()
        if pid == 0:
            refused = []
            for call in (s.wait, s.next_event, s.cancel, s.thread_id, g.wait, g.next_event,
                         g.cancel, lambda: next(s), lambda: next(g)):
                try:
                    call()
                except RuntimeError as e:
                    refused.append(str(e))
            kept = [fd for fd, target in fds().items() if runtime_fds.get(fd) == target]
            fresh = quick.run(Request(prompt="p"))
            inherited_outcome = outcome.result.events[0].type
            del s, g, outcome
            report(refused=refused, kept=kept, fresh=[e.type for e in fresh.result.events],
                   error=fresh.error, inherited=inherited_outcome)
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        open({str(go)!r}, "w").close()
        report(status=status, session=[e.type for e in s], group=[e.event.type for e in g],
               errors=[s.wait().error, g.wait()[0].error],
               again=quick.run(Request(prompt="p")).error)
    """, tmp_path)
    in_child, in_parent = finish(child)
    assert in_child["refused"] == (
        ["Session belongs to the process that created it and cannot be used after fork()"] * 4 +
        ["Group belongs to the process that created it and cannot be used after fork()"] * 3 +
        ["Session belongs to the process that created it and cannot be used after fork()"] +
        ["Group belongs to the process that created it and cannot be used after fork()"])
    assert in_child["kept"] == []
    assert (in_child["fresh"], in_child["error"], in_child["inherited"]) == (
        ["turn.started"], None, "turn.started")
    assert in_parent == {"status": 0, "session": ["turn.started"], "group": ["turn.started"],
                         "errors": [None, None], "again": None}


def test_a_fork_during_a_long_prompt_leaves_no_prompt_pipe_in_the_child(tmp_path):
    go, release = tmp_path / "go", tmp_path / "release"
    child = host(f"""
        # The agent reads its prompt only once the fork is done: the writer is blocked mid-prompt.
        r = runner("await {go}\\nstdin\\n" + {LINE!r}, {str(tmp_path / "record")!r})
        s = r.start(Request(prompt="x" * 4_000_000))
        pid = os.fork()
        if pid == 0:
            # Lives on until the parent is done: a prompt pipe kept here would hold up its run.
            end = time.monotonic() + 30
            while not os.path.exists({str(release)!r}) and time.monotonic() < end:
                time.sleep(0.01)
            os._exit(0)
        open({str(go)!r}, "w").close()
        outcome = s.wait()
        alive = os.waitpid(pid, os.WNOHANG) == (0, 0)
        open({str(release)!r}, "w").close()
        os.waitpid(pid, 0)
        report(error=outcome.error, events=len(outcome.result.events), child_alive=alive)
    """, tmp_path)
    assert finish(child) == [{"error": None, "events": 1, "child_alive": True}]


def test_exit_kills_every_agent_and_deletes_every_temporary_file(tmp_path):
    temp = tmp_path / "tmp"
    temp.mkdir()
    records = tmp_path / "records"
    records.mkdir()
    child = host(f"""
        record = {str(records / "%p")!r}
        codex = runner({HANG!r}, record)
        grok = runner({HANG!r}, record, agent="grok")
        sessions = [codex.start(Request(prompt="p", output_schema='{{"type":"object"}}')),
                    grok.start(Request(prompt="p"))]
        group = codex.run_many([Request(prompt="p", output_schema='{{"type":"object"}}')] * 3, 2)
        # An account query that a daemon thread waits for.
        import threading
        env = {{"VANTREL_FAKE_SCRIPT": "stdin\\n" + {HANG!r}, "VANTREL_FAKE_RECORD": record}}
        threading.Thread(target=_vantrel.get_claude_account_usage,
                         args=(AccountReq(FAKE, env, timeout=60),), daemon=True).start()
        end = time.monotonic() + 20
        while len(os.listdir({str(records)!r})) < 5 and time.monotonic() < end:
            time.sleep(0.01)
        pids = [agent_pid(os.path.join({str(records)!r}, name)) for name in os.listdir({str(records)!r})]
        report(pids=pids, temp=sorted(os.listdir({str(temp)!r})), exiting=time.monotonic())
        sys.exit(0)
    """, tmp_path, TMPDIR=str(temp))
    started = read_report(child)
    assert len(started["pids"]) == 5
    # Three inline schemas and a grok prompt were written for the agents that run.
    assert len(started["temp"]) == 4
    assert finish(child) == []
    assert time.monotonic() - started["exiting"] < 30
    assert [pid for pid in started["pids"] if not gone(pid)] == []
    assert os.listdir(temp) == []


def test_a_wait_on_the_main_thread_looks_for_signals_about_every_50_ms(tmp_path):
    # Counted, not raced: the waiting thread wakes once for each look, so its wake-ups over a wait
    # of a known length tell how often it looked. A loaded machine only stretches the looks apart.
    child = host(f"""
        import threading
        STATUS = f"/proc/self/task/{{threading.get_native_id()}}/status"

        def wakeups():
            for line in open(STATUS):
                if line.startswith("voluntary_ctxt_switches:"):
                    return int(line.split()[1])

        r = runner("sleep 2000\\n" + {LINE!r}, {str(tmp_path / "record")!r})
        before, begun = wakeups(), time.monotonic()
        r.run(Request(prompt="p"))
        report(wakeups=wakeups() - before, seconds=time.monotonic() - begun)
    """, tmp_path)
    [seen] = finish(child)
    assert seen["seconds"] >= 2
    assert 8 <= seen["wakeups"] / seen["seconds"] <= 40, seen
