"""Shared fixtures of the module tests: the built module on sys.path and the fake agent."""
import glob
import os
import pathlib
import signal
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("VANTREL_BUILD_DIR", ROOT / "build"))
MODULE_DIR = BUILD / "python"
FAKE_AGENT = BUILD / "fake_agent" / "fake_agent"

sys.path.insert(0, str(MODULE_DIR))


def interpreters():
    """Every CPython 3 on this machine: Debian's and pyenv's."""
    found = {"/usr/bin/python3"}
    found.update(glob.glob("/root/.pyenv/versions/3.*/bin/python3"))
    found.update(glob.glob("/usr/bin/python3.1[0-9]"))
    return sorted(p for p in found if os.access(p, os.X_OK))


def version_of(python):
    out = subprocess.run([python, "-c", "import sys; print(sys.version_info[:2])"],
                         capture_output=True, text=True, check=True).stdout
    return tuple(int(x) for x in out.strip("()\n").split(","))


def kill_recorded_processes(folder):
    """Kills what the fake agent recorded in the files below `folder` (its records begin with
    "start"): the process group each agent led and the helpers it left behind, which may be in
    sessions of their own. This process and its group are never taken for an agent's."""
    for path in folder.rglob("*"):
        try:
            with open(path, "rb") as file:
                if file.read(6) != b"start ":
                    continue
                lines = file.read().decode(errors="replace").splitlines()
        except OSError:  # a folder, or a file gone meanwhile
            continue
        for key, _, value in (line.partition(" ") for line in lines):
            if key not in ("pgid", "hold", "linger") or not value.isdigit() or int(value) <= 1:
                continue
            kill, own = (os.killpg, os.getpgrp()) if key == "pgid" else (os.kill, os.getpid())
            if int(value) != own:
                try:
                    kill(int(value), signal.SIGKILL)
                except OSError:  # gone already
                    pass


@pytest.fixture(autouse=True)
def no_agent_left_running(request):
    """After each test that has a `tmp_path`, where the fake agents record, kills what they
    recorded: a test that failed midway leaves no agent running, even one a forked or a
    separate host program started; after one that passed they are gone already."""
    folder = request.getfixturevalue("tmp_path") if "tmp_path" in request.fixturenames else None
    yield
    if folder is not None:
        kill_recorded_processes(folder)


@pytest.fixture
def fake_agent():
    """Path of the fake agent program (stands in for codex, claude and grok)."""
    assert FAKE_AGENT.exists(), f"build the project first: {FAKE_AGENT} is missing"
    return str(FAKE_AGENT)


@pytest.fixture
def record(tmp_path):
    """Where the fake agent records what it was given (VANTREL_FAKE_RECORD)."""
    return tmp_path / "record"


def recorded(record, key):
    """The values of the fake agent's record lines that start with `key`."""
    lines = record.read_text().splitlines() if record.exists() else []
    return [line[len(key) + 1:] for line in lines if line.startswith(key + " ")]


class AccountReq:
    """An account-usage request: any object with these three attributes will do."""

    def __init__(self, executable=None, env=None, timeout=None):
        self.executable = executable
        self.env = env
        self.timeout = timeout


class Seconds:
    """A timeout that is no number but converts to one with float()."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Index:
    """A timeout that converts through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


REQUEST_FIELDS = (
    "prompt", "stdin", "dir", "add_dirs", "images", "model", "profile", "sandbox", "approval",
    "permission_mode", "allowed_tools", "disallowed_tools", "config", "enable", "disable",
    "strict_config", "persistent", "ignore_user_config", "ignore_rules", "require_git_repo",
    "output_schema_path", "output_schema", "output_last_message_path",
    "dangerously_bypass_sandbox", "dangerously_bypass_hooks", "env", "resume_id", "resume_last",
    "resume_all",
)


class Request:
    """A run request: every attribute None unless given."""

    def __init__(self, **fields):
        unknown = set(fields) - set(REQUEST_FIELDS)
        assert not unknown, unknown
        for name in REQUEST_FIELDS:
            setattr(self, name, fields.get(name))


class Config:
    def __init__(self, key, value):
        self.key = key
        self.value = value


# Stands in for numpy.bool_ where NumPy is not installed: the module recognises it by its type's
# module and name.
NumpyBool = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: self.value,
                               "__init__": lambda self, value: setattr(self, "value", value)})
