// Tests of the app-server reply records: exact records, lenient rules, key forms and failures.
#include "vantrel/account/account_records.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

// The failure text of decoding `text`, or "ok".
template <class T>
std::string failure(Result<T, std::string> decoded) {
  return decoded ? "ok" : decoded.error();
}

template <class T>
T decoded(Result<T, std::string> result) {
  EXPECT_TRUE(result) << result.error();
  return result ? std::move(result).value() : T{};
}

struct Fault {
  std::string_view text;
  std::string_view error;
};

// ---- JSON-RPC envelope ------------------------------------------------------------------------

TEST(RpcMessageRecord, ReadsRepliesAndNotifications) {
  struct Row {
    std::string_view line;
    RpcMessage expected;
  };
  const Row rows[] = {
      {R"({"id":1,"result":{"rateLimits":{}}})", {1, {}, R"({"rateLimits":{}})", {}}},
      {R"({"id":2,"result": { "a" : 1 } })", {2, {}, R"({ "a" : 1 })", {}}},
      {R"({"id":2,"result":"x\u00e9"})", {2, {}, R"("x\u00e9")", {}}},
      {R"({"id":3,"result":null})", {3, {}, {}, {}}},
      {R"({"id":null,"method":null,"error":null})", {}},
      {R"({"method":"account/updated","params":{"x":[1]},"jsonrpc":"2.0"})",
       {{}, "account/updated", {}, {}}},
      {R"({"id":18446744073709551615,"error":{"code":-32600}})",
       {18446744073709551615u, {}, {}, RpcError{}}},
      {R"({"id":4,"error":{"message":"nope","data":{}},"result":5})",
       {4, {}, "5", RpcError{"nope"}}},
      {R"([1,"x",{},null])", {1, "x", "{}", {}}},
      {R"([null,null,null,["m"]])", {{}, {}, {}, RpcError{"m"}}},
      {R"( {} )", {}},
  };
  for (const auto& row : rows)
    EXPECT_EQ(decoded(deserialize_rpc_message(row.line)), row.expected) << row.line;
}

TEST(RpcMessageRecord, ReadsItsValuesStrictly) {
  const Fault rows[] = {
      {R"({"id":"1"})", "invalid type: string \"1\", expected u64 at line 1 column 9"},
      {R"({"id":-1})", "invalid value: integer `-1`, expected u64 at line 1 column 8"},
      {R"({"id":1.5})", "invalid type: floating point `1.5`, expected u64 at line 1 column 9"},
      {R"({"id":true})", "invalid type: boolean `true`, expected u64 at line 1 column 10"},
      {R"({"method":5})", "invalid type: integer `5`, expected a string at line 1 column 11"},
      {R"({"error":{"message":5}})",
       "invalid type: integer `5`, expected a string at line 1 column 21"},
      {R"({"error":"bad"})",
       "invalid type: string \"bad\", expected struct RpcError at line 1 column 14"},
      {R"({"error":[]})",
       "invalid length 0, expected struct RpcError with 1 element at line 1 column 10"},
      {R"([1,"x"])",
       "invalid length 2, expected struct RpcMessage with 4 elements at line 1 column 6"},
      {R"([1,"x",{},null,5])", "trailing characters at line 1 column 16"},
      {R"({"id":1,"id":2})", "duplicate field `id` at line 1 column 12"},
      {R"({"result":1,"result":[}})", "duplicate field `result` at line 1 column 20"},
      {R"({"result":[1,]})", "trailing comma at line 1 column 14"},
      {R"({"id":1} x)", "trailing characters at line 1 column 10"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  ", "EOF while parsing a value at line 1 column 2"},
      {"5", "invalid type: integer `5`, expected struct RpcMessage at line 1 column 1"},
      {"null", "invalid type: null, expected struct RpcMessage at line 1 column 4"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(failure(deserialize_rpc_message(row.text)), row.error) << row.text;
}

// ---- Rate limits ------------------------------------------------------------------------------

AccountRateLimits limits_of(std::string_view rate_limits_json) {
  return decoded(deserialize_rate_limits_response(R"({"rateLimits":)" +
                                                  std::string(rate_limits_json) + "}"))
      .rate_limits;
}

TEST(RateLimitsRecord, EmptyResultGivesDefaults) {
  RateLimitsResponse response = decoded(deserialize_rate_limits_response(R"({"rateLimits":{}})"));
  EXPECT_EQ(response, RateLimitsResponse{});
  EXPECT_EQ(decoded(deserialize_rate_limits_response("{}")), RateLimitsResponse{});
  EXPECT_EQ(
      decoded(deserialize_rate_limits_response(R"({"rateLimitsByLimitId":null,"other":[{}]})")),
      RateLimitsResponse{});
}

TEST(RateLimitsRecord, ReadsEveryFieldInBothKeyForms) {
  AccountRateLimits expected{
      "codex",
      "Codex",
      AccountRateLimitWindow{42.5, 300, 1700000000},
      AccountRateLimitWindow{},
      AccountCredits{true, false, "12.5"},
      AccountSpendLimit{100, 25.5, 74.5, -5},
      "pro",
      "primary",
  };
  const std::string_view camel = R"({"limitId":"codex","limitName":"Codex",
      "primary":{"usedPercent":42.5,"windowDurationMins":300,"resetsAt":1700000000},
      "secondary":{},"credits":{"hasCredits":true,"unlimited":false,"balance":12.5},
      "individualLimit":{"limit":100,"used":25.5,"remainingPercent":74.5,"resetsAt":-5},
      "planType":"pro","rateLimitReachedType":"primary"})";
  const std::string_view snake = R"({"limit_id":"codex","limit_name":"Codex",
      "primary":{"used_percent":42.5,"window_duration_mins":300,"resets_at":1700000000},
      "secondary":[],"credits":{"has_credits":true,"unlimited":false,"balance":"12.5"},
      "individual_limit":{"limit":100,"used":25.5,"remaining_percent":74.5,"resets_at":-5},
      "plan_type":"pro","rate_limit_reached_type":"primary"})";
  const std::string_view array = R"(["codex","Codex",[42.5,300,1700000000],{},
      [true,false,12.5],[100,25.5,74.5,-5],"pro","primary"])";
  for (auto text : {camel, snake, array}) EXPECT_EQ(limits_of(text), expected) << text;

  RateLimitsResponse response = decoded(deserialize_rate_limits_response(
      R"({"rate_limits":{"limitId":"a"},"rate_limits_by_limit_id":{"a":{"limitId":"a"},)"
      R"("b":{"primary":null},"a":{"limitName":"second"}}})"));
  EXPECT_EQ(response.rate_limits.limit_id, "a");
  AccountRateLimits second;
  second.limit_name = "second";
  RateLimitsById by_id = {{"a", second}, {"b", AccountRateLimits{}}};
  EXPECT_EQ(response.rate_limits_by_limit_id, by_id);  // a repeated member key: the later wins
}

TEST(RateLimitsRecord, WindowValuesAreReadLeniently) {
  struct Row {
    std::string_view window;
    AccountRateLimitWindow expected;
  };
  const Row rows[] = {
      {R"({"resetsAt":"86400"})", {0.0, 0, 86400}},
      {R"({"resetsAt":" -7\t"})", {0.0, 0, -7}},
      {R"({"resetsAt":1.7e9})", {0.0, 0, 0}},
      {R"({"resetsAt":9223372036854775808})", {0.0, 0, 0}},
      {R"({"resetsAt":"99999999999999999999"})", {0.0, 0, 0}},
      {R"({"windowDurationMins":300.0})", {0.0, 0, 0}},
      {R"({"windowDurationMins":true})", {0.0, 0, 0}},
      {R"({"usedPercent":"42.5"})", {42.5, 0, 0}},
      {R"({"usedPercent":"abc"})", {0.0, 0, 0}},
      {R"({"usedPercent":true})", {0.0, 0, 0}},
      {R"({"usedPercent":150})", {150.0, 0, 0}},
      {R"({"usedPercent":null,"windowDurationMins":[],"resetsAt":{}})", {0.0, 0, 0}},
  };
  for (const auto& row : rows)
    EXPECT_EQ(limits_of(R"({"primary":)" + std::string(row.window) + "}").primary, row.expected)
        << row.window;
  EXPECT_FALSE(limits_of(R"({"primary":null})").primary);
}

TEST(RateLimitsRecord, TextsAndFlagsAreReadLeniently) {
  const std::pair<std::string_view, std::string_view> limit_ids[] = {
      {"7", "7"}, {"-7", "-7"}, {"2.0", "2.0"}, {"1e16", "1e+16"}, {"true", ""}, {"[]", ""},
      {"{}", ""}, {"null", ""}, {"\"x\"", "x"}, {"0.25", "0.25"},  {"\"\"", ""},
  };
  for (auto [sent, text] : limit_ids)
    EXPECT_EQ(limits_of(R"({"limitId":)" + std::string(sent) + "}").limit_id, text) << sent;

  const std::pair<std::string_view, std::optional<std::string>> balances[] = {
      {"null", std::nullopt}, {"true", std::nullopt}, {"\"\"", ""},
      {"12.5", "12.5"},       {"[1]", std::nullopt},  {"-3", "-3"},
  };
  for (const auto& [sent, balance] : balances)
    EXPECT_EQ(limits_of(R"({"credits":{"balance":)" + std::string(sent) + "}}").credits->balance,
              balance)
        << sent;

  const std::pair<std::string_view, bool> flags[] = {
      {"\"true\"", true},  {"\" 1 \"", true},
      {"3", true},         {"-1", true},
      {"\"True\"", false}, {"0", false},
      {"1.0", false},      {"null", false},
      {"\"yes\"", false},  {"18446744073709551615", false},
      {"[true]", false},
  };
  for (auto [sent, flag] : flags)
    EXPECT_EQ(
        limits_of(R"({"credits":{"hasCredits":)" + std::string(sent) + "}}").credits->has_credits,
        flag)
        << sent;
}

TEST(RateLimitsRecord, Failures) {
  const Fault rows[] = {
      {R"({"rateLimits":null})",
       "invalid type: null, expected struct AccountRateLimits at line 1 column 18"},
      {R"({"rateLimits":5})",
       "invalid type: integer `5`, expected struct AccountRateLimits at line 1 column 15"},
      {R"({"rateLimitsByLimitId":[]})",
       "invalid type: sequence, expected a map at line 1 column 23"},
      {R"({"rateLimitsByLimitId":"x"})",
       "invalid type: string \"x\", expected a map at line 1 column 26"},
      {R"({"rateLimitsByLimitId":{"a":null}})",
       "invalid type: null, expected struct AccountRateLimits at line 1 column 32"},
      {R"({"rateLimits":{"primary":5}})",
       "invalid type: integer `5`, expected struct AccountRateLimitWindow at line 1 column 26"},
      {R"({"rateLimits":{"credits":"x"}})",
       "invalid type: string \"x\", expected struct AccountCredits at line 1 column 28"},
      {R"({"rateLimits":{"individualLimit":true}})",
       "invalid type: boolean `true`, expected struct AccountSpendLimit at line 1 column 37"},
      {R"({"rateLimits":{"primary":{"usedPercent":10,"used_percent":20}}})",
       "duplicate field `used_percent` at line 1 column 57"},
      {R"({"rateLimits":{"limitId":"a","limit_id":"b"}})",
       "duplicate field `limit_id` at line 1 column 39"},
      {R"({"rate_limits":{},"rateLimits":{}})",
       "duplicate field `rate_limits` at line 1 column 30"},
      {R"({"rateLimits":{"limitId":[1,]}})", "trailing comma at line 1 column 29"},
      {R"({"rateLimits":{"primary":[1,2,3,4]}})", "trailing characters at line 1 column 33"},
      {R"({"rateLimits":{}} {})", "trailing characters at line 1 column 19"},
      {"[]x", "trailing characters at line 1 column 3"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"null", "invalid type: null, expected struct RateLimitsResponse at line 1 column 4"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(failure(deserialize_rate_limits_response(row.text)), row.error) << row.text;
}

// Skipped values are scanned, not built: they nest to any depth, inside a record as at its top,
// and the fields around them are still read.
TEST(RateLimitsRecord, SkippedValuesNestToAnyDepth) {
  const std::string skipped = std::string(1000, '[') + std::string(1000, ']');
  RateLimitsResponse response = decoded(deserialize_rate_limits_response(
      R"({"x":)" + skipped + R"(,"rateLimits":{"limitId":"a","y":)" + skipped + "}}"));
  EXPECT_EQ(response.rate_limits.limit_id, "a");
  EXPECT_EQ(failure(deserialize_rate_limits_response(R"({"x":)" + std::string(1000, '[') + "}")),
            "expected value at line 1 column 1006");
}

// ---- Token usage ------------------------------------------------------------------------------

TEST(TokenUsageRecord, ReadsSummaryAndBuckets) {
  EXPECT_EQ(decoded(deserialize_account_token_usage("{}")), AccountTokenUsage{});
  EXPECT_EQ(decoded(deserialize_account_token_usage(R"({"summary":{},"dailyUsageBuckets":null})")),
            AccountTokenUsage{});

  AccountTokenUsage usage = decoded(deserialize_account_token_usage(
      R"({"summary":{"lifetimeTokens":123456789,"peakDailyTokens":"4000",)"
      R"("longestRunningTurnSec":12.5},"dailyUsageBuckets":[{"startDate":"d1","tokens":100},)"
      R"({"tokens":"7"},["d3",null]]})"));
  EXPECT_EQ(usage.summary, (AccountTokenUsageSummary{"123456789", "4000", "12.5", {}, {}}));
  EXPECT_EQ(usage.daily_usage_buckets,
            (std::vector<AccountTokenUsageDailyBucket>{{"d1", "100"}, {"", "7"}, {"d3", ""}}));

  AccountTokenUsage snake = decoded(deserialize_account_token_usage(
      R"({"summary":{"lifetime_tokens":"1","peak_daily_tokens":2,"longest_running_turn_sec":3,)"
      R"("current_streak_days":4,"longest_streak_days":5},)"
      R"("daily_usage_buckets":[{"start_date":"d","tokens":1e16}]})"));
  EXPECT_EQ(snake.summary, (AccountTokenUsageSummary{"1", "2", "3", "4", "5"}));
  EXPECT_EQ(snake.daily_usage_buckets, (std::vector<AccountTokenUsageDailyBucket>{{"d", "1e+16"}}));

  for (std::string_view sent : {"null", "true", "[]", "{}"}) {
    AccountTokenUsage odd = decoded(deserialize_account_token_usage(
        R"({"summary":{"lifetimeTokens":)" + std::string(sent) + "}}"));
    EXPECT_FALSE(odd.summary.lifetime_tokens) << sent;  // absent, not the empty text
  }
}

TEST(TokenUsageRecord, Failures) {
  const Fault rows[] = {
      {R"({"dailyUsageBuckets":[null]})",
       "invalid type: null, expected struct AccountTokenUsageDailyBucket at line 1 column 26"},
      {R"({"dailyUsageBuckets":{}})", "invalid type: map, expected a sequence at line 1 column 21"},
      {R"({"dailyUsageBuckets":5})",
       "invalid type: integer `5`, expected a sequence at line 1 column 22"},
      {R"({"summary":null})",
       "invalid type: null, expected struct AccountTokenUsageSummary at line 1 column 15"},
      {R"({"summary":{},"summary":{}})", "duplicate field `summary` at line 1 column 23"},
      {R"({"daily_usage_buckets":[],"dailyUsageBuckets":[]})",
       "duplicate field `daily_usage_buckets` at line 1 column 45"},
      {R"({"dailyUsageBuckets":[{"startDate":"a","start_date":"b"}]})",
       "duplicate field `start_date` at line 1 column 51"},
      {R"({"dailyUsageBuckets":[{"tokens":1,"tokens":2}]})",
       "duplicate field `tokens` at line 1 column 42"},
      {R"({"summary":{"currentStreakDays":1,"current_streak_days":1}})",
       "duplicate field `current_streak_days` at line 1 column 55"},
      {R"({"summary":[1,2,3,4,5,6]})", "trailing characters at line 1 column 23"},
      {"[]]", "trailing characters at line 1 column 3"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(failure(deserialize_account_token_usage(row.text)), row.error) << row.text;
}

// ---- Account ----------------------------------------------------------------------------------

TEST(AccountRecord, ReadsTheAccountAndBothFlags) {
  struct Row {
    std::string_view text;
    AccountResponse expected;
  };
  const Row rows[] = {
      {"{}", {}},
      {R"({"account":null,"requiresOpenaiAuth":true})", {{}, true}},
      {R"({"account":{"type":"a","email":"b","planType":"c"},"requiresOpenaiAuth":true})",
       {AccountUsageAccount{"a", "b", "c", false}, true}},
      {R"({"account":{"requiresOpenaiAuth":true}})",
       {AccountUsageAccount{"", "", "", true}, false}},
      {R"({"account":{"type":5,"email":null}})", {AccountUsageAccount{"5", "", "", false}, false}},
      {R"({"account":{"plan_type":"p","requires_openai_auth":"1"}})",
       {AccountUsageAccount{"", "", "p", true}, false}},
      {R"({"account":["t","e","p",true],"requires_openai_auth":1})",
       {AccountUsageAccount{"t", "e", "p", true}, true}},
      {R"({"requires_openai_auth":"true"})", {{}, true}},
      {R"({"requires_openai_auth":"TRUE"})", {{}, false}},
      {R"({"requires_openai_auth":1})", {{}, true}},
  };
  for (const auto& row : rows)
    EXPECT_EQ(decoded(deserialize_account_response(row.text)), row.expected) << row.text;
}

TEST(AccountRecord, Failures) {
  const Fault rows[] = {
      {R"({"account":{},"account":{}})", "duplicate field `account` at line 1 column 23"},
      {R"({"account":{"planType":"a","plan_type":"b"}})",
       "duplicate field `plan_type` at line 1 column 38"},
      {R"({"account":{"type":1,"type":2}})", "duplicate field `type` at line 1 column 27"},
      {R"({"account":{"email":1,"email":2}})", "duplicate field `email` at line 1 column 29"},
      {R"({"requiresOpenaiAuth":1,"requires_openai_auth":1})",
       "duplicate field `requires_openai_auth` at line 1 column 46"},
      {R"({"account":"me"})",
       "invalid type: string \"me\", expected struct AccountUsageAccount at line 1 column 15"},
      {"[5]", "invalid type: integer `5`, expected struct AccountUsageAccount at line 1 column 2"},
      {"true", "invalid type: boolean `true`, expected struct AccountResponse at line 1 column 4"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(failure(deserialize_account_response(row.text)), row.error) << row.text;
}

}  // namespace
}  // namespace vantrel
