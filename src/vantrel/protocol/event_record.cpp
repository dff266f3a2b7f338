// The compact form in which a run keeps its events.
#include "vantrel/protocol/event_record.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "vantrel/json/json.h"
#include "vantrel/support/check.h"

namespace vantrel {
namespace {

static_assert(sizeof(ItemRecord) % alignof(std::string_view) == 0,
              "the views that follow an item's header must be aligned");
static_assert(sizeof(ItemRecord) == 16, "an item's header takes 16 bytes");
static_assert(alignof(FileChangeRecord) == alignof(std::string_view));
static_assert(ItemKind::Other < 16, "an item's kind takes 4 bits");
static_assert(sizeof(EventRecord) == 32, "a kept event takes 32 bytes");
static_assert(sizeof(UsageRecord) == 64 && std::is_trivially_destructible_v<UsageRecord>);
static_assert(sizeof(UsageRecord) % alignof(EventDetail) == 0,
              "the detail that follows a usage must be aligned");
static_assert(std::is_trivially_destructible_v<EventRecord>,
              "a list's records are never destroyed");

// `text` as a record may keep it: its own view when it lies in `arena` (shared or lent by its
// store) or lives for ever (a literal), else a copy in the arena.
std::string_view kept_view(const Text& text, Arena& arena) {
  if (text.empty()) return {};
  if (text.is_literal() || text.storage() == &arena) return text.view();
  return arena.copy(text.view());
}

// Builds a T at `at` and moves `at` past it.
template <class T, class... Args>
void place(char*& at, Args&&... args) {
  ::new (at) T{std::forward<Args>(args)...};
  at += sizeof(T);
}

// Equal texts; a run's texts are mostly the very ones its frame holds, which need no comparing.
bool same_text(std::string_view a, std::string_view b) {
  return a.size() == b.size() && (a.data() == b.data() || a == b);
}

std::uintptr_t address(const char* p) { return reinterpret_cast<std::uintptr_t>(p); }

// The texts present among `texts` (a bit per ItemText), the lowest start of them, and how far
// past it the last of them ends.
struct TextSpread {
  std::uint16_t present = 0;
  const char* base = nullptr;
  std::uintptr_t reach = 0;
};

TextSpread spread_of(std::span<const std::string_view> texts) {
  TextSpread spread;
  std::uintptr_t low = std::numeric_limits<std::uintptr_t>::max(), high = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (texts[i].empty()) continue;
    spread.present |= item_text_bit(static_cast<ItemText>(i));
    const std::uintptr_t start = address(texts[i].data());
    if (start < low) {
      low = start;
      spread.base = texts[i].data();
    }
    high = std::max(high, start + texts[i].size());
  }
  if (spread.present) spread.reach = high - low;
  return spread;
}

// The lists that follow an item's texts start at the next 8 bytes, for the views among them.
constexpr std::size_t list_alignment = alignof(std::string_view);

}  // namespace

std::size_t ItemRecord::text_size(TextForm form) {
  switch (form) {
    case Short: return sizeof(ShortText);
    case Near: return sizeof(NearText);
    case Views: break;
  }
  return sizeof(std::string_view);
}

const ItemRecord* ItemRecord::make(const ItemParts& parts, Arena& arena) {
  const auto [present, base, reach] = spread_of(parts.texts);
  const TextForm form = reach <= std::numeric_limits<std::uint16_t>::max()   ? Short
                        : reach <= std::numeric_limits<std::uint32_t>::max() ? Near
                                                                             : Views;
  const auto text_count = static_cast<std::size_t>(std::popcount(present));
  const bool has_lists = !parts.changes.empty() || !parts.receiver_thread_ids.empty();
  std::size_t size = sizeof(ItemRecord) + text_count * text_size(form);
  if (has_lists)
    size = round_up(size, list_alignment) + sizeof(ListCounts) +
           parts.changes.size() * sizeof(FileChangeRecord) +
           parts.receiver_thread_ids.size() * sizeof(std::string_view);
  auto* block = static_cast<char*>(arena.allocate(size, alignof(ItemRecord)));

  auto* record = ::new (block) ItemRecord();
  record->kind_ = parts.kind & 0xfu;
  record->has_exit_code_ = parts.exit_code.has_value();
  record->exit_code_ = parts.exit_code.value_or(0);
  record->present_ = present;
  record->escaped_ = parts.escaped & present;
  record->form_ = form;
  record->base_ = base;
  record->has_lists_ = has_lists;

  char* at = block + sizeof(ItemRecord);
  for (std::string_view text : parts.texts) {
    if (text.empty()) continue;
    const auto offset = address(text.data()) - address(base);
    if (form == Short)
      place<ShortText>(at, static_cast<std::uint16_t>(offset),
                       static_cast<std::uint16_t>(text.size()));
    else if (form == Near)
      place<NearText>(at, static_cast<std::uint32_t>(offset),
                      static_cast<std::uint32_t>(text.size()));
    else
      place<std::string_view>(at, text);
  }
  if (has_lists) {
    at = block + round_up(static_cast<std::size_t>(at - block), list_alignment);
    place<ListCounts>(at, static_cast<std::uint32_t>(parts.changes.size()),
                      static_cast<std::uint32_t>(parts.receiver_thread_ids.size()));
  }
  for (const FileChangeRecord& change : parts.changes) place<FileChangeRecord>(at, change);
  for (std::string_view id : parts.receiver_thread_ids) place<std::string_view>(at, id);
  return record;
}

const ItemRecord* ItemRecord::keep(const Item& item, Arena& arena) {
  auto kept = [&](const Text& text) { return kept_view(text, arena); };
  ItemParts parts;
  parts.kind = item.kind.kind;
  parts.texts = {arena.copy(item.kind.other),
                 kept(item.id),
                 kept(item.status),
                 kept(item.text),
                 kept(item.message),
                 kept(item.command),
                 kept(item.aggregated_output),
                 kept(item.raw),
                 kept(item.tool),
                 kept(item.sender_thread_id)};
  parts.exit_code = item.exit_code;
  std::vector<FileChangeRecord> changes;
  changes.reserve(item.changes.size());
  for (const FileChange& change : item.changes)
    changes.push_back({kept(change.path), kept(change.kind)});
  std::vector<std::string_view> receivers;
  receivers.reserve(item.receiver_thread_ids.size());
  for (const std::string& id : item.receiver_thread_ids) receivers.push_back(arena.copy(id));
  parts.changes = changes;
  parts.receiver_thread_ids = receivers;
  return make(parts, arena);
}

std::size_t ItemRecord::text_count() const {
  return static_cast<std::size_t>(std::popcount(static_cast<std::uint16_t>(present_)));
}

std::string_view ItemRecord::view(ItemText which) const {
  const std::uint16_t bit = item_text_bit(which);
  const auto present = static_cast<std::uint16_t>(present_);
  if (!(present & bit)) return {};
  const auto index =
      static_cast<std::size_t>(std::popcount(static_cast<std::uint16_t>(present & (bit - 1))));
  const char* texts = reinterpret_cast<const char*>(this + 1);
  if (form_ == Short) {
    const ShortText& text = std::launder(reinterpret_cast<const ShortText*>(texts))[index];
    return {base_ + text.offset, text.size};
  }
  if (form_ == Near) {
    const NearText& text = std::launder(reinterpret_cast<const NearText*>(texts))[index];
    return {base_ + text.offset, text.size};
  }
  return std::launder(reinterpret_cast<const std::string_view*>(texts))[index];
}

// The counts of the lists, then the lists, after the texts.
const char* ItemRecord::lists() const {
  const std::size_t texts =
      sizeof(ItemRecord) + text_count() * text_size(static_cast<TextForm>(form_));
  return reinterpret_cast<const char*>(this) + round_up(texts, list_alignment);
}

std::string_view ItemRecord::text(ItemText which, std::string& scratch) const {
  return json::string_contents(view(which), (escaped_ & item_text_bit(which)) != 0, scratch);
}

std::string_view ItemRecord::kind_text() const {
  return kind() == ItemKind::Other ? view(ItemText::OtherKind) : ItemKind::word(kind());
}

ItemRecord::ListCounts ItemRecord::list_counts() const {
  if (!has_lists_) return {0, 0};
  return *std::launder(reinterpret_cast<const ListCounts*>(lists()));
}

std::span<const FileChangeRecord> ItemRecord::changes() const {
  if (!has_lists_) return {};
  const auto* first =
      std::launder(reinterpret_cast<const FileChangeRecord*>(lists() + sizeof(ListCounts)));
  return {first, list_counts().changes};
}

std::span<const std::string_view> ItemRecord::receiver_thread_ids() const {
  if (!has_lists_) return {};
  const ListCounts counts = list_counts();
  const auto* first = std::launder(reinterpret_cast<const std::string_view*>(
      lists() + sizeof(ListCounts) + counts.changes * sizeof(FileChangeRecord)));
  return {first, counts.receivers};
}

UsageRecord::UsageRecord(const Usage& usage, Arena& arena)
    : input_tokens_(usage.input_tokens),
      cache_creation_input_tokens_(usage.cache_creation_input_tokens),
      cached_input_tokens_(usage.cached_input_tokens),
      output_tokens_(usage.output_tokens),
      reasoning_output_tokens_(usage.reasoning_output_tokens),
      total_tokens_(usage.total_tokens),
      total_cost_usd_(usage.total_cost_usd) {
  if (!usage.model_usage.empty()) model_usage_ = arena.create<ModelUsageMap>(usage.model_usage);
}

Usage UsageRecord::usage() const {
  Usage usage;
  usage.input_tokens = input_tokens_;
  usage.cache_creation_input_tokens = cache_creation_input_tokens_;
  usage.cached_input_tokens = cached_input_tokens_;
  usage.output_tokens = output_tokens_;
  usage.reasoning_output_tokens = reasoning_output_tokens_;
  usage.total_tokens = total_tokens_;
  usage.total_cost_usd = total_cost_usd_;
  if (model_usage_) usage.model_usage = *model_usage_;
  return usage;
}

EventRecord::EventRecord(EventType::Kind kind, const RecordFrame* frame, std::string_view raw)
    : type(kind),
      raw_size_(static_cast<std::uint32_t>(raw.size())),
      frame_(frame),
      raw_data_(raw.data()) {
  // Lines are far shorter: a run's longest is given in 32 bits.
  check(raw.size() <= std::numeric_limits<std::uint32_t>::max(), "event line over 4 GiB");
}

namespace {

// A list's blocks double from 16 records to 256 (8 KiB, small beside the store's chunks, so that
// little of a chunk is left unused when a block no longer fits), so that a lone event's store
// takes little for its list.
constexpr std::size_t first_block = 16;
constexpr std::size_t growing_blocks = 5;
constexpr std::size_t full_block = first_block << (growing_blocks - 1);
constexpr std::size_t before_full_blocks = first_block * ((std::size_t{1} << growing_blocks) - 1);

std::size_t block_capacity(std::size_t block) {
  return first_block << std::min(block, growing_blocks - 1);
}

struct Slot {
  std::size_t block;
  std::size_t offset;
};

Slot slot_of(std::size_t index) {
  if (index >= before_full_blocks) {
    const std::size_t past = index - before_full_blocks;
    return {growing_blocks + past / full_block, past % full_block};
  }
  const std::size_t block = static_cast<std::size_t>(std::bit_width(index / first_block + 1)) - 1;
  return {block, index - first_block * ((std::size_t{1} << block) - 1)};
}

}  // namespace

const EventRecord& EventList::record(std::size_t index) const {
  check(index < size_, "event index out of range");
  const Slot slot = slot_of(index);
  return blocks_[slot.block][slot.offset];
}

EventList EventList::first(std::size_t count) const {
  EventList list = *this;
  list.size_ = std::min(count, size_);
  list.blocks_.resize(list.size_ == 0 ? 0 : slot_of(list.size_ - 1).block + 1);
  return list;
}

void* EventList::next_slot(Arena& arena) {
  const Slot slot = slot_of(size_);
  if (slot.block == blocks_.size()) {
    if (blocks_.size() == blocks_.capacity())
      blocks_.reserve(std::max<std::size_t>(8, 2 * blocks_.size()));
    const std::size_t capacity = block_capacity(slot.block);
    blocks_.push_back(static_cast<EventRecord*>(
        arena.allocate(capacity * sizeof(EventRecord), alignof(EventRecord))));
  }
  ++size_;
  return blocks_[slot.block] + slot.offset;
}

std::string_view EventRecord::type_text() const {
  return type == EventType::Other ? detail()->other_type : EventType::word(type);
}

const RecordFrame* EventKeeper::frame_for(std::string_view run_id, std::string_view thread_id,
                                          WallTime received_at) {
  if (frame_ && frame_->received_at == received_at && same_text(frame_->run_id, run_id) &&
      same_text(frame_->thread_id, thread_id))
    return frame_;
  Arena& arena = store_.arena();
  frame_ = arena.create<RecordFrame>(
      RecordFrame{arena.copy(run_id), arena.copy(thread_id), received_at});
  return frame_;
}

SharedEvent EventKeeper::keep(const EventParts& parts) {
  const bool starts_thread = parts.type == EventType::ThreadStarted;
  Arena& arena = store_.arena();
  const RecordFrame* frame = frame_for(
      parts.run_id, starts_thread || !parts.thread_id.empty() ? parts.thread_id : thread_id_,
      parts.received_at);
  if (starts_thread) thread_id_ = frame->thread_id;
  auto* record = ::new (events_.next_slot(arena)) EventRecord(parts.type, frame, parts.raw);
  if (record->has_item()) {
    record->set_payload(parts.item);
  } else if (record->has_usage() || record->has_detail()) {
    // The usage, then the detail, in one block.
    const std::size_t usage_size = record->has_usage() ? sizeof(UsageRecord) : 0;
    const std::size_t detail_size = record->has_detail() ? sizeof(EventDetail) : 0;
    char* block =
        static_cast<char*>(arena.allocate(usage_size + detail_size, alignof(UsageRecord)));
    if (usage_size) ::new (block) UsageRecord(parts.usage ? *parts.usage : Usage{}, arena);
    if (detail_size) {
      const bool error = record->has_error();
      ::new (block + usage_size)
          EventDetail{parts.other_type, error ? parts.message : std::string_view(),
                      error ? parts.raw_error : std::string_view()};
    }
    record->set_payload(block);
  }
  // One share of the whole store: the record itself needs no count of its own.
  return SharedEvent(store_.share(), record);
}

SharedEvent EventKeeper::keep(const Event& event) {
  Arena& arena = store_.arena();
  auto kept = [&](const Text& text) { return kept_view(text, arena); };
  EventParts parts;
  parts.type = event.type.kind;
  parts.other_type = arena.copy(event.type.other);
  parts.run_id = event.run_id;
  parts.thread_id =
      kept(parts.type == EventType::ThreadStarted ? event.started_thread_id : event.thread_id);
  parts.raw = kept(event.raw);
  parts.received_at = event.received_at;
  if (event.has_item()) parts.item = ItemRecord::keep(event.item, arena);
  parts.message = kept(event.message);
  parts.raw_error = kept(event.raw_error);
  parts.usage = &event.usage;
  return keep(parts);
}

namespace {

// A text of a kept record, sharing what keeps the record.
Text shared_text(const std::shared_ptr<const void>& share, std::string_view view) {
  return view.empty() ? Text() : Text(share, view);
}

}  // namespace

std::vector<FileChange> changes_of(const std::shared_ptr<const ItemRecord>& item) {
  std::vector<FileChange> changes;
  changes.reserve(item->changes().size());
  for (const FileChangeRecord& change : item->changes())
    changes.push_back({shared_text(item, change.path), shared_text(item, change.kind)});
  return changes;
}

Item item_of(const std::shared_ptr<const ItemRecord>& item) {
  auto text = [&](ItemText which) {
    std::string scratch;
    std::string_view read = item->text(which, scratch);
    // An unescaped text (never empty) is a copy of its own; the others share the record's store.
    return scratch.empty() ? shared_text(item, read) : Text(std::move(scratch));
  };
  Item out;
  out.id = text(ItemText::Id);
  out.kind = item->kind() == ItemKind::Other ? ItemKind::from_text(item->kind_text())
                                             : ItemKind(item->kind());
  out.status = text(ItemText::Status);
  out.text = text(ItemText::Text);
  out.message = text(ItemText::Message);
  out.command = text(ItemText::Command);
  out.aggregated_output = text(ItemText::AggregatedOutput);
  out.exit_code = item->exit_code();
  out.raw = text(ItemText::Raw);
  out.changes = changes_of(item);
  out.tool = text(ItemText::Tool);
  out.sender_thread_id = text(ItemText::SenderThreadId);
  for (std::string_view id : item->receiver_thread_ids()) out.receiver_thread_ids.emplace_back(id);
  return out;
}

Event event_of(const SharedEvent& kept) {
  auto text = [&](std::string_view view) { return shared_text(kept, view); };
  Event event;
  event.type = kept->type == EventType::Other ? EventType::from_text(kept->type_text())
                                              : EventType(kept->type);
  event.run_id = text(kept->run_id());
  event.thread_id = text(kept->thread_id());
  event.raw = text(kept->raw());
  event.received_at = kept->received_at();
  if (kept->type == EventType::ThreadStarted) event.started_thread_id = event.thread_id;
  if (const ItemRecord* item = kept->item())
    event.item = item_of(std::shared_ptr<const ItemRecord>(kept, item));
  event.usage = kept->usage();
  if (const EventDetail* detail = kept->detail()) {
    event.message = text(detail->message);
    event.raw_error = text(detail->raw_error);
  }
  return event;
}

bool same_event(const SharedEvent& a, const SharedEvent& b) {
  if (!a || !b) return a == b;
  return a == b || event_of(a) == event_of(b);
}

bool same_events(const EventList& a, const EventList& b) {
  return std::ranges::equal(a, b, same_event);
}

}  // namespace vantrel
