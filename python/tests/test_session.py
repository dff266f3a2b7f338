"""The Session of a started run: iteration, next_event, wait, thread_id, cancel, several threads."""
import subprocess
import sys
import threading
import time

import _vantrel

from conftest import MODULE_DIR, REQUEST_FIELDS, Request
from scenarios import CODEX, fake_runner, out

THREAD = out({"type": "thread.started", "thread_id": "th-live"})
# Reports its thread, then stays until it is killed (or a minute has passed).
STAYS = [THREAD, "sleep 60000", out({"type": "turn.started"})]


def test_iterating_to_the_end_and_again(fake_agent):
    session = fake_runner(fake_agent, CODEX).start(Request(prompt="hi"))
    assert iter(session) is session
    events = list(session)
    assert len(events) == 7
    assert session.next_event() is None
    assert list(session) == []
    assert [e.raw for e in session.wait().result.events] == [e.raw for e in events]


def test_wait_first_then_read_the_events(fake_agent):
    session = fake_runner(fake_agent, CODEX).start(Request(prompt="hi"))
    first = session.wait()
    # The thread id is known without reading the thread.started event from the stream.
    assert session.thread_id() == "th-codex"
    second = session.wait()
    assert first is not second and first.result is not second.result
    assert first.result.run_id == second.result.run_id == session.id
    assert [e.raw for e in first.result.events] == [e.raw for e in second.result.events]
    events = []
    while (event := session.next_event()) is not None:
        events.append(event.raw)
    assert events == [e.raw for e in first.result.events]


def test_cancel_from_another_thread_while_a_reader_blocks(fake_agent):
    session = fake_runner(fake_agent, STAYS).start(Request(prompt="hi"))
    seen = []
    first_seen = threading.Event()

    def read():
        for event in session:
            seen.append(event.type)
            first_seen.set()

    reader = threading.Thread(target=read)
    reader.start()
    assert first_seen.wait(30)
    # The reader now blocks in the stream; cancelling ends it.
    assert session.cancel() is None
    reader.join(30)
    assert not reader.is_alive()
    assert seen == ["thread.started"]
    outcome = session.wait()
    assert (outcome.error.kind, outcome.error.message) == ("cancelled", "agent run cancelled")
    assert [e.type for e in outcome.result.events] == ["thread.started"]
    assert session.cancel() is None
    assert session.wait().error.kind == "cancelled"


def test_wait_blocked_in_another_thread_returns_after_cancel(fake_agent):
    session = fake_runner(fake_agent, STAYS).start(Request(prompt="hi"))
    waited = []
    waiter = threading.Thread(target=lambda: waited.append(session.wait()))
    waiter.start()
    assert session.next_event().type == "thread.started"
    session.cancel()
    waiter.join(30)
    assert waited[0].error.kind == "cancelled"
    assert session.next_event() is None


def test_two_readers_share_the_stream(fake_agent):
    lines = [out({"type": "item.completed", "item": {"id": str(i), "type": "agent_message"}})
             for i in range(500)]
    session = fake_runner(fake_agent, lines, event_buffer=4).start(Request(prompt="hi"))
    got = [[], []]
    ends = []

    def read(i):
        while (event := session.next_event()) is not None:
            got[i].append(int(event.item.id))
        ends.append(session.next_event())

    readers = [threading.Thread(target=read, args=(i,)) for i in range(2)]
    for r in readers:
        r.start()
    for r in readers:
        r.join(60)
    assert sorted(got[0] + got[1]) == list(range(500))
    assert got[0] == sorted(got[0]) and got[1] == sorted(got[1])
    assert ends == [None, None]


def test_a_dropped_session_leaves_the_run_to_finish(fake_agent, tmp_path):
    record = tmp_path / "record"
    runner = _vantrel.Runner(executable=fake_agent, env={
        "VANTREL_FAKE_SCRIPT": "\n".join([THREAD, "sleep 200", THREAD]),
        "VANTREL_FAKE_RECORD": str(record)})
    session = runner.start(Request(prompt="hi"))
    del session
    # The agent was not killed: it reaches the end of its scenario and records it.
    def ended():
        return record.exists() and "\nend " in record.read_text()

    deadline = time.monotonic() + 30
    while not ended() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert ended()


def test_a_daemon_reader_at_interpreter_exit(fake_agent):
    # The event arrives while the interpreter finalises (an object released then takes a
    # second), so the reader thread is ended as it takes the interpreter lock back; the process
    # still exits cleanly.
    code = (
        f"import builtins, sys, threading, time\nsys.path.insert(0, {str(MODULE_DIR)!r})\n"
        "import _vantrel\n"
        "class Slow:\n"
        "    def __del__(self, sleep=time.sleep):\n"
        "        sleep(1)\n"
        "builtins.vantrel_slow_exit = Slow()\n"
        "class R: pass\n"
        "r = R()\n"
        f"for name in {list(REQUEST_FIELDS)!r}: setattr(r, name, None)\n"
        "r.prompt = 'hi'\n"
        f"runner = _vantrel.Runner(executable={fake_agent!r}, env={{'VANTREL_FAKE_SCRIPT':\n"
        "    'sleep 300\\nout {\"type\":\"turn.started\"}\\nsleep 300'})\n"
        "session = runner.start(r)\n"
        "threading.Thread(target=session.next_event, daemon=True).start()\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
