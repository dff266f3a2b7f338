"""Runner.run_many and Group against the fake agent: argument checks, intake failures in place,
the concurrency limit, failures, cancellation, and the event stream from several threads."""
import os
import pathlib
import threading
import time

import pytest

import _vantrel
from conftest import Request


def line(n):
    return 'out {"type":"turn.started","n":%d}' % n


def in_one_write(*numbers):
    """The directive that writes these numbered lines in one write."""
    return "raw " + "".join(line(n)[len("out "):] + "\\n" for n in numbers)


def request(script, record=None, **fields):
    env = {"VANTREL_FAKE_SCRIPT": script}
    if record is not None:
        env["VANTREL_FAKE_RECORD"] = str(record)
    return Request(prompt="go", env=env, **fields)


@pytest.fixture
def runner(fake_agent):
    return _vantrel.Runner(executable=fake_agent)


@pytest.fixture
def records(tmp_path):
    """Record paths of the fake agent, one per request index."""
    return [tmp_path / f"record-{i}" for i in range(8)]


def lifetime(record):
    """(start, end) in nanoseconds as the agent recorded them; end is None when it was killed."""
    start = end = None
    for text in pathlib.Path(record).read_text().splitlines():
        key, _, value = text.partition(" ")
        if key == "start":
            start = int(value)
        elif key == "end":
            end = int(value)
    return start, end


def most_alive(lifetimes):
    changes = sorted([(start, 1) for start, _ in lifetimes] +
                     [(end if end is not None else float("inf"), -1) for _, end in lifetimes])
    alive = most = 0
    for _, change in changes:
        alive += change
        most = max(most, alive)
    return most


def summary(result):
    """What a PyGroupResult says, as plain values."""
    error = result.error
    return (result.index, result.run_id, result.result.run_id if result.result else None,
            (error.kind, error.message) if error else None)


def assert_cancelled(result, with_run):
    """A launched run keeps its result beside the error; one never launched has neither."""
    assert bool(result.run_id) == with_run, result.index
    assert (result.result is not None) == with_run, result.index
    if with_run:
        assert result.result.run_id == result.run_id
    assert (result.error.kind, result.error.message) == ("cancelled", "agent run cancelled")


def with_note(excinfo, param):
    if not hasattr(BaseException, "add_note"):
        return True
    return getattr(excinfo.value, "__notes__", None) == [f"while processing '{param}'"]


class TestArguments:
    @pytest.mark.parametrize("reqs, message", [
        ("abc", "Can't extract `str` to `Vec`"),
        (type("Text", (str,), {})("abc"), "Can't extract `str` to `Vec`"),
        (5, "'int' object is not an instance of 'Sequence'"),
        (None, "'None' is not an instance of 'Sequence'"),
        ((r for r in []), "'generator' object is not an instance of 'Sequence'"),
    ])
    def test_reqs_must_be_a_sequence(self, runner, reqs, message):
        with pytest.raises(TypeError) as excinfo:
            runner.run_many(reqs)
        assert str(excinfo.value) == message
        assert with_note(excinfo, "reqs")

    def test_unreadable_element_raises_and_starts_nothing(self, runner, records):
        bad = Request(prompt="go")
        del bad.prompt
        with pytest.raises(AttributeError) as excinfo:
            runner.run_many([request(line(1), records[0]), request(line(1), records[1]), bad])
        assert str(excinfo.value) == "'Request' object has no attribute 'prompt'"
        assert with_note(excinfo, "reqs")
        time.sleep(0.2)
        assert not records[0].exists() and not records[1].exists()

    def test_a_huge_length_only_presizes(self, runner):
        # The length of this range does not even fit a machine word; its first element is read
        # and refused like any element without the request attributes.
        with pytest.raises(AttributeError) as excinfo:
            runner.run_many(range(10**20))
        assert str(excinfo.value) == "'int' object has no attribute 'prompt'"
        assert with_note(excinfo, "reqs")

    def test_a_failing_length_is_no_error(self, runner):
        class Requests:
            """A sequence whose len() raises; its iteration ends at the first IndexError."""

            def __len__(self):
                raise RuntimeError("no length")

            def __getitem__(self, i):
                if i >= 2:
                    raise IndexError(i)
                return request(line(i + 1))

        results = runner.run_many(Requests()).wait()
        assert [(r.index, r.error) for r in results] == [(0, None), (1, None)]

    def test_a_failing_iteration_raises_and_starts_nothing(self, runner, records):
        class Requests:
            def __len__(self):
                return 3

            def __getitem__(self, i):
                if i == 1:
                    raise ValueError("element 1 unreadable")
                return request(line(1), records[i])

        with pytest.raises(ValueError) as excinfo:
            runner.run_many(Requests())
        assert str(excinfo.value) == "element 1 unreadable"
        assert with_note(excinfo, "reqs")
        time.sleep(0.2)
        assert not records[0].exists()

    @pytest.mark.parametrize("param", ["max_concurrent", "event_buffer"])
    @pytest.mark.parametrize("value, error, message", [
        (-1, OverflowError, "out of range integral type conversion attempted"),
        (2**32, OverflowError, "out of range integral type conversion attempted"),
        # Beyond the signed 64-bit range the interpreter's own integer conversion refuses it.
        (2**64, OverflowError, "int too big to convert"),
        (-2**70, OverflowError, "int too big to convert"),
        (1.5, TypeError, "'float' object cannot be interpreted as an integer")])
    def test_sizes(self, runner, param, value, error, message):
        with pytest.raises(error) as excinfo:
            runner.run_many([], **{param: value})
        assert str(excinfo.value) == message
        assert with_note(excinfo, param)

    def test_reqs_are_checked_first(self, runner):
        with pytest.raises(TypeError) as excinfo:
            runner.run_many("abc", -1)
        assert str(excinfo.value) == "Can't extract `str` to `Vec`"

    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {}, "Runner.run_many() missing required argument 'reqs' (pos 1)"),
        (([], 1, 1, 1), {}, "Runner.run_many() takes at most 3 arguments (4 given)"),
        (([],), {"limit": 1}, "'limit' is an invalid keyword argument for Runner.run_many()"),
        (([],), {"reqs": []},
         "argument for Runner.run_many() given by name ('reqs') and position (1)"),
    ])
    def test_binding_names_the_method(self, runner, args, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            runner.run_many(*args, **kwargs)
        assert str(excinfo.value) == message

    def test_group_cannot_be_made_or_called_with_arguments(self, runner):
        with pytest.raises(TypeError) as excinfo:
            _vantrel.Group()
        assert str(excinfo.value) == "cannot create 'builtins.Group' instances"
        group = runner.run_many([])
        for name in ("next_event", "wait", "cancel"):
            with pytest.raises(TypeError) as excinfo:
                getattr(group, name)(1)
            assert str(excinfo.value) == f"Group.{name}() takes no arguments (1 given)"


def test_method_tables():
    methods = [(name, getattr(cls, name)) for cls, name in (
        (_vantrel.Runner, "run_many"), (_vantrel.Group, "next_event"), (_vantrel.Group, "wait"),
        (_vantrel.Group, "cancel"))]
    assert [(name, m.__text_signature__, m.__doc__) for name, m in methods] == [
        ("run_many", "($self, reqs, max_concurrent=None, event_buffer=None)",
         "Launches many processes with bounded concurrency."),
        ("next_event", "($self)",
         "Awaits the next multiplexed event, or `None` once every run finishes."),
        ("wait", "($self)", "Returns every run result."),
        ("cancel", "($self)", "Stops all active and pending runs."),
    ]
    assert [n for n in vars(_vantrel.Runner) if not n.startswith("_")][:3] == [
        "run", "start", "run_many"]
    assert sorted(n for n in dir(_vantrel.Group) if not n.startswith("_")) == [
        "cancel", "next_event", "wait"]


def test_event_and_result_objects(runner):
    group = runner.run_many([request(line(1) + "\nerr oops\nexit 2"), request(line(2))])
    event = group.next_event()
    results = group.wait()
    assert (type(event.run_id), type(event.index)) == (str, int)
    assert event.event is not event.event and event.event.raw == event.event.raw
    failed, done = results
    assert (failed.error.kind, failed.error.message, failed.error.code,
            failed.error.stderr, failed.error.line) == (
        "exit", "agent exited with code 2", 2, "oops\n", None)
    # The failed run keeps its result: its events, its standard-error tail and its times.
    assert failed.result.run_id == failed.run_id != ""
    assert (len(failed.result.events), failed.result.stderr) == (1, "oops\n")
    assert failed.result.finished_at_ms >= failed.result.started_at_ms > 0
    assert failed.error is not failed.error
    assert done.error is None and done.result is not done.result
    assert done.result.run_id == done.run_id and '"n":2' in done.result.events[0].raw
    for obj, name in ((event, "index"), (event, "event"), (done, "result"), (done, "run_id")):
        with pytest.raises(AttributeError) as excinfo:
            setattr(obj, name, None)
        assert str(excinfo.value) == (
            f"attribute '{name}' of 'builtins.{type(obj).__name__}' objects is not writable")


def test_empty_list(runner):
    group = runner.run_many([])
    assert group.wait() == []
    assert group.next_event() is None
    assert list(group) == []
    assert iter(group) is group


def test_tuple_is_accepted_and_keyword_arguments(runner):
    group = runner.run_many(reqs=(request(line(1)),), max_concurrent=1, event_buffer=0)
    [result] = group.wait()
    assert result.error is None and result.result.run_id == result.run_id != ""


def test_intake_failures_keep_their_index(runner):
    reqs = [request(line(1), sandbox="bogus"), request(line(7)), request(line(1), approval="x")]
    group = runner.run_many(reqs)
    events = list(group)
    results = group.wait()
    assert [r.index for r in results] == [0, 1, 2]
    assert summary(results[0]) == (0, "", None, ("invalidRequest", "unknown sandbox mode: bogus"))
    assert summary(results[2]) == (2, "", None, ("invalidRequest", "unknown approval policy: x"))
    assert results[1].error is None and results[1].run_id != ""
    assert [(e.index, e.run_id) for e in events] == [(1, results[1].run_id)]
    assert isinstance(events[0], _vantrel.PyRunEvent)
    assert '"n":7' in events[0].event.raw


def test_every_element_failing_starts_nothing(runner, records):
    group = runner.run_many([request(line(1), records[i], approval="nope") for i in range(3)])
    assert group.next_event() is None
    assert [summary(r) for r in group.wait()] == [
        (i, "", None, ("invalidRequest", "unknown approval policy: nope")) for i in range(3)]
    assert not any(r.exists() for r in records)


@pytest.mark.parametrize("max_concurrent, limit", [(0, 1), (2, 2), (None, 4)])
def test_concurrency_limit(runner, records, max_concurrent, limit):
    reqs = [request(line(1) + "\nsleep 150\n" + line(2), records[i]) for i in range(5)]
    group = runner.run_many(reqs, max_concurrent)
    events = list(group)
    results = group.wait()
    assert all(r.error is None for r in results)
    assert sorted(e.index for e in events) == [0, 0, 1, 1, 2, 2, 3, 3, 4, 4]
    assert all(e.run_id == results[e.index].run_id for e in events)
    lifetimes = [lifetime(records[i]) for i in range(5)]
    assert most_alive(lifetimes) <= limit
    if limit == 1:
        assert all(lifetimes[i][0] >= lifetimes[i - 1][1] for i in range(1, 5))


def test_failures_in_place(runner):
    reqs = [request(line(1)), Request(), request(line(2) + "\nexit 1"), request(line(3))]
    group = runner.run_many(reqs, 1)
    events = list(group)
    results = group.wait()
    assert results[0].error is None and results[3].error is None
    assert summary(results[1]) == (1, "", None,
                                   ("promptRequired", "vantrel: prompt or stdin is required"))
    assert results[2].run_id != "" and results[2].result.run_id == results[2].run_id
    assert (results[2].error.kind, results[2].error.code) == ("exit", 1)
    assert sorted(e.index for e in events) == [0, 2, 3]


def test_wait_lists_in_request_order(runner):
    group = runner.run_many([request("sleep 300\n" + line(1)), request(line(2))], 2)
    assert [r.index for r in group.wait()] == [0, 1]
    # The events can still be read after the wait.
    assert sorted(e.index for e in group) == [0, 1]
    assert group.next_event() is None
    assert list(group) == []


def test_cancel_right_away(runner, records):
    group = runner.run_many([request(line(1) + "\nsleep 30000", records[i]) for i in range(5)], 1)
    assert group.cancel() is None
    assert group.cancel() is None
    list(group)
    results = group.wait()
    assert [r.index for r in results] == [0, 1, 2, 3, 4]
    for result in results:
        assert_cancelled(result, bool(result.run_id))
    # Only the first request and the one waiting for its permit can have started.
    assert all(r.run_id == "" for r in results[2:])
    assert not any(r.exists() for r in records[2:5])


def test_cancel_while_streaming_and_waiting(runner, records):
    group = runner.run_many([request(line(1) + "\nsleep 30000", records[i]) for i in range(5)], 2)
    streaming = {group.next_event().index, group.next_event().index}
    assert streaming == {0, 1}
    # The scheduler went on to wait for a permit for the third request right after it started
    # the second run. The permit it gets once a cancelled run ends starts nothing: after the
    # cancel no agent of the group is launched.
    group.cancel()
    list(group)
    results = group.wait()
    for i, with_run in enumerate([True, True, False, False, False]):
        assert_cancelled(results[i], with_run)
    assert [i for i in range(5) if records[i].exists()] == [0, 1]
    # The agents that had started were killed before their end.
    assert all(lifetime(records[i])[1] is None for i in range(2))


def test_cancel_after_the_end_changes_nothing(runner):
    group = runner.run_many([request(line(1)), request("exit 4")])
    before = [summary(r) for r in group.wait()]
    group.cancel()
    assert [summary(r) for r in group.wait()] == before
    assert before[1][3] == ("exit", "agent exited with code 4")


def test_buffered_events_are_delivered_after_cancel(runner):
    # The three lines go out in one write and are passed on as one batch at every step: once the
    # first is read, the other two are in the group's channel.
    group = runner.run_many([request(in_one_write(1, 2, 3) + "\nsleep 30000")])
    assert '"n":1' in group.next_event().event.raw
    group.cancel()
    rest = [e.event.raw for e in group]
    assert len(rest) == 2 and '"n":2' in rest[0] and '"n":3' in rest[1]
    assert_cancelled(group.wait()[0], True)


@pytest.mark.parametrize("runner_buffer, event_buffer, delivered", [
    (None, 0, 1), (None, 2, 2), (3, None, 3),
    # A Runner given 0 keeps 1024, so every event fits.
    (0, None, 6),
])
def test_group_channel_capacity(fake_agent, runner_buffer, event_buffer, delivered):
    """Nobody reads, so the group's channel fills to its capacity; after a cancel exactly what
    it holds is delivered."""
    settings = {} if runner_buffer is None else {"event_buffer": runner_buffer}
    runner = _vantrel.Runner(executable=fake_agent, **settings)
    expected = [f"{n}}}" for n in range(1, delivered + 1)]
    # Once the run has ended, every event it wrote has been handed to the group, whose pump
    # fills the channel as they come; the pump may not have moved the last of them yet when the
    # results are in, so the cancel may find fewer, never more. Some try finds it full.
    for _ in range(20):
        group = runner.run_many([request(in_one_write(*range(1, 7)))], event_buffer=event_buffer)
        [result] = group.wait()
        assert result.error is None and len(result.result.events) == 6
        group.cancel()
        got = [e.event.raw.split('"n":')[1] for e in group]
        assert got == expected[: len(got)]
        if got == expected:
            break
    assert got == expected


def test_repeated_wait(runner):
    group = runner.run_many([request(line(1)), request("exit 2")])
    first, second = group.wait(), group.wait()
    assert first is not second and first[0] is not second[0]
    assert [summary(r) for r in first] == [summary(r) for r in second]
    assert first[0].result.events[0].raw == second[0].result.events[0].raw


def test_unread_group_settles(runner):
    script = 'repeat 3000 {"type":"turn.started"}'
    group = runner.run_many([request(script), request(script)], 2, 1)
    results = group.wait()
    assert [len(r.result.events) for r in results] == [3000, 3000]


def test_dropping_the_group_cancels_nothing(runner, records):
    group = runner.run_many([request("sleep 200\n" + line(1), records[0])])
    del group
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if records[0].exists() and lifetime(records[0])[1] is not None:
            break
        time.sleep(0.02)
    assert lifetime(records[0])[1] is not None


def test_two_readers_share_the_stream(runner):
    script = "\n".join(line(n) for n in range(1, 51))
    group = runner.run_many([request(script) for _ in range(4)])
    seen = [[], []]

    def read(into):
        while (event := group.next_event()) is not None:
            into.append((event.index, event.event.raw))
        into.append(None)

    threads = [threading.Thread(target=read, args=(s,)) for s in seen]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert seen[0][-1] is None and seen[1][-1] is None
    union = seen[0][:-1] + seen[1][:-1]
    assert len(union) == 200 and len(set(union)) == 200


def test_cancel_releases_a_blocked_reader(runner):
    group = runner.run_many([request("sleep 30000")])
    got = []
    reader = threading.Thread(target=lambda: got.append(group.next_event()))
    reader.start()
    time.sleep(0.1)
    group.cancel()
    reader.join(60)
    assert not reader.is_alive() and got == [None]
    [result] = group.wait()
    assert_cancelled(result, bool(result.run_id))


def child_processes():
    """Children of this process that still exist, zombies included."""
    tasks = pathlib.Path("/proc/self/task").iterdir()
    return sum(len((task / "children").read_text().split()) for task in tasks)


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def eventually(condition):
    """Polls for up to 30 s: what a run holds may be released just after its outcome is known."""
    deadline = time.monotonic() + 30
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.1)
    return condition()


def test_thousand_requests_with_cancel(runner, tmp_path, monkeypatch):
    """A thousand requests, 64 at a time, some not converting, some refused, some failing, some
    writing a schema file, cancelled once 64 never-ending runs from index 700 on hold every
    permit: every index gets exactly one result and nothing is left behind."""
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    runner.run_many([request(line(1))]).wait()  # the runtime's own descriptors are no leak
    descriptors, children = open_descriptors(), child_processes()

    def kind_of(i):
        if i % 89 == 5:
            return "invalidRequest"
        if i % 97 == 13:
            return "promptRequired"
        if i >= 700:
            return "cancelled"
        return "exit" if i % 10 == 7 else None

    reqs = []
    for i in range(1000):
        kind = kind_of(i)
        if kind == "invalidRequest":
            reqs.append(request(line(1), sandbox="bogus"))
        elif kind == "promptRequired":
            reqs.append(Request())
        else:
            script = line(1) + "\nsleep 30000" if i >= 700 else f"{line(1)}\n{line(2)}"
            if kind == "exit":
                script += "\nexit 2"
            reqs.append(request(script, output_schema='{"type":"object"}' if i % 5 == 0 else None))
    group = runner.run_many(reqs, 64, 32)
    long_runners = 0
    for event in group:
        if event.index >= 700:
            long_runners += 1
            if long_runners == 64:
                group.cancel()
    results = group.wait()
    assert long_runners == 64
    assert [r.index for r in results] == list(range(1000))
    for r in results:
        assert (r.result is None) == (r.run_id == ""), r.index
        assert r.result is not None or r.error is not None, r.index
        kind = r.error.kind if r.error else None
        if r.index >= 700 and kind_of(r.index) == "promptRequired":
            # Refused at once if admitted before the cancel, else never started.
            assert kind in ("promptRequired", "cancelled"), r.index
        else:
            assert kind == kind_of(r.index), r.index
    # The long runners were launched, and so was the request whose permit the scheduler was
    # waiting for if it had got that far.
    assert 64 <= sum(1 for r in results[700:] if r.run_id) <= 65

    assert eventually(lambda: child_processes() == children), child_processes()
    assert eventually(lambda: open_descriptors() <= descriptors), open_descriptors()
    assert eventually(lambda: not any(tmp_path.iterdir())), list(tmp_path.iterdir())
