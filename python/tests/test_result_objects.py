"""Event, result and error objects as runs hand them out: attributes by event kind, values built
afresh on every read, read-only records."""
import json

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


# Every field of an item and of a usage record holds a value of its own, so that a getter
# reading another field of the same type shows.
EVERY_ITEM_FIELD = {
    "id": "i-id", "type": "collab_tool_call", "status": "i-status", "text": "i-text",
    "message": "i-message", "command": "i-command", "aggregated_output": "i-output",
    "exit_code": 7, "changes": [{"path": "c-path", "kind": "c-kind"}], "tool": "i-tool",
    "sender_thread_id": "i-sender", "receiver_thread_ids": ["i-receiver"],
}
EVERY_MODEL_USAGE_FIELD = {
    "inputTokens": 11, "outputTokens": 12, "cacheReadInputTokens": 13,
    "cacheCreationInputTokens": 14, "webSearchRequests": 15, "costUSD": 16.5,
    "contextWindow": 17, "maxOutputTokens": 18,
}
EVERY_USAGE_FIELD = {
    "input_tokens": 1, "cached_input_tokens": 2, "cache_creation_input_tokens": 3,
    "output_tokens": 4, "reasoning_output_tokens": 5, "total_tokens": 6, "total_cost_usd": 7.5,
    "model_usage": {"m": EVERY_MODEL_USAGE_FIELD},
}


def test_every_getter_reads_its_own_field(fake_agent):
    item_line = {"type": "item.completed", "item": EVERY_ITEM_FIELD}
    lines = [out(item_line), out({"type": "turn.completed", "usage": EVERY_USAGE_FIELD})]
    item_event, usage_event = fake_runner(fake_agent, lines).run(Request(prompt="hi")).result.events
    item = item_event.item
    assert {name: getattr(item, name) for name in EVERY_ITEM_FIELD if name != "changes"} == {
        name: value for name, value in EVERY_ITEM_FIELD.items() if name != "changes"}
    [change] = item.changes
    assert (change.path, change.kind) == ("c-path", "c-kind")
    assert item.raw == json.dumps(EVERY_ITEM_FIELD)

    usage = usage_event.usage
    assert {name: getattr(usage, name) for name in EVERY_USAGE_FIELD if name != "model_usage"} == {
        name: value for name, value in EVERY_USAGE_FIELD.items() if name != "model_usage"}
    [(model, model_usage)] = usage.model_usage.items()
    attributes = ["input_tokens", "output_tokens", "cache_read_input_tokens",
                  "cache_creation_input_tokens", "web_search_requests", "cost_usd",
                  "context_window", "max_output_tokens"]
    assert model == "m"
    assert [getattr(model_usage, name) for name in attributes] == list(
        EVERY_MODEL_USAGE_FIELD.values())
