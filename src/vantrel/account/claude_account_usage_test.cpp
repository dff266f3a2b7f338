// Tests of the claude account-usage probe: the reply decoding and the probe against the fake
// agent.
#include "vantrel/account/claude_account_usage.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "vantrel/runtime/runtime.h"
#include "vantrel/testing/resources.h"
#include "vantrel/testing/scratch_dir.h"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using runtime::ExitStatus;

ExitStatus exited(int code) { return ExitStatus{code << 8}; }

void expect_process_error(const Result<ClaudeAccountUsage, RunError>& result,
                          const std::string& message) {
  ASSERT_FALSE(result) << "expected: " << message;
  EXPECT_EQ(result.error(), RunError::process(message));
}

// ---- The reply -----------------------------------------------------------------------------

struct ReplyCase {
  std::string_view out;
  std::string_view err;
  // The error message, or empty for a success whose report is `report`.
  std::string message;
  std::string report = "";
};

TEST(ClaudeUsageFromOutput, DecodesTheReplyOrNamesTheFault) {
  const ReplyCase cases[] = {
      {R"({"result":"A: 1% used","is_error":false,"errors":[]})", "", "", "A: 1% used"},
      {R"({"type":"result","result":" text ","session_id":{"x":[1]},"total_cost_usd":0.5})", "", "",
       " text "},
      {R"({"is_error":false,"errors":["ignored"]})", "", "", ""},
      {R"({"Result":"wrong case","IsError":true,"isError":true})", "", "", ""},
      {R"([false,"A: 1% used"])", "", "", "A: 1% used"},
      {"[]", "", "", ""},
      {"\n\n  {\"result\":\"x\"}\r\n\n", "", "", "x"},
      {R"({"is_error":true,"result":"quota","errors":["a","b"]})", "",
       "claude account usage failed: quota"},
      {R"({"is_error":true,"result":"","errors":["a","b"]})", "",
       "claude account usage failed: a; b"},
      {R"({"is_error":true,"errors":["","b",""]})", "", "claude account usage failed: ; b; "},
      {R"({"is_error":true,"result":" "})", "", "claude account usage failed:  "},
      {R"({"is_error":true})", "warning", "claude account usage failed: unknown error"},
      {R"([true])", "", "claude account usage failed: unknown error"},
      {"", "", "decode claude account usage: EOF while parsing a value at line 1 column 0"},
      {" \n ", " \n ", "decode claude account usage: EOF while parsing a value at line 1 column 0"},
      {"", "  login required \n",
       "decode claude account usage: EOF while parsing a value at line 1 column 0: login "
       "required"},
      {R"({"result":null})", "",
       "decode claude account usage: invalid type: null, expected a string at line 1 column 14"},
      {R"({"is_error":null})", "",
       "decode claude account usage: invalid type: null, expected a boolean at line 1 column 16"},
      {R"({"errors":null})", "",
       "decode claude account usage: invalid type: null, expected a sequence at line 1 column "
       "14"},
      {R"({"errors":["a",1]})", "",
       "decode claude account usage: invalid type: integer `1`, expected a string at line 1 "
       "column 16"},
      {R"({"is_error":"true"})", "",
       "decode claude account usage: invalid type: string \"true\", expected a boolean at line "
       "1 column 18"},
      {R"({"result":"a","result":"b"})", "",
       "decode claude account usage: duplicate field `result` at line 1 column 22"},
      {"5", "",
       "decode claude account usage: invalid type: integer `5`, expected struct "
       "ClaudeUsageResponse at line 1 column 1"},
      {"null", "",
       "decode claude account usage: invalid type: null, expected struct ClaudeUsageResponse "
       "at line 1 column 4"},
      {R"([false,"",[],1])", "",
       "decode claude account usage: trailing characters at line 1 column 14"},
      {R"({"result":"x"} {})", "",
       "decode claude account usage: trailing characters at line 1 column 16"},
      {R"({"result":"x")", "oops",
       "decode claude account usage: EOF while parsing an object at line 1 column 13: oops"},
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.out);
    auto result = claude_usage_from_output(exited(0), c.out, c.err);
    if (!c.message.empty()) {
      expect_process_error(result, c.message);
    } else {
      ASSERT_TRUE(result) << result.error().display();
      EXPECT_EQ(result->report, c.report);
      EXPECT_EQ(result->raw, json::trim_unicode_space(c.out));
    }
  }
}

TEST(ClaudeUsageFromOutput, ParsesTheWindowsOfTheReport) {
  auto result = claude_usage_from_output(
      exited(0), R"({"result":"Usage\nSession: 3% used, resets 5pm\r\nWeek: 80.5% used"})", "");
  ASSERT_TRUE(result);
  std::vector<ClaudeAccountUsageWindow> expected = {{"Session", 3, "5pm"}, {"Week", 80.5, ""}};
  EXPECT_EQ(result->windows, expected);
  EXPECT_EQ(result->report, "Usage\nSession: 3% used, resets 5pm\r\nWeek: 80.5% used");
}

TEST(ClaudeUsageFromOutput, AFailedExitIgnoresTheReplyAndCarriesTheTrimmedStandardError) {
  const std::string_view reply = R"({"result":"A: 1% used"})";
  struct Case {
    ExitStatus status;
    std::string_view err;
    std::int32_t code;
    std::string stderr_text;
  };
  const Case cases[] = {
      {exited(2), "\n  not logged in \n", 2, "not logged in"},
      {exited(1), "", 1, ""},
      {ExitStatus{SIGKILL}, "bye\xFF", -1, "bye\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    auto result = claude_usage_from_output(c.status, reply, c.err);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), RunError::exit(c.stderr_text, std::nullopt, c.code));
    EXPECT_EQ(result.error().display(), "agent exited with code " + std::to_string(c.code));
  }
}

TEST(ClaudeUsageFromOutput, ReplacesInvalidUtf8BeforeDecoding) {
  auto result = claude_usage_from_output(exited(0), "{\"result\":\"A\xFF: 2% used\"}\xC3", "");
  ASSERT_FALSE(result);  // the replaced last byte is text after the value
  result = claude_usage_from_output(exited(0), "{\"result\":\"A\xFF: 2% used\"}", "");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->report, "A\xEF\xBF\xBD: 2% used");
  EXPECT_EQ(result->raw, "{\"result\":\"A\xEF\xBF\xBD: 2% used\"}");
  EXPECT_EQ(result->windows.at(0).label, "A\xEF\xBF\xBD");
}

TEST(DeserializeClaudeUsageResponse, ReadsTheArrayFormPositionally) {
  auto reply = deserialize_claude_usage_response(R"([true,"r",["e1","e2"]])");
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, (ClaudeUsageResponse{true, "r", {"e1", "e2"}}));
  EXPECT_EQ(unknown_error_text(), "unknown error");
}

// ---- The probe -------------------------------------------------------------------------------

// Runs the probe against the fake agent, which records its start in the scratch directory.
class ClaudeUsageProbe : public ::testing::Test {
 protected:
  ClaudeAccountUsageReqData request(const std::string& script) {
    ClaudeAccountUsageReqData req;
    req.executable = VANTREL_FAKE_AGENT;
    req.env = {{"VANTREL_FAKE_SCRIPT", script}, {"VANTREL_FAKE_RECORD", record_path()}};
    req.timeout = 30s;
    return req;
  }
  static Result<ClaudeAccountUsage, RunError> probe(ClaudeAccountUsageReqData req) {
    req.inherited_env = runtime::this_process_environment();
    return runtime::block_on(query_claude_account_usage(std::move(req)));
  }
  std::string record_path() const { return scratch_.path() + "/record"; }
  std::string record() const { return testing::read_file(record_path()); }
  // The values of the record's lines with `key`, in order.
  std::vector<std::string> recorded(const std::string& key) const {
    std::vector<std::string> values;
    std::istringstream lines(record());
    for (std::string line; std::getline(lines, line);)
      if (line.rfind(key + " ", 0) == 0) values.push_back(line.substr(key.size() + 1));
    return values;
  }
  // Probes until a try times out after the agent recorded `key`, and returns what it recorded
  // (none when no try did). Each try gives the agent longer: a loaded machine may take longer
  // than the first try's timeout to start it, which then only costs another try.
  std::vector<std::string> timed_out_once_recorded(ClaudeAccountUsageReqData req,
                                                   const std::string& key) {
    for (auto timeout : {200ms, 1000ms, 5000ms, 25000ms}) {
      req.timeout = timeout;
      auto started = std::chrono::steady_clock::now();
      expect_process_error(probe(req), "claude account usage command timed out");
      // Not waiting for the agent's minute of sleep.
      EXPECT_LT(std::chrono::steady_clock::now() - started, timeout + 20s);
      if (auto values = recorded(key); !values.empty()) return values;
    }
    return {};
  }

  testing::ScratchDir scratch_;
};

TEST_F(ClaudeUsageProbe, RunsTheAgentOnUsageAndReadsItsReply) {
  auto req = request(
      "stdin\n"
      "err some noise\n"
      "raw \\n\\n\n"
      "out {\"result\":\"Session: 3% used, resets 5pm\\\\nWeek: 80% used\",\"is_error\":false}\n"
      "out \n");
  req.env.emplace_back("PROBE_VALUE", "first");
  req.env.emplace_back("PROBE_VALUE", "second");
  auto result = probe(req);
  ASSERT_TRUE(result) << result.error().display();
  EXPECT_EQ(result->report, "Session: 3% used, resets 5pm\nWeek: 80% used");
  EXPECT_EQ(result->raw,
            "{\"result\":\"Session: 3% used, resets 5pm\\nWeek: 80% used\",\"is_error\":false}");
  std::vector<ClaudeAccountUsageWindow> expected = {{"Session", 3, "5pm"}, {"Week", 80, ""}};
  EXPECT_EQ(result->windows, expected);

  EXPECT_EQ(recorded("arg"), (std::vector<std::string>{VANTREL_FAKE_AGENT, "-p", "--output-format",
                                                       "json", "--no-session-persistence"}));
  // Exactly "/usage", then end of input: reading to the end returned.
  EXPECT_EQ(recorded("stdin"), std::vector<std::string>{"/usage"});
  auto env = recorded("env");
  EXPECT_NE(std::find(env.begin(), env.end(), "PROBE_VALUE=second"), env.end());
  EXPECT_EQ(std::find(env.begin(), env.end(), "PROBE_VALUE=first"), env.end());
  const char* home = std::getenv("HOME");
  if (home != nullptr) {
    EXPECT_NE(std::find(env.begin(), env.end(), std::string("HOME=") + home), env.end());
  }
  EXPECT_EQ(recorded("cwd"), std::vector<std::string>{std::filesystem::current_path().string()});
}

TEST_F(ClaudeUsageProbe, EndsInTheErrorOfTheReplyOrTheExit) {
  struct Case {
    std::string script;
    RunError error;
  };
  const Case cases[] = {
      {"stdin\nout {\"is_error\":true,\"result\":\"Not logged in\"}\n",
       RunError::process("claude account usage failed: Not logged in")},
      {"stdin\nout {\"result\":\"A: 1% used\"}\nerr  denied \nexit 2\n",
       RunError::exit("denied", std::nullopt, 2)},
      {"stdin\nout {\"result\":\"A: 1% used\"}\nsignal KILL\n",
       RunError::exit("", std::nullopt, -1)},
      {"stdin\n", RunError::process(
                      "decode claude account usage: EOF while parsing a value at line 1 column 0")},
      {"stdin\nerr   \nerr spent\n",
       RunError::process(
           "decode claude account usage: EOF while parsing a value at line 1 column 0: spent")},
      {"stdin\nout {\"result\": nul}\n",
       RunError::process("decode claude account usage: expected ident at line 1 column 15")},
      // A child that has closed standard output still gets waited for. It reads its input
      // first, so "/usage" never meets a pipe it has already left.
      {"close-stdout\nstdin\nsleep 100\nexit 3\n", RunError::exit("", std::nullopt, 3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    auto result = probe(request(c.script));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), c.error) << result.error().display();
  }
}

TEST_F(ClaudeUsageProbe, ReadsLargeOutputsWhole) {
  // Both streams well beyond a pipe's buffer, so neither may wait for the other to be read.
  auto req = request(
      "stdin\n"
      "errfill 300000\n"
      "raw {\"result\":\"A: 5% used\",\"pad\":[\n"
      "repeat 100000 1,\n"
      "out 1]}\n");
  auto result = probe(req);
  ASSERT_TRUE(result) << result.error().display().substr(0, 300);
  EXPECT_EQ(result->report, "A: 5% used");
  EXPECT_EQ(result->raw.size(), std::string_view("{\"result\":\"A: 5% used\",\"pad\":[").size() +
                                    100000 * std::string_view("1,\n").size() + 3);
}

// A reply of exactly 64 MiB is taken; one byte more is refused at once: the child, which would
// go on running, is killed rather than waited for until the timeout.
TEST_F(ClaudeUsageProbe, TakesAReplyOfAtMost64MiB) {
  constexpr std::size_t limit = 64 * 1024 * 1024;
  const std::string head = R"({"result":"A: 5% used","pad":")";
  const std::string tail = "\"}";
  std::string reply = head + std::string(limit - head.size() - tail.size(), 'p') + tail;
  auto result = probe(request("stdin\ncat " + scratch_.write("reply", reply) + "\n"));
  ASSERT_TRUE(result) << result.error().display().substr(0, 300);
  EXPECT_EQ(result->report, "A: 5% used");

  reply += ' ';
  auto req = request("stdin\ncat " + scratch_.write("reply", reply) + "\nsleep 60000\n");
  req.timeout = 60s;
  auto started = std::chrono::steady_clock::now();
  expect_process_error(probe(req), "wait for claude account usage: reply longer than 64 MiB");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
}

// Only the newest 1 MiB of standard error is kept ('a' to 'z' cycling, so the kept part starts
// at the letter of its offset in the stream).
TEST_F(ClaudeUsageProbe, KeepsTheNewestMebibyteOfStandardError) {
  constexpr std::size_t kept = 1024 * 1024;
  constexpr std::size_t written = 3 * kept + 100;
  auto result = probe(request("stdin\nerrfill " + std::to_string(written) + "\nexit 1\n"));
  ASSERT_FALSE(result);
  ASSERT_EQ(result.error().kind, RunError::Exit);
  const std::string& err = result.error().stderr_text;
  ASSERT_EQ(err.size(), kept);
  for (std::size_t at : {std::size_t{0}, kept / 2, kept - 1})
    EXPECT_EQ(err[at], static_cast<char>('a' + (written - kept + at) % 26)) << at;
}

TEST_F(ClaudeUsageProbe, TimesOutKillsAndReapsTheChild) {
  auto pids = timed_out_once_recorded(request("stdin\nsleep 60000\n"), "pid");
  ASSERT_EQ(pids.size(), 1u);
  pid_t pid = std::stoi(pids[0]);
  // Killed and reaped in the background: the pid stops naming a process (a zombie still would).
  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (::kill(pid, 0) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_EQ(recorded("end"), std::vector<std::string>{});
}

TEST_F(ClaudeUsageProbe, AHelperHoldingThePipesDoesNotHoldTheProbe) {
  // The agent answers and exits; a helper it left behind holds both pipes for a minute.
  auto started = std::chrono::steady_clock::now();
  auto result =
      probe(request("stdin\nout {\"result\":\"Week: 80% used\",\"is_error\":false}\nhold 60000\n"));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
  ASSERT_TRUE(result) << result.error().display();
  EXPECT_EQ(result->report, "Week: 80% used");
  auto holders = recorded("hold");
  ASSERT_EQ(holders.size(), 1u);
  ::kill(std::stoi(holders[0]), SIGKILL);
}

TEST_F(ClaudeUsageProbe, ATimeoutKillsTheWholeGroupOfALaunchedAgent) {
  auto req = request("stdin\nsleep 60000\n");
  req.executable = VANTREL_FAKE_LAUNCHER;
  auto groups = timed_out_once_recorded(req, "pgid");
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_TRUE(
      testing::eventually([&] { return testing::live_group_members(std::stol(groups[0])) == 0; }));
}

TEST_F(ClaudeUsageProbe, AZeroTimeoutIsATimeoutNotAHang) {
  auto req = request("stdin\nsleep 60000\n");
  req.timeout = 0ns;
  auto result = probe(req);
  expect_process_error(result, "claude account usage command timed out");
  EXPECT_EQ(result.error().display(),
            "agent process error: claude account usage command timed out");
}

TEST_F(ClaudeUsageProbe, ATimeoutBeyondTheClockIsNoLimit) {
  auto req = request("stdin\nsleep 50\nout {\"result\":\"A: 1% used\"}\n");
  req.timeout = std::chrono::nanoseconds::max();
  auto result = probe(req);
  ASSERT_TRUE(result) << result.error().display();
  EXPECT_EQ(result->windows.size(), 1u);
}

TEST_F(ClaudeUsageProbe, ReportsAProgramThatCannotBeStarted) {
  auto req = request("");
  req.executable = scratch_.path() + "/missing/claude";
  expect_process_error(probe(req),
                       "start claude account usage: No such file or directory (os error 2)");

  req.executable = "vantrel-no-such-program";
  expect_process_error(probe(req),
                       "start claude account usage: No such file or directory (os error 2)");

  req.executable = scratch_.write("not-executable", "#!/bin/sh\n");
  expect_process_error(probe(req), "start claude account usage: Permission denied (os error 13)");
}

TEST_F(ClaudeUsageProbe, AnEmptyExecutableRunsClaudeFromThePath) {
  std::string bin = scratch_.path() + "/bin";
  std::filesystem::create_directory(bin);
  std::filesystem::create_symlink(VANTREL_FAKE_AGENT, bin + "/claude");
  for (std::optional<std::string> executable :
       {std::optional<std::string>(""), std::optional<std::string>()}) {
    std::filesystem::remove(record_path());
    auto req = request("stdin\nout {\"result\":\"\"}\n");
    req.executable = executable;
    req.env.emplace_back("PATH", bin);
    auto result = probe(req);
    ASSERT_TRUE(result) << result.error().display();
    EXPECT_TRUE(result->windows.empty());
    EXPECT_EQ(recorded("arg").at(0), "claude");
  }
}

}  // namespace
}  // namespace vantrel
