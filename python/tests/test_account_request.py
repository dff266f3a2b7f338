"""How both account-usage functions read their request: the same attributes, the same errors."""
import pytest

from conftest import AccountReq, Seconds

import _vantrel

QUERIES = [
    (_vantrel.get_account_usage, "AccountUsageReqData"),
    (_vantrel.get_claude_account_usage, "ClaudeAccountUsageReqData"),
]


@pytest.mark.parametrize("query,record", QUERIES)
@pytest.mark.parametrize("field,value", [
    ("executable", 5),
    ("executable", b"agent"),
    ("env", {"A": 1}),
    ("env", {1: "a"}),
    ("env", [("A", "b")]),
    ("timeout", "1"),
    ("timeout", 10 ** 400),
    ("timeout", Seconds("x")),
])
def test_ill_typed_attributes_raise_the_field_type_error(query, record, field, value):
    req = AccountReq()
    setattr(req, field, value)
    with pytest.raises(TypeError) as raised:
        query(req)
    assert str(raised.value) == f"failed to extract field {record}.{field}"
    assert raised.value.__cause__ is not None
    assert raised.value.__notes__ == ["while processing 'req'"]
