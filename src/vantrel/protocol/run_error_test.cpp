// Tests of run errors (kind words, display texts, agent failures) and run ids.
#include "vantrel/protocol/run_error.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace vantrel {
namespace {

TEST(RunError, KindWordsAndDisplayTexts) {
  Event last;
  last.type = EventType::TurnCompleted;
  struct Row {
    RunError error;
    std::string_view kind;
    std::string_view display;
  };
  const Row rows[] = {
      {RunError::prompt_required(), "promptRequired", "vantrel: prompt or stdin is required"},
      {RunError::invalid_request(""), "invalidRequest", "vantrel: invalid request: "},
      {RunError::invalid_request("resume id and resume last are mutually exclusive"),
       "invalidRequest",
       "vantrel: invalid request: resume id and resume last are mutually exclusive"},
      {RunError::exit("tail", last, -1), "exit", "agent exited with code -1"},
      {RunError::exit("", std::nullopt, 2), "exit", "agent exited with code 2"},
      {RunError::decode("missing event type", "{}", 3), "decode",
       "decode agent JSONL line 3: missing event type"},
      {RunError::decode("x", std::nullopt, 18446744073709551615u), "decode",
       "decode agent JSONL line 18446744073709551615: x"},
      {RunError::handler("no"), "handler", "agent event handler failed: no"},
      {RunError::cancelled(), "cancelled", "agent run cancelled"},
      {RunError::process(""), "process", "agent process error: "},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.error.kind_word(), row.kind);
    EXPECT_EQ(row.error.display(), row.display);
  }
  RunError exit = RunError::exit("tail", last, -1);
  EXPECT_EQ(exit.code, -1);
  EXPECT_EQ(exit.stderr_text, "tail");
  EXPECT_EQ(exit.event, last);
}

TEST(RunError, AgentFailureTextFollowsTheLastEvent) {
  struct Row {
    Agent agent;
    EventType::Kind type;
    std::string_view message;
    RunError::Kind kind;
    std::string_view text;
  };
  const Row rows[] = {
      {Agent::Codex, EventType::TurnFailed, "quota", RunError::Codex, "codex turn failed: quota"},
      {Agent::Claude, EventType::Error, "bad", RunError::Claude, "claude error: bad"},
      {Agent::Grok, EventType::TurnFailed, "", RunError::Grok, "grok error event"},
      {Agent::Codex, EventType::Error, "", RunError::Codex, "codex error event"},
  };
  for (const auto& row : rows) {
    Event event;
    event.type = row.type;
    event.message = row.message;
    RunError error = agent_failure(row.agent, event);
    EXPECT_EQ(error.kind, row.kind);
    EXPECT_EQ(error.display(), row.text);
    EXPECT_EQ(error.event, event);
  }
}

// One test binary is one process, so the ids here are the process's first ones.
TEST(RunId, CounterStartsAtOneAndIdsStayDistinctAcrossThreads) {
  std::string first = new_run_id();
  ASSERT_TRUE(first.starts_with("run-"));
  EXPECT_TRUE(first.ends_with("-1")) << first;
  std::string_view nanos = std::string_view(first).substr(4, first.rfind('-') - 4);
  EXPECT_GT(nanos.size(), 15u);
  EXPECT_EQ(nanos.find_first_not_of("0123456789"), std::string_view::npos);
  EXPECT_TRUE(new_run_id().ends_with("-2"));

  std::vector<std::string> ids(8 * 100);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&ids, t] {
      for (int i = 0; i < 100; ++i) ids[t * 100 + i] = new_run_id();
    });
  for (auto& thread : threads) thread.join();
  std::set<std::string> sequences;
  for (const auto& id : ids) sequences.insert(id.substr(id.rfind('-') + 1));
  EXPECT_EQ(sequences.size(), ids.size());
  EXPECT_TRUE(sequences.count("3") && sequences.count("802"));
}

}  // namespace
}  // namespace vantrel
