// Tests of the claude and grok line decoder: scripted conversations with their exact events,
// the tool-result readings, and which failures fail a line.
#include "vantrel/protocol/claude_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantrel {
namespace {

const std::string run_id = "run-1-1";
const std::string current_thread = "th-now";
const WallTime received = WallTime(std::chrono::seconds(1700000000));

Event event_of(EventType type, std::string thread_id) {
  Event e;
  e.type = std::move(type);
  e.run_id = run_id;
  e.thread_id = std::move(thread_id);
  e.received_at = received;
  return e;
}

Event other(std::string type, std::string thread_id = current_thread) {
  return event_of(EventType::from_text(type), std::move(thread_id));
}

Event with_item(EventType::Kind kind, Item item, std::string thread_id = current_thread) {
  Event e = event_of(kind, std::move(thread_id));
  e.item = std::move(item);
  return e;
}

Item item_of(std::string id, ItemKind kind, std::string status, std::string raw) {
  Item item;
  item.id = std::move(id);
  item.kind = std::move(kind);
  item.status = std::move(status);
  item.raw = std::move(raw);
  return item;
}

Item text_item(std::string id, ItemKind kind, std::string text, std::string raw) {
  Item item = item_of(std::move(id), std::move(kind), "completed", std::move(raw));
  item.text = std::move(text);
  return item;
}

Event turn(EventType::Kind kind, Usage usage, std::string thread_id = current_thread) {
  Event e = event_of(kind, std::move(thread_id));
  e.usage = std::move(usage);
  return e;
}

Usage usage_of(std::int64_t in, std::int64_t creation, std::int64_t read, std::int64_t out,
               std::int64_t total) {
  Usage u;
  u.input_tokens = in;
  u.cache_creation_input_tokens = creation;
  u.cached_input_tokens = read;
  u.output_tokens = out;
  u.total_tokens = total;
  return u;
}

// One expected event and the index of the line it comes from (its raw text).
struct Expect {
  std::size_t line;
  Event event;
};

struct Conversation {
  std::string name;
  Agent agent;
  std::vector<std::string> lines;
  std::vector<Expect> expected;
};

// Decodes every line with one state, as the run loop does, and compares all events in order.
void expect_conversation(const Conversation& c) {
  SCOPED_TRACE(c.name);
  DecoderState state = new_decoder_state(c.agent);
  std::vector<Event> got;
  for (const std::string& line : c.lines) {
    auto events = decode_line(state, line, run_id, current_thread, received);
    ASSERT_TRUE(std::holds_alternative<std::vector<Event>>(events))
        << line << ": " << std::get<DecodeFailure>(events).text;
    for (Event& e : std::get<std::vector<Event>>(events)) got.push_back(std::move(e));
  }
  ASSERT_EQ(got.size(), c.expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE("event " + std::to_string(i));
    Event want = c.expected[i].event;
    want.raw = c.lines[c.expected[i].line];
    EXPECT_EQ(got[i].type.text(), want.type.text());
    EXPECT_EQ(got[i].item, want.item);
    EXPECT_TRUE(got[i] == want);
  }
}

// init, text / thinking / tool_use, a failed Bash result, a repeated final answer.
Conversation claude_session() {
  const std::string text = R"({"type":"text","text":"hello"})";
  const std::string thinking = R"({"type":"thinking","thinking":"hmm"})";
  const std::string bash =
      R"({"type":"tool_use","id":"t1","name":"Bash","input":{"command":"ls"}})";
  const std::string result =
      R"({"type":"tool_result","tool_use_id":"t1","content":"no\nExit code 2","is_error":true})";
  const std::string done = R"({"type":"text","text":"done"})";
  Item started = item_of("t1", ItemKind::CommandExecution, "in_progress", bash);
  started.command = "ls";
  Item finished = started;
  finished.status = "failed";
  finished.raw = result;
  finished.aggregated_output = "no\nExit code 2";
  finished.exit_code = 2;
  Event thread = event_of(EventType::ThreadStarted, "s1");
  thread.started_thread_id = "s1";
  return {"claude session",
          Agent::Claude,
          {
              R"({"type":"system","subtype":"init","session_id":"s1","tools":["Bash"]})",
              R"({"type":"assistant","session_id":"s1","message":{"id":"m1","content":[)" + text +
                  "," + thinking + "," + bash + "]}}",
              R"({"type":"user","message":{"content":[)" + result +
                  R"(]},"tool_use_result":{"stdout":""}})",
              R"({"type":"assistant","message":{"id":"m1","content":[)" + done + "]}}",
              R"({"type":"result","subtype":"success","is_error":false,"result":"done",)"
              R"("usage":{"input_tokens":10,"cache_creation_input_tokens":2,)"
              R"("cache_read_input_tokens":3,"output_tokens":4},"modelUsage":{}})",
          },
          {
              {0, thread},
              {0, event_of(EventType::TurnStarted, "s1")},
              {1, with_item(EventType::ItemCompleted,
                            text_item("m1_0", ItemKind::AgentMessage, "hello", text), "s1")},
              {1, with_item(EventType::ItemCompleted,
                            text_item("m1_1", ItemKind::Reasoning, "hmm", thinking), "s1")},
              {1, with_item(EventType::ItemStarted, started, "s1")},
              {2, with_item(EventType::ItemCompleted, finished)},
              {3, with_item(EventType::ItemCompleted,
                            text_item("m1_2", ItemKind::AgentMessage, "done", done))},
              {4, turn(EventType::TurnCompleted, usage_of(10, 2, 3, 4, 19))},
          }};
}

// File, sub-agent and other tools, a result nobody waits for, and a failed run.
Conversation claude_tools() {
  const std::string write =
      R"({"type":"tool_use","id":"w1","name":"Write","input":{"file_path":"a.txt"}})";
  const std::string edit = R"({"type":"tool_use","id":"e1","name":"Edit",)"
                           R"("input":{"file_path":"","notebook_path":"n.ipynb"}})";
  const std::string task = R"({"type":"tool_use","id":"k1","name":"Task","input":"go"})";
  const std::string use = R"({"type":"tool_use","id":"u1","name":"use_tool"})";
  const std::string write_done =
      R"({"type":"tool_result","tool_use_id":"w1","content":[{"type":"text","text":"a"},)"
      R"({"type":"image","text":"x"},{"type":"text","text":"b"}]})";
  const std::string task_done = R"({"type":"tool_result","tool_use_id":"k1"})";
  Item w = item_of("w1", ItemKind::FileChange, "in_progress", write);
  w.changes = {{"a.txt", "add"}};
  Item e = item_of("e1", ItemKind::FileChange, "in_progress", edit);
  e.changes = {{"n.ipynb", "update"}};
  Item k = item_of("k1", ItemKind::CollabToolCall, "in_progress", task);
  k.tool = "Task";
  Item u = item_of("u1", ItemKind::ToolCall, "in_progress", use);
  Item w_done = w;
  w_done.status = "completed";
  w_done.raw = write_done;
  w_done.aggregated_output = "a\nb";
  w_done.changes = {{"a.txt", "update"}};
  Item k_done = k;
  k_done.status = "completed";
  k_done.raw = task_done;
  k_done.receiver_thread_ids = {"ag1"};
  Event failed = turn(EventType::TurnFailed, usage_of(0, 0, 0, 0, 0));
  failed.message = "a; b";
  const std::string failed_line = R"({"type":"result","is_error":true,"errors":["a","b"]})";
  failed.raw_error = failed_line;
  return {"claude tools",
          Agent::Claude,
          {
              R"({"type":"assistant","message":{"content":[)" + write + "," + edit + "," + task +
                  "," + use + "]}}",
              R"({"type":"user","tool_use_result":{"type":"update","agentId":"ag1"},)"
              R"("message":{"content":[)" +
                  write_done + "," + task_done + "]}}",
              R"({"type":"user","message":{"content":[)" + write_done + "]}}",
              failed_line,
          },
          {
              {0, with_item(EventType::ItemStarted, w)},
              {0, with_item(EventType::ItemStarted, e)},
              {0, with_item(EventType::ItemStarted, k)},
              {0, with_item(EventType::ItemStarted, u)},
              {1, with_item(EventType::ItemCompleted, w_done)},
              {1, with_item(EventType::ItemCompleted, k_done)},
              {2, other("user")},
              {3, failed},
          }};
}

// Grok: its tool names, a result packed as JSON in a string, and its failure word.
Conversation grok_session() {
  const std::string run =
      R"({"type":"tool_use","id":"g1","name":"run_terminal_command","input":{"command":"echo"}})";
  const std::string use = R"({"type":"tool_use","id":"u1","name":"use_tool"})";
  const std::string run_done =
      R"({"type":"tool_result","tool_use_id":"g1",)"
      R"("content":"{\"exit_code\":5,\"output\":[104,105],\"output_for_prompt\":\"x\"}"})";
  Item g = item_of("g1", ItemKind::CommandExecution, "in_progress", run);
  g.command = "echo";
  Item g_done = g;
  g_done.status = "completed";
  g_done.raw = run_done;
  g_done.aggregated_output = "hi";
  g_done.exit_code = 5;
  Event failed = turn(EventType::TurnFailed, usage_of(0, 0, 0, 0, 0));
  failed.message = "grok run failed";
  const std::string failed_line = R"({"type":"result","is_error":true,"result":""})";
  failed.raw_error = failed_line;
  return {"grok session",
          Agent::Grok,
          {
              R"({"type":"assistant","message":{"content":[)" + run + "," + use + "]}}",
              R"({"type":"user","message":{"content":[)" + run_done + "]}}",
              failed_line,
          },
          {
              {0, with_item(EventType::ItemStarted, g)},
              {0, with_item(EventType::ItemStarted,
                            item_of("u1", ItemKind::McpToolCall, "in_progress", use))},
              {1, with_item(EventType::ItemCompleted, g_done)},
              {2, failed},
          }};
}

// A result text that differs from the last message, totals from the model usage, server tools.
Conversation result_and_server_tools() {
  const std::string search =
      R"({"type":"server_tool_use","id":"s1","name":"web_search","input":{"query":"q"}})";
  const std::string found =
      R"({"type":"web_search_tool_result","tool_use_id":"s1","content":"r","is_error":true})";
  const std::string stray = R"({"type":"web_search_tool_result","tool_use_id":"s9"})";
  const std::string text = R"({"type":"text","text":"done"})";
  const std::string result_line =
      R"({"type":"result","result":"done.","total_cost_usd":3,"usage":{"input_tokens":100},)"
      R"("modelUsage":{"m1":{"inputTokens":1,"outputTokens":2,"cacheReadInputTokens":3,)"
      R"("cacheCreationInputTokens":4,"webSearchRequests":9},"m2":{"inputTokens":10}}})";
  Item s_done = item_of("s1", ItemKind::WebSearch, "failed", found);
  s_done.aggregated_output = "r";
  Usage usage = usage_of(100, 0, 0, 0, 20);
  usage.total_cost_usd = 3.0;
  usage.model_usage["m1"] = ModelUsage{1, 2, 3, 4, 9, 0.0, 0, 0};
  usage.model_usage["m2"] = ModelUsage{10, 0, 0, 0, 0, 0.0, 0, 0};
  return {"result and server tools",
          Agent::Claude,
          {
              R"({"type":"assistant","message":{"content":[)" + search + "]}}",
              R"({"type":"assistant","message":{"content":[)" + found + "," + stray + "," + text +
                  "]}}",
              result_line,
          },
          {
              {0, with_item(EventType::ItemStarted,
                            item_of("s1", ItemKind::WebSearch, "in_progress", search))},
              {1, with_item(EventType::ItemCompleted, s_done)},
              {1, with_item(EventType::ItemCompleted,
                            text_item("block_0", ItemKind::AgentMessage, "done", text))},
              {2, with_item(EventType::ItemCompleted,
                            text_item("result", ItemKind::AgentMessage, "done.", result_line))},
              {2, turn(EventType::TurnCompleted, usage)},
          }};
}

// A command item as its tool block starts it.
Item command_started(std::string id, std::string command, std::string raw) {
  Item item = item_of(std::move(id), ItemKind::CommandExecution, "in_progress", std::move(raw));
  item.command = std::move(command);
  return item;
}

// A started tool item as a result block completes it.
Item completed(Item item, std::string status, std::string raw, std::string output,
               std::optional<std::int32_t> exit_code = std::nullopt) {
  item.status = std::move(status);
  item.raw = std::move(raw);
  item.aggregated_output = std::move(output);
  item.exit_code = exit_code;
  return item;
}

// The rules a block follows: a repeated tool id replaces the waiting item, only text blocks set
// the last agent message (an empty one too), and tool results count only on their own lines.
Conversation block_rules() {
  const std::string done = R"({"type":"text","text":"done"})";
  const std::string first =
      R"({"type":"tool_use","id":"t1","name":"Bash","input":{"command":"ls"}})";
  const std::string second =
      R"({"type":"tool_use","id":"t1","name":"Bash","input":{"command":"pwd"}})";
  const std::string thinking = R"({"type":"thinking","thinking":"x"})";
  const std::string early = R"({"type":"tool_result","tool_use_id":"t1","content":"early"})";
  const std::string result = R"({"type":"tool_result","tool_use_id":"t1","content":"out"})";
  const std::string empty = R"({"type":"text","text":""})";
  const std::string search = R"({"type":"server_tool_use","id":"s1","name":"web_search"})";
  const std::string found = R"({"type":"web_search_tool_result","tool_use_id":"s1","content":"r"})";
  Item pwd = command_started("t1", "pwd", second);
  Item searching = item_of("s1", ItemKind::WebSearch, "in_progress", search);

  const std::string result_line = R"({"type":"result","result":"done"})";
  return {
      "block rules",
      Agent::Claude,
      {
          R"({"type":"assistant","message":{"id":"m2","content":[)" + done + "," + first + "," +
              second + "," + thinking + "]}}",
          R"({"type":"assistant","message":{"content":[)" + early + "]}}",
          R"({"type":"user","message":{"content":[)" + result + "]}}",
          result_line,
          R"({"type":"assistant","message":{"content":[)" + empty + "]}}",
          result_line,
          R"({"type":"assistant","message":{"content":[)" + search + "]}}",
          R"({"type":"user","message":{"content":[)" + found + "]}}",
          R"({"type":"assistant","message":{"content":[)" + found + "]}}",
      },
      {
          {0, with_item(EventType::ItemCompleted,
                        text_item("m2_0", ItemKind::AgentMessage, "done", done))},
          {0, with_item(EventType::ItemStarted, command_started("t1", "ls", first))},
          {0, with_item(EventType::ItemStarted, pwd)},
          {0, with_item(EventType::ItemCompleted,
                        text_item("m2_1", ItemKind::Reasoning, "x", thinking))},
          {1, other("assistant")},
          {2, with_item(EventType::ItemCompleted, completed(pwd, "completed", result, "out", 0))},
          {3, turn(EventType::TurnCompleted, usage_of(0, 0, 0, 0, 0))},
          {4, with_item(EventType::ItemCompleted,
                        text_item("block_0", ItemKind::AgentMessage, "", empty))},
          {5, with_item(EventType::ItemCompleted,
                        text_item("result", ItemKind::AgentMessage, "done", result_line))},
          {5, turn(EventType::TurnCompleted, usage_of(0, 0, 0, 0, 0))},
          {6, with_item(EventType::ItemStarted, searching)},
          {7, other("user")},
          {8, with_item(EventType::ItemCompleted, completed(searching, "completed", found, "r"))},
      }};
}

// Texts cut between the two halves of a surrogate pair: every text made from the line holds
// U+FFFD there, every raw text keeps the escape as written.
Conversation cut_surrogates() {
  const std::string text = R"({"type":"text","text":"a\ud83d"})";
  const std::string bash =
      R"({"type":"tool_use","id":"c1","name":"Bash","input":{"command":"echo \udc00"}})";
  const std::string result =
      R"({"type":"tool_result","tool_use_id":"c1","content":"out \ud83d","x":"\ude00"})";
  const std::string replacement = "\xef\xbf\xbd";
  Item started = command_started("c1", "echo " + replacement, bash);

  const std::string result_line = R"({"type":"result","result":"b\udc00","session_id":"s\ud800"})";
  return {
      "cut surrogates",
      Agent::Claude,
      {
          R"({"type":"assistant","message":{"id":"m\ud83d","content":[)" + text + "," + bash +
              "]}}",
          R"({"type":"user","message":{"content":[)" + result +
              R"(]},"tool_use_result":{"exitCode":3,"stdout":"\ud800"}})",
          result_line,
      },
      {
          {0, with_item(EventType::ItemCompleted,
                        text_item("m" + replacement + "_0", ItemKind::AgentMessage,
                                  "a" + replacement, text))},
          {0, with_item(EventType::ItemStarted, started)},
          {1, with_item(EventType::ItemCompleted,
                        completed(started, "completed", result, "out " + replacement, 3))},
          {2, with_item(EventType::ItemCompleted,
                        text_item("result", ItemKind::AgentMessage, "b" + replacement, result_line),
                        "s" + replacement)},
          {2, turn(EventType::TurnCompleted, usage_of(0, 0, 0, 0, 0), "s" + replacement)},
      }};
}

// Skipped and raw values nest to any depth: a tool's input, its result's content, the line's
// tool use result and keys no record knows, each nested a thousand deep, leave the run going.
Conversation deep_values() {
  std::string deep;
  for (int i = 0; i < 1000; ++i) deep += i % 2 ? R"({"k":)" : "[";
  deep += "1";
  for (int i = 999; i >= 0; --i) deep += i % 2 ? "}" : "]";
  const std::string bash = R"({"type":"tool_use","id":"d1","name":"Bash","input":{"deep":)" + deep +
                           R"(,"command":"ls"}})";
  const std::string result = R"({"type":"tool_result","tool_use_id":"d1","content":[)" + deep +
                             R"(,{"type":"text","text":"o"}]})";
  Item started = command_started("d1", "ls", bash);

  return {
      "deep values",
      Agent::Claude,
      {
          R"({"type":"assistant","extra":)" + deep + R"(,"message":{"content":[)" + bash + "]}}",
          R"({"type":"user","message":{"content":[)" + result + R"(]},"tool_use_result":{"deep":)" +
              deep + R"(,"exit_code":4}})",
          R"({"type":"result","usage":{"input_tokens":1,"x":)" + deep + "}}",
      },
      {
          {0, with_item(EventType::ItemStarted, started)},
          {1, with_item(EventType::ItemCompleted, completed(started, "completed", result, "", 4))},
          {2, turn(EventType::TurnCompleted, usage_of(1, 0, 0, 0, 1))},
      }};
}

TEST(DecodeClaudeLine, Conversations) {
  for (const Conversation& c :
       {claude_session(), claude_tools(), grok_session(), result_and_server_tools(), block_rules(),
        cut_surrogates(), deep_values()})
    expect_conversation(c);
}

// The path of a file tool's one change is the first non-empty of file_path, notebook_path and
// target_file, else path; only Write and write add a file.
TEST(DecodeClaudeLine, FileToolChanges) {
  struct Row {
    std::string name;
    std::string input;
    FileChange change;
  };
  const Row rows[] = {
      {"Write",
       R"({"file_path":"f","notebook_path":"n","target_file":"t","path":"p"})",
       {"f", "add"}},
      {"write",
       R"({"file_path":"","notebook_path":"n","target_file":"t","path":"p"})",
       {"n", "add"}},
      {"Edit", R"({"notebook_path":"","target_file":"t","path":"p"})", {"t", "update"}},
      {"search_replace", R"({"file_path":"","target_file":"","path":"p"})", {"p", "update"}},
      {"NotebookEdit", R"({"file_path":"","path":""})", {"", "update"}},
      {"MultiEdit", R"("a.txt")", {"", "update"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name + " " + row.input);
    StreamState state;
    const std::string line = R"({"type":"assistant","message":{"content":[{"type":"tool_use",)"
                             R"("id":"f1","name":")" +
                             row.name + R"(","input":)" + row.input + "}]}}";
    auto events = decode_claude_line(state, line, run_id, current_thread, received);
    ASSERT_TRUE(std::holds_alternative<std::vector<Event>>(events))
        << std::get<DecodeFailure>(events).text;
    const Item& item = std::get<std::vector<Event>>(events).at(0).item;
    EXPECT_EQ(item.kind, ItemKind(ItemKind::FileChange));
    EXPECT_EQ(item.changes, std::vector<FileChange>{row.change});
  }
}

// Result lines: the failure message, whether the result text becomes an item, and the totals.
TEST(DecodeClaudeLine, ResultLines) {
  struct Row {
    std::string line;
    bool is_grok;
    std::string last_agent_message;
    std::vector<std::string> types;  // the events' type words, in order
    std::string message;             // of the turn.failed event
    std::int64_t total;
  };
  const Row rows[] = {
      {R"({"type":"result","is_error":true,"result":"boom","errors":["a"]})",
       false,
       "",
       {"turn.failed"},
       "boom",
       0},
      {R"({"type":"result","is_error":true,"subtype":"success"})",
       false,
       "",
       {"turn.failed"},
       "claude run failed",
       0},
      {R"({"type":"result","is_error":true,"errors":[]})",
       true,
       "",
       {"turn.failed"},
       "grok run failed",
       0},
      {R"({"type":"result","result":"done"})", false, "done", {"turn.completed"}, "", 0},
      {R"({"type":"result","result":"done"})",
       false,
       "done.",
       {"item.completed", "turn.completed"},
       "",
       0},
      {R"({"type":"result","result":""})", false, "x", {"turn.completed"}, "", 0},
      {R"({"type":"result","subtype":"error_max_turns"})", false, "x", {"turn.completed"}, "", 0},
      {R"({"type":"result","usage":{"input_tokens":10,"cache_creation_input_tokens":2,)"
       R"("cache_read_input_tokens":3,"output_tokens":4}})",
       false,
       "",
       {"turn.completed"},
       "",
       19},
      {R"({"type":"result","usage":{"input_tokens":5},"modelUsage":{)"
       R"("a":{"inputTokens":9223372036854775807},"b":{"outputTokens":2,"contextWindow":7}}})",
       false,
       "",
       {"turn.completed"},
       "",
       INT64_MIN + 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    StreamState state;
    state.is_grok = row.is_grok;
    state.last_agent_message = row.last_agent_message;
    auto decoded = decode_claude_line(state, row.line, run_id, current_thread, received);
    ASSERT_TRUE(std::holds_alternative<std::vector<Event>>(decoded));
    const auto& events = std::get<std::vector<Event>>(decoded);
    std::vector<std::string> types;
    for (const Event& e : events) types.emplace_back(e.type.text());
    EXPECT_EQ(types, row.types);
    const Event& last = events.back();
    EXPECT_EQ(last.message, row.message);
    EXPECT_EQ(last.raw_error, row.message.empty() ? "" : row.line);
    EXPECT_EQ(last.usage.total_tokens, row.total);
    EXPECT_EQ(last.usage.reasoning_output_tokens, 0);
    if (events.size() == 2) {
      EXPECT_EQ(events[0].item, text_item("result", ItemKind::AgentMessage, "done", row.line));
    }
    EXPECT_EQ(state.last_agent_message, row.last_agent_message);
  }
}

// Lines that decode to one Other event carrying their own type word.
TEST(DecodeClaudeLine, LinesWithoutItemsGiveTheirOwnEvent) {
  struct Row {
    std::string line;
    std::string type;
    std::string thread_id;
  };
  const Row rows[] = {
      {R"({"type":"system","subtype":"status","session_id":"s2"})", "system", "s2"},
      {R"({"type":"system"})", "system", current_thread},
      {R"({"type":"Result","is_error":true})", "Result", current_thread},
      {R"(["stream_event"])", "stream_event", current_thread},
      {R"({"type":"assistant","message":{"content":"plain"}})", "assistant", current_thread},
      {R"({"type":"assistant","message":{"content":[{"type":"image","source":{"a":[1,{}]}}]}})",
       "assistant", current_thread},
      {R"({"type":"assistant","message":null,"result":null,"tool_use_result":null})", "assistant",
       current_thread},
      {R"({"type":"user","message":{"content":"hi"}})", "user", current_thread},
      {R"({"type":"user","message":{"content":[{"type":"tool_result","tool_use_id":"nobody"}]}})",
       "user", current_thread},
      {R"({"type":"user","message":{"content":[{"type":"text","text":"x"}]}})", "user",
       current_thread},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    StreamState state;
    auto events = decode_claude_line(state, row.line, run_id, current_thread, received);
    ASSERT_TRUE(std::holds_alternative<std::vector<Event>>(events))
        << std::get<DecodeFailure>(events).text;
    Event want = other(row.type, row.thread_id);
    want.raw = row.line;
    ASSERT_EQ(std::get<std::vector<Event>>(events).size(), 1u);
    EXPECT_TRUE(std::get<std::vector<Event>>(events)[0] == want);
  }
}

// Failures of the line itself; the state stays usable and keeps what earlier blocks changed.
TEST(DecodeClaudeLine, FailuresFailTheLine) {
  struct Row {
    std::string line;
    std::string failure;
  };
  const Row rows[] = {
      {R"({"subtype":"init"})", "missing event type"},
      {R"({"type":null})", "missing event type"},
      {"[]", "invalid length 0, expected struct WireEvent with 11 elements at line 1 column 1"},
      {R"(["a","",""  ,null,false,null,[],{},0,{},null,1])",
       "trailing characters at line 1 column 46"},
      {R"({"type":"x","type":"y"})", "duplicate field `type` at line 1 column 18"},
      {R"({"type":"x","subtype":null})",
       "invalid type: null, expected a string at line 1 column 26"},
      {R"({"type":"x","usage":null})",
       "invalid type: null, expected struct WireUsage at line 1 column 24"},
      {R"({"type":"x","modelUsage":null})",
       "invalid type: null, expected a map at line 1 column 29"},
      {R"({"type":"x","usage":{"input_tokens":1.5}})",
       "invalid type: floating point `1.5`, expected i64 at line 1 column 39"},
      {R"({"type":"x","usage":{"output_tokens":18446744073709551616}})",
       "invalid value: integer `18446744073709551616`, expected i64 at line 1 column 57"},
      {R"({"type":"x","modelUsage":{"m":{"inputTokens":-18446744073709551616}}})",
       "invalid value: integer `-18446744073709551616`, expected i64 at line 1 column 66"},
      {R"({"type":"x","result":"\ud83d\u00G0"})", "invalid escape at line 1 column 34"},
      {"{\"type\":\"result\",\"result\":\"\xff\"}",
       "invalid unicode code point at line 1 column 29"},
      {R"({"type":"assistant","message":{"content":[{"type":"text","text":"a"},{"text":null}]}})",
       "invalid type: null, expected a string at line 1 column 12"},
      {R"({"type":"assistant","message":{"content":["bare"]}})",
       R"(invalid type: string "bare", expected struct WireBlock at line 1 column 6)"},
      {R"({"type":"user","message":{"content":[{"type":"tool_result","tool_use_id":"t1"},)"
       R"({"is_error":null}]}})",
       "invalid type: null, expected a boolean at line 1 column 16"},
  };
  StreamState state;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    state.pending_items["t1"] = Item{};
    auto events = decode_claude_line(state, row.line, run_id, current_thread, received);
    ASSERT_TRUE(std::holds_alternative<DecodeFailure>(events));
    EXPECT_EQ(std::get<DecodeFailure>(events).text, row.failure);
  }
  EXPECT_EQ(state.pending_items.count("t1"), 0u);  // taken by the failed user line's first block
  EXPECT_EQ(state.last_agent_message, "a");        // set by the failed assistant line's first block
  auto events = decode_claude_line(state, R"({"type":"system"})", run_id, "", received);
  EXPECT_TRUE(std::holds_alternative<std::vector<Event>>(events));
}

TEST(ToolResultReadings, Text) {
  struct Row {
    std::optional<std::string> content;
    bool is_grok;
    std::string text;
  };
  const Row rows[] = {
      {std::nullopt, false, ""},
      {R"("plain \"q\"")", false, R"(plain "q")"},
      {R"([{"type":"text","text":"a"},{"type":"image","text":"b"},{"type":"text","text":""},)"
       R"({"type":"text","text":"c"}])",
       false, "a\nc"},
      {R"([["text","a"],{"type":"text","text":"b"}])", false, "a\nb"},
      {R"([{"type":"text","text":"a","text":"b"}])", false, ""},
      {R"([{"type":"text","text":"a"},"x"])", false, ""},
      {"7", false, ""},
      {R"({"type":"text","text":"a"})", false, ""},
      {R"("{\"output\":[104,105],\"output_for_prompt\":\"p\"}")", false,
       R"({"output":[104,105],"output_for_prompt":"p"})"},
      {R"("{\"output\":[104,105],\"output_for_prompt\":\"p\"}")", true, "hi"},
      {R"("{\"output\":[104,255],\"output_for_prompt\":\"p\"}")", true, "h\xef\xbf\xbd"},
      {R"("{\"output\":[],\"output_for_prompt\":\"p\"}")", true, "p"},
      {R"("{\"output\":[]}")", true, R"({"output":[]})"},
      {R"("{\"output\":[256]}")", true, R"({"output":[256]})"},
      {R"("plain words")", true, "plain words"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.content.value_or("(none)"));
    std::optional<std::string_view> content;
    if (row.content) content = *row.content;
    EXPECT_EQ(tool_result_text(content, row.is_grok), row.text);
  }
}

TEST(ToolResultReadings, ExitCodeFromText) {
  struct Row {
    std::string text;
    std::optional<std::int32_t> code;
  };
  const Row rows[] = {
      {"Exit code 1\nExit code 137", 137},
      {"Exit code -2", -2},
      {"Exit code 12abc", 12},
      {"Exit code 1-2", std::nullopt},
      {"Exit code -", std::nullopt},
      {"Exit code 99999999999", std::nullopt},
      {"Exit code 2147483647", 2147483647},
      {"Exit code -2147483648", -2147483648},
      {"exit code 1", std::nullopt},
      {"Exit code: 1", std::nullopt},
      {"Exit code 1\nExit code x", std::nullopt},
      {"", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(exit_code_from_text(row.text), row.code);
  }
}

TEST(ToolResultReadings, ExitCode) {
  struct Row {
    std::optional<std::string> tool_use_result;
    std::optional<std::string> content;
    bool is_error;
    bool is_grok;
    std::optional<std::int32_t> code;
  };
  const Row rows[] = {
      {R"({"exitCode":3})", std::nullopt, false, false, 3},
      {R"({"exit_code":3,"exitCode":4})", R"("Exit code 8")", false, false, 8},
      {R"("ran\nExit code 2")", std::nullopt, false, false, 2},
      {R"({"exit_code":null})", R"("Exit code 4")", false, false, 4},
      {std::nullopt, R"([{"type":"text","text":"Exit code 6"}])", true, false, 6},
      {std::nullopt, R"("{\"exit_code\":9}")", false, true, 9},
      {std::nullopt, R"("{\"exit_code\":9}")", false, false, 0},
      {std::nullopt, std::nullopt, false, false, 0},
      {std::nullopt, std::nullopt, true, false, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.tool_use_result.value_or("(none)") + " / " + row.content.value_or("(none)"));
    std::optional<std::string_view> tur, content;
    if (row.tool_use_result) tur = *row.tool_use_result;
    if (row.content) content = *row.content;
    EXPECT_EQ(tool_result_exit_code(tur, content, row.is_error, row.is_grok), row.code);
  }
}

TEST(ToolResultReadings, FileKindAndSubagent) {
  using Opt = std::optional<std::string>;
  const std::pair<Opt, Opt> kinds[] = {
      {R"({"type":"create"})", "add"},        {R"({"type":"update"})", "update"},
      {R"({"type":"delete"})", std::nullopt}, {"{}", std::nullopt},
      {R"("create")", std::nullopt},          {std::nullopt, std::nullopt},
  };
  for (const auto& [tur, kind] : kinds) {
    SCOPED_TRACE(tur.value_or("(none)"));
    EXPECT_EQ(tool_result_file_kind(tur ? std::optional<std::string_view>(*tur) : std::nullopt),
              kind);
  }
  struct Row {
    Opt tool_use_result;
    Opt content;
    bool is_grok;
    Opt id;
  };
  const Row rows[] = {
      {R"({"agentId":"","task_id":"t1","subagent_id":"s1"})", std::nullopt, false, "t1"},
      {R"({"agentId":null,"task_id":"t1"})", std::nullopt, false, std::nullopt},
      {R"({"agentId":"","task_id":""})", std::nullopt, false, std::nullopt},
      {std::nullopt, R"("{\"subagent_id\":\"s2\"}")", true, "s2"},
      {std::nullopt, R"("{\"subagent_id\":\"s2\"}")", false, std::nullopt},
      {"{}", R"("{\"subagent_id\":\"s2\"}")", true, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.tool_use_result.value_or("(none)"));
    std::optional<std::string_view> tur, content;
    if (row.tool_use_result) tur = *row.tool_use_result;
    if (row.content) content = *row.content;
    EXPECT_EQ(subagent_thread_id(tur, content, row.is_grok), row.id);
  }
}

// The records of a tool use result: the alias counts as the same field, and failures name the
// record as the agents do.
TEST(ToolResultReadings, RecordFailures) {
  auto failure_of = [](const auto& decoded) {
    const auto* failure = std::get_if<DecodeFailure>(&decoded);
    return failure ? failure->text : std::string("ok");
  };
  EXPECT_EQ(failure_of(decode_exit_code_result(R"({"exitCode":1,"exit_code":2})")),
            "duplicate field `exit_code` at line 1 column 25");
  EXPECT_EQ(failure_of(decode_exit_code_result(R"({"exitCode":2147483648})")),
            "invalid value: integer `2147483648`, expected i32 at line 1 column 22");
  EXPECT_EQ(failure_of(decode_exit_code_result(R"(["x"])")),
            R"(invalid type: string "x", expected i32 at line 1 column 4)");
  EXPECT_EQ(failure_of(decode_file_result("5")),
            "invalid type: integer `5`, expected struct ToolUseResult at line 1 column 1");
  EXPECT_EQ(failure_of(decode_wire(R"({"agentId":null})")),
            "invalid type: null, expected a string at line 1 column 15");
  EXPECT_EQ(failure_of(decode_wire(R"("w")")),
            R"(invalid type: string "w", expected struct Wire at line 1 column 3)");
  auto exit = decode_exit_code_result(R"({"exitCode":-3,"other":[{}]})");
  ASSERT_TRUE(std::holds_alternative<claude::ExitCodeResult>(exit));
  EXPECT_EQ(std::get<claude::ExitCodeResult>(exit).exit_code, -3);
}

TEST(ToolInput, UnreadableInputIsEmpty) {
  const std::string inputs[] = {R"("ls")", R"({"command":5})", R"({"path":"a","path":"b"})"};
  for (const std::string& input : inputs) {
    claude::WireToolInput got = decode_tool_input(input);
    EXPECT_EQ(got.command + got.file_path + got.notebook_path + got.target_file + got.path, "")
        << input;
  }
  EXPECT_EQ(decode_tool_input(R"({"path":"p","x":[{}]})").path, "p");
}

TEST(ToolItemKind, NamesAreExact) {
  struct Row {
    std::string name;
    bool is_grok;
    ItemKind::Kind kind;
  };
  const Row rows[] = {
      {"Bash", false, ItemKind::CommandExecution},
      {"bash", false, ItemKind::ToolCall},
      {"run_terminal_command", true, ItemKind::CommandExecution},
      {"MultiEdit", false, ItemKind::FileChange},
      {"search_replace", true, ItemKind::FileChange},
      {"WRITE", false, ItemKind::ToolCall},
      {"spawn_subagent", true, ItemKind::CollabToolCall},
      {"Agent", false, ItemKind::CollabToolCall},
      {"TodoWrite", false, ItemKind::PlanUpdate},
      {"todo_write", true, ItemKind::PlanUpdate},
      {"web_fetch", false, ItemKind::WebSearch},
      {"mcp__server__tool", false, ItemKind::McpToolCall},
      {"mcp__", false, ItemKind::McpToolCall},
      {"mcp_x", false, ItemKind::ToolCall},
      {"use_tool", true, ItemKind::McpToolCall},
      {"use_tool", false, ItemKind::ToolCall},
      {"", false, ItemKind::ToolCall},
  };
  for (const Row& row : rows)
    EXPECT_EQ(tool_item_kind(row.name, row.is_grok), ItemKind(row.kind)) << row.name;
}

TEST(BlockItemId, CountsPerKey) {
  StreamState state;
  std::vector<std::string> ids;
  for (std::string_view key : {"m1", "", "m1", "", "m1"}) ids.push_back(block_item_id(state, key));
  EXPECT_EQ(ids, (std::vector<std::string>{"m1_0", "block_0", "m1_1", "block_1", "m1_2"}));
}

TEST(DecodeClaudeLine, InitWithEmptySessionKeepsCurrentThread) {
  StreamState state;
  const std::string line = R"({"type":"system","subtype":"init","session_id":""})";
  auto events = decode_claude_line(state, line, run_id, current_thread, received);
  ASSERT_TRUE(std::holds_alternative<std::vector<Event>>(events));
  Event thread = event_of(EventType::ThreadStarted, current_thread);
  thread.raw = line;
  Event turn_started = event_of(EventType::TurnStarted, current_thread);
  turn_started.raw = line;
  EXPECT_TRUE(std::get<std::vector<Event>>(events) == (std::vector<Event>{thread, turn_started}));
}

TEST(DecodeLine, DispatchesByAgent) {
  DecoderState codex = new_decoder_state(Agent::Codex);
  const std::string line = R"({"type":"turn.started"})";
  auto events = decode_line(codex, line, run_id, current_thread, received);
  ASSERT_TRUE(std::holds_alternative<std::vector<Event>>(events));
  EXPECT_EQ(std::get<std::vector<Event>>(events).at(0).type, EventType(EventType::TurnStarted));
  DecoderState grok = new_decoder_state(Agent::Grok);
  EXPECT_TRUE(std::get<StreamState>(grok).is_grok);
  events = decode_line(grok, line, run_id, current_thread, received);
  ASSERT_TRUE(std::holds_alternative<std::vector<Event>>(events));
  EXPECT_EQ(std::get<std::vector<Event>>(events).at(0).type.text(), "turn.started");
  EXPECT_EQ(std::get<std::vector<Event>>(events).at(0).type.kind, EventType::Other);
}

// A line of many blocks is kept once: every event's raw is that copy and every item's raw a part
// of it, so the bytes a run holds grow with the line, not with blocks times the line.
TEST(DecodeLineInto, EventsOfOneLineShareTheKeptLine) {
  constexpr std::size_t blocks = 2000;
  std::string line = R"({"type":"assistant","message":{"id":"m1","content":[)";
  for (std::size_t i = 0; i < blocks; ++i) {
    if (i) line += ',';
    line +=
        R"({"type":"tool_use","id":"t)" + std::to_string(i) +
        R"(","name":"Read","input":{"file_path":"src/a.cpp"}},{"type":"text","text":"some words"})";
  }
  line += "]}}";
  RunStore store;
  const Text kept = store.keep(line);
  const std::size_t line_bytes = store.arena().allocated_bytes();
  DecoderState state = new_decoder_state(Agent::Claude);
  EventKeeper keeper(store);
  std::vector<SharedEvent> events;
  ASSERT_EQ(decode_line_into(state, kept, LineFrame{run_id, current_thread, received, &store},
                             keeper, events),
            std::nullopt);
  ASSERT_EQ(events.size(), 2 * blocks);
  const auto within = [&](std::string_view part) {
    return part.data() >= kept.data() && part.data() + part.size() <= kept.data() + kept.size();
  };
  std::string scratch;
  for (const SharedEvent& event : events) {
    EXPECT_EQ(event->raw().data(), kept.data());
    EXPECT_EQ(event->raw().size(), kept.size());
    std::string_view item_raw = event->item()->text(ItemText::Raw, scratch);
    EXPECT_TRUE(within(item_raw)) << item_raw;
  }
  // Beyond the line only each block's records and short texts (ids, messages) are kept.
  EXPECT_EQ(line_bytes, line.size());
  EXPECT_LT(store.arena().allocated_bytes() - line_bytes, blocks * 512);
}

}  // namespace
}  // namespace vantrel
