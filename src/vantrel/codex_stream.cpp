// Decoding of the codex agent's JSON lines into events.
#include "vantrel/codex_stream.h"

#include <utility>

namespace vantrel {
namespace codex {
namespace {

constexpr json::Field<WireEvent> wire_event_fields[] = {
    {"type", json::member<&WireEvent::type>},   {"thread_id", json::member<&WireEvent::thread_id>},
    {"usage", json::member<&WireEvent::usage>}, {"item", json::member<&WireEvent::item>},
    {"error", json::member<&WireEvent::error>}, {"message", json::member<&WireEvent::message>},
};
// The array form must at least hold the type, which may be null.
constexpr json::Record<WireEvent> wire_event_record{"WireEvent", wire_event_fields, 1};

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
std::string turn_failure_message(const std::optional<json::Raw>& error) {
  if (!error) return {};
  codex::Inner inner;
  if (!json::decode(error->text, inner) && !inner.message.empty()) return std::move(inner.message);
  return std::string(error->text);
}

}  // namespace

Decoded<Item> decode_codex_item(std::optional<std::string_view> raw_item) {
  if (!raw_item || raw_item->empty()) return DecodeFailure{"missing item payload"};
  codex::WireItem wire;
  if (auto error = json::decode(*raw_item, wire)) return DecodeFailure{error->text()};
  Item item;
  item.id = std::move(wire.id);
  item.kind = ItemKind::from_text(wire.type);
  item.status = std::move(wire.status);
  item.text = std::move(wire.text);
  item.message = std::move(wire.message);
  item.command = std::move(wire.command);
  item.aggregated_output = std::move(wire.aggregated_output);
  item.exit_code = wire.exit_code;
  item.raw = std::string(*raw_item);
  item.changes = std::move(wire.changes);
  item.tool = std::move(wire.tool);
  item.sender_thread_id = std::move(wire.sender_thread_id);
  item.receiver_thread_ids = std::move(wire.receiver_thread_ids);
  return item;
}

Decoded<Event> decode_codex_line(std::string_view line, const std::string& run_id,
                                 const std::string& thread_id, WallTime received_at) {
  codex::WireEvent wire;
  if (auto error = json::decode(line, wire)) return DecodeFailure{error->text()};
  if (!wire.type || wire.type->empty()) return DecodeFailure{"missing event type"};

  Event event;
  event.type = EventType::from_text(*wire.type);
  event.run_id = run_id;
  event.thread_id = thread_id;
  event.raw = std::string(line);
  event.received_at = received_at;
  switch (event.type.kind) {
    case EventType::ThreadStarted:
      event.thread_id = wire.thread_id;
      event.started_thread_id = std::move(wire.thread_id);
      break;
    case EventType::TurnCompleted: event.usage = with_total(std::move(wire.usage)); break;
    case EventType::TurnFailed:
      event.usage = with_total(std::move(wire.usage));
      event.raw_error = std::string(raw_text(wire.error));
      event.message = turn_failure_message(wire.error);
      break;
    case EventType::ItemStarted:
    case EventType::ItemCompleted: {
      auto item = decode_codex_item(wire.item ? std::optional(wire.item->text) : std::nullopt);
      if (auto* failure = std::get_if<DecodeFailure>(&item)) return std::move(*failure);
      event.item = std::move(std::get<Item>(item));
      break;
    }
    case EventType::Error:
      event.raw_error = std::string(raw_text(wire.error));
      event.message = wire.message.empty() ? event.raw_error : std::move(wire.message);
      break;
    case EventType::TurnStarted:
    case EventType::Other: break;
  }
  return event;
}

}  // namespace vantrel
