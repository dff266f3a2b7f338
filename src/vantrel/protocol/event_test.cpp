// Tests of the event model: canonical words, deep copies, and reading usage and file changes.
#include "vantrel/protocol/event.h"

#include <gtest/gtest.h>

#include "vantrel/json/json.h"

namespace vantrel {
namespace {

template <class T>
std::string outcome(std::string_view text, T& out) {
  auto error = json::decode(text, out);
  return error ? error->text() : "ok";
}

TEST(EventWords, CanonicalWordsBothWaysAndOtherKeepsItsText) {
  for (int k = EventType::ThreadStarted; k < EventType::Other; ++k) {
    EventType type(static_cast<EventType::Kind>(k));
    EXPECT_EQ(EventType::from_text(type.text()), type);
  }
  EXPECT_EQ(EventType(EventType::TurnCompleted).text(), "turn.completed");
  for (std::string_view word : {"Turn.Started", "turn.started ", "", "assistant"}) {
    EventType type = EventType::from_text(word);
    EXPECT_EQ(type.kind, EventType::Other);
    EXPECT_EQ(type.text(), word);
  }
  for (int k = ItemKind::AgentMessage; k < ItemKind::Other; ++k) {
    ItemKind kind(static_cast<ItemKind::Kind>(k));
    EXPECT_EQ(ItemKind::from_text(kind.text()), kind);
  }
  EXPECT_EQ(ItemKind(ItemKind::CollabToolCall).text(), "collab_tool_call");
  EXPECT_EQ(ItemKind::from_text("Error").kind, ItemKind::Other);
  EXPECT_EQ(ItemKind::from_text("Error").text(), "Error");
}

TEST(EventCopy, IsDeepAndEqual) {
  Event event;
  event.type = EventType::TurnFailed;
  event.run_id = "run-1-1";
  event.received_at = WallTime(std::chrono::nanoseconds(1234567890123));
  event.usage.input_tokens = 3;
  event.usage.model_usage["m"].cost_usd = 0.5;
  event.message = "boom";
  event.raw_error = R"({"message":"boom"})";
  Event copy = event;
  EXPECT_EQ(copy, event);
  copy.usage.model_usage["m"].cost_usd = 2;
  copy.message = copy.message.str() + "!";
  EXPECT_EQ(event.usage.model_usage["m"].cost_usd, 0.5);
  EXPECT_EQ(event.message, "boom");
}

TEST(UsageReading, ObjectArrayAndValueRules) {
  Usage usage;
  ASSERT_EQ(outcome(R"({"input_tokens":5,"output_tokens":-2})", usage), "ok");
  Usage expected;
  expected.input_tokens = 5;
  expected.output_tokens = -2;
  EXPECT_EQ(usage, expected);

  ASSERT_EQ(outcome(R"({"total_cost_usd":2,"inputTokens":9,"model_usage":{"m":{"input_tokens":1,
      "other":[{"a":[1]},{}],"costUSD":0.125,"webSearchRequests":4}}})",
                    usage),
            "ok");
  expected = Usage{};
  expected.total_cost_usd = 2.0;
  expected.model_usage["m"].cost_usd = 0.125;
  expected.model_usage["m"].web_search_requests = 4;
  EXPECT_EQ(usage, expected);

  ASSERT_EQ(outcome("[1, 2, 3]", usage), "ok");
  expected = Usage{};
  expected.input_tokens = 1;
  expected.cache_creation_input_tokens = 2;
  expected.cached_input_tokens = 3;
  EXPECT_EQ(usage, expected);

  // Cache writes are read under either name.
  for (std::string_view text :
       {R"({"cache_creation_input_tokens":7})", R"({"cache_write_input_tokens":7})"}) {
    ASSERT_EQ(outcome(text, usage), "ok") << text;
    expected = Usage{};
    expected.cache_creation_input_tokens = 7;
    EXPECT_EQ(usage, expected) << text;
  }

  // The second entry for a model replaces the first whole.
  ModelUsageMap models;
  ASSERT_EQ(outcome(R"({"m":{"costUSD":1,"inputTokens":7},"m":{"costUSD":2}})", models), "ok");
  ASSERT_EQ(models.size(), 1u);
  ModelUsage m;
  m.cost_usd = 2.0;
  EXPECT_EQ(models["m"], m);
}

TEST(UsageReading, FailuresNameWhatWasExpected) {
  struct Row {
    std::string_view text;
    std::string_view error;
  };
  const Row usage_rows[] = {
      {R"({"input_tokens":5.0})",
       "invalid type: floating point `5.0`, expected i64 at line 1 column 19"},
      {R"({"input_tokens":9223372036854775808})",
       "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 35"},
      {R"({"input_tokens":null})", "invalid type: null, expected i64 at line 1 column 20"},
      {R"({"input_tokens":"12"})", "invalid type: string \"12\", expected i64 at line 1 column 20"},
      {R"({"input_tokens":1,"input_tokens":1})",
       "duplicate field `input_tokens` at line 1 column 32"},
      // A name and its alias are the same field.
      {R"({"cache_write_input_tokens":1,"cache_creation_input_tokens":2})",
       "duplicate field `cache_creation_input_tokens` at line 1 column 59"},
      {R"({"cache_write_input_tokens":1,"cache_write_input_tokens":2})",
       "duplicate field `cache_creation_input_tokens` at line 1 column 56"},
      {R"({"total_cost_usd":null})", "invalid type: null, expected f64 at line 1 column 22"},
      {R"({"model_usage":null})", "invalid type: null, expected a map at line 1 column 19"},
      {R"({"model_usage":{"m":[]},"x":1})", "ok"},
      {R"({"model_usage":{"m":1}})",
       "invalid type: integer `1`, expected struct ModelUsage at line 1 column 21"},
      {"[1,2,3,4,5,6,7,{},9]", "trailing characters at line 1 column 19"},
      {"true", "invalid type: boolean `true`, expected struct Usage at line 1 column 4"},
  };
  for (const auto& row : usage_rows) {
    Usage usage;
    EXPECT_EQ(outcome(row.text, usage), row.error) << row.text;
  }
}

TEST(FileChangeReading, ListsKeepOrderAndTextsMustBeStrings) {
  std::vector<FileChange> changes;
  ASSERT_EQ(outcome(R"([{"path":"a.txt","kind":"add"},["b","update"],{}])", changes), "ok");
  EXPECT_EQ(changes, (std::vector<FileChange>{{"a.txt", "add"}, {"b", "update"}, {"", ""}}));
  ASSERT_EQ(outcome("[]", changes), "ok");
  EXPECT_TRUE(changes.empty());
  EXPECT_EQ(outcome(R"([{"path":null}])", changes),
            "invalid type: null, expected a string at line 1 column 13");
  EXPECT_EQ(outcome("null", changes), "invalid type: null, expected a sequence at line 1 column 4");
  EXPECT_EQ(outcome("[5]", changes),
            "invalid type: integer `5`, expected struct FileChange at line 1 column 2");
  EXPECT_EQ(outcome(R"([["a","b","c"]])", changes), "trailing characters at line 1 column 11");
}

}  // namespace
}  // namespace vantrel
