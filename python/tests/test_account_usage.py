"""get_account_usage and its result objects, with the fake agent playing the codex app-server."""
import math
import os
import threading

import pytest

from conftest import AccountReq, Index, Seconds, recorded

import _vantrel

REFUSED = ("account usage timeout must be finite, non-negative, and within the supported "
           "duration range")

INITIALIZE = 'out {"id":1,"result":{}}'
RATE_LIMITS = (
    'out {"id":2,"result":{"rateLimits":{"limitId":"codex","limitName":"Codex",'
    '"primary":{"usedPercent":"42.5","windowDurationMins":300,"resetsAt":1700000000},'
    '"credits":{"hasCredits":"true","unlimited":false,"balance":12.5},'
    '"individualLimit":{"limit":100,"used":25,"remainingPercent":75,"resetsAt":-1},'
    '"planType":"pro","rateLimitReachedType":"primary"},'
    '"rateLimitsByLimitId":{"codex":{"limitId":"codex"},"other":{"limitId":7}}}}')
TOKEN_USAGE = (
    'out {"id":3,"result":{"summary":{"lifetimeTokens":123456789,"peakDailyTokens":"4000"},'
    '"dailyUsageBuckets":[{"startDate":"d1","tokens":100},{"tokens":"7"}]}}')
ACCOUNT = ('out {"id":4,"result":{"account":{"type":"chatgpt","email":"a@b","planType":"plus",'
           '"requiresOpenaiAuth":false},"requiresOpenaiAuth":true}}')


def server(*replies):
    """A server script: each reply after reading one request, then wait to be killed."""
    lines = ["readline", INITIALIZE, "readline"]
    for reply in replies:
        lines += ["readline", reply]
    return "\n".join(lines + ["readline", ""])


COMPLETE = server(RATE_LIMITS, TOKEN_USAGE, ACCOUNT)


@pytest.fixture
def query(fake_agent, record):
    """Runs get_account_usage against the fake agent playing `script`."""
    def run(script, timeout=30, **env):
        env = {"VANTREL_FAKE_SCRIPT": script, "VANTREL_FAKE_RECORD": str(record), **env}
        return _vantrel.get_account_usage(AccountReq(fake_agent, env, timeout))
    return run


def expect_error(outcome, kind, message):
    assert type(outcome) is _vantrel.PyAccountUsageOutcome
    assert outcome.result is None
    error = outcome.error
    assert type(error) is _vantrel.PyError
    assert (error.kind, error.message, error.code, error.stderr, error.line) == (
        kind, message, None, None, None)


def test_a_complete_exchange_gives_every_record(query):
    outcome = query(COMPLETE)
    assert outcome.error is None
    usage = outcome.result
    assert type(usage) is _vantrel.PyAccountUsage

    limits = usage.rate_limits
    assert type(limits) is _vantrel.PyAccountRateLimits
    assert (limits.limit_id, limits.limit_name, limits.plan_type,
            limits.rate_limit_reached_type) == ("codex", "Codex", "pro", "primary")
    assert limits.secondary is None
    window = limits.primary
    assert type(window) is _vantrel.PyAccountRateLimitWindow
    assert (window.used_percent, window.window_duration_mins, window.resets_at) == (
        42.5, 300, 1700000000)
    assert [type(v) for v in (window.used_percent, window.resets_at)] == [float, int]
    credits = limits.credits
    assert type(credits) is _vantrel.PyAccountCredits
    assert (credits.has_credits, credits.unlimited, credits.balance) == (True, False, "12.5")
    assert type(credits.has_credits) is bool
    spend = limits.individual_limit
    assert type(spend) is _vantrel.PyAccountSpendLimit
    assert (spend.limit, spend.used, spend.remaining_percent, spend.resets_at) == (
        100.0, 25.0, 75.0, -1)
    assert type(spend.used) is float

    by_id = usage.rate_limits_by_limit_id
    assert type(by_id) is dict
    assert sorted(by_id) == ["codex", "other"]
    assert type(by_id["other"]) is _vantrel.PyAccountRateLimits
    assert by_id["other"].limit_id == "7"
    assert by_id["other"].primary is None

    tokens = usage.token_usage
    assert type(tokens) is _vantrel.PyAccountTokenUsage
    summary = tokens.summary
    assert type(summary) is _vantrel.PyAccountTokenUsageSummary
    assert (summary.lifetime_tokens, summary.peak_daily_tokens, summary.longest_running_turn_sec,
            summary.current_streak_days, summary.longest_streak_days) == (
        "123456789", "4000", None, None, None)
    buckets = tokens.daily_usage_buckets
    assert [type(b) for b in buckets] == [_vantrel.PyAccountTokenUsageDailyBucket] * 2
    assert [(b.start_date, b.tokens) for b in buckets] == [("d1", "100"), ("", "7")]

    account = usage.account
    assert type(account) is _vantrel.PyAccountUsageAccount
    # The reply's top-level flag, not the account object's own.
    assert (account.type, account.email, account.plan_type, account.requires_openai_auth) == (
        "chatgpt", "a@b", "plus", True)

    assert usage.raw_rate_limits == RATE_LIMITS[len('out {"id":2,"result":'):-1]
    assert usage.raw_token_usage == TOKEN_USAGE[len('out {"id":3,"result":'):-1]
    assert usage.raw_account == ACCOUNT[len('out {"id":4,"result":'):-1]


def test_every_read_builds_new_objects(query):
    outcome = query(COMPLETE)
    first, second = outcome.result, outcome.result
    assert first is not second
    assert first.raw_rate_limits == second.raw_rate_limits
    assert first.rate_limits is not first.rate_limits
    assert first.token_usage.summary is not first.token_usage.summary
    by_id = first.rate_limits_by_limit_id
    by_id.clear()
    assert len(first.rate_limits_by_limit_id) == 2
    buckets = first.token_usage.daily_usage_buckets
    buckets.pop()
    assert len(first.token_usage.daily_usage_buckets) == 2
    with pytest.raises(AttributeError):
        first.raw_account = "x"
    with pytest.raises(AttributeError):
        first.rate_limits.primary.used_percent = 1.0
    for obj in (outcome, first, first.account, first.rate_limits, first.rate_limits.credits,
                first.token_usage, first.token_usage.daily_usage_buckets[0]):
        assert not hasattr(obj, "__dict__")


@pytest.mark.parametrize("name", [
    "PyAccountUsage", "PyAccountUsageAccount", "PyAccountRateLimits", "PyAccountRateLimitWindow",
    "PyAccountCredits", "PyAccountSpendLimit", "PyAccountTokenUsage",
    "PyAccountTokenUsageSummary", "PyAccountTokenUsageDailyBucket", "PyAccountUsageOutcome"])
def test_result_classes_cannot_be_created_from_python(name):
    with pytest.raises(TypeError) as raised:
        getattr(_vantrel, name)()
    assert str(raised.value) == f"cannot create 'builtins.{name}' instances"


def test_refusals_of_usage_and_account_leave_only_their_fields_absent(query):
    outcome = query(server(RATE_LIMITS, 'out {"id":3,"error":{"message":"no"}}',
                           'out {"id":4,"error":{}}'))
    assert outcome.error is None
    usage = outcome.result
    assert (usage.token_usage, usage.raw_token_usage, usage.account, usage.raw_account) == (
        None, None, None, None)
    assert usage.rate_limits.limit_id == "codex"


@pytest.mark.parametrize("script,message", [
    (server('out {"id":2,"error":{"message":"limited"}}'),
     "agent process error: read codex account rate limits: agent process error: limited"),
    ("readline\nerr  not logged in \nexit 1\n",
     "agent process error: initialize codex app-server: agent process error: codex app-server "
     "closed stdout: not logged in"),
    (server(RATE_LIMITS, 'out {"id":3,"result":{"summary":null}}'),
     "agent process error: decode codex account usage: invalid type: null, expected struct "
     "AccountTokenUsageSummary at line 1 column 15"),
])
def test_failures_come_back_as_error_records(query, script, message):
    expect_error(query(script), "process", message)


def test_a_slow_reply_times_out_and_the_server_is_killed(query, record):
    outcome = query(server("sleep 60000"), timeout=0.3)
    expect_error(outcome, "process",
                 "agent process error: read codex account rate limits: agent process error: "
                 "codex app-server JSON-RPC timeout waiting for account/rateLimits/read")
    assert recorded(record, "end") == []


def test_a_zero_timeout_still_lets_initialize_through(query):
    script = "readline\nsleep 200\n" + COMPLETE[len("readline\n"):].replace(
        "readline\n" + RATE_LIMITS, "readline\nsleep 30000\n" + RATE_LIMITS)
    expect_error(query(script, timeout=0), "process",
                 "agent process error: read codex account rate limits: agent process error: "
                 "codex app-server JSON-RPC timeout waiting for account/rateLimits/read")


def test_a_program_that_cannot_start():
    outcome = _vantrel.get_account_usage(AccountReq("/nonexistent/vantrel/codex"))
    expect_error(outcome, "process", "agent process error: start codex app-server: "
                 "No such file or directory (os error 2)")


@pytest.mark.parametrize("call", [
    lambda: _vantrel.get_account_usage(),
    lambda: _vantrel.get_account_usage(None),
    lambda: _vantrel.get_account_usage(req=None),
    lambda: _vantrel.get_account_usage(AccountReq("")),
])
def test_codex_from_the_path_is_the_default(tmp_path, fake_agent, record, monkeypatch, call):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "codex").symlink_to(os.path.abspath(fake_agent))
    monkeypatch.setenv("PATH", str(bin_dir))
    monkeypatch.setenv("VANTREL_FAKE_SCRIPT", COMPLETE)
    monkeypatch.setenv("VANTREL_FAKE_RECORD", str(record))
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.delenv("CODEX_HOME", raising=False)
    assert call().error is None
    assert recorded(record, "arg") == [
        "codex", "-s", "read-only", "-a", "on-request", "app-server", "--stdio"]
    assert f"CODEX_HOME={tmp_path}/home/.codex" in recorded(record, "env")


def test_request_variables_reach_the_child(query, record):
    assert query(COMPLETE, CODEX_HOME="/given/home", EXTRA="x y").error is None
    env = recorded(record, "env")
    assert "CODEX_HOME=/given/home" in env
    assert "EXTRA=x y" in env


@pytest.mark.parametrize("timeout", [3, True, 2.5, 1e19, Seconds(4.0), Index(2), None])
def test_accepted_timeouts(query, timeout):
    assert query(COMPLETE, timeout=timeout).error is None


@pytest.mark.parametrize("timeout", [
    -1, -1e-300, math.nan, math.inf, -math.inf, 1e20, 2.0 ** 64, 2 ** 64, Seconds(math.nan)])
def test_refused_timeouts_start_no_process(query, record, timeout):
    expect_error(query(COMPLETE, timeout=timeout), "invalidRequest", REFUSED)
    assert not record.exists()


def test_a_missing_attribute_raises_attribute_error_and_stops_the_reading():
    looked_up = []

    class Partial:
        def __getattr__(self, name):
            looked_up.append(name)
            if name in ("executable", "env"):
                return None
            raise AttributeError(name)

    with pytest.raises(AttributeError) as raised:
        _vantrel.get_account_usage(Partial())
    assert looked_up == ["executable", "env", "timeout"]
    assert raised.value.__notes__ == ["while processing 'req'"]


def test_signature_and_argument_binding():
    assert _vantrel.get_account_usage.__text_signature__ == "(req=None)"
    with pytest.raises(TypeError):
        _vantrel.get_account_usage(None, None)
    with pytest.raises(TypeError):
        _vantrel.get_account_usage(request=None)


def test_queries_run_at_once_from_several_threads(fake_agent, tmp_path):
    # Each server waits for a file that only appears once every thread has started its query:
    # the calls must all be inside the module at the same time, the interpreter lock released.
    # The wait comes after initialize, under the request's own timeout.
    go = tmp_path / "go"
    outcomes = []
    script = COMPLETE.replace("readline\n" + RATE_LIMITS,
                              f"await {go}\nreadline\n" + RATE_LIMITS)

    def one(i):
        env = {"VANTREL_FAKE_SCRIPT": script,
               "VANTREL_FAKE_RECORD": str(tmp_path / f"record{i}")}
        outcomes.append(_vantrel.get_account_usage(AccountReq(fake_agent, env, 60)))

    workers = [threading.Thread(target=one, args=(i,)) for i in range(3)]
    for worker in workers:
        worker.start()
    while not all((tmp_path / f"record{i}").exists() for i in range(3)):
        threading.Event().wait(0.01)
    go.touch()
    for worker in workers:
        worker.join()
    assert [outcome.error for outcome in outcomes] == [None] * 3
