// The compact form in which a run keeps its events: views into the run's store, and only the
// parts each event's kind carries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/protocol/event.h"
#include "vantrel/support/arena.h"

namespace vantrel {

// The texts an item may carry, in the order an item record keeps them.
enum class ItemText : std::uint8_t {
  OtherKind,  // the agent's own item type text, for ItemKind::Other
  Id,
  Status,
  Text,
  Message,
  Command,
  AggregatedOutput,
  Raw,
  Tool,
  SenderThreadId,
};

inline constexpr std::size_t item_text_count =
    static_cast<std::size_t>(ItemText::SenderThreadId) + 1;

// The bit of `which` in a record's masks of texts.
constexpr std::uint16_t item_text_bit(ItemText which) {
  return static_cast<std::uint16_t>(1u << static_cast<unsigned>(which));
}

struct FileChangeRecord {
  std::string_view path;
  std::string_view kind;
};

// What an item record is made of. Every view lies in the store the record goes into, or lives
// for ever; a text whose bit is set in `escaped` is a JSON string's source, escapes in place.
struct ItemParts {
  ItemKind::Kind kind = ItemKind::Other;
  std::array<std::string_view, item_text_count> texts{};
  std::uint16_t escaped = 0;
  void set(ItemText which, std::string_view text, bool is_escaped = false) {
    texts[static_cast<std::size_t>(which)] = text;
    if (is_escaped) escaped |= item_text_bit(which);
  }
  std::optional<std::int32_t> exit_code;
  std::span<const FileChangeRecord> changes;
  std::span<const std::string_view> receiver_thread_ids;
};

// An item as a run keeps it: a header of 16 bytes followed in the same block by the texts it
// carries (only those, in the order of ItemText) and, when it has any changes or receiver thread
// ids, their counts and then them. Texts that lie
// within 4 GiB of the first of them (those of one line, always) are kept as 8-byte offsets and
// sizes from it, others as views.
// A text may be kept as the JSON string it was read from and is unescaped when it is read, so
// that a run stores no second copy of it.
class ItemRecord {
 public:
  ItemKind::Kind kind() const { return static_cast<ItemKind::Kind>(kind_); }
  std::string_view kind_text() const;
  // The text `which` ("" when the item carries none): a view into the record's store, or into
  // `scratch`, which then holds the unescaped text.
  std::string_view text(ItemText which, std::string& scratch) const;
  std::optional<std::int32_t> exit_code() const {
    return has_exit_code_ ? std::optional(exit_code_) : std::nullopt;
  }
  std::span<const FileChangeRecord> changes() const;
  std::span<const std::string_view> receiver_thread_ids() const;

  static const ItemRecord* make(const ItemParts& parts, Arena& arena);
  // `item` kept in `arena`; texts outside it that may not live for ever are copied in.
  static const ItemRecord* keep(const Item& item, Arena& arena);

 private:
  // A text as an offset from the record's base and a size.
  struct NearText {
    std::uint32_t offset;
    std::uint32_t size;
  };
  struct ListCounts {
    std::uint32_t changes;
    std::uint32_t receivers;
  };
  ItemRecord() = default;
  std::size_t text_count() const;
  std::string_view view(ItemText which) const;
  const char* after_texts() const;
  ListCounts list_counts() const;

  // Packed so that the header takes 16 bytes.
  std::uint32_t present_ : item_text_count = 0;  // a bit per ItemText that is not empty
  std::uint32_t escaped_ : item_text_count = 0;  // a bit per text kept as its JSON source
  std::uint32_t kind_ : 4 = ItemKind::Other;
  std::uint32_t has_exit_code_ : 1 = 0;
  std::uint32_t near_ : 1 = 0;       // texts are NearText from base_, else views
  std::uint32_t has_lists_ : 1 = 0;  // ListCounts follow the texts
  std::int32_t exit_code_ = 0;
  const char* base_ = nullptr;
};

// The run id and thread id that a run of its events were made under, and the time their read
// took their lines.
struct RecordFrame {
  std::string_view run_id;
  std::string_view thread_id;
  WallTime received_at{};
};

// What only some kinds of event carry: usage (turn.completed, turn.failed), the error
// (turn.failed, error) and the type text of an Other event.
struct EventDetail {
  std::string_view other_type;
  std::string_view message;
  std::string_view raw_error;
  Usage usage;
};

// An event as a run keeps it, inside the run's store, in 32 bytes: what consecutive events share
// is in their frame, and an event carries either an item or a detail. A thread.started event's
// started thread id is its thread id.
class EventRecord {
 public:
  EventType::Kind type = EventType::Other;

  EventRecord(EventType::Kind kind, const RecordFrame* frame, std::string_view raw);
  std::string_view type_text() const;
  const RecordFrame* frame() const { return frame_; }
  std::string_view run_id() const { return frame_->run_id; }
  std::string_view thread_id() const { return frame_->thread_id; }
  std::string_view raw() const { return {raw_data_, raw_size_}; }
  WallTime received_at() const { return frame_->received_at; }
  bool has_item() const { return carries_item(type); }
  bool has_usage() const { return carries_usage(type); }
  bool has_error() const { return carries_error(type); }
  // The item, for the kinds that carry one; else null.
  const ItemRecord* item() const {
    return has_item() ? static_cast<const ItemRecord*>(payload_) : nullptr;
  }
  // The detail, for the kinds that carry usage, an error or a type text; else null.
  const EventDetail* detail() const {
    return has_item() ? nullptr : static_cast<const EventDetail*>(payload_);
  }
  std::string_view message() const { return detail() ? detail()->message : std::string_view(); }
  void set_payload(const void* payload) { payload_ = payload; }

 private:
  std::uint32_t raw_size_ = 0;
  const RecordFrame* frame_ = nullptr;
  const char* raw_data_ = nullptr;
  const void* payload_ = nullptr;  // the item or the detail
};

// An event as the run publishes it: kept once, never changed again, and shared by the run's
// result and every reader instead of copied for each. Each one shares the run's whole store.
using SharedEvent = std::shared_ptr<const EventRecord>;

// What an event record is made of; views as in ItemParts.
struct EventParts {
  EventType::Kind type = EventType::Other;
  std::string_view other_type;
  std::string_view run_id;
  std::string_view thread_id;
  std::string_view raw;
  WallTime received_at{};
  const ItemRecord* item = nullptr;
  std::string_view message;
  std::string_view raw_error;
  const Usage* usage = nullptr;
};

// Keeps a run's events in its store, each with the parts its kind carries. Texts that lie
// outside the store and may not live for ever (texts with a share of other storage) are copied
// in. Consecutive events of one run and thread, read at one time, share one frame.
// The keeper follows the run's thread: a thread.started event's thread is the one it started
// (and the run's from then on), and an event that names none carries the run's.
class EventKeeper {
 public:
  explicit EventKeeper(RunStore& store) : store_(store) {}
  SharedEvent keep(const EventParts& parts);
  SharedEvent keep(const Event& event);
  // The run's thread id as its kept events have set it.
  std::string_view thread_id() const { return thread_id_; }
  RunStore& store() { return store_; }

 private:
  const RecordFrame* frame_for(std::string_view run_id, std::string_view thread_id,
                               WallTime received_at);
  RunStore& store_;
  const RecordFrame* frame_ = nullptr;
  std::string_view thread_id_;
};

// The full event, item or usage of a kept one; their texts share the kept event's store.
Event event_of(const SharedEvent& event);
Item item_of(const std::shared_ptr<const ItemRecord>& item);
std::vector<FileChange> changes_of(const std::shared_ptr<const ItemRecord>& item);

// Whether two kept events hold equal events (two empty ones are equal), wherever they live.
bool same_event(const SharedEvent& a, const SharedEvent& b);
bool same_events(const std::vector<SharedEvent>& a, const std::vector<SharedEvent>& b);

}  // namespace vantrel
