"""Event, result and error objects as runs hand them out: attributes by event kind, values built
afresh on every read, read-only records."""
import pytest

import _vantrel
from conftest import Request
from scenarios import CODEX, fake_runner, out

ODD = [
    out({"type": "thread.started", "thread_id": "t"}),
    out({"type": "turn.started"}),
    out({"type": "custom.kind", "x": 1}),
    out({"type": "item.completed", "item": {"id": "o", "type": "hologram", "exit_code": -1}}),
    out({"type": "turn.failed", "usage": {"input_tokens": 5}}),
]


@pytest.fixture
def odd_events(fake_agent):
    return fake_runner(fake_agent, ODD).run(Request(prompt="hi")).result.events


def test_payload_attributes_follow_the_event_kind(odd_events):
    thread, turn, custom, item, failed = odd_events
    for event in (thread, turn, custom):
        assert (event.item, event.usage, event.error) == (None, None, None)
    assert custom.type == "custom.kind"
    assert custom.raw == '{"type": "custom.kind", "x": 1}'
    assert (item.item.type, item.item.exit_code, item.usage, item.error) == (
        "hologram", -1, None, None)
    assert (failed.type, failed.error, failed.item) == ("turn.failed", "", None)
    assert failed.usage.input_tokens == 5
    assert failed.thread_id == "t"


def test_the_failure_with_an_empty_message(fake_agent):
    error = fake_runner(fake_agent, ODD).run(Request(prompt="hi")).error
    assert (error.kind, error.message, error.code, error.stderr, error.line) == (
        "codex", "codex error event", None, None, None)


def test_every_read_builds_new_values(fake_agent):
    outcome = fake_runner(fake_agent, CODEX).run(Request(prompt="hi"))
    assert outcome.result is not outcome.result
    events = outcome.result.events
    assert events is not outcome.result.events
    change = events[4]
    assert change.item is not change.item
    assert change.item.raw == change.item.raw
    changes = change.item.changes
    changes.append("extra")
    assert len(change.item.changes) == 2
    assert change.item.changes[0] is not change.item.changes[0]
    assert change.usage is None
    usage = events[6].usage
    assert usage is not events[6].usage
    usage_map = usage.model_usage
    usage_map["x"] = 1
    assert events[6].usage.model_usage == {}
    assert events[1].item is None


def test_objects_are_read_only_records(fake_agent):
    outcome = fake_runner(fake_agent, CODEX).run(Request(prompt="hi"))
    event = outcome.result.events[3]
    for obj, name in ((event, "type"), (event.item, "exit_code"), (outcome.result, "run_id"),
                      (outcome.result.usage, "total_tokens"), (outcome, "error")):
        with pytest.raises(AttributeError):
            setattr(obj, name, None)
    for cls in (_vantrel.PyEvent, _vantrel.PyItem, _vantrel.PyRunResult, _vantrel.PyOutcome,
                _vantrel.PyError):
        with pytest.raises(TypeError):
            cls()
    assert repr(event).startswith("<builtins.PyEvent object at 0x")
    assert event != outcome.result.events[3]


def test_objects_outlive_their_run(fake_agent):
    session = fake_runner(fake_agent, CODEX).start(Request(prompt="hi"))
    event = session.next_event()
    outcome = session.wait()
    del session
    assert event.type == "thread.started"
    assert outcome.result.events[0].raw == event.raw


def test_parts_of_a_result_outlive_it(fake_agent):
    # Each part keeps the run's records alive on its own, whichever part goes last.
    outcome = fake_runner(fake_agent, CODEX).run(Request(prompt="hi"))
    raws = [event.raw for event in outcome.result.events]
    events = outcome.result.events
    item = events[4].item
    usage = outcome.result.usage
    expected = (item.raw, usage.input_tokens)
    del outcome
    assert [event.raw for event in events] == raws
    del events
    assert (item.raw, usage.input_tokens) == expected
