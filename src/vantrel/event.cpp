// The canonical words of event types and item kinds.
#include "vantrel/event.h"

#include <array>

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
  for (std::size_t i = 0; i < N; ++i)
    if (words[i] == text) return i;
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

ItemKind ItemKind::from_text(std::string_view text) {
  ItemKind item(static_cast<Kind>(word_index(item_words, text)));
  if (item.kind == Other) item.other = text;
  return item;
}

std::string_view ItemKind::text() const {
  return kind == Other ? std::string_view(other) : item_words[kind];
}

}  // namespace vantrel
