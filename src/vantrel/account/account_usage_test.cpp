// Tests of the codex account-usage query against the fake agent playing the app-server.
#include "vantrel/account/account_usage.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>

#include "vantrel/runtime/runtime.h"
#include "vantrel/testing/resources.h"
#include "vantrel/testing/scratch_dir.h"

namespace vantrel {
namespace {

using namespace std::chrono_literals;

// The lines the fake server writes for a complete exchange, each after reading one request.
constexpr std::string_view initialize_reply = R"(out {"id":1,"result":{"userAgent":"fake"}})";
constexpr std::string_view rate_limits_reply =
    R"(out {"id":2,"result":{"rateLimits":{"limitId":"codex","primary":{"usedPercent":12.5}},)"
    R"("rateLimitsByLimitId":{"codex":{"limitId":"codex"},"other":{"planType":"pro"}}}})";
constexpr std::string_view token_usage_reply =
    R"(out {"id":3,"result":{"summary":{"lifetimeTokens":7},"dailyUsageBuckets":[{"tokens":1}]}})";
constexpr std::string_view account_reply =
    R"(out {"id":4,"result":{"account":{"type":"chatgpt","email":"e","requiresOpenaiAuth":false},)"
    R"("requiresOpenaiAuth":true}})";

// A server script: up to the initialized notification, then the given lines.
std::string after_initialized(std::initializer_list<std::string_view> lines) {
  std::string script = "readline\n" + std::string(initialize_reply) + "\nreadline\n";
  for (auto line : lines) (script += line) += '\n';
  return script;
}

// The whole exchange answered; the server then waits on its input until it is killed.
std::string complete_exchange() {
  return after_initialized({"readline", rate_limits_reply, "readline", token_usage_reply,
                            "readline", account_reply, "readline"});
}

class AccountUsageQuery : public ::testing::Test {
 protected:
  Result<AccountUsage, RunError> query(const std::string& script,
                                       std::optional<std::chrono::nanoseconds> timeout = 5s) {
    AccountUsageReqData req;
    req.executable = VANTREL_FAKE_AGENT;
    req.env = {{"VANTREL_FAKE_SCRIPT", script}, {"VANTREL_FAKE_RECORD", record_path()}};
    req.timeout = timeout;
    return run(std::move(req));
  }
  static Result<AccountUsage, RunError> run(AccountUsageReqData req) {
    req.inherited_env = runtime::this_process_environment();
    return runtime::block_on(query_account_usage(std::move(req)));
  }
  // The message of a failed query, or "ok".
  std::string failure(const std::string& script,
                      std::optional<std::chrono::nanoseconds> timeout = 5s) {
    auto outcome = query(script, timeout);
    if (outcome) return "ok";
    EXPECT_EQ(outcome.error().kind, RunError::Process);
    return outcome.error().message;
  }

  std::string record_path() const { return scratch_.path() + "/record"; }
  // The values of the record lines with this key, in order.
  std::vector<std::string> recorded(std::string_view key) const {
    std::vector<std::string> values;
    std::istringstream lines(testing::read_file(record_path()));
    for (std::string line; std::getline(lines, line);)
      if (line.starts_with(key) && line.size() > key.size() && line[key.size()] == ' ')
        values.push_back(line.substr(key.size() + 1));
    return values;
  }

  testing::ScratchDir scratch_;
};

TEST_F(AccountUsageQuery, HoldsTheFiveMessageExchangeAndKillsTheServer) {
  auto outcome = query(complete_exchange());
  ASSERT_TRUE(outcome) << outcome.error().message;
  EXPECT_EQ(
      recorded("readline"),
      (std::vector<std::string>{
          R"({"id":1,"method":"initialize","params":{"clientInfo":{"name":"vantrel","version":"0.1.0"}}})",
          R"({"method":"initialized","params":{}})",
          R"({"id":2,"method":"account/rateLimits/read"})",
          R"({"id":3,"method":"account/usage/read"})",
          R"({"id":4,"method":"account/read","params":{}})",
      }));
  EXPECT_EQ(recorded("arg"), (std::vector<std::string>{VANTREL_FAKE_AGENT, "-s", "read-only", "-a",
                                                       "on-request", "app-server", "--stdio"}));
  // Killed while it waited for more input: it never reached its end.
  EXPECT_TRUE(recorded("end").empty());

  const AccountUsage& usage = *outcome;
  EXPECT_EQ(usage.raw_rate_limits,
            R"({"rateLimits":{"limitId":"codex","primary":{"usedPercent":12.5}},)"
            R"("rateLimitsByLimitId":{"codex":{"limitId":"codex"},"other":{"planType":"pro"}}})");
  EXPECT_EQ(usage.rate_limits.limit_id, "codex");
  EXPECT_EQ(usage.rate_limits.primary, (AccountRateLimitWindow{12.5, 0, 0}));
  ASSERT_EQ(usage.rate_limits_by_limit_id.size(), 2u);
  EXPECT_EQ(usage.rate_limits_by_limit_id.at("other").plan_type, "pro");
  EXPECT_EQ(usage.raw_token_usage,
            R"({"summary":{"lifetimeTokens":7},"dailyUsageBuckets":[{"tokens":1}]})");
  ASSERT_TRUE(usage.token_usage);
  EXPECT_EQ(usage.token_usage->summary.lifetime_tokens, "7");
  EXPECT_EQ(usage.token_usage->daily_usage_buckets,
            (std::vector<AccountTokenUsageDailyBucket>{{"", "1"}}));
  // The account shows the reply's top-level flag, not its own.
  EXPECT_EQ(usage.account, (AccountUsageAccount{"chatgpt", "e", "", true}));
  EXPECT_EQ(usage.raw_account,
            R"({"account":{"type":"chatgpt","email":"e","requiresOpenaiAuth":false},)"
            R"("requiresOpenaiAuth":true})");
}

TEST_F(AccountUsageQuery, SkipsNotificationsServerRequestsAndOtherReplies) {
  auto outcome = query(after_initialized({
      "readline",
      R"(out {"method":"account/updated","params":{}})",
      R"(out {"id":9,"method":"item/approve","params":{}})",
      R"(out {"id":1,"result":"late reply to an earlier request"})",
      R"(out {"result":"reply without an id"})",
      R"(raw {"id":2,"result":{}}\r\n)",
      "readline",
      R"(out {"id":3,"error":{"code":-1,"message":"no usage here"}})",
      "readline",
      R"(out {"id":4,"error":{"message":"no account"},"result":{"account":{}}})",
      "readline",
  }));
  ASSERT_TRUE(outcome) << outcome.error().message;
  EXPECT_EQ(outcome->raw_rate_limits, "{}");
  // Refusals of the last two requests only leave their fields absent.
  EXPECT_FALSE(outcome->token_usage || outcome->raw_token_usage);
  EXPECT_FALSE(outcome->account || outcome->raw_account);
}

TEST_F(AccountUsageQuery, AnAccountReplyWithoutAccountLeavesOnlyTheAccountAbsent) {
  auto outcome = query(after_initialized(
      {"readline", R"(out {"id":2,"result":{}})", "readline", R"(out {"id":3,"result":{}})",
       "readline", R"(out {"id":4,"result":{"requiresOpenaiAuth":true}})", "readline"}));
  ASSERT_TRUE(outcome) << outcome.error().message;
  EXPECT_FALSE(outcome->account);
  EXPECT_EQ(outcome->raw_account, R"({"requiresOpenaiAuth":true})");
  EXPECT_EQ(outcome->token_usage, AccountTokenUsage{});
}

TEST_F(AccountUsageQuery, FailuresNameTheirStep) {
  const std::string through_rate_limits =
      after_initialized({"readline", rate_limits_reply, "readline"});
  const std::string through_usage =
      through_rate_limits + std::string(token_usage_reply) + "\nreadline\n";
  struct Row {
    std::string script;
    std::string_view message;
  };
  const Row rows[] = {
      {"readline\nout {\"id\":1,\"error\":{\"message\":\"boom\"}}\nreadline\n",
       "initialize codex app-server: agent process error: boom"},
      {"readline\nout {\"id\":1,\"error\":{}}\nreadline\n",
       "initialize codex app-server: agent process error: codex app-server JSON-RPC error"},
      {"readline\nout {\"id\":1,\"error\":null}\nreadline\n",
       "initialize codex app-server: agent process error: codex app-server response missing "
       "result"},
      {"readline\nexit 0\n",
       "initialize codex app-server: agent process error: codex app-server closed stdout"},
      {after_initialized({"readline", R"(out {"id":2,"error":{"message":"limited"}})"}),
       "read codex account rate limits: agent process error: limited"},
      {after_initialized({"readline", R"(out {"id":2})", "readline"}),
       "read codex account rate limits: agent process error: codex app-server response missing "
       "result"},
      {after_initialized({"readline", R"(out {"id":2,"result":{"rateLimits":null}})"}),
       "decode codex account rate limits: invalid type: null, expected struct AccountRateLimits "
       "at line 1 column 18"},
      {after_initialized({"readline", "exit 3"}),
       "read codex account rate limits: agent process error: codex app-server closed stdout"},
      // A last line without "\n" is still a line; the next request then finds the end.
      {after_initialized({"readline", R"(raw {"id":2,"result":{}})", "close-stdout", "readline"}),
       "read codex account usage: agent process error: codex app-server closed stdout"},
      {through_rate_limits + "out\nreadline\n",
       "read codex account usage: agent process error: decode codex app-server JSON-RPC: EOF "
       "while parsing a value at line 1 column 0"},
      {through_rate_limits + "out {\"id\":3,\"result\":\"\\xff\"}\nreadline\n",
       "read codex account usage: agent process error: read codex app-server: stream did not "
       "contain valid UTF-8"},
      {through_rate_limits + "out {\"id\":3,\"result\":{\"summary\":null}}\nreadline\n",
       "decode codex account usage: invalid type: null, expected struct AccountTokenUsageSummary "
       "at line 1 column 15"},
      {through_rate_limits + "out {\"id\":3,\"result\":null}\nreadline\n",
       "read codex account usage: agent process error: codex app-server response missing result"},
      {through_usage + "out {\"id\":4}\nreadline\n",
       "read codex account: agent process error: codex app-server response missing result"},
      {through_usage + "out {\"id\":4,\"result\":{\"account\":5}}\nreadline\n",
       "decode codex account: invalid type: integer `5`, expected struct AccountUsageAccount at "
       "line 1 column 12"},
      {through_usage + "out [4]\nreadline\n",
       "read codex account: agent process error: decode codex app-server JSON-RPC: invalid "
       "length 1, expected struct RpcMessage with 4 elements at line 1 column 2"},
  };
  for (const auto& row : rows) EXPECT_EQ(failure(row.script), row.message) << row.script;
}

// Each server reads the initialize request before it exits, so that request is never written
// to a closed pipe.
TEST_F(AccountUsageQuery, FailuresCarryTheTrimmedStandardErrorTail) {
  EXPECT_EQ(failure("readline\nerr  first words\nerrraw \\xff last \\n\\t\nexit 1\n"),
            "initialize codex app-server: agent process error: codex app-server closed stdout: "
            "first words\n\xef\xbf\xbd last");
  EXPECT_EQ(failure("readline\nerrraw \\x20\\n\\t\\r\nexit 1\n"),
            "initialize codex app-server: agent process error: codex app-server closed stdout");

  // Only the newest 1048576 bytes are kept ('a' to 'z' cycling, so the kept part starts at
  // byte 100 of the stream, a 'w').
  std::string message = failure("readline\nerrfill 1048676\nexit 1\n");
  const std::string_view head =
      "initialize codex app-server: agent process error: codex app-server closed stdout: ";
  ASSERT_EQ(message.size(), head.size() + 1048576);
  EXPECT_EQ(message.substr(0, head.size() + 4), std::string(head) + "wxyz");
}

TEST_F(AccountUsageQuery, ADescendantHoldingStandardErrorDoesNotHoldTheQuery) {
  EXPECT_EQ(failure("readline\nerr words\nlinger 60000\nexit 1\n"),
            "initialize codex app-server: agent process error: codex app-server closed stdout: "
            "words");
  // The descendant was in the server's process group, and the kill took it too.
  auto lingering = recorded("linger");
  ASSERT_EQ(lingering.size(), 1u);
  const pid_t pid = std::stoi(lingering[0]);
  EXPECT_TRUE(testing::eventually([&] { return !testing::is_running(pid); }));
}

// The server exits while a helper it left behind holds its output: the reply wait ends a short
// grace after the exit instead of at the request's timeout, and the output reads as ended there.
TEST_F(AccountUsageQuery, AHelperHoldingTheOutputDoesNotHoldTheQuery) {
  struct Case {
    std::string name;
    std::string script;
    std::string_view message;
    bool holder_survives;
  };
  const std::string_view output_ended =
      "read codex account rate limits: agent process error: codex app-server closed stdout";
  const Case cases[] = {
      {"a helper in the server's group", after_initialized({"readline", "hold 60000", "exit 0"}),
       output_ended, false},
      {"a helper out of the group's reach",
       after_initialized({"readline", "hold 60000 apart", "exit 0"}), output_ended, true},
      // Unlike at a closed pipe, a last line without "\n" is not taken: the holder may still be
      // writing it.
      {"a reply without its newline",
       after_initialized({"readline", R"(raw {"id":2,"result":{}})", "hold 60000", "exit 0"}),
       output_ended, false},
      // The whole lines before it are taken.
      {"a reply before an unfinished line",
       after_initialized(
           {"readline", R"(raw {"id":2,"result":{}}\n{"id")", "readline", "hold 60000", "exit 0"}),
       "read codex account usage: agent process error: codex app-server closed stdout", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(failure(c.script, 30s), c.message);
    // Only a hang would reach the request's timeout.
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 10s);
    std::vector<std::string> holders, groups;
    ASSERT_TRUE(testing::eventually([&] { return !(holders = recorded("hold")).empty(); }));
    groups = recorded("pgid");
    ASSERT_EQ(groups.size(), 1u);
    // The query killed the server's whole group at its end.
    EXPECT_TRUE(testing::eventually(
        [&] { return testing::live_group_members(std::stol(groups[0])) == 0; }));
    const pid_t holder = std::stoi(holders[0]);
    EXPECT_EQ(testing::is_running(holder), c.holder_survives);
    if (c.holder_survives) ::kill(holder, SIGKILL);
    std::filesystem::remove(record_path());
  }
}

// A helper that goes on writing notifications after the server's exit, faster than they are read,
// still cannot keep the query reading past the grace.
TEST_F(AccountUsageQuery, AHelperThatKeepsWritingCannotKeepTheQueryReading) {
  AccountUsageReqData req;
  req.executable = scratch_.write("codex",
                                  "#!/bin/sh\n"
                                  "read line\n"
                                  "echo '{\"id\":1,\"result\":{}}'\n"
                                  "read line\n"
                                  "read line\n"
                                  "timeout --foreground 120 yes '{\"method\":\"progress\"}' &\n");
  std::filesystem::permissions(*req.executable, std::filesystem::perms::owner_all);
  req.timeout = 120s;
  auto begun = std::chrono::steady_clock::now();
  auto outcome = run(req);
  // Held, the query would end only once the helper stops, after two minutes. What it reads in
  // the grace (up to what the pipe holds at its end) takes a few seconds more to decode under the
  // thread sanitizer, many more on a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 90s);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().message,
            "read codex account rate limits: agent process error: codex app-server closed stdout");
}

TEST_F(AccountUsageQuery, EachRequestHasItsOwnDeadline) {
  // The account requests wait `timeout` for their reply; the server answers too late.
  EXPECT_EQ(failure(after_initialized({"readline", "sleep 30000", rate_limits_reply}), 200ms),
            "read codex account rate limits: agent process error: codex app-server JSON-RPC "
            "timeout waiting for account/rateLimits/read");
  // Initialize has its own limit: a zero timeout still lets it through, slow as it is.
  EXPECT_EQ(failure("readline\nsleep 300\n" + std::string(initialize_reply) +
                        "\nreadline\nreadline\nsleep 30000\n" + std::string(rate_limits_reply) +
                        "\nreadline\n",
                    0ns),
            "read codex account rate limits: agent process error: codex app-server JSON-RPC "
            "timeout waiting for account/rateLimits/read");
  // The deadline counts from the request's send, whatever the server writes meanwhile: a
  // notification now and then, or a stream of them faster than they are read.
  const std::string timed_out =
      "read codex account rate limits: agent process error: codex app-server JSON-RPC timeout "
      "waiting for account/rateLimits/read";
  std::vector<std::string_view> chatty = {"readline"};
  for (int i = 0; i < 6; ++i) {
    chatty.push_back("sleep 400");
    chatty.push_back(R"(out {"method":"progress"})");
  }
  chatty.insert(chatty.end(), {rate_limits_reply, "readline", token_usage_reply, "readline",
                               account_reply, "readline"});
  std::string script = "readline\n" + std::string(initialize_reply) + "\nreadline\n";
  for (auto line : chatty) (script += line) += '\n';
  EXPECT_EQ(failure(script, 1s), timed_out);
  auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(
      failure(after_initialized({"readline", "repeat 100000000 {\"method\":\"progress\"}"}), 1s),
      timed_out);
  // Only a deadline that the stream kept re-arming would reach this.
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 60s);
}

TEST_F(AccountUsageQuery, InitializeHasItsOwnLimitEvenUnderALongerTimeout) {
  // The server never answers; the request's timeout would let it take a minute.
  EXPECT_EQ(failure("readline\nsleep 60000\n", 60s),
            "initialize codex app-server: agent process error: codex app-server JSON-RPC "
            "timeout waiting for initialize");
}

TEST_F(AccountUsageQuery, ALineThatNeverEndsCannotHoldTheQueryPastItsDeadline) {
  // Bytes without a newline, as fast as they can be read.
  EXPECT_EQ(failure(after_initialized({"readline", "cat /dev/zero"}), 0ns),
            "read codex account rate limits: agent process error: codex app-server JSON-RPC "
            "timeout waiting for account/rateLimits/read");
}

// A reply line of exactly 64 MiB (its "\n" not counted) is read; one byte more fails the query,
// as does a line that never ends, long before the deadline.
TEST_F(AccountUsageQuery, AReplyLineIsAtMost64MiB) {
  constexpr std::size_t limit = 64 * 1024 * 1024;
  const std::string head = R"({"method":"pad","params":")";
  std::string line = head + std::string(limit - head.size() - 2, 'p') + "\"}";
  auto with_notification = [&](const std::string& notification) {
    return after_initialized({"readline", "cat " + scratch_.write("line", notification + "\n"),
                              rate_limits_reply, "readline", token_usage_reply, "readline",
                              account_reply, "readline"});
  };
  EXPECT_EQ(failure(with_notification(line), 30s), "ok");
  const std::string refused =
      "read codex account rate limits: agent process error: read codex app-server: reply line "
      "longer than 64 MiB";
  EXPECT_EQ(failure(with_notification(line + " "), 30s), refused);
  EXPECT_EQ(failure(after_initialized({"readline", "cat /dev/zero"}), 60s), refused);
}

TEST_F(AccountUsageQuery, RepliesAlreadyWrittenAreTakenEvenWithAZeroTimeout) {
  // Every reply goes out in one write right after initialize, before the requests are read;
  // the rate-limits reply spans several buffer reads, all of which the pipe already holds.
  const std::string replies[] = {
      R"({"id":1,"result":")" + std::string(8000, 'x') + R"("})",
      R"({"id":2,"result":{"rateLimits":{"limitId":"codex"},"pad":")" + std::string(50000, 'y') +
          R"("}})",
      R"({"id":3,"result":{}})",
      R"({"id":4,"result":{}})",
  };
  std::string script = "readline\nraw ";
  for (const auto& reply : replies) script += reply + "\\n";
  script += "\nreadline\nreadline\nreadline\nreadline\nreadline\n";
  auto outcome = query(script, 0ns);
  ASSERT_TRUE(outcome) << outcome.error().message;
  EXPECT_EQ(outcome->rate_limits.limit_id, "codex");
  EXPECT_EQ(outcome->raw_account, "{}");
}

TEST_F(AccountUsageQuery, AProgramThatCannotStartFailsWithoutTail) {
  AccountUsageReqData req;
  req.executable = scratch_.path() + "/missing-codex";
  auto outcome = run(req);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().message,
            "start codex app-server: No such file or directory (os error 2)");
  EXPECT_EQ(outcome.error().display(),
            "agent process error: start codex app-server: No such file or directory (os error 2)");
}

TEST_F(AccountUsageQuery, AnEmptyExecutableStartsCodexFromThePath) {
  std::filesystem::create_symlink(VANTREL_FAKE_AGENT, scratch_.path() + "/codex");
  AccountUsageReqData req;
  req.executable = "";
  req.env = {{"PATH", scratch_.path()},
             {"VANTREL_FAKE_SCRIPT", complete_exchange()},
             {"VANTREL_FAKE_RECORD", record_path()}};
  auto outcome = run(req);
  ASSERT_TRUE(outcome) << outcome.error().message;
  EXPECT_EQ(recorded("arg").at(0), "codex");
}

// ---- Environment and context ------------------------------------------------------------------

class CodexHome : public ::testing::Test {
 protected:
  // CODEX_HOME as the child would get it, or "<absent>".
  static std::string child_codex_home(const std::vector<runtime::EnvVar>& pairs) {
    std::map<std::string, std::string> env;
    for (auto& [name, value] : codex_home_env(*runtime::this_process_environment(), pairs)) {
      EXPECT_TRUE(env.emplace(name, value).second) << "twice: " << name;
    }
    auto at = env.find("CODEX_HOME");
    return at == env.end() ? "<absent>" : at->second;
  }
  static void set(const char* name, const char* value) {
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }

  testing::EnvGuard home_{"HOME"}, profile_{"USERPROFILE"}, codex_home_{"CODEX_HOME"};
};

TEST_F(CodexHome, DefaultsToTheHomeDirectory) {
  struct Row {
    const char* home;
    const char* profile;
    const char* codex_home;
    std::vector<runtime::EnvVar> pairs;
    std::string_view expected;
  };
  const Row rows[] = {
      {"/home/u", nullptr, nullptr, {}, "/home/u/.codex"},
      {"/home/u/", nullptr, nullptr, {}, "/home/u/.codex"},
      {"  ", nullptr, nullptr, {}, "  /.codex"},  // not trimmed: blanks are a base
      {"/home/u", nullptr, nullptr, {{"CODEX_HOME", " \t"}}, "/home/u/.codex"},
      {"/home/u", nullptr, "\xc2\xa0", {}, "/home/u/.codex"},
      {"/home/u", nullptr, "/mine", {}, "/mine"},
      {"/home/u", nullptr, "/mine", {{"CODEX_HOME", " /given "}}, " /given "},
      {"/home/u", nullptr, nullptr, {{"HOME", "/elsewhere"}}, "/home/u/.codex"},
      {"", "C:/Users/u", nullptr, {}, "C:/Users/u/.codex"},
      {nullptr, "/p", nullptr, {{"USERPROFILE", "/q"}}, "/p/.codex"},
      {nullptr, nullptr, nullptr, {}, "<absent>"},
      {nullptr, nullptr, nullptr, {{"CODEX_HOME", " "}}, " "},
      {"", "", " ", {}, " "},
      {"/h\xff", nullptr, nullptr, {}, "/h\xef\xbf\xbd/.codex"},
  };
  for (const auto& row : rows) {
    set("HOME", row.home);
    set("USERPROFILE", row.profile);
    set("CODEX_HOME", row.codex_home);
    EXPECT_EQ(child_codex_home(row.pairs), row.expected)
        << (row.home ? row.home : "-") << " " << (row.profile ? row.profile : "-");
  }
}

TEST_F(CodexHome, RequestPairsGoOverTheInheritedOnesInOrder) {
  setenv("VANTREL_TEST_INHERITED", "old", 1);
  std::map<std::string, std::string> env;
  for (auto& [name, value] :
       codex_home_env(*runtime::this_process_environment(),
                      {{"VANTREL_TEST_INHERITED", "new"}, {"A_B", "1"}, {"A_B", "2"}}))
    env[name] = value;
  unsetenv("VANTREL_TEST_INHERITED");
  EXPECT_EQ(env["VANTREL_TEST_INHERITED"], "new");
  EXPECT_EQ(env["A_B"], "2");
  EXPECT_TRUE(env.contains("PATH"));
}

TEST(StandardErrorContext, AppendsTheTrimmedTailToProcessErrors) {
  EXPECT_EQ(with_context(RunError::process("m"), " \n tail words\t\n").message, "m: tail words");
  EXPECT_EQ(with_context(RunError::process("m"), "\xe3\x80\x80\n").message, "m");
  EXPECT_EQ(with_context(RunError::process("m"), "").message, "m");
  EXPECT_EQ(with_context(RunError::handler("h"), "tail"), RunError::handler("h"));
}

}  // namespace
}  // namespace vantrel
