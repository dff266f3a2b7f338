// Decoding of the codex agent's JSON lines into events.
#include "vantrel/protocol/codex_stream.h"

#include <utility>

namespace vantrel {
namespace codex {
namespace {

// An item read in the same pass as its line: its fields, and its source slice for `Item::raw`.
struct ReadItem {
  json::Raw raw;
  WireItem wire;
};

void read_json(json::Reader& r, ReadItem& out) {
  out.raw = r.read_keeping_raw([&] { json::read(r, out.wire); });
}

// A line read in one pass, its item read at once: as WireEvent, but with the item's fields.
struct WireLine {
  std::optional<std::string> type;
  WireText thread_id;
  Usage usage;
  std::optional<ReadItem> item;
  std::optional<json::Raw> error;
  WireText message;
};

// The fields of both readings of a line, in the order of the array form.
template <class Wire>
constexpr json::Field<Wire> line_fields[] = {
    {"type", json::member<&Wire::type>},   {"thread_id", json::member<&Wire::thread_id>},
    {"usage", json::member<&Wire::usage>}, {"item", json::member<&Wire::item>},
    {"error", json::member<&Wire::error>}, {"message", json::member<&Wire::message>},
};
// The array form must at least hold the type, which may be null.
constexpr json::Record<WireEvent> wire_event_record{"WireEvent", line_fields<WireEvent>, 1};
constexpr json::Record<WireLine> wire_line_record{"WireEvent", line_fields<WireLine>, 1};

void read_json(json::Reader& r, WireLine& out) { json::read_record(r, wire_line_record, out); }

// Read as FileChange is, and named so in type failures.
constexpr json::Field<WireChange> wire_change_fields[] = {
    {"path", json::member<&WireChange::path>},
    {"kind", json::member<&WireChange::kind>},
};
constexpr json::Record<WireChange> wire_change_record{"FileChange", wire_change_fields};

constexpr json::Field<WireItem> wire_item_fields[] = {
    {"id", json::member<&WireItem::id>},
    {"type", json::member<&WireItem::type>},
    {"status", json::member<&WireItem::status>},
    {"text", json::member<&WireItem::text>},
    {"message", json::member<&WireItem::message>},
    {"command", json::member<&WireItem::command>},
    {"aggregated_output", json::member<&WireItem::aggregated_output>},
    {"exit_code", json::member<&WireItem::exit_code>},
    {"changes", json::member<&WireItem::changes>},
    {"tool", json::member<&WireItem::tool>},
    {"sender_thread_id", json::member<&WireItem::sender_thread_id>},
    {"receiver_thread_ids", json::member<&WireItem::receiver_thread_ids>},
};
constexpr json::Record<WireItem> wire_item_record{"WireItem", wire_item_fields};

constexpr json::Field<Inner> inner_fields[] = {
    {"message", json::member<&Inner::message>},
};
constexpr json::Record<Inner> inner_record{"Inner", inner_fields};

}  // namespace

void read_json(json::Reader& r, WireEvent& out) { json::read_record(r, wire_event_record, out); }
void read_json(json::Reader& r, WireChange& out) { json::read_record(r, wire_change_record, out); }
void read_json(json::Reader& r, WireItem& out) { json::read_record(r, wire_item_record, out); }
void read_json(json::Reader& r, Inner& out) { json::read_record(r, inner_record, out); }

}  // namespace codex

namespace {

std::string_view raw_text(const std::optional<json::Raw>& raw) {
  return raw ? raw->text : std::string_view();
}

// A turn's total is its reported one, or input plus output when it reported none.
Usage with_total(Usage usage) {
  if (usage.total_tokens == 0)
    usage.total_tokens = wrapping_add(usage.input_tokens, usage.output_tokens);
  return usage;
}

// The message of a turn.failed line: the `message` of its error record when that reads and is
// non-empty, else the error's raw text. Failures here never fail the line.
Text turn_failure_message(const std::optional<json::Raw>& error, const Text& line,
                          const RunStore& store) {
  if (!error) return {};
  codex::Inner inner;
  if (!json::decode(error->text, inner) && !inner.message.empty()) return store.keep(inner.message);
  return line.part(error->text);
}

void fill_item(codex::WireItem&& wire, std::string_view raw_item, const Text& line,
               const RunStore& store, Item& item) {
  auto kept = [&](const WireText& text) { return kept_text(text, line, store); };
  item.id = kept(wire.id);
  item.kind = ItemKind::from_text(wire.type);
  item.status = kept(wire.status);
  item.text = kept(wire.text);
  item.message = kept(wire.message);
  item.command = kept(wire.command);
  item.aggregated_output = kept(wire.aggregated_output);
  item.exit_code = wire.exit_code;
  item.raw = line.part(raw_item);
  item.changes.reserve(wire.changes.size());
  for (const codex::WireChange& change : wire.changes)
    item.changes.push_back(FileChange{kept(change.path), kept(change.kind)});
  item.tool = kept(wire.tool);
  item.sender_thread_id = kept(wire.sender_thread_id);
  item.receiver_thread_ids = std::move(wire.receiver_thread_ids);
}

// Reads an item from its raw slice of `line` (absent when missing or null) into `item`; the
// failure, if it does not read.
std::optional<DecodeFailure> read_item(std::optional<std::string_view> raw_item, const Text& line,
                                       const RunStore& store, Item& item) {
  if (!raw_item || raw_item->empty()) return DecodeFailure{"missing item payload"};
  codex::WireItem wire;
  if (auto error = json::decode(*raw_item, wire)) return DecodeFailure{error->text()};
  fill_item(std::move(wire), *raw_item, line, store, item);
  return std::nullopt;
}

// The item of a line read in one pass; its reading has succeeded.
std::optional<DecodeFailure> item_of(std::optional<codex::ReadItem>& read, const Text& line,
                                     const RunStore& store, Item& item) {
  if (!read) return DecodeFailure{"missing item payload"};
  fill_item(std::move(read->wire), read->raw.text, line, store, item);
  return std::nullopt;
}

// The item of a line read in two passes, read from its raw slice now.
std::optional<DecodeFailure> item_of(const std::optional<json::Raw>& raw, const Text& line,
                                     const RunStore& store, Item& item) {
  return read_item(raw ? std::optional(raw->text) : std::nullopt, line, store, item);
}

// The event of a line read whole, by either reading, filled into a default `event`.
template <class Wire>
std::optional<DecodeFailure> fill_event(Wire& wire, const Text& line, const LineFrame& frame,
                                        Event& event) {
  if (!wire.type || wire.type->empty()) return DecodeFailure{"missing event type"};

  const RunStore& store = *frame.store;
  event.type = EventType::from_text(*wire.type);
  event.run_id = frame.run_id;
  event.thread_id = frame.thread_id;
  event.raw = line;
  event.received_at = frame.received_at;
  switch (event.type.kind) {
    case EventType::ThreadStarted:
      event.started_thread_id = kept_text(wire.thread_id, line, store);
      event.thread_id = event.started_thread_id;
      break;
    case EventType::TurnCompleted: event.usage = with_total(std::move(wire.usage)); break;
    case EventType::TurnFailed:
      event.usage = with_total(std::move(wire.usage));
      event.raw_error = line.part(raw_text(wire.error));
      event.message = turn_failure_message(wire.error, line, store);
      break;
    case EventType::ItemStarted:
    case EventType::ItemCompleted:
      if (auto failure = item_of(wire.item, line, store, event.item)) return failure;
      break;
    case EventType::Error:
      event.raw_error = line.part(raw_text(wire.error));
      event.message = wire.message.empty() ? event.raw_error : kept_text(wire.message, line, store);
      break;
    case EventType::TurnStarted:
    case EventType::Other: break;
  }
  return std::nullopt;
}

}  // namespace

Decoded<Item> decode_codex_item(std::optional<std::string_view> raw_item) {
  Item item;
  RunStore store;
  std::optional<Text> kept;
  if (raw_item) kept = store.keep(*raw_item);
  auto raw = kept ? std::optional(kept->view()) : std::nullopt;
  if (auto failure = read_item(raw, kept.value_or(Text()), store, item)) return std::move(*failure);
  return item;
}

// A line is read in one pass, its item with it, whatever its type. Only a line that fails so
// is read again in two: the line with its item kept raw, then the item if the type wants it.
// That second reading alone words the failure (positions within the item count from the item),
// and lets a faulty item pass when the type never reads it.
std::optional<DecodeFailure> decode_codex_line_into(const Text& line, const LineFrame& frame,
                                                    Event& event) {
  codex::WireLine one_pass;
  if (!json::decode(line, one_pass)) return fill_event(one_pass, line, frame, event);
  codex::WireEvent wire;
  if (auto error = json::decode(line, wire)) return DecodeFailure{error->text()};
  return fill_event(wire, line, frame, event);
}

Decoded<Event> decode_codex_line(std::string_view line, const std::string& run_id,
                                 const std::string& thread_id, WallTime received_at) {
  LoneLine lone(line, run_id, thread_id, received_at);
  Event event;
  if (auto failure = decode_codex_line_into(lone.line, lone.frame, event))
    return std::move(*failure);
  return event;
}

}  // namespace vantrel
