// Decoding of the codex agent's JSON lines into events.
#include "vantrel/protocol/codex_stream.h"

#include <utility>

namespace vantrel {
namespace codex {

void read_json(json::Reader& r, ReadItem& out) {
  out.raw = r.read_keeping_raw([&] { json::read(r, out.wire); });
}

namespace {

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
void read_json(json::Reader& r, WireLine& out) { json::read_record(r, wire_line_record, out); }

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
std::string_view turn_failure_message(const std::optional<json::Raw>& error, const Text& line,
                                      const RunStore& store) {
  if (!error) return {};
  codex::Inner inner;
  if (!json::decode(error->text, inner) && !inner.message.empty())
    return store.keep(inner.message).view();
  return line.part(error->text).view();
}

// The item of `wire`, read from `raw_item` (a part of the kept `line`), kept in the store. Its
// texts stay in the line as JSON wrote them, to be unescaped when they are read; only the
// changes' texts are unescaped now.
const ItemRecord* keep_item(codex::WireItem&& wire, std::string_view raw_item, const Text& line,
                            RunStore& store) {
  Arena& arena = store.arena();
  ItemParts parts;
  auto set = [&](ItemText which, const WireText& text) {
    parts.set(which, text.source, text.escaped);
  };
  std::string scratch;
  ItemKind kind =
      ItemKind::from_text(json::string_contents(wire.type.source, wire.type.escaped, scratch));
  parts.kind = kind.kind;
  parts.set(ItemText::OtherKind, arena.copy(kind.other));
  set(ItemText::Id, wire.id);
  set(ItemText::Status, wire.status);
  set(ItemText::Text, wire.text);
  set(ItemText::Message, wire.message);
  set(ItemText::Command, wire.command);
  set(ItemText::AggregatedOutput, wire.aggregated_output);
  parts.set(ItemText::Raw, line.part(raw_item).view());
  set(ItemText::Tool, wire.tool);
  set(ItemText::SenderThreadId, wire.sender_thread_id);
  parts.exit_code = wire.exit_code;
  std::vector<FileChangeRecord> changes;
  changes.reserve(wire.changes.size());
  for (const codex::WireChange& change : wire.changes)
    changes.push_back(
        {kept_text(change.path, line, store).view(), kept_text(change.kind, line, store).view()});
  std::vector<std::string_view> receivers;
  receivers.reserve(wire.receiver_thread_ids.size());
  for (const std::string& id : wire.receiver_thread_ids) receivers.push_back(arena.copy(id));
  parts.changes = changes;
  parts.receiver_thread_ids = receivers;
  return ItemRecord::make(parts, arena);
}

// Reads an item from its raw slice of `line` (absent when missing or null) and keeps it; the
// failure, if it does not read.
Decoded<const ItemRecord*> read_item(std::optional<std::string_view> raw_item, const Text& line,
                                     RunStore& store) {
  if (!raw_item || raw_item->empty()) return DecodeFailure{"missing item payload"};
  codex::WireItem wire;
  if (auto error = json::decode(*raw_item, wire)) return DecodeFailure{error->text()};
  return keep_item(std::move(wire), *raw_item, line, store);
}

// The item of a line read in one pass; its reading has succeeded.
Decoded<const ItemRecord*> item_of(std::optional<codex::ReadItem>& read, const Text& line,
                                   RunStore& store) {
  if (!read) return DecodeFailure{"missing item payload"};
  return keep_item(std::move(read->wire), read->raw.text, line, store);
}

// The item of a line read in two passes, read from its raw slice now.
Decoded<const ItemRecord*> item_of(const std::optional<json::Raw>& raw, const Text& line,
                                   RunStore& store) {
  return read_item(raw ? std::optional(raw->text) : std::nullopt, line, store);
}

// The event of a line read whole, by either reading, kept by `keeper`.
template <class Wire>
Decoded<SharedEvent> keep_event(Wire& wire, const Text& line, const LineFrame& frame,
                                EventKeeper& keeper) {
  if (!wire.type || wire.type->empty()) return DecodeFailure{"missing event type"};

  RunStore& store = keeper.store();
  std::string scratch;
  EventType type =
      EventType::from_text(json::string_contents(wire.type->source, wire.type->escaped, scratch));
  EventParts parts;
  parts.type = type.kind;
  parts.other_type = store.arena().copy(type.other);
  parts.run_id = frame.run_id;
  parts.thread_id = frame.thread_id;
  parts.raw = line;
  parts.received_at = frame.received_at;
  std::optional<Usage> usage;  // made only for the kinds that carry it
  switch (type.kind) {
    case EventType::ThreadStarted:
      parts.thread_id = kept_text(wire.thread_id, line, store).view();
      break;
    case EventType::TurnCompleted:
      parts.usage = &usage.emplace(with_total(std::move(wire.usage)));
      break;
    case EventType::TurnFailed:
      parts.usage = &usage.emplace(with_total(std::move(wire.usage)));
      parts.raw_error = line.part(raw_text(wire.error)).view();
      parts.message = turn_failure_message(wire.error, line, store);
      break;
    case EventType::ItemStarted:
    case EventType::ItemCompleted: {
      Decoded<const ItemRecord*> item = item_of(wire.item, line, store);
      if (auto* failure = std::get_if<DecodeFailure>(&item)) return std::move(*failure);
      parts.item = std::get<const ItemRecord*>(item);
      break;
    }
    case EventType::Error:
      parts.raw_error = line.part(raw_text(wire.error)).view();
      parts.message =
          wire.message.empty() ? parts.raw_error : kept_text(wire.message, line, store).view();
      break;
    case EventType::TurnStarted:
    case EventType::Other: break;
  }
  return keeper.keep(parts);
}

}  // namespace

Decoded<Item> decode_codex_item(std::optional<std::string_view> raw_item) {
  RunStore store;
  std::optional<Text> kept;
  if (raw_item) kept = store.keep(*raw_item);
  auto raw = kept ? std::optional(kept->view()) : std::nullopt;
  Decoded<const ItemRecord*> item = read_item(raw, kept.value_or(Text()), store);
  if (auto* failure = std::get_if<DecodeFailure>(&item)) return std::move(*failure);
  return item_of(
      std::shared_ptr<const ItemRecord>(store.share(), std::get<const ItemRecord*>(item)));
}

// A line is read on the fast path when it takes it, else by the reader in one pass, its item
// with it, whatever its type. Only a line that fails so is read again in two: the line with its
// item kept raw, then the item if the type wants it. That second reading alone words the
// failure (positions within the item count from the item), and lets a faulty item pass when the
// type never reads it.
Decoded<SharedEvent> keep_codex_line(const Text& line, const LineFrame& frame,
                                     EventKeeper& keeper) {
  {
    codex::WireLine fast;
    if (codex::scan_wire_line(line, fast)) return keep_event(fast, line, frame, keeper);
  }
  // Read into a fresh record in place: as json::decode would, without its reset.
  codex::WireLine one_pass;
  json::Reader reader(line);
  json::read(reader, one_pass);
  if (reader.finish()) return keep_event(one_pass, line, frame, keeper);
  codex::WireEvent wire;
  if (auto error = json::decode(line, wire)) return DecodeFailure{error->text()};
  return keep_event(wire, line, frame, keeper);
}

Decoded<Event> decode_codex_line(std::string_view line, const std::string& run_id,
                                 const std::string& thread_id, WallTime received_at) {
  LoneLine lone(line, run_id, thread_id, received_at);
  EventKeeper keeper(lone.store);
  Decoded<SharedEvent> kept = keep_codex_line(lone.line, lone.frame, keeper);
  if (auto* failure = std::get_if<DecodeFailure>(&kept)) return std::move(*failure);
  return event_of(std::get<SharedEvent>(kept));
}

}  // namespace vantrel
