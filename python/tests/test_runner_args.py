"""The Runner constructor: which arguments it takes, and the exact errors of those it refuses."""
import pytest

import _vantrel


class Text(str):
    pass


class Env(dict):
    pass


class Index:
    def __index__(self):
        return 7


@pytest.mark.parametrize("kwargs", [
    {},
    {"executable": "", "agent": "grok"},
    {"executable": Text("/usr/bin/claude"), "agent": "claude"},
    {"env": {"A": "1"}},
    {"env": Env(A="1")},
    {"event_buffer": 0, "stderr_limit": 0, "scan_max_bytes": 0},
    {"event_buffer": 4294967295, "stderr_limit": True, "scan_max_bytes": Index()},
    {"default_sandbox": "Read-Only", "default_approval": "always"},
    {"default_sandbox": "workspace-write", "default_approval": "on-request"},
    {"executable": None, "env": None, "event_buffer": None, "stderr_limit": None,
     "scan_max_bytes": None, "default_sandbox": None, "default_approval": None, "agent": None},
])
def test_accepted(kwargs):
    assert isinstance(_vantrel.Runner(**kwargs), _vantrel.Runner)


def test_positional_arguments_in_order():
    assert isinstance(_vantrel.Runner("codex", {}, 1, 2, 3, "read-only", "never", "codex"),
                      _vantrel.Runner)


OUT_OF_RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize("kwargs,error,message,note", [
    ({"executable": 1}, TypeError, "'int' object is not an instance of 'str'", "executable"),
    ({"executable": b"codex"}, TypeError, "'bytes' object is not an instance of 'str'",
     "executable"),
    ({"env": [("A", "1")]}, TypeError, "'list' object is not an instance of 'dict'", "env"),
    ({"env": {"A": 1}}, TypeError, "'int' object is not an instance of 'str'", "env"),
    ({"env": {1: "A"}}, TypeError, "'int' object is not an instance of 'str'", "env"),
    ({"event_buffer": -1}, OverflowError, OUT_OF_RANGE, "event_buffer"),
    ({"stderr_limit": 4294967296}, OverflowError, OUT_OF_RANGE, "stderr_limit"),
    ({"scan_max_bytes": 2 ** 64}, OverflowError, "int too big to convert",
     "scan_max_bytes"),
    ({"event_buffer": 1.0}, TypeError, "'float' object cannot be interpreted as an integer",
     "event_buffer"),
    ({"scan_max_bytes": "1"}, TypeError, "'str' object cannot be interpreted as an integer",
     "scan_max_bytes"),
    ({"default_sandbox": 3}, TypeError, "'int' object is not an instance of 'str'",
     "default_sandbox"),
    ({"default_approval": Env()}, TypeError, "'Env' object is not an instance of 'str'",
     "default_approval"),
    ({"agent": 0}, TypeError, "'int' object is not an instance of 'str'", "agent"),
    ({"executable": "\udc80"}, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed",
     "executable"),
    # Every argument is extracted before the agent word is checked.
    ({"agent": "nope", "event_buffer": -1}, OverflowError, OUT_OF_RANGE, "event_buffer"),
])
def test_refused_argument(kwargs, error, message, note):
    with pytest.raises(error) as raised:
        _vantrel.Runner(**kwargs)
    assert type(raised.value) is error
    assert str(raised.value) == message
    assert getattr(raised.value, "__notes__", [f"while processing '{note}'"]) == [
        f"while processing '{note}'"]


@pytest.mark.parametrize("agent", ["Codex", " codex", "", "gpt"])
def test_unknown_agent(agent):
    with pytest.raises(ValueError) as raised:
        _vantrel.Runner(agent=agent)
    assert str(raised.value) == f"unknown agent: {agent}"
    assert not hasattr(raised.value, "__notes__")


@pytest.mark.parametrize("args,kwargs", [
    (("a",) * 9, {}),
    ((), {"color": "red"}),
    (("codex",), {"executable": "codex"}),
])
def test_binding_errors(args, kwargs):
    with pytest.raises(TypeError):
        _vantrel.Runner(*args, **kwargs)
