"""Reading a run request by attribute: accepted shapes, and the exact errors, causes and notes."""
import types

import pytest

import _vantrel
from conftest import REQUEST_FIELDS, Config, NumpyBool, Request, recorded


class Tools:
    """A sequence by __len__ and __getitem__ only."""

    def __getitem__(self, index):
        if index >= 2:
            raise IndexError(index)
        return f"tool{index}"

    def __len__(self):
        return 2


class HugeLength(Tools):
    def __len__(self):
        return 2 ** 62


class BadLength(Tools):
    def __len__(self):
        raise RuntimeError("no length")


def outcome_of(**fields):
    # An unknown sandbox word stops the run after the request has been read whole.
    return _vantrel.Runner().run(Request(sandbox="x", **fields))


@pytest.mark.parametrize("fields", [
    {},
    {"prompt": "", "stdin": "", "dir": "", "model": "m", "profile": "p"},
    {"add_dirs": ("a", "b"), "images": [], "allowed_tools": Tools(), "disallowed_tools": ["x"]},
    {"enable": HugeLength(), "disable": ["a"] * 3},
    {"config": [Config("k", "v"), types.SimpleNamespace(key="", value="")]},
    {"config": (Config("k", "v"),)},
    {"strict_config": True, "persistent": False, "ignore_user_config": NumpyBool(True),
     "ignore_rules": NumpyBool(False)},
    {"env": {"A": "1", "B": ""}},
    {"resume_id": "t1", "resume_last": True, "resume_all": True},
])
def test_accepted(fields):
    error = outcome_of(**fields).error
    assert (error.kind, error.message) == ("invalidRequest", "unknown sandbox mode: x")


def not_instance(type_name, expected):
    return f"'{type_name}' object is not an instance of '{expected}'"


NOT_VEC = "Can't extract `str` to `Vec`"


@pytest.mark.parametrize("field,value,cause_type,cause_message", [
    ("prompt", 1, TypeError, not_instance("int", "str")),
    ("stdin", b"x", TypeError, not_instance("bytes", "str")),
    ("prompt", "\udc80", UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"),
    ("add_dirs", "abc", TypeError, NOT_VEC),
    ("images", {"a"}, TypeError, not_instance("set", "Sequence")),
    ("allowed_tools", {"a": 1}, TypeError, not_instance("dict", "Sequence")),
    ("disallowed_tools", (x for x in "ab"), TypeError, not_instance("generator", "Sequence")),
    ("enable", ["a", 2], TypeError, not_instance("int", "str")),
    ("disable", [None], TypeError, "'None' is not an instance of 'str'"),
    ("enable", b"ab", TypeError, not_instance("int", "str")),
    ("enable", BadLength(), RuntimeError, "no length"),
    ("approval", 3, TypeError, not_instance("int", "str")),
    ("strict_config", 1, TypeError, not_instance("int", "bool")),
    ("persistent", "true", TypeError, not_instance("str", "bool")),
    ("require_git_repo", 0, TypeError, not_instance("int", "bool")),
    ("env", [("A", "1")], TypeError, not_instance("list", "dict")),
    ("env", {"A": 1}, TypeError, not_instance("int", "str")),
    ("env", types.MappingProxyType({}), TypeError, not_instance("mappingproxy", "dict")),
    ("resume_all", 1.0, TypeError, not_instance("float", "bool")),
    ("config", "k=v", TypeError, NOT_VEC),
    ("config", [object()], AttributeError, "'object' object has no attribute 'key'"),
    ("config", [types.SimpleNamespace(key="k")], AttributeError,
     "'types.SimpleNamespace' object has no attribute 'value'"),
])
def test_refused_field(field, value, cause_type, cause_message):
    with pytest.raises(TypeError) as raised:
        outcome_of(**{field: value})
    error = raised.value
    assert type(error) is TypeError
    assert str(error) == f"failed to extract field ReqData.{field}"
    assert error.__notes__ == ["while processing 'req'"]
    assert type(error.__cause__) is cause_type
    assert str(error.__cause__) == cause_message


@pytest.mark.parametrize("element,field,inner", [
    (Config("k", None), "value", "'None' is not an instance of 'str'"),
    (Config(None, "v"), "key", "'None' is not an instance of 'str'"),
    (Config(1, "v"), "key", not_instance("int", "str")),
    (Config("k", ["v"]), "value", not_instance("list", "str")),
])
def test_refused_config_element(element, field, inner):
    with pytest.raises(TypeError) as raised:
        outcome_of(config=[Config("a", "b"), element])
    assert str(raised.value) == "failed to extract field ReqData.config"
    middle = raised.value.__cause__
    assert (type(middle), str(middle)) == (TypeError, f"failed to extract field ConfigData.{field}")
    assert (type(middle.__cause__), str(middle.__cause__)) == (TypeError, inner)


def test_numpy_bool_without_bool_conversion():
    flag = type("bool_", (), {"__module__": "numpy"})()
    with pytest.raises(TypeError) as raised:
        outcome_of(strict_config=flag)
    assert str(raised.value) == "failed to extract field ReqData.strict_config"
    assert str(raised.value.__cause__) == (
        "object of type 'bool_' does not define a '__bool__' conversion")


def test_missing_attribute_is_raised_unchanged():
    request = Request()
    del request.resume_all
    with pytest.raises(AttributeError) as raised:
        _vantrel.Runner().run(request)
    assert str(raised.value) == "'Request' object has no attribute 'resume_all'"
    assert raised.value.__notes__ == ["while processing 'req'"]


def test_dict_is_not_a_request():
    with pytest.raises(AttributeError) as raised:
        _vantrel.Runner().start({name: None for name in REQUEST_FIELDS})
    assert str(raised.value) == "'dict' object has no attribute 'prompt'"


def test_reading_stops_at_the_first_failing_field():
    request = Request(prompt=5)
    del request.resume_all
    with pytest.raises(TypeError) as raised:
        _vantrel.Runner().run(request)
    assert str(raised.value) == "failed to extract field ReqData.prompt"


def test_property_error_is_raised_unchanged():
    def model(self):
        raise KeyError("model")

    failing = type("Failing", (), {**dict.fromkeys(REQUEST_FIELDS), "model": property(model)})
    with pytest.raises(KeyError) as raised:
        _vantrel.Runner().run(failing())
    assert raised.value.__notes__ == ["while processing 'req'"]


def test_attributes_read_in_order():
    read = []

    class Recording(Request):
        def __getattribute__(self, name):
            if name in REQUEST_FIELDS:
                read.append(name)
            return object.__getattribute__(self, name)

    _vantrel.Runner().run(Recording(sandbox="x"))
    assert read == list(REQUEST_FIELDS)


@pytest.mark.parametrize("fields,message", [
    ({"sandbox": "Read-only"}, "unknown sandbox mode: Read-only"),
    ({"sandbox": "read_only"}, "unknown sandbox mode: read_only"),
    ({"sandbox": ""}, "unknown sandbox mode: "),
    ({"sandbox": " read-only"}, "unknown sandbox mode:  read-only"),
    ({"sandbox": "read-only", "approval": "Never"}, "unknown approval policy: Never"),
    ({"approval": "on_request"}, "unknown approval policy: on_request"),
    ({"sandbox": "x", "approval": "y"}, "unknown sandbox mode: x"),
])
def test_unknown_words_give_an_error_record(fields, message):
    for runner_call in (lambda r: _vantrel.Runner().run(r),
                        lambda r: _vantrel.Runner().start(r).wait()):
        outcome = runner_call(Request(prompt="hi", **fields))
        error = outcome.error
        assert (error.kind, error.message, error.code, error.stderr, error.line) == (
            "invalidRequest", message, None, None, None)
        result = outcome.result
        assert (result.run_id, result.thread_id, result.final_message, result.stderr,
                result.events, result.started_at_ms, result.finished_at_ms) == (
            "", "", "", "", [], 0.0, 0.0)
        usage = result.usage
        assert (usage.input_tokens, usage.cached_input_tokens, usage.cache_creation_input_tokens,
                usage.output_tokens, usage.reasoning_output_tokens, usage.total_tokens,
                usage.total_cost_usd, usage.model_usage) == (0, 0, 0, 0, 0, 0, 0.0, {})


def test_failed_start_session():
    session = _vantrel.Runner().start(Request(prompt="hi", sandbox="nope"))
    assert (session.id, session.thread_id(), session.next_event(), list(session)) == (
        "", "", None, [])
    assert session.cancel() is None
    first, second = session.wait(), session.wait()
    assert first is not second and first.error is not second.error
    assert (first.error.kind, first.error.message) == (second.error.kind, second.error.message)
    assert iter(session) is session


@pytest.mark.parametrize("method", ["run", "start"])
def test_method_argument_binding(method):
    call = getattr(_vantrel.Runner(), method)
    with pytest.raises(TypeError):
        call()
    with pytest.raises(TypeError):
        call(Request(), Request())
    with pytest.raises(TypeError):
        call(request=Request())
    assert call(req=Request(sandbox="x")) is not None


# Each attribute, given alone, shows on the command line as its own option, so that no attribute
# lands in another's field: (agent, attributes, words present in order, words absent).
EACH_ATTRIBUTE_IN_ITS_FIELD = [
    ("codex", {"dir": "d1"}, ["-C", "d1"], []),
    ("codex", {"model": "m1"}, ["-m", "m1"], []),
    ("codex", {"profile": "p1"}, ["-p", "p1"], []),
    ("codex", {"output_schema_path": "s1.json"}, ["--output-schema", "s1.json"], []),
    ("codex", {"output_last_message_path": "o1"}, ["-o", "o1"], []),
    ("codex", {"add_dirs": ["a1"]}, ["--add-dir", "a1"], []),
    ("codex", {"images": ["i1"]}, ["-i", "i1"], []),
    ("codex", {"enable": ["e1"]}, ["--enable", "e1"], ["--disable"]),
    ("codex", {"disable": ["x1"]}, ["--disable", "x1"], ["--enable"]),
    ("codex", {"config": [Config("k1", "v1")]}, ["-c", "k1=v1"], []),
    ("codex", {"strict_config": True}, ["--strict-config"], []),
    ("codex", {"persistent": True}, ["--skip-git-repo-check"], ["--ephemeral"]),
    ("codex", {"ignore_user_config": True}, ["--ignore-user-config"], ["--ignore-rules"]),
    ("codex", {"ignore_rules": True}, ["--ignore-rules"], ["--ignore-user-config"]),
    ("codex", {"require_git_repo": True}, ["--ephemeral"], ["--skip-git-repo-check"]),
    ("codex", {"dangerously_bypass_sandbox": True},
     ["--dangerously-bypass-approvals-and-sandbox"], ["--sandbox"]),
    ("codex", {"dangerously_bypass_hooks": True}, ["--dangerously-bypass-hook-trust"], []),
    ("codex", {"resume_id": "t1"}, ["exec", "resume", "--json"], ["--last"]),
    ("codex", {"resume_last": True}, ["--last", "-"], ["--all"]),
    ("codex", {"resume_id": "t1", "resume_all": True}, ["--all", "t1", "-"], ["--last"]),
    ("claude", {"permission_mode": "plan"}, ["--permission-mode", "plan"], []),
    ("claude", {"allowed_tools": ["t1"]}, ["--allowed-tools", "t1"], ["--disallowed-tools"]),
    ("claude", {"disallowed_tools": ["t1"]}, ["--disallowed-tools", "t1"], ["--allowed-tools"]),
]


def contains_in_order(words, part):
    return any(words[i:i + len(part)] == part for i in range(len(words) - len(part) + 1))


@pytest.mark.parametrize("agent, fields, present, absent", EACH_ATTRIBUTE_IN_ITS_FIELD,
                         ids=[",".join(row[1]) for row in EACH_ATTRIBUTE_IN_ITS_FIELD])
def test_each_attribute_reaches_its_own_option(fake_agent, record, agent, fields, present, absent):
    runner = _vantrel.Runner(executable=fake_agent, agent=agent, env={
        "VANTREL_FAKE_SCRIPT": "", "VANTREL_FAKE_RECORD": str(record)})
    outcome = runner.run(Request(prompt="hi", **fields))
    assert outcome.error is None, outcome.error.message
    args = recorded(record, "arg")[1:]
    assert contains_in_order(args, present), args
    assert not set(absent) & set(args), args


@pytest.mark.parametrize("fields, sent", [
    ({"prompt": "p1"}, "p1"),
    ({"stdin": "s1"}, "s1"),
    ({"prompt": "p1", "stdin": "s1"}, "p1\\n\\n<stdin>\\ns1\\n</stdin>\\n"),
])
def test_prompt_and_stdin_reach_the_agents_input(fake_agent, record, fields, sent):
    runner = _vantrel.Runner(executable=fake_agent, env={
        "VANTREL_FAKE_SCRIPT": "stdin", "VANTREL_FAKE_RECORD": str(record)})
    assert runner.run(Request(**fields)).error is None
    assert recorded(record, "stdin") == [sent]
