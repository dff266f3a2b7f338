"""Scripted agent conversations for the run tests: fake-agent scenarios of codex, claude and grok
with what a run of each must report."""
import json

import _vantrel


def fake_runner(fake_agent, lines, **options):
    """A Runner whose agent is the fake agent playing the scenario `lines`."""
    return _vantrel.Runner(executable=fake_agent, env={"VANTREL_FAKE_SCRIPT": "\n".join(lines)},
                           **options)


def out(record):
    """The directive that writes `record` as one JSON line (escaped for the fake agent)."""
    return "out " + json.dumps(record).replace("\\", "\\\\")


CODEX = [
    "stdin",
    "err codex: warming up",
    out({"type": "thread.started", "thread_id": "th-codex"}),
    out({"type": "turn.started"}),
    out({"type": "item.started", "item": {
        "id": "i1", "type": "command_execution", "command": "ls", "aggregated_output": "",
        "exit_code": None, "status": "in_progress"}}),
    out({"type": "item.completed", "item": {
        "id": "i1", "type": "command_execution", "command": "ls", "aggregated_output": "a\nb\n",
        "exit_code": 0, "status": "completed"}}),
    out({"type": "item.completed", "item": {
        "id": "i2", "type": "file_change", "status": "completed",
        "changes": [{"path": "a.txt", "kind": "add"}, {"path": "b.txt", "kind": "update"}]}}),
    out({"type": "item.completed", "item": {"id": "i3", "type": "agent_message", "text": "done"}}),
    out({"type": "turn.completed", "usage": {
        "input_tokens": 10, "cached_input_tokens": 3, "output_tokens": 4}}),
]
CODEX_EVENTS = [
    ("thread.started", None), ("turn.started", None), ("item.started", "command_execution"),
    ("item.completed", "command_execution"), ("item.completed", "file_change"),
    ("item.completed", "agent_message"), ("turn.completed", None),
]


def claude_lines(session):
    return [
        "err claude: warming up",
        out({"type": "system", "subtype": "init", "session_id": session}),
        out({"type": "assistant", "session_id": session, "message": {"id": "m1", "content": [
            {"type": "text", "text": "hello"},
            {"type": "tool_use", "id": "t1", "name": "Bash", "input": {"command": "ls"}}]}}),
        out({"type": "user", "message": {"content": [
            {"type": "tool_result", "tool_use_id": "t1", "content": "a\nb"}]}}),
        out({"type": "result", "subtype": "success", "is_error": False, "result": "done",
             "total_cost_usd": 0.5, "usage": {"input_tokens": 10, "output_tokens": 4},
             "modelUsage": {"m": {"inputTokens": 10, "outputTokens": 4}}}),
    ]


CLAUDE_EVENTS = [
    ("thread.started", None), ("turn.started", None), ("item.completed", "agent_message"),
    ("item.started", "command_execution"), ("item.completed", "command_execution"),
    ("item.completed", "agent_message"), ("turn.completed", None),
]

# agent word, scenario, event kinds with item kinds, thread id, final message, input and output
# tokens, standard-error tail.
CONVERSATIONS = [
    ("codex", CODEX, CODEX_EVENTS, "th-codex", "done", (10, 4), "codex: warming up\n"),
    ("claude", ["stdin"] + claude_lines("s-claude"), CLAUDE_EVENTS, "s-claude", "done", (10, 4),
     "claude: warming up\n"),
    ("grok", claude_lines("s-grok"), CLAUDE_EVENTS, "s-grok", "done", (10, 4),
     "claude: warming up\n"),
]
