// Decoding of the codex agent's JSON lines into events.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/json/json.h"
#include "vantrel/protocol/decoded.h"
#include "vantrel/protocol/event.h"

namespace vantrel {
namespace codex {

// One output line. `item` and `error` stay raw slices of the line until an event type reads them.
struct WireEvent {
  std::optional<std::string> type;
  std::string thread_id;
  Usage usage;
  std::optional<json::Raw> item;
  std::optional<json::Raw> error;
  std::string message;
};

// The item of an item.started / item.completed line.
struct WireItem {
  std::string id;
  std::string type;
  std::string status;
  std::string text;
  std::string message;
  std::string command;
  std::string aggregated_output;
  std::optional<std::int32_t> exit_code;
  std::vector<FileChange> changes;
  std::string tool;
  std::string sender_thread_id;
  std::vector<std::string> receiver_thread_ids;
};

// The failure record inside the `error` of a turn.failed line.
struct Inner {
  std::string message;
};

void read_json(json::Reader& r, WireEvent& out);
void read_json(json::Reader& r, WireItem& out);
void read_json(json::Reader& r, Inner& out);

}  // namespace codex

// One trimmed, non-empty codex line into exactly one event. `thread_id` is the run's current one.
Decoded<Event> decode_codex_line(std::string_view line, const std::string& run_id,
                                 const std::string& thread_id, WallTime received_at);

// As decode_codex_line, into a default `event`: the failure, if any (`event` is then unspecified).
std::optional<DecodeFailure> decode_codex_line_into(std::string_view line,
                                                    const std::string& run_id,
                                                    const std::string& thread_id,
                                                    WallTime received_at, Event& event);

// The raw `item` of a line (absent when missing or null) into an item; failure positions count
// within the item text.
Decoded<Item> decode_codex_item(std::optional<std::string_view> raw_item);

}  // namespace vantrel
