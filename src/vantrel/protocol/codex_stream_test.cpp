// Tests of the codex line decoder: one table of lines with their exact event or failure text.
#include "vantrel/protocol/codex_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantrel {
namespace {

const std::string run_id = "run-1-1";
const std::string current_thread = "th-now";
const WallTime received = WallTime(std::chrono::seconds(1700000000));

// The event every line starts from; rows fill in their type-specific data.
Event event_of(EventType type, std::string thread_id = current_thread) {
  Event e;
  e.type = std::move(type);
  e.run_id = run_id;
  e.thread_id = std::move(thread_id);
  e.received_at = received;
  return e;
}

Event thread_started(std::string id) {
  Event e = event_of(EventType::ThreadStarted, id);
  e.started_thread_id = id;
  return e;
}

Event turn_usage(EventType::Kind kind, std::int64_t in, std::int64_t out, std::int64_t total) {
  Event e = event_of(kind);
  e.usage.input_tokens = in;
  e.usage.output_tokens = out;
  e.usage.total_tokens = total;
  return e;
}

Event failed(std::string message, std::string raw_error) {
  Event e = event_of(EventType::TurnFailed);
  e.message = std::move(message);
  e.raw_error = std::move(raw_error);
  return e;
}

Event error_event(std::string message, std::string raw_error) {
  Event e = event_of(EventType::Error);
  e.message = std::move(message);
  e.raw_error = std::move(raw_error);
  return e;
}

Event item_event(EventType::Kind kind, Item item) {
  Event e = event_of(kind);
  e.item = std::move(item);
  return e;
}

Item item_of(ItemKind kind, std::string raw) {
  Item item;
  item.kind = std::move(kind);
  item.raw = std::move(raw);
  return item;
}

Item command_item(std::string raw) {
  Item item = item_of(ItemKind::CommandExecution, std::move(raw));
  item.id = "i1";
  item.status = "completed";
  item.command = "ls";
  item.aggregated_output = "a\nb";
  item.exit_code = 0;
  return item;
}

struct Row {
  std::string name;
  std::string line;
  Decoded<Event> expected;
};

std::vector<Row> rows() {
  Item empty_other = item_of(ItemKind::Other, "{}");
  Item max_exit = item_of(ItemKind::Other, R"({"exit_code":2147483647})");
  max_exit.exit_code = 2147483647;
  Item no_exit = item_of(ItemKind::Other, R"({"exit_code":null})");
  Item array_item = item_of(ItemKind::Other, R"(["i9","mystery","done"])");
  array_item.kind = ItemKind::from_text("mystery");
  array_item.id = "i9";
  array_item.status = "done";
  Item wrong_case = item_of(ItemKind::from_text("Error"), R"({"type":"Error"})");
  Item collab =
      item_of(ItemKind::CollabToolCall,
              R"({"type":"collab_tool_call","tool":"spawn","sender_thread_id":"s",)"
              R"("receiver_thread_ids":["r1","r2"],"changes":[{"path":"a","kind":"x"}]})");
  collab.tool = "spawn";
  collab.sender_thread_id = "s";
  collab.receiver_thread_ids = {"r1", "r2"};
  collab.changes = {{"a", "x"}};
  Event failed_usage = failed(R"("e")", R"("e")");
  failed_usage.usage = turn_usage(EventType::TurnFailed, 3, 4, 7).usage;
  Item cut_item = item_of(ItemKind::AgentMessage, R"({"type":"agent_message","text":"a\ud83d"})");
  cut_item.text = "a\xef\xbf\xbd";
  Event with_usage_kept = turn_usage(EventType::TurnCompleted, 10, 5, 40);
  with_usage_kept.usage.cached_input_tokens = 3;
  with_usage_kept.usage.total_cost_usd = 0.5;

  const std::string cmd =
      R"({"id":"i1","type":"command_execution","status":"completed","command":"ls",)"
      R"("aggregated_output":"a\nb","exit_code":0})";
  return {
      // Event types.
      {"turn started only", R"({"type":"turn.started"})", event_of(EventType::TurnStarted)},
      {"type in other case", R"({"type":"Turn.Started"})",
       event_of(EventType::from_text("Turn.Started"))},
      {"type with trailing space", R"({"type":"turn.started "})",
       event_of(EventType::from_text("turn.started "))},
      {"unknown type keeps other fields read", R"({"type":"x","thread_id":"t","message":"m"})",
       event_of(EventType::from_text("x"))},
      {"thread started", R"({"type":"thread.started","thread_id":"t9"})", thread_started("t9")},
      {"thread started without id", R"({"type":"thread.started"})", thread_started("")},
      {"array form", R"(["thread.started","t2"])", thread_started("t2")},
      // Failures of the line itself.
      {"no type", R"({"thread_id":"t"})", DecodeFailure{"missing event type"}},
      {"null type", R"({"type":null})", DecodeFailure{"missing event type"}},
      {"empty type", R"({"type":""})", DecodeFailure{"missing event type"}},
      {"array with null type", "[null]", DecodeFailure{"missing event type"}},
      {"empty array", "[]",
       DecodeFailure{
           "invalid length 0, expected struct WireEvent with 6 elements at line 1 column 1"}},
      {"seven elements", R"(["x","t",{},1,2,"m",3])",
       DecodeFailure{"trailing characters at line 1 column 21"}},
      {"not a record", R"("turn.started")",
       DecodeFailure{
           R"(invalid type: string "turn.started", expected struct WireEvent at line 1 column 14)"}},
      {"second object", R"({"type":"turn.started"} {})",
       DecodeFailure{"trailing characters at line 1 column 25"}},
      {"null usage on any type", R"({"type":"turn.started","usage":null})",
       DecodeFailure{"invalid type: null, expected struct Usage at line 1 column 35"}},
      {"null thread id", R"({"type":"x","thread_id":null})",
       DecodeFailure{"invalid type: null, expected a string at line 1 column 28"}},
      {"null message", R"({"type":"x","message":null})",
       DecodeFailure{"invalid type: null, expected a string at line 1 column 26"}},
      {"item twice", R"({"type":"x","item":1,"item":2})",
       DecodeFailure{"duplicate field `item` at line 1 column 27"}},
      {"malformed raw item", R"({"type":"x","item":[1,}})",
       DecodeFailure{"expected value at line 1 column 23"}},
      // Usage and the total rule.
      {"total from input and output",
       R"({"type":"turn.completed","usage":{"input_tokens":10,"output_tokens":5}})",
       turn_usage(EventType::TurnCompleted, 10, 5, 15)},
      {"total kept",
       R"({"type":"turn.completed","usage":{"input_tokens":10,"output_tokens":5,"total_tokens":40,)"
       R"("cached_input_tokens":3,"total_cost_usd":0.5}})",
       with_usage_kept},
      {"no usage", R"({"type":"turn.completed"})", turn_usage(EventType::TurnCompleted, 0, 0, 0)},
      {"total wraps around",
       R"({"type":"turn.completed","usage":{"input_tokens":9223372036854775807,"output_tokens":1}})",
       turn_usage(EventType::TurnCompleted, INT64_MAX, 1, INT64_MIN)},
      // Turn failures.
      {"failure message from error object",
       R"({"type":"turn.failed","error":{ "message" : "boom" },"message":"top"})",
       failed("boom", R"({ "message" : "boom" })")},
      {"error as string keeps its quotes", R"({"type":"turn.failed","error":"bad \"x\""})",
       failed(R"("bad \"x\"")", R"("bad \"x\"")")},
      {"empty inner message", R"({"type":"turn.failed","error":{"message":""}})",
       failed(R"({"message":""})", R"({"message":""})")},
      {"inner in array form", R"({"type":"turn.failed","error":["late"]})",
       failed("late", R"(["late"])")},
      {"inner message null is swallowed", R"({"type":"turn.failed","error":{"message":null}})",
       failed(R"({"message":null})", R"({"message":null})")},
      {"inner message twice is swallowed",
       R"({"type":"turn.failed","error":{"message":"a","message":"b"}})",
       failed(R"({"message":"a","message":"b"})", R"({"message":"a","message":"b"})")},
      {"no error", R"({"type":"turn.failed","message":"top"})", failed("", "")},
      {"null error", R"({"type":"turn.failed","error":null})", failed("", "")},
      {"failure total from input and output",
       R"({"type":"turn.failed","usage":{"input_tokens":3,"output_tokens":4},"error":"e"})",
       failed_usage},
      // Integers beyond 64 bits are named as the integers they are.
      {"usage beyond 64 bits",
       R"({"type":"turn.completed","usage":{"input_tokens":18446744073709551616}})",
       DecodeFailure{"invalid value: integer `18446744073709551616`, expected i64 at line 1 "
                     "column 69"}},
      {"exit code beyond 64 bits",
       R"({"type":"item.completed","item":{"exit_code":-18446744073709551616}})",
       DecodeFailure{"invalid value: integer `-18446744073709551616`, expected i32 at line 1 "
                     "column 34"}},
      // A surrogate escape without its other half reads as U+FFFD in every text made; raw texts
      // keep it as written. A malformed escape still fails.
      {"cut item text",
       R"({"type":"item.completed","item":{"type":"agent_message","text":"a\ud83d"}})",
       item_event(EventType::ItemCompleted, cut_item)},
      {"cut thread id", R"({"type":"thread.started","thread_id":"t\udc00"})",
       thread_started("t\xef\xbf\xbd")},
      {"cut error message", R"({"type":"error","message":"m\ud83d","error":"\ud83d"})",
       error_event("m\xef\xbf\xbd", R"("\ud83d")")},
      {"cut turn failure", R"({"type":"turn.failed","error":{"message":"\ude00\ud83d"}})",
       failed("\xef\xbf\xbd\xef\xbf\xbd", R"({"message":"\ude00\ud83d"})")},
      {"malformed escape after a high surrogate", R"({"type":"x","message":"\ud83d\uZZZZ"})",
       DecodeFailure{"invalid escape at line 1 column 35"}},
      // Error events.
      {"error with message and object", R"({"type":"error","message":"m","error":{"code":1}})",
       error_event("m", R"({"code":1})")},
      {"error with empty message", R"({"type":"error","message":"","error":{"code":1}})",
       error_event(R"({"code":1})", R"({"code":1})")},
      {"error with neither", R"({"type":"error"})", error_event("", "")},
      // Items.
      {"command item", R"({"type":"item.completed","item":)" + cmd + "}",
       item_event(EventType::ItemCompleted, command_item(cmd))},
      {"empty item", R"({"type":"item.started","item":{}})",
       item_event(EventType::ItemStarted, empty_other)},
      {"item in array form", R"({"type":"item.started","item":["i9","mystery","done"]})",
       item_event(EventType::ItemStarted, array_item)},
      {"item type in other case", R"({"type":"item.started","item":{"type":"Error"}})",
       item_event(EventType::ItemStarted, wrong_case)},
      {"collab item with lists",
       R"({"type":"item.completed","item":{"type":"collab_tool_call","tool":"spawn",)"
       R"("sender_thread_id":"s","receiver_thread_ids":["r1","r2"],)"
       R"("changes":[{"path":"a","kind":"x"}]}})",
       item_event(EventType::ItemCompleted, collab)},
      {"largest exit code", R"({"type":"item.completed","item":{"exit_code":2147483647}})",
       item_event(EventType::ItemCompleted, max_exit)},
      {"null exit code", R"({"type":"item.completed","item":{"exit_code":null}})",
       item_event(EventType::ItemCompleted, no_exit)},
      {"exit code too large", R"({"type":"item.completed","item":{"exit_code":2147483648}})",
       DecodeFailure{"invalid value: integer `2147483648`, expected i32 at line 1 column 23"}},
      {"exit code below range", R"({"type":"item.completed","item":{"exit_code":-2147483649}})",
       DecodeFailure{"invalid value: integer `-2147483649`, expected i32 at line 1 column 24"}},
      {"exit code float", R"({"type":"item.completed","item":{"exit_code":1.0}})",
       DecodeFailure{"invalid type: floating point `1.0`, expected i32 at line 1 column 16"}},
      {"no item", R"({"type":"item.completed"})", DecodeFailure{"missing item payload"}},
      {"null item", R"({"type":"item.completed","item":null})",
       DecodeFailure{"missing item payload"}},
      {"item id twice counts within the item",
       R"({"type":"item.completed","item":{"id":"a","id":"b"}})",
       DecodeFailure{"duplicate field `id` at line 1 column 14"}},
      {"item not a record", R"({"type":"item.completed","item":7})",
       DecodeFailure{"invalid type: integer `7`, expected struct WireItem at line 1 column 1"}},
      {"bad item ignored by other types", R"({"type":"turn.started","item":{"id":5}})",
       event_of(EventType::TurnStarted)},
      {"bad item fails item events", R"({"type":"item.started","item":{"id":5}})",
       DecodeFailure{"invalid type: integer `5`, expected a string at line 1 column 7"}},
      {"null change path", R"({"type":"item.started","item":{"changes":[{"path":null}]}})",
       DecodeFailure{"invalid type: null, expected a string at line 1 column 24"}},
      {"null changes", R"({"type":"item.started","item":{"changes":null}})",
       DecodeFailure{"invalid type: null, expected a sequence at line 1 column 15"}},
      {"receiver not a string", R"({"type":"item.started","item":{"receiver_thread_ids":[1]}})",
       DecodeFailure{"invalid type: integer `1`, expected a string at line 1 column 25"}},
      // The item's raw text is its exact slice of the line, also where the item is read in the
      // line's own pass; a string in it that nothing reads must still be UTF-8.
      {"item raw keeps inner white space only",
       "{\"type\":\"item.started\",\"item\" : { \"type\" : \"reasoning\" ,\"x\":[ ] } }",
       item_event(EventType::ItemStarted,
                  item_of(ItemKind::Reasoning, R"({ "type" : "reasoning" ,"x":[ ] })"))},
      {"unread item key in UTF-8", "{\"type\":\"item.started\",\"item\":{\"x\":\"caf\xc3\xa9\"}}",
       item_event(EventType::ItemStarted, item_of(ItemKind::Other, "{\"x\":\"caf\xc3\xa9\"}"))},
      {"unread item key not UTF-8", "{\"type\":\"item.started\",\"item\":{\"x\":\"caf\xe9\"}}",
       DecodeFailure{"invalid unicode code point at line 1 column 42"}},
      {"unread item key not UTF-8 under another type",
       "{\"type\":\"turn.started\",\"item\":{\"x\":\"caf\xe9\"}}",
       DecodeFailure{"invalid unicode code point at line 1 column 42"}},
  };
}

TEST(DecodeCodexLine, MatchesTable) {
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.name);
    Decoded<Event> expected = row.expected;
    if (auto* event = std::get_if<Event>(&expected)) event->raw = row.line;
    Decoded<Event> got = decode_codex_line(row.line, run_id, current_thread, received);
    if (auto* failure = std::get_if<DecodeFailure>(&got)) {
      ASSERT_TRUE(std::holds_alternative<DecodeFailure>(expected)) << failure->text;
      EXPECT_EQ(failure->text, std::get<DecodeFailure>(expected).text);
    } else {
      ASSERT_TRUE(std::holds_alternative<Event>(expected))
          << "decoded, expected " << std::get<DecodeFailure>(expected).text;
      EXPECT_TRUE(std::get<Event>(got) == std::get<Event>(expected));
    }
  }
}

// Skipped and raw values nest to any depth, in the line, in its item and in its error: only
// the records read count towards the limit, each text on its own.
TEST(DecodeCodexLine, SkippedValuesNestToAnyDepth) {
  std::string deep;
  for (int i = 0; i < 1000; ++i) deep += i % 2 ? R"({"k":)" : "[";
  deep += "1";
  for (int i = 999; i >= 0; --i) deep += i % 2 ? "}" : "]";
  const std::string item = R"({"x":)" + deep + R"(,"text":"t"})";
  const std::string line = R"({"type":"item.started","y":)" + deep + R"(,"item":)" + item + "}";
  Decoded<Event> got = decode_codex_line(line, run_id, current_thread, received);
  ASSERT_TRUE(std::holds_alternative<Event>(got)) << std::get<DecodeFailure>(got).text;
  EXPECT_EQ(std::get<Event>(got).item.raw, item);
  EXPECT_EQ(std::get<Event>(got).item.text, "t");

  const std::string error = R"({"x":)" + deep + R"(,"message":"m"})";
  got = decode_codex_line(R"({"type":"turn.failed","error":)" + error + "}", run_id, current_thread,
                          received);
  ASSERT_TRUE(std::holds_alternative<Event>(got)) << std::get<DecodeFailure>(got).text;
  EXPECT_EQ(std::get<Event>(got).message, "m");
  EXPECT_EQ(std::get<Event>(got).raw_error, error);
}

// A line is held once: the kept event's raw text is the kept line, and every text of its item
// is a part of it, an escaped one as JSON wrote it, unescaped only as it is read.
// The fast path takes the lines codex writes, and gives exactly the reader's fields; it leaves
// every other line to the reader, failing ones above all.
TEST(ScanWireLine, TakesOnlyWhatItReadsAsTheReaderDoes) {
  struct Case {
    std::string_view line;
    bool taken;
  };
  const Case cases[] = {
      {R"({"type":"thread.started","thread_id":"t-1"})", true},
      {R"( { "type" : "turn.started" } )", true},
      {R"({"type":"item.completed","item":{"id":"i","type":"agent_message","text":"a\n\"b\" \u00e9"}})",
       true},
      {R"({"type":"item.started","item":{"id":"i","type":"command_execution","command":"ls",)"
       R"("aggregated_output":"","exit_code":null,"status":"in_progress"}})",
       true},
      {R"({"type":"item.completed","item":{"exit_code":-2147483648,"changes":[]}})", true},
      {R"({"type":"item.completed","item":{"changes":[{"path":"a","kind":"add"},{}]}})", true},
      {R"({"type":"turn.completed","usage":{"input_tokens":5,"model_usage":{"m":{}}}})", true},
      {R"({"type":"turn.failed","error":{"message":"m","x":[1,{"y":null}]},"item":null})", true},
      {"{\"type\":\"error\",\"message\":\"caf\xc3\xa9\",\"error\":\"e\"}", true},
      {"{}", true},
      // Left to the reader: it reads these too, or words their failure.
      {R"({"type":"turn.completed","usage":{"input_tokens":5,"output_tokens":"x"}})", false},
      {R"({"type":null})", false},
      {R"({"type":"x","other":1})", false},
      {R"({"ty\u0070e":"x"})", false},
      {R"({"type":"x","type":"y"})", false},
      {R"(["x"])", false},
      {R"({"type":"x",})", false},
      {R"({"type":"x"} x)", false},
      {R"({"type":"a\x"})", false},
      {R"({"type":"a\u12g4"})", false},
      {"{\"type\":\"a\x01\"}", false},
      {"{\"type\":\"\xff\"}", false},
      {R"({"item":{"exit_code":2147483648}})", false},
      {R"({"item":{"exit_code":01}})", false},
      {R"({"item":{"exit_code":1.0}})", false},
      {R"({"item":{"receiver_thread_ids":["a"]}})", false},
      {R"({"item":["i"]})", false},
      {R"({"item":{"changes":[{"path":"a","path":"b"}]}})", false},
      {R"({"error":{"a":1)", false},
      {R"({"usage":null})", false},
      {R"({"type":"x")", false},
  };
  for (const Case& c : cases) {
    codex::WireLine fast;
    EXPECT_EQ(codex::scan_wire_line(c.line, fast), c.taken) << c.line;
    if (!c.taken) continue;
    codex::WireLine read;
    EXPECT_EQ(json::decode(c.line, read), std::nullopt) << c.line;
    EXPECT_TRUE(fast == read) << c.line;
  }
}

TEST(KeepCodexLine, TextsAreViewsIntoTheKeptLine) {
  const std::string line =
      R"({"type":"item.completed","item":{"id":"i1","type":"command_execution","command":"ls",)"
      R"("aggregated_output":"a\nb\u00e9","status":"completed",)"
      R"("changes":[{"path":"p","kind":"add"}]}})";
  RunStore store;
  const Text kept = store.keep(line);
  EventKeeper keeper(store);
  auto got = keep_codex_line(kept, LineFrame{run_id, current_thread, received, &store}, keeper);
  ASSERT_TRUE(std::holds_alternative<SharedEvent>(got)) << std::get<DecodeFailure>(got).text;
  const SharedEvent& event = std::get<SharedEvent>(got);
  const auto within = [&](std::string_view part) {
    return part.data() >= kept.data() && part.data() + part.size() <= kept.data() + kept.size();
  };
  EXPECT_EQ(event->raw().data(), kept.data());
  std::string scratch;
  for (ItemText which : {ItemText::Raw, ItemText::Id, ItemText::Command, ItemText::Status}) {
    std::string_view text = event->item()->text(which, scratch);
    EXPECT_TRUE(within(text)) << text;
  }
  EXPECT_TRUE(within(event->item()->changes()[0].path));
  EXPECT_EQ(event->item()->text(ItemText::AggregatedOutput, scratch), "a\nb\xc3\xa9");
  EXPECT_EQ(event_of(event).item.aggregated_output, "a\nb\xc3\xa9");
}

}  // namespace
}  // namespace vantrel
