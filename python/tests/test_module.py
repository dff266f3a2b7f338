"""The module's surface: its definition, its classes and functions, and what importing it does."""
import subprocess
import sys
import threading

import pytest

from conftest import MODULE_DIR

import _vantrel

CLASSES = [
    ("Runner", "Starts selected-agent processes with safe automation defaults."),
    ("Session", "A running selected-agent process. Iterate it for events; call `wait()` for the\n"
                "final outcome."),
    ("Group", "A batch of running selected-agent processes."),
    ("PyEvent", "One decoded agent event."),
    ("PyItem", "A typed projection of an agent item."),
    ("PyModelUsage", "Per-model usage reported by an agent."),
    ("PyUsage", "Token usage reported by an agent."),
    ("PyFileChange", "One file edit inside a `file_change` item."),
    ("PyRunResult", "Summary of a completed run."),
    ("PyOutcome", "A run result paired with any terminal error."),
    ("PyError", "A typed run error."),
    ("PyAccountUsage", "Codex account limits and credits."),
    ("PyAccountUsageAccount", "Authenticated account reported by Codex."),
    ("PyAccountRateLimits", "One Codex rate-limit set."),
    ("PyAccountRateLimitWindow", "One account usage window."),
    ("PyAccountCredits", "Codex credit balance snapshot."),
    ("PyAccountSpendLimit", "Individual spend or credit-control limit."),
    ("PyAccountTokenUsage", "Account token-usage summary reported by Codex."),
    ("PyAccountTokenUsageSummary", "Aggregate account token-usage metrics."),
    ("PyAccountTokenUsageDailyBucket", "One daily account token-usage bucket."),
    ("PyAccountUsageOutcome", "Account usage result paired with any terminal error."),
    ("PyClaudeAccountUsage", "Claude account usage report."),
    ("PyClaudeAccountUsageWindow", "One Claude usage window."),
    ("PyClaudeAccountUsageOutcome", "Claude account usage paired with any terminal error."),
    ("PyRunEvent", "One multiplexed event from `run_many`."),
    ("PyGroupResult", "One result from `run_many`."),
]
NAMES = [name for name, _ in CLASSES]


def test_definition():
    assert _vantrel.__name__ == "_vantrel"
    assert _vantrel.__doc__ == "The native `_vantrel` extension module."
    assert _vantrel.__all__ == NAMES + ["get_account_usage", "get_claude_account_usage"]


@pytest.mark.parametrize("name,doc", CLASSES)
def test_class(name, doc):
    cls = getattr(_vantrel, name)
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__) == (
        name, name, "builtins", doc)
    with pytest.raises(TypeError, match=f"^type 'builtins.{name}' is not an acceptable base type$"):
        type("Derived", (cls,), {})
    if name != "Runner":
        with pytest.raises(TypeError) as raised:
            cls()
        assert str(raised.value) == f"cannot create 'builtins.{name}' instances"


def test_runner_signature():
    assert _vantrel.Runner.__text_signature__ == (
        "(executable=None, env=None, event_buffer=None, stderr_limit=None, scan_max_bytes=None, "
        "default_sandbox=None, default_approval=None, agent=None)")


@pytest.mark.parametrize("name", ["get_account_usage", "get_claude_account_usage"])
def test_functions(name):
    function = getattr(_vantrel, name)
    assert function.__name__ == name
    assert function.__doc__ is None
    assert function.__text_signature__ == "(req=None)"
    assert function.__self__ is _vantrel


def test_instances_take_no_new_attributes():
    runner = _vantrel.Runner()
    outcome = runner.run(_invalid_request())
    for obj in (runner, runner.start(_invalid_request()), outcome, outcome.result,
                outcome.error, outcome.result.usage):
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.extra = 1


def test_attributes_are_read_only():
    error = _vantrel.Runner().run(_invalid_request()).error
    with pytest.raises(AttributeError):
        error.kind = "exit"
    assert error.kind == "invalidRequest"


def _invalid_request():
    from conftest import Request
    return Request(prompt="hi", sandbox="nope")


def _run_python(code):
    prelude = f"import os, sys\nsys.path.insert(0, {str(MODULE_DIR)!r})\n"
    return subprocess.run([sys.executable, "-c", prelude + code], capture_output=True, text=True,
                          check=True).stdout


def test_import_starts_no_thread():
    out = _run_python(
        "before = len(os.listdir('/proc/self/task'))\n"
        "import _vantrel\n"
        "print(before, len(os.listdir('/proc/self/task')))\n")
    before, after = out.split()
    assert before == after


def test_request_that_fails_conversion_builds_no_runtime():
    out = _run_python(
        "import _vantrel\n"
        "before = len(os.listdir('/proc/self/task'))\n"
        "class R: pass\n"
        "r = R()\n"
        f"for name in {list(__import__('conftest').REQUEST_FIELDS)!r}: setattr(r, name, None)\n"
        "r.sandbox = 'x'\n"
        "_vantrel.Runner().run(r)\n"
        "_vantrel.Runner().start(r).wait()\n"
        "print(before, len(os.listdir('/proc/self/task')))\n")
    before, after = out.split()
    assert before == after


def test_reimport_adds_the_same_classes():
    out = _run_python(
        "import _vantrel\n"
        "first = _vantrel.PyEvent\n"
        "del sys.modules['_vantrel']\n"
        "import _vantrel as again\n"
        "print(again.PyEvent is first, again.__all__ == _vantrel.__all__)\n")
    assert out.split() == ["True", "True"]


# Class, member, doc: each member's doc holds its text signature, a line "--", an empty line and
# one sentence.
MEMBER_DOCS = [
    ("Runner", "run", "($self, req)", "Runs one process to completion and returns its outcome."),
    ("Runner", "start", "($self, req)", "Launches one process and returns a [`Session`]."),
    ("Session", "next_event", "($self)",
     "Awaits the next event, or `None` once the stream closes."),
    ("Session", "wait", "($self)", "Waits for the process to exit and returns its outcome."),
    ("Session", "thread_id", "($self)", "The agent thread or session id once known."),
    ("Session", "cancel", "($self)", "Stops the child process."),
]


@pytest.mark.parametrize("cls,member,signature,doc", MEMBER_DOCS)
def test_member_docs(cls, member, signature, doc):
    method = getattr(getattr(_vantrel, cls), member)
    assert (method.__text_signature__, method.__doc__) == (signature, doc)


def test_session_members():
    public = [name for name in vars(_vantrel.Session) if not name.startswith("__")]
    assert sorted(public) == ["cancel", "id", "next_event", "thread_id", "wait"]
    assert _vantrel.Session.id.__doc__ == "The wrapper-assigned run id."


def test_a_runtime_that_cannot_be_built_stays_failed():
    # With the address space capped just above what the process uses, no worker thread gets a
    # stack: the first call that needs the runtime fails, and so does every later one, also once
    # the cap is lifted, without a second build.
    out = _run_python(
        "import resource, _vantrel\n"
        "class R: pass\n"
        "r = R()\n"
        f"for name in {list(__import__('conftest').REQUEST_FIELDS)!r}: setattr(r, name, None)\n"
        "r.prompt = 'hi'\n"
        "runner = _vantrel.Runner(executable='/bin/true')\n"
        "threads = len(os.listdir('/proc/self/task'))\n"
        "size = next(int(line.split()[1]) * 1024 for line in open('/proc/self/status')\n"
        "            if line.startswith('VmSize:'))\n"
        "resource.setrlimit(resource.RLIMIT_AS, (size + 2 ** 20, resource.RLIM_INFINITY))\n"
        "failures = []\n"
        "def attempt(call):\n"
        "    try:\n"
        "        call()\n"
        "    except BaseException as error:\n"
        "        failures.append(error)\n"
        "attempt(lambda: runner.run(r))\n"
        "resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)\n"
        "attempt(lambda: runner.start(r))\n"
        "attempt(lambda: runner.run(r))\n"
        "for error in failures:\n"
        "    print(type(error).__name__, isinstance(error, Exception), error, sep='|')\n"
        "print(len(os.listdir('/proc/self/task')) - threads)\n")
    *failures, started = out.splitlines()
    assert len(failures) == 3
    for failure in failures:
        name, is_exception, message = failure.split("|")
        assert (name, is_exception) == ("PanicException", "False")
        assert message.startswith("could not build the runtime: ")
    assert len(set(failures)) == 1
    assert started == "0"


def test_only_the_init_function_is_exported():
    # Symbols of the core or of Boost.Asio in the dynamic table could bind to another
    # extension's in the same process.
    listed = subprocess.run(["nm", "-D", "--defined-only", _vantrel.__file__],
                            capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in listed.splitlines()] == ["PyInit__vantrel"]
