"""Runner.run and Runner.start against the fake agent: outcomes, events and every error kind."""
import os
import subprocess
import sys
import threading

import pytest

import _vantrel
from conftest import MODULE_DIR, REQUEST_FIELDS, Request, recorded
from scenarios import CONVERSATIONS, fake_runner, out


def follow(session):
    """Every event of a started run, then its outcome."""
    events = list(session)
    return events, session.wait()


def check_result(outcome, events, kinds, thread_id, final_message, tokens, stderr):
    assert outcome.error is None
    result = outcome.result
    assert result.run_id.startswith("run-")
    assert [(e.type, e.item.type if e.item else None) for e in events] == kinds
    assert {e.run_id for e in events} == {result.run_id}
    assert [e.raw for e in result.events] == [e.raw for e in events]
    assert (result.thread_id, result.final_message, result.stderr) == (
        thread_id, final_message, stderr)
    assert (result.usage.input_tokens, result.usage.output_tokens) == tokens
    assert 0 < result.started_at_ms <= result.finished_at_ms
    assert result.started_at_ms == int(result.started_at_ms)


@pytest.mark.parametrize("agent,lines,kinds,thread_id,final_message,tokens,stderr", CONVERSATIONS,
                         ids=[c[0] for c in CONVERSATIONS])
def test_run_and_start_report_the_conversation(fake_agent, agent, lines, kinds, thread_id,
                                               final_message, tokens, stderr):
    runner = fake_runner(fake_agent, lines, agent=agent)
    expected = (kinds, thread_id, final_message, tokens, stderr)
    outcome = runner.run(Request(prompt="hi"))
    check_result(outcome, outcome.result.events, *expected)
    session = runner.start(Request(prompt="hi"))
    events, streamed = follow(session)
    check_result(streamed, events, *expected)
    assert session.id == streamed.result.run_id != outcome.result.run_id
    assert session.thread_id() == thread_id


def test_items_usage_and_changes_reach_python(fake_agent):
    runner = fake_runner(fake_agent, CONVERSATIONS[0][1])
    events = runner.run(Request(prompt="hi")).result.events
    command = events[3].item
    assert (command.id, command.type, command.status, command.command, command.aggregated_output,
            command.exit_code) == ("i1", "command_execution", "completed", "ls", "a\nb\n", 0)
    assert events[2].item.exit_code is None
    changes = events[4].item.changes
    assert [(c.path, c.kind) for c in changes] == [("a.txt", "add"), ("b.txt", "update")]
    usage = events[6].usage
    assert (usage.input_tokens, usage.cached_input_tokens, usage.output_tokens) == (10, 3, 4)
    assert usage.model_usage == {}
    claude = fake_runner(fake_agent, CONVERSATIONS[1][1], agent="claude").run(Request(prompt="x"))
    usage = claude.result.usage
    assert usage.total_cost_usd == 0.5
    assert {name: (m.input_tokens, m.output_tokens) for name, m in usage.model_usage.items()} == {
        "m": (10, 4)}


def test_runner_limits_reach_the_run(fake_agent):
    lines = ["errfill 100", out({"type": "turn.started"}),
             out({"type": "thread.started", "thread_id": "x" * 100})]
    outcome = fake_runner(fake_agent, lines, stderr_limit=4, scan_max_bytes=50).run(
        Request(prompt="hi"))
    assert outcome.result.stderr == "stuv"  # the newest 4 of 100 bytes "abc...z" cycling
    assert (outcome.error.kind, outcome.error.message, outcome.error.line) == (
        "decode", "decode agent JSONL line 2: max line length exceeded", 2)
    assert [e.type for e in outcome.result.events] == ["turn.started"]
    kept_none = fake_runner(fake_agent, ["errfill 100"], stderr_limit=0).run(Request(prompt="hi"))
    assert (kept_none.error, kept_none.result.stderr) == (None, "")


def test_the_request_environment_wins_over_the_runner_one(fake_agent, tmp_path):
    record = tmp_path / "record"
    runner = _vantrel.Runner(executable=fake_agent, env={
        "VANTREL_FAKE_SCRIPT": "stdin", "VANTREL_FAKE_RECORD": str(record),
        "VANTREL_A": "runner", "VANTREL_B": "runner"})
    assert runner.run(Request(prompt="the prompt", env={"VANTREL_B": "request"})).error is None
    lines = record.read_text().splitlines()
    assert {"env VANTREL_A=runner", "env VANTREL_B=request", "stdin the prompt"} <= set(lines)
    assert "env VANTREL_B=runner" not in lines


EXIT_LINES = [out({"type": "thread.started", "thread_id": "t"})]

# agent, scenario, kind, message (a trailing "*" matches any rest), code, stderr, line.
RUN_ERRORS = [
    ("codex", ["err boom", "exit 2"], "exit", "agent exited with code 2", 2, "boom\n", None),
    ("codex", EXIT_LINES + ["signal KILL"], "exit", "agent exited with code -1", -1, "", None),
    ("codex", EXIT_LINES + ["out not json"], "decode", "decode agent JSONL line 2: *", None,
     None, 2),
    ("codex", [out({"type": "turn.failed", "error": {"message": "quota"}})], "codex",
     "codex turn failed: quota", None, None, None),
    ("codex", [out({"type": "error", "message": "stream lost"})], "codex",
     "codex error: stream lost", None, None, None),
    ("claude", [out({"type": "result", "is_error": True, "result": "bad"})], "claude",
     "claude turn failed: bad", None, None, None),
    ("grok", [out({"type": "result", "is_error": True, "errors": ["a", "b"]})], "grok",
     "grok turn failed: a; b", None, None, None),
]


def check_error(error, kind, message, code, stderr, line):
    assert error.kind == kind
    if message.endswith("*"):
        assert error.message.startswith(message[:-1])
    else:
        assert error.message == message
    assert (error.code, error.stderr, error.line) == (code, stderr, line)


@pytest.mark.parametrize("agent,lines,kind,message,code,stderr,line", RUN_ERRORS,
                         ids=[f"{e[0]}-{e[2]}" for e in RUN_ERRORS])
def test_run_failures_come_back_as_errors(fake_agent, agent, lines, kind, message, code, stderr,
                                          line):
    runner = fake_runner(fake_agent, lines, agent=agent)
    outcome = runner.run(Request(prompt="hi"))
    check_error(outcome.error, kind, message, code, stderr, line)
    assert outcome.result.run_id.startswith("run-")
    assert outcome.result.finished_at_ms > 0
    check_error(runner.start(Request(prompt="hi")).wait().error, kind, message, code, stderr, line)


def check_empty(result):
    assert (result.run_id, result.thread_id, result.final_message, result.stderr) == ("",) * 4
    assert result.events == []
    assert (result.started_at_ms, result.finished_at_ms) == (0.0, 0.0)
    usage = result.usage
    assert (usage.input_tokens, usage.cached_input_tokens, usage.cache_creation_input_tokens,
            usage.output_tokens, usage.reasoning_output_tokens, usage.total_tokens) == (0,) * 6
    assert (usage.total_cost_usd, usage.model_usage) == (0.0, {})


# Requests that never become a run: runner options, request fields, kind, message.
NO_RUN = [
    ({}, {"prompt": "hi", "sandbox": "bogus"}, "invalidRequest", "unknown sandbox mode: bogus"),
    ({}, {"prompt": "hi", "approval": "sometimes"}, "invalidRequest",
     "unknown approval policy: sometimes"),
    ({}, {}, "promptRequired", "vantrel: prompt or stdin is required"),
    ({}, {"prompt": "hi", "permission_mode": "plan"}, "invalidRequest",
     "vantrel: invalid request: permission mode and tool filters require the claude agent"),
    ({"executable": "/nonexistent/vantrel-agent"}, {"prompt": "hi"}, "process",
     "agent process error: *"),
]


@pytest.mark.parametrize("options,fields,kind,message", NO_RUN, ids=[r[2] + "-" + r[3][:20]
                                                                     for r in NO_RUN])
def test_requests_that_never_run(options, fields, kind, message):
    runner = _vantrel.Runner(**options)
    outcome = runner.run(Request(**fields))
    check_error(outcome.error, kind, message, None, None, None)
    check_empty(outcome.result)
    session = runner.start(Request(**fields))
    assert (session.id, session.thread_id(), session.next_event(), list(session)) == (
        "", "", None, [])
    assert session.cancel() is None
    first, second = session.wait(), session.wait()
    assert first is not second
    for waited in (first, second):
        check_error(waited.error, kind, message, None, None, None)
        check_empty(waited.result)


def test_a_request_without_prompt_attribute_raises_with_the_note():
    class Partial:
        pass

    with pytest.raises(AttributeError) as raised:
        _vantrel.Runner().run(Partial())
    assert getattr(raised.value, "__notes__", ["while processing 'req'"]) == [
        "while processing 'req'"]


def test_two_threads_run_on_one_runner(fake_agent):
    runner = fake_runner(fake_agent, CONVERSATIONS[0][1])
    outcomes = [None, None]

    def run(i):
        outcomes[i] = runner.run(Request(prompt="hi"))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(o.error is None and len(o.result.events) == 7 for o in outcomes)
    assert outcomes[0].result.run_id != outcomes[1].result.run_id


def test_racing_first_calls_build_one_runtime(fake_agent):
    code = (
        f"import os, sys, threading, time\nsys.path.insert(0, {str(MODULE_DIR)!r})\n"
        "import _vantrel\n"
        "class R: pass\n"
        "def request():\n"
        "    r = R()\n"
        f"    for name in {list(REQUEST_FIELDS)!r}: setattr(r, name, None)\n"
        "    r.prompt = 'hi'\n"
        "    return r\n"
        f"runner = _vantrel.Runner(executable={fake_agent!r},\n"
        "                          env={'VANTREL_FAKE_SCRIPT': 'out {\"type\":\"turn.started\"}'})\n"
        "before = len(os.listdir('/proc/self/task'))\n"
        "barrier = threading.Barrier(2)\n"
        "errors = []\n"
        "def go():\n"
        "    barrier.wait()\n"
        "    errors.append(runner.run(request()).error)\n"
        "threads = [threading.Thread(target=go) for _ in range(2)]\n"
        "for t in threads: t.start()\n"
        "for t in threads: t.join()\n"
        "cpus = os.sysconf('SC_NPROCESSORS_ONLN')\n"
        # A joined thread may linger in the task list for a moment; the runtime's workers stay.
        "for _ in range(200):\n"
        "    started = len(os.listdir('/proc/self/task')) - before\n"
        "    if started <= cpus: break\n"
        "    time.sleep(0.05)\n"
        "print(started, cpus, errors)\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            check=True, timeout=60)
    started, cpus, errors = result.stdout.split(maxsplit=2)
    assert errors.strip() == "[None, None]"
    assert started == cpus


# Runner defaults, request words, and the sandbox and approval the codex command line gets:
# unknown default words fall back to read-only and never; request words win over the defaults.
SANDBOX_AND_APPROVAL = [
    ({}, {}, "read-only", "never"),
    ({"default_sandbox": "Read-Only", "default_approval": "always"}, {}, "read-only", "never"),
    ({"default_sandbox": "", "default_approval": "never "}, {}, "read-only", "never"),
    ({"default_sandbox": "workspace-write", "default_approval": "on-request"}, {},
     "workspace-write", "on-request"),
    ({"default_sandbox": "workspace-write"},
     {"sandbox": "danger-full-access", "approval": "untrusted"}, "danger-full-access", "untrusted"),
]


@pytest.mark.parametrize("options,fields,sandbox,approval", SANDBOX_AND_APPROVAL)
def test_sandbox_and_approval_reach_the_command_line(fake_agent, record, options, fields, sandbox,
                                                     approval):
    runner = _vantrel.Runner(executable=fake_agent, env={
        "VANTREL_FAKE_SCRIPT": "stdin", "VANTREL_FAKE_RECORD": str(record)}, **options)
    assert runner.run(Request(prompt="hi", **fields)).error is None
    args = recorded(record, "arg")
    assert args[args.index("--sandbox") + 1] == sandbox
    assert f'approval_policy="{approval}"' in args


def test_waiting_calls_let_other_python_threads_run(fake_agent, tmp_path):
    # Each agent waits for a file that this thread makes only once all three agents have started,
    # right before each call blocks; a call holding the interpreter lock while it waits would
    # stop this thread.
    go = tmp_path / "go"
    script = "\n".join([f"await {go}", out({"type": "turn.started"})])

    def runner(i):
        return _vantrel.Runner(executable=fake_agent, env={
            "VANTREL_FAKE_SCRIPT": script, "VANTREL_FAKE_RECORD": str(tmp_path / f"record{i}")})

    results = {}
    calls = {
        "run": lambda: runner(0).run(Request(prompt="hi")).error,
        "wait": lambda: runner(1).start(Request(prompt="hi")).wait().error,
        "next_event": lambda: runner(2).start(Request(prompt="hi")).next_event().type,
    }
    threads = [threading.Thread(target=lambda n=name, c=call: results.update({n: c()}))
               for name, call in calls.items()]
    for thread in threads:
        thread.start()
    while not all((tmp_path / f"record{i}").exists() for i in range(3)):
        threading.Event().wait(0.01)
    go.touch()
    for thread in threads:
        thread.join()
    assert results == {"run": None, "wait": None, "next_event": "turn.started"}


@pytest.mark.parametrize("options,program", [
    ({}, "codex"),
    ({"agent": "claude"}, "claude"),
    ({"agent": "grok", "executable": ""}, "grok"),
    ({"agent": "claude", "executable": "vantrel-agent"}, "vantrel-agent"),
])
def test_the_executable_defaults_to_the_agent_name(fake_agent, record, tmp_path, monkeypatch,
                                                   options, program):
    # Every name is the fake agent, found on PATH.
    for name in ("codex", "claude", "grok", "vantrel-agent"):
        (tmp_path / name).symlink_to(fake_agent)
    monkeypatch.setenv("PATH", f"{tmp_path}:{os.environ['PATH']}")
    runner = _vantrel.Runner(env={"VANTREL_FAKE_SCRIPT": "stdin",
                                  "VANTREL_FAKE_RECORD": str(record)}, **options)
    runner.run(Request(prompt="hi"))
    assert recorded(record, "arg")[0] == program


def test_cut_surrogates_and_deeply_nested_results_leave_the_run_going(fake_agent):
    deep = []
    for _ in range(200):
        deep = [deep]
    lines = [
        out({"type": "system", "subtype": "init", "session_id": "s"}),
        out({"type": "assistant", "message": {"id": "m1", "content": [
            {"type": "text", "text": "cut \ud83d"},
            {"type": "tool_use", "id": "t1", "name": "Bash",
             "input": {"command": "ls", "deep": deep}}]}}),
        out({"type": "user", "message": {"content": [
            {"type": "tool_result", "tool_use_id": "t1",
             "content": [{"type": "text", "text": "o\udc00", "citations": deep}]}]},
             "tool_use_result": {"deep": deep}}),
        out({"type": "result", "result": "done \ud83d", "usage": {"input_tokens": 1}}),
    ]
    outcome = fake_runner(fake_agent, lines, agent="claude").run(Request(prompt="hi"))
    assert outcome.error is None
    events = outcome.result.events
    assert [(e.type, e.item.type if e.item else None) for e in events] == [
        ("thread.started", None), ("turn.started", None), ("item.completed", "agent_message"),
        ("item.started", "command_execution"), ("item.completed", "command_execution"),
        ("item.completed", "agent_message"), ("turn.completed", None)]
    assert events[2].item.text == "cut \ufffd"
    assert "\\ud83d" in events[2].item.raw and "\\ud83d" in events[2].raw
    assert events[4].item.aggregated_output == "o\ufffd"
    assert outcome.result.final_message == "done \ufffd"
