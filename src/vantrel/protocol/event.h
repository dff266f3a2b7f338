// The common event, item and usage records that every agent's output is decoded into.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vantrel/support/arena.h"
#include "vantrel/support/text.h"

namespace vantrel {

namespace json {
class Reader;
}

// The kind of an event. `Other` keeps the agent's own type text verbatim.
struct EventType {
  enum Kind : std::uint8_t {
    ThreadStarted,
    TurnStarted,
    TurnCompleted,
    TurnFailed,
    ItemStarted,
    ItemCompleted,
    Error,
    Other,
  };
  Kind kind = Other;
  std::string other;  // only for Other

  EventType() = default;
  EventType(Kind k) : kind(k) {}  // NOLINT: the kinds convert implicitly, as enum values would

  // Exact, case-sensitive match of the seven canonical words; any other text is Other.
  static EventType from_text(std::string_view text);
  // The canonical word, or the kept text for Other.
  std::string_view text() const;
  // The canonical word of a kind other than Other.
  static std::string_view word(Kind kind);

  friend bool operator==(const EventType&, const EventType&) = default;
};

// Which kinds of event carry an item, usage or an error.
constexpr bool carries_item(EventType::Kind kind) {
  return kind == EventType::ItemStarted || kind == EventType::ItemCompleted;
}
constexpr bool carries_usage(EventType::Kind kind) {
  return kind == EventType::TurnCompleted || kind == EventType::TurnFailed;
}
constexpr bool carries_error(EventType::Kind kind) {
  return kind == EventType::TurnFailed || kind == EventType::Error;
}

// The kind of an item. `Other` keeps the agent's own item type text verbatim.
struct ItemKind {
  enum Kind : std::uint8_t {
    AgentMessage,
    Reasoning,
    CommandExecution,
    FileChange,
    McpToolCall,
    WebSearch,
    PlanUpdate,
    ToolCall,
    CollabToolCall,
    Error,
    Other,
  };
  Kind kind = Other;
  std::string other;  // only for Other

  ItemKind() = default;
  ItemKind(Kind k) : kind(k) {}  // NOLINT: see EventType

  static ItemKind from_text(std::string_view text);
  std::string_view text() const;
  static std::string_view word(Kind kind);

  friend bool operator==(const ItemKind&, const ItemKind&) = default;
};

struct FileChange {
  Text path;
  Text kind;
  friend bool operator==(const FileChange&, const FileChange&) = default;
};

struct ModelUsage {
  std::int64_t input_tokens = 0;
  std::int64_t output_tokens = 0;
  std::int64_t cache_read_input_tokens = 0;
  std::int64_t cache_creation_input_tokens = 0;
  std::int64_t web_search_requests = 0;
  double cost_usd = 0.0;
  std::int64_t context_window = 0;
  std::int64_t max_output_tokens = 0;
  friend bool operator==(const ModelUsage&, const ModelUsage&) = default;
};

using ModelUsageMap = std::unordered_map<std::string, ModelUsage>;

// Token counts and cost of a turn or a run. All defaults stand for "no usage reported".
struct Usage {
  std::int64_t input_tokens = 0;
  std::int64_t cache_creation_input_tokens = 0;
  std::int64_t cached_input_tokens = 0;
  std::int64_t output_tokens = 0;
  std::int64_t reasoning_output_tokens = 0;
  std::int64_t total_tokens = 0;
  double total_cost_usd = 0.0;
  ModelUsageMap model_usage;
  friend bool operator==(const Usage&, const Usage&) = default;
};

// One unit of agent work carried by item.started / item.completed.
struct Item {
  Text id;
  ItemKind kind;
  Text status;
  Text text;
  Text message;
  Text command;
  Text aggregated_output;
  std::optional<std::int32_t> exit_code;
  Text raw;
  std::vector<FileChange> changes;
  Text tool;
  Text sender_thread_id;
  std::vector<std::string> receiver_thread_ids;
  friend bool operator==(const Item&, const Item&) = default;
};

using WallTime = std::chrono::system_clock::time_point;

// One decoded agent event; its texts share the storage they were decoded into (for a run's
// events, the run's store, which holds each line once). Which of the type-specific fields carry
// data follows from `type`: thread.started: `started_thread_id`; turn.completed: `usage`;
// turn.failed: `usage`, `message`, `raw_error`; item.started / item.completed: `item`; error:
// `message`, `raw_error`.
struct Event {
  EventType type;
  Text run_id;
  Text thread_id;  // the run's thread id as known when the event was made
  Text raw;        // the output line, trimmed
  WallTime received_at{};

  Text started_thread_id;
  Usage usage;
  Text message;
  Text raw_error;
  Item item;

  bool has_item() const { return carries_item(type.kind); }
  bool has_usage() const { return carries_usage(type.kind); }
  bool has_error() const { return carries_error(type.kind); }

  friend bool operator==(const Event&, const Event&) = default;
};

// What every event of a line is made with besides the line: the run's id and thread id as known
// then, the time the line arrived, and the store that keeps the line's decoded texts.
struct LineFrame {
  Text run_id;
  Text thread_id;
  WallTime received_at{};
  const RunStore* store = nullptr;
};

// A line decoded outside a run: kept in a store of its own, with its frame.
struct LoneLine {
  RunStore store;
  Text line;
  LineFrame frame;
  LoneLine(std::string_view text, const std::string& run_id, const std::string& thread_id,
           WallTime received_at)
      : line(store.keep(text)), frame{run_id, thread_id, received_at, &store} {}
  LoneLine(const LoneLine&) = delete;
  LoneLine& operator=(const LoneLine&) = delete;
};

// Reading the records from agent JSON (object or array form, keys exactly as listed, others
// skipped; "struct Usage", "struct ModelUsage", "struct FileChange" in type failures). With these,
// `json::read` also reads a model-usage map ("a map", a later model name replaces an earlier one)
// and a list of changes ("a sequence").
void read_json(json::Reader& r, Usage& out);
void read_json(json::Reader& r, ModelUsage& out);
void read_json(json::Reader& r, FileChange& out);

}  // namespace vantrel
