// The compact form in which a run keeps its events: views into the run's store, and only the
// parts each event's kind carries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
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
// ids, their counts and then them. Texts that lie within 64 KiB of the first of them (those of
// most lines) are kept as 4-byte offsets and sizes from it, within 4 GiB (those of one line,
// always) as 8-byte ones, others as views.
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
  // How the texts are kept: as an offset from the record's base and a size, of 16 or 32 bits
  // each, or as views.
  enum TextForm : std::uint8_t { Short, Near, Views };
  struct ShortText {
    std::uint16_t offset;
    std::uint16_t size;
  };
  struct NearText {
    std::uint32_t offset;
    std::uint32_t size;
  };
  static std::size_t text_size(TextForm form);
  struct ListCounts {
    std::uint32_t changes;
    std::uint32_t receivers;
  };
  ItemRecord() = default;
  std::size_t text_count() const;
  std::string_view view(ItemText which) const;
  const char* lists() const;
  ListCounts list_counts() const;

  // Packed so that the header takes 16 bytes.
  std::uint32_t present_ : item_text_count = 0;  // a bit per ItemText that is not empty
  std::uint32_t escaped_ : item_text_count = 0;  // a bit per text kept as its JSON source
  std::uint32_t kind_ : 4 = ItemKind::Other;
  std::uint32_t has_exit_code_ : 1 = 0;
  std::uint32_t form_ : 2 = Views;   // a TextForm
  std::uint32_t has_lists_ : 1 = 0;  // ListCounts follow the texts, at the next 8 bytes
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

// A turn's usage as a kept event holds it: the counts in place, and the per-model usage (which
// codex never reports) in the store only when there is any, so that most usage needs no
// destructor and takes 64 bytes.
class UsageRecord {
 public:
  UsageRecord(const Usage& usage, Arena& arena);
  Usage usage() const;

 private:
  std::int64_t input_tokens_;
  std::int64_t cache_creation_input_tokens_;
  std::int64_t cached_input_tokens_;
  std::int64_t output_tokens_;
  std::int64_t reasoning_output_tokens_;
  std::int64_t total_tokens_;
  double total_cost_usd_;
  const ModelUsageMap* model_usage_ = nullptr;  // null when empty
};

// What only the events with an error (turn.failed, error) or of an Other type carry.
struct EventDetail {
  std::string_view other_type;
  std::string_view message;
  std::string_view raw_error;
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
  // The usage, for the kinds that carry it; else null.
  const UsageRecord* usage_record() const {
    return has_usage() ? static_cast<const UsageRecord*>(payload_) : nullptr;
  }
  // The usage: none for the kinds that carry none.
  Usage usage() const { return has_usage() ? usage_record()->usage() : Usage{}; }
  // The detail, for the kinds that carry an error or a type text; else null. It follows the
  // usage of a kind that carries both.
  const EventDetail* detail() const {
    if (!has_detail()) return nullptr;
    const char* at = static_cast<const char*>(payload_);
    return std::launder(
        reinterpret_cast<const EventDetail*>(has_usage() ? at + sizeof(UsageRecord) : at));
  }
  bool has_detail() const { return has_error() || type == EventType::Other; }
  std::string_view message() const { return detail() ? detail()->message : std::string_view(); }
  void set_payload(const void* payload) { payload_ = payload; }

 private:
  std::uint32_t raw_size_ = 0;
  const RecordFrame* frame_ = nullptr;
  const char* raw_data_ = nullptr;
  const void* payload_ = nullptr;  // the item, or the usage and the detail
};

// An event as the run publishes it: kept once, never changed again, and shared by the run's
// result and every reader instead of copied for each. Each one shares the run's whole store.
using SharedEvent = std::shared_ptr<const EventRecord>;

// Events kept in order, their records in blocks of their store: the list costs a pointer per
// block, not per event. Each event it hands out shares the whole store.
class EventList {
 public:
  class iterator {
   public:
    using value_type = SharedEvent;
    using reference = SharedEvent;
    using pointer = void;
    using difference_type = std::ptrdiff_t;
    using iterator_concept = std::forward_iterator_tag;
    using iterator_category = std::input_iterator_tag;  // it yields values, not references
    iterator() = default;
    SharedEvent operator*() const { return list_->at(index_); }
    iterator& operator++() {
      ++index_;
      return *this;
    }
    iterator operator++(int) {
      iterator was = *this;
      ++index_;
      return was;
    }
    friend bool operator==(const iterator& a, const iterator& b) { return a.index_ == b.index_; }

   private:
    friend class EventList;
    iterator(const EventList* list, std::size_t index) : list_(list), index_(index) {}
    const EventList* list_ = nullptr;
    std::size_t index_ = 0;
  };

  EventList() = default;
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const EventRecord& record(std::size_t index) const;
  SharedEvent at(std::size_t index) const { return SharedEvent(store_, &record(index)); }
  SharedEvent operator[](std::size_t index) const { return at(index); }
  SharedEvent back() const { return at(size_ - 1); }
  iterator begin() const { return {this, 0}; }
  iterator end() const { return {this, size_}; }
  // The first `count` events (no more than there are), sharing their records.
  EventList first(std::size_t count) const;

 private:
  friend class EventKeeper;
  // Room for the next record, in `arena`; the caller makes it there.
  void* next_slot(Arena& arena);

  std::shared_ptr<const void> store_;
  std::vector<EventRecord*> blocks_;  // block k holds block_capacity(k) records
  std::size_t size_ = 0;
};

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
  explicit EventKeeper(RunStore& store) : store_(store) { events_.store_ = store.share(); }
  SharedEvent keep(const EventParts& parts);
  SharedEvent keep(const Event& event);
  // The run's thread id as its kept events have set it.
  std::string_view thread_id() const { return thread_id_; }
  // Every event kept so far, in order.
  const EventList& events() const { return events_; }
  RunStore& store() { return store_; }

 private:
  const RecordFrame* frame_for(std::string_view run_id, std::string_view thread_id,
                               WallTime received_at);
  RunStore& store_;
  const RecordFrame* frame_ = nullptr;
  std::string_view thread_id_;
  EventList events_;
};

// The full event, item or usage of a kept one; their texts share the kept event's store.
Event event_of(const SharedEvent& event);
Item item_of(const std::shared_ptr<const ItemRecord>& item);
std::vector<FileChange> changes_of(const std::shared_ptr<const ItemRecord>& item);

// Whether two kept events hold equal events (two empty ones are equal), wherever they live.
bool same_event(const SharedEvent& a, const SharedEvent& b);
bool same_events(const EventList& a, const EventList& b);

}  // namespace vantrel
