"""Environment variable names that a child's environment cannot hold are refused everywhere an
`env` is given: by the Runner, per request, and per account request; nothing is started."""
import pytest

from conftest import AccountReq, Request, recorded

import _vantrel

ILLEGAL = ["", "=", "A=B", "=HOME", "HOME="]


def quoted(name):
    return f'illegal environment variable name: "{name}"'


@pytest.mark.parametrize("name", ILLEGAL)
def test_runner_refuses_the_name(fake_agent, name):
    with pytest.raises(ValueError) as raised:
        _vantrel.Runner(executable=fake_agent, env={"OK": "1", name: "x"})
    assert str(raised.value) == "illegal environment variable name"


@pytest.mark.parametrize("name", [" ", "A B", "a.b", "-"])
def test_other_names_are_passed_on(fake_agent, record, name):
    env = {"VANTREL_FAKE_SCRIPT": "", "VANTREL_FAKE_RECORD": str(record), name: "v"}
    outcome = _vantrel.Runner(executable=fake_agent, env=env).run(Request(prompt="go"))
    assert outcome.error is None
    assert f"{name}=v" in recorded(record, "env")


@pytest.mark.parametrize("name", ILLEGAL)
def test_a_request_is_refused_naming_the_variable(fake_agent, record, name):
    runner = _vantrel.Runner(executable=fake_agent)
    env = {"VANTREL_FAKE_RECORD": str(record), name: "x"}
    for outcome in (runner.run(Request(prompt="go", env=env)),
                    runner.start(Request(prompt="go", env=env)).wait()):
        assert (outcome.error.kind, outcome.error.message) == ("invalidRequest", quoted(name))
        assert outcome.result.run_id == ""
    # In a group it keeps its index and holds up nothing.
    results = runner.run_many([Request(prompt="go", env=env), Request(prompt="go")]).wait()
    assert (results[0].run_id, results[0].result) == ("", None)
    assert (results[0].error.kind, results[0].error.message) == ("invalidRequest", quoted(name))
    assert results[1].error is None
    assert not record.exists()


@pytest.mark.parametrize("query", [_vantrel.get_account_usage, _vantrel.get_claude_account_usage])
@pytest.mark.parametrize("name", ILLEGAL)
def test_an_account_request_is_a_process_error(fake_agent, record, query, name):
    outcome = query(AccountReq(fake_agent, {"VANTREL_FAKE_RECORD": str(record), name: "x"}))
    assert outcome.result is None
    assert (outcome.error.kind, outcome.error.message) == (
        "process", "agent process error: " + quoted(name))
    assert not record.exists()
