// The canonical words of event types and item kinds, and the readers of usage and changes.
#include "vantrel/protocol/event.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "vantrel/json/json.h"

namespace vantrel {
namespace {

constexpr std::array<std::string_view, EventType::Other> event_words = {
    "thread.started", "turn.started",   "turn.completed", "turn.failed",
    "item.started",   "item.completed", "error"};

constexpr std::array<std::string_view, ItemKind::Other> item_words = {
    "agent_message", "reasoning",   "command_execution", "file_change",      "mcp_tool_call",
    "web_search",    "plan_update", "tool_call",         "collab_tool_call", "error"};

// Finds `text` among `words`; the index is the kind, words.size() (Other) when absent.
template <std::size_t N>
std::size_t word_index(const std::array<std::string_view, N>& words, std::string_view text) {
  // Most words differ from the text in size or first byte, so few are compared whole.
  for (std::size_t i = 0; i < N; ++i)
    if (words[i].size() == text.size() && !text.empty() && words[i][0] == text[0] &&
        words[i] == text)
      return i;
  return N;
}

}  // namespace

EventType EventType::from_text(std::string_view text) {
  EventType type(static_cast<Kind>(word_index(event_words, text)));
  if (type.kind == Other) type.other = text;
  return type;
}

std::string_view EventType::text() const {
  return kind == Other ? std::string_view(other) : event_words[kind];
}

std::string_view EventType::word(Kind kind) { return kind == Other ? "" : event_words[kind]; }

ItemKind ItemKind::from_text(std::string_view text) {
  ItemKind item(static_cast<Kind>(word_index(item_words, text)));
  if (item.kind == Other) item.other = text;
  return item;
}

std::string_view ItemKind::text() const {
  return kind == Other ? std::string_view(other) : item_words[kind];
}

std::string_view ItemKind::word(Kind kind) { return kind == Other ? "" : item_words[kind]; }

namespace {

constexpr json::Field<Usage> usage_fields[] = {
    {"input_tokens", json::member<&Usage::input_tokens>},
    // Newer codex writes cache writes as `cache_write_input_tokens`.
    {"cache_creation_input_tokens", "cache_write_input_tokens",
     json::member<&Usage::cache_creation_input_tokens>},
    {"cached_input_tokens", json::member<&Usage::cached_input_tokens>},
    {"output_tokens", json::member<&Usage::output_tokens>},
    {"reasoning_output_tokens", json::member<&Usage::reasoning_output_tokens>},
    {"total_tokens", json::member<&Usage::total_tokens>},
    {"total_cost_usd", json::member<&Usage::total_cost_usd>},
    {"model_usage", json::member<&Usage::model_usage>},
};
constexpr json::Record<Usage> usage_record{"Usage", usage_fields};

constexpr json::Field<ModelUsage> model_usage_fields[] = {
    {"inputTokens", json::member<&ModelUsage::input_tokens>},
    {"outputTokens", json::member<&ModelUsage::output_tokens>},
    {"cacheReadInputTokens", json::member<&ModelUsage::cache_read_input_tokens>},
    {"cacheCreationInputTokens", json::member<&ModelUsage::cache_creation_input_tokens>},
    {"webSearchRequests", json::member<&ModelUsage::web_search_requests>},
    {"costUSD", json::member<&ModelUsage::cost_usd>},
    {"contextWindow", json::member<&ModelUsage::context_window>},
    {"maxOutputTokens", json::member<&ModelUsage::max_output_tokens>},
};
constexpr json::Record<ModelUsage> model_usage_record{"ModelUsage", model_usage_fields};

// A JSON string as a text of its own.
void read_owned_text(json::Reader& r, Text& out) {
  std::string text;
  json::read(r, text);
  out = std::move(text);
}

constexpr json::Field<FileChange> file_change_fields[] = {
    {"path", json::member<&FileChange::path, read_owned_text>},
    {"kind", json::member<&FileChange::kind, read_owned_text>},
};
constexpr json::Record<FileChange> file_change_record{"FileChange", file_change_fields};

}  // namespace

void read_json(json::Reader& r, Usage& out) { json::read_record(r, usage_record, out); }
void read_json(json::Reader& r, ModelUsage& out) { json::read_record(r, model_usage_record, out); }
void read_json(json::Reader& r, FileChange& out) { json::read_record(r, file_change_record, out); }

}  // namespace vantrel
