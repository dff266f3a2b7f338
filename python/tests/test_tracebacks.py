"""An exception raised by the caller's own code while the module reads an argument keeps the
frames of that code in its traceback, whether it comes back as it was or as the cause of the
module's own error."""
import traceback

import pytest

from conftest import REQUEST_FIELDS, Request

import _vantrel


def failing_code():
    raise LookupError("the caller's own failure")


def frames(error):
    return [frame.name for frame in traceback.extract_tb(error.__traceback__)]


def with_failing_attribute(names, failing):
    """An object whose attributes `names` are None, but `failing`, a property that fails."""
    attributes = {**dict.fromkeys(names), failing: property(lambda self: failing_code())}
    return type("Failing", (), attributes)()


def failing_request(name):
    return with_failing_attribute(REQUEST_FIELDS, name)


def failing_account_request(name):
    return with_failing_attribute(("executable", "env", "timeout"), name)


class FailingLength(list):
    def __len__(self):
        failing_code()


class FailingIteration(list):
    def __iter__(self):
        failing_code()


class FailingItem:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        failing_code()


def request_with(**fields):
    return Request(prompt="go", **fields)


RAISED_AS_THEY_ARE = [
    ("run: a request attribute", lambda: _vantrel.Runner().run(failing_request("model"))),
    ("start: a request attribute", lambda: _vantrel.Runner().start(failing_request("env"))),
    ("run_many: an element's attribute",
     lambda: _vantrel.Runner().run_many([failing_request("resume_all")])),
    ("run_many: the list's iteration", lambda: _vantrel.Runner().run_many(FailingIteration())),
    ("run_many: an element of the list", lambda: _vantrel.Runner().run_many(FailingItem())),
    ("get_account_usage: an attribute",
     lambda: _vantrel.get_account_usage(failing_account_request("env"))),
    ("get_claude_account_usage: an attribute",
     lambda: _vantrel.get_claude_account_usage(failing_account_request("timeout"))),
]


@pytest.mark.parametrize("call", [c for _, c in RAISED_AS_THEY_ARE],
                         ids=[n for n, _ in RAISED_AS_THEY_ARE])
def test_a_failure_raised_as_it_is_keeps_its_frames(call):
    with pytest.raises(LookupError) as raised:
        call()
    assert "failing_code" in frames(raised.value), frames(raised.value)


CAUSES = [
    ("a list field's length", "add_dirs", FailingLength(["a"])),
    ("a list field's iteration", "images", FailingIteration(["a"])),
    ("a list field's element", "allowed_tools", FailingItem()),
]


@pytest.mark.parametrize("field, value", [c[1:] for c in CAUSES], ids=[c[0] for c in CAUSES])
def test_a_failure_that_causes_a_field_error_keeps_its_frames(field, value):
    with pytest.raises(TypeError) as raised:
        _vantrel.Runner().run(request_with(**{field: value}))
    assert str(raised.value) == f"failed to extract field ReqData.{field}"
    cause = raised.value.__cause__
    assert isinstance(cause, LookupError)
    assert "failing_code" in frames(cause), frames(cause)
