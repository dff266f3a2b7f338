// Tests of the fake agent itself: a scenario replays byte for byte and the record matches.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

class FakeAgent : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("fake_agent_test." + std::to_string(::getpid()) + "." +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs the agent through the shell with `script` and `stdin_text`; returns the wait status.
  int run(const std::string& script, const std::string& stdin_text) {
    std::ofstream(dir_ / "script", std::ios::binary) << script;
    std::ofstream(dir_ / "stdin", std::ios::binary) << stdin_text;
    std::string command = "cd '" + dir_.string() + "' && VANTREL_FAKE_SCENARIO=script " +
                          "VANTREL_FAKE_RECORD=record.%p '" VANTREL_FAKE_AGENT "' one 'two words'" +
                          " <stdin >out 2>err";
    return std::system(command.c_str());
  }
  std::string record() {
    for (auto& entry : std::filesystem::directory_iterator(dir_))
      if (entry.path().filename().string().rfind("record.", 0) == 0) return slurp(entry.path());
    return "";
  }

  std::filesystem::path dir_;
};

TEST_F(FakeAgent, ReplaysTheScenarioByteForByte) {
  int status =
      run("# comment\n"
          "out {\"type\":\"thread.started\"}\n"
          "raw a\\r\\nb\\x00c\n"
          "err warn\n"
          "errraw x\n"
          "repeat 3 z\n"
          "exit 7\n"
          "out never\n",
          "");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
  using namespace std::string_literals;
  EXPECT_EQ(slurp(dir_ / "out"), "{\"type\":\"thread.started\"}\na\r\nb\0cz\nz\nz\n"s);
  EXPECT_EQ(slurp(dir_ / "err"), "warn\nx");
}

TEST_F(FakeAgent, RecordsHowItWasStarted) {
  ASSERT_EQ(run("stdin\n", "line one\nline\ttwo"), 0);
  std::string rec = record();
  EXPECT_NE(rec.find("\narg one\narg two words\n"), std::string::npos) << rec;
  EXPECT_NE(rec.find("\ncwd " + std::filesystem::canonical(dir_).string() + "\n"),
            std::string::npos);
  EXPECT_NE(rec.find("\nenv VANTREL_FAKE_SCENARIO=script\n"), std::string::npos);
  EXPECT_NE(rec.find("\nstdin line one\\nline\\ttwo\n"), std::string::npos);
  EXPECT_EQ(rec.rfind("start ", 0), 0u);
  EXPECT_NE(rec.find("\nend "), std::string::npos);
}

TEST_F(FakeAgent, ReadsStdinLineByLine) {
  ASSERT_EQ(run("readline\nout got one\nreadline\nstdin\nreadline\n", "a\tb\n\nrest"), 0);
  EXPECT_EQ(slurp(dir_ / "out"), "got one\n");
  std::string rec = record();
  EXPECT_NE(rec.find("\nreadline a\\tb\nreadline \nstdin rest\nreadline-eof \n"), std::string::npos)
      << rec;
}

TEST_F(FakeAgent, KillsItselfWithASignal) {
  int status = run("out before\nsignal KILL\nout after\n", "");
  // system() runs a shell; it reports a killed child as 128 + signal.
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 128 + 9);
  EXPECT_EQ(slurp(dir_ / "out"), "before\n");
  EXPECT_EQ(record().find("\nend "), std::string::npos);
}

TEST_F(FakeAgent, RecordsItsPidAndGoesOnOnceAnAwaitedFileExistsAndTouchesAFile) {
  std::ofstream(dir_ / "go") << "";
  ASSERT_EQ(run("await go\nout went\ntouch done\n", ""), 0);
  EXPECT_EQ(slurp(dir_ / "out"), "went\n");
  EXPECT_TRUE(std::filesystem::exists(dir_ / "done"));
  for (auto& entry : std::filesystem::directory_iterator(dir_)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("record.", 0) == 0) {
      EXPECT_NE(record().find("\npid " + name.substr(7) + "\n"), std::string::npos) << record();
    }
  }
}

}  // namespace
