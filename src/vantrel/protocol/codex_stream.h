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
#include "vantrel/protocol/event_record.h"
#include "vantrel/protocol/wire_text.h"

namespace vantrel {
namespace codex {

// One output line. `item` and `error` stay raw slices of the line until an event type reads them.
struct WireEvent {
  std::optional<WireText> type;
  WireText thread_id;
  Usage usage;
  std::optional<json::Raw> item;
  std::optional<json::Raw> error;
  WireText message;
};

// One change of a file_change item, its texts staying in the line when they can.
struct WireChange {
  WireText path;
  WireText kind;
  friend bool operator==(const WireChange&, const WireChange&) = default;
};

// The item of an item.started / item.completed line; its texts stay in the line when they can.
struct WireItem {
  WireText id;
  WireText type;
  WireText status;
  WireText text;
  WireText message;
  WireText command;
  WireText aggregated_output;
  std::optional<std::int32_t> exit_code;
  std::vector<WireChange> changes;
  WireText tool;
  WireText sender_thread_id;
  std::vector<std::string> receiver_thread_ids;
  friend bool operator==(const WireItem&, const WireItem&) = default;
};

// An item read in the same pass as its line: its fields, and its source slice for `Item::raw`.
struct ReadItem {
  json::Raw raw;
  WireItem wire;
  friend bool operator==(const ReadItem&, const ReadItem&) = default;
};

// A line read in one pass, its item read at once: as WireEvent, but with the item's fields.
struct WireLine {
  std::optional<WireText> type;
  WireText thread_id;
  Usage usage;
  std::optional<ReadItem> item;
  std::optional<json::Raw> error;
  WireText message;
  friend bool operator==(const WireLine&, const WireLine&) = default;
};

// The failure record inside the `error` of a turn.failed line.
struct Inner {
  std::string message;
};

void read_json(json::Reader& r, WireEvent& out);
void read_json(json::Reader& r, WireChange& out);
void read_json(json::Reader& r, WireItem& out);
void read_json(json::Reader& r, Inner& out);
void read_json(json::Reader& r, ReadItem& out);
void read_json(json::Reader& r, WireLine& out);

// Reads `line` into a fresh `out` as read_json would, on a fast path for the lines codex
// writes: true when the line reads so, with exactly the fields the reader gives it. False for
// any line it does not take (which the reader then reads, for its fields or its failure); `out`
// is unspecified then.
bool scan_wire_line(std::string_view line, WireLine& out);

}  // namespace codex

// One trimmed, non-empty codex line into exactly one event. `thread_id` is the run's current one.
Decoded<Event> decode_codex_line(std::string_view line, const std::string& run_id,
                                 const std::string& thread_id, WallTime received_at);

// As decode_codex_line, for a line kept in `frame`'s store: its event, kept by `keeper`, with
// texts that are parts of `line` wherever they can be.
Decoded<SharedEvent> keep_codex_line(const Text& line, const LineFrame& frame, EventKeeper& keeper);

// The raw `item` of a line (absent when missing or null) into an item; failure positions count
// within the item text.
Decoded<Item> decode_codex_item(std::optional<std::string_view> raw_item);

}  // namespace vantrel
