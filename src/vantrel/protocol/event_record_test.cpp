// Tests of the kept event records: what each kind keeps, texts read back lazily, the run's
// thread, and texts from other storage copied in.
#include "vantrel/protocol/event_record.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vantrel/json/json.h"

namespace vantrel {
namespace {

const WallTime received{std::chrono::seconds(1700000000)};

Item full_item(ItemKind kind) {
  Item item;
  item.id = "i1";
  item.kind = std::move(kind);
  item.status = "completed";
  item.text = "some text";
  item.message = "a message";
  item.command = "ls -la";
  item.aggregated_output = "out\nput";
  item.exit_code = -3;
  item.raw = R"({"id":"i1"})";
  item.changes = {{"a.txt", "add"}, {"b.txt", "update"}};
  item.tool = "Read";
  item.sender_thread_id = "t-sender";
  item.receiver_thread_ids = {"t-a", "t-b", ""};
  return item;
}

Event base_event(EventType type) {
  Event event;
  event.type = std::move(type);
  event.run_id = "run-1-1";
  event.thread_id = "t1";
  event.raw = R"({"type":"x"})";
  event.received_at = received;
  return event;
}

// Every kind keeps what it carries, and reads back as it was made.
TEST(EventKeeper, EachKindReadsBackWhatItCarries) {
  Usage usage;
  usage.input_tokens = 5;
  usage.total_tokens = 9;
  usage.total_cost_usd = 0.5;
  usage.model_usage["m1"] = ModelUsage{1, 2, 3, 4, 5, 0.25, 6, 7};

  std::vector<Event> events;
  Event started = base_event(EventType::ThreadStarted);
  started.thread_id = "t9";
  started.started_thread_id = "t9";
  events.push_back(started);
  events.push_back(base_event(EventType::TurnStarted));
  Event completed = base_event(EventType::TurnCompleted);
  completed.usage = usage;
  events.push_back(completed);
  Event failed = base_event(EventType::TurnFailed);
  failed.usage = usage;
  failed.message = "boom";
  failed.raw_error = R"({"message":"boom"})";
  events.push_back(failed);
  for (EventType::Kind kind : {EventType::ItemStarted, EventType::ItemCompleted}) {
    Event item = base_event(kind);
    item.item = full_item(ItemKind::CommandExecution);
    events.push_back(item);
  }
  Event other_item = base_event(EventType::ItemCompleted);
  other_item.item = full_item(ItemKind::from_text("brand_new"));
  other_item.item.exit_code.reset();
  events.push_back(other_item);
  Event empty_item = base_event(EventType::ItemStarted);
  events.push_back(empty_item);
  Event error = base_event(EventType::Error);
  error.message = "bad";
  error.raw_error = "\"bad\"";
  events.push_back(error);
  events.push_back(base_event(EventType::from_text("assistant")));

  RunStore store;
  EventKeeper keeper(store);
  for (const Event& event : events) {
    SharedEvent kept = keeper.keep(event);
    EXPECT_EQ(kept->type, event.type.kind);
    EXPECT_EQ(kept->type_text(), event.type.text());
    EXPECT_EQ(event_of(kept), event) << event.type.text();
  }
}

// What a kind does not carry is not kept: the record holds no space for it either.
TEST(EventKeeper, DropsWhatTheKindDoesNotCarry) {
  Event event = base_event(EventType::TurnStarted);
  event.item = full_item(ItemKind::AgentMessage);
  event.usage.input_tokens = 4;
  event.message = "not an error";
  RunStore store;
  EventKeeper keeper(store);
  SharedEvent kept = keeper.keep(event);
  EXPECT_EQ(kept->item(), nullptr);
  EXPECT_EQ(kept->detail(), nullptr);
  EXPECT_EQ(event_of(kept), base_event(EventType::TurnStarted));
}

// thread.started sets the run's thread, which events that name none then carry; an event that
// names one keeps it. Runs of events under one thread, read at one time, share a frame.
TEST(EventKeeper, FollowsTheRunsThread) {
  RunStore store;
  EventKeeper keeper(store);
  auto keep = [&](EventType::Kind kind, std::string thread, std::string started = "") {
    Event event = base_event(kind);
    event.thread_id = std::move(thread);
    event.started_thread_id = std::move(started);
    return keeper.keep(event);
  };
  SharedEvent before = keep(EventType::TurnStarted, "");
  EXPECT_EQ(before->thread_id(), "");
  SharedEvent started = keep(EventType::ThreadStarted, "old", "t2");
  EXPECT_EQ(started->thread_id(), "t2");
  EXPECT_EQ(keeper.thread_id(), "t2");
  SharedEvent after = keep(EventType::TurnStarted, "");
  EXPECT_EQ(after->thread_id(), "t2");
  EXPECT_EQ(after->frame(), started->frame());
  // Lines of a later read have a frame of their own, with its time.
  Event later = base_event(EventType::TurnStarted);
  later.thread_id = "";
  later.received_at += std::chrono::seconds(1);
  SharedEvent read_later = keeper.keep(later);
  EXPECT_NE(read_later->frame(), after->frame());
  EXPECT_EQ(read_later->received_at(), later.received_at);
  EXPECT_EQ(read_later->thread_id(), "t2");
  SharedEvent own = keep(EventType::TurnStarted, "t-own");
  EXPECT_EQ(own->thread_id(), "t-own");
  EXPECT_EQ(keeper.thread_id(), "t2");
  SharedEvent reset = keep(EventType::ThreadStarted, "t2", "");
  EXPECT_EQ(reset->thread_id(), "");
  EXPECT_EQ(keeper.thread_id(), "");
}

// Texts with a share of other storage, or lent by another store, are copied in; the kept event
// needs nothing but its store, which lives as long as any event kept in it. Texts its own store
// lent stay where they are.
TEST(EventKeeper, KeptEventsNeedOnlyTheirStore) {
  SharedEvent kept;
  const char* own_lent = nullptr;
  {
    RunStore store{RunStore::LendTexts{}};
    EventKeeper keeper(store);
    RunStore other{RunStore::LendTexts{}};
    Event event = base_event(EventType::ItemCompleted);
    event.item = full_item(ItemKind::FileChange);
    event.raw = std::string(1000, 'r');  // a text of its own, gone with `event`
    event.item.text = other.keep("lent by a store that goes first");
    event.item.id = store.keep("i1");
    own_lent = event.item.id.data();
    kept = keeper.keep(event);
  }
  EXPECT_EQ(kept->raw(), std::string(1000, 'r'));
  std::string scratch;
  EXPECT_EQ(kept->item()->text(ItemText::Text, scratch), "lent by a store that goes first");
  EXPECT_EQ(kept->item()->text(ItemText::Id, scratch).data(), own_lent);
  EXPECT_EQ(kept->run_id(), "run-1-1");
  ASSERT_EQ(kept->item()->changes().size(), 2u);
  EXPECT_EQ(kept->item()->changes()[1].path, "b.txt");
  Item item = item_of(std::shared_ptr<const ItemRecord>(kept, kept->item()));
  kept.reset();
  EXPECT_EQ(item.changes.at(0).kind, "add");  // the item's texts share the store in turn
  EXPECT_EQ(item.id, "i1");
}

// The keeper's list holds every kept event in order, across its blocks of growing size; a
// prefix of it, as a run's result takes, shares the same records and outlives the keeper.
TEST(EventKeeper, ListsEveryEventInOrderAcrossItsBlocks) {
  constexpr std::size_t count = 1500;
  EventList prefixes[4];
  const std::size_t prefix_sizes[] = {0, 16, 497, count + 1};
  {
    RunStore store;
    EventKeeper keeper(store);
    std::vector<const EventRecord*> kept;
    for (std::size_t i = 0; i < count; ++i) {
      Event event = base_event(EventType::TurnStarted);
      event.raw = std::to_string(i);
      kept.push_back(keeper.keep(event).get());
    }
    const EventList& list = keeper.events();
    ASSERT_EQ(list.size(), count);
    std::size_t i = 0;
    for (const SharedEvent& event : list) {
      ASSERT_EQ(event.get(), kept[i]) << i;
      ASSERT_EQ(event->raw(), std::to_string(i));
      ++i;
    }
    EXPECT_EQ(i, count);
    EXPECT_EQ(list.back().get(), kept.back());
    for (std::size_t p = 0; p < 4; ++p) prefixes[p] = list.first(prefix_sizes[p]);
  }
  EXPECT_TRUE(prefixes[0].empty());
  EXPECT_EQ(prefixes[1].back()->raw(), "15");
  EXPECT_EQ(prefixes[2].size(), 497u);
  EXPECT_EQ(prefixes[2][496]->raw(), "496");
  EXPECT_EQ(prefixes[3].size(), count) << "no more than there are";
  EXPECT_TRUE(same_events(prefixes[3], prefixes[3]));
  EXPECT_FALSE(same_events(prefixes[2], prefixes[3]));
}

// A text kept as its JSON source reads back unescaped, as the JSON reader decodes it; the
// others are views into the store.
TEST(ItemRecord, EscapedTextsAreUnescapedAsTheyAreRead) {
  struct Case {
    std::string_view source;
    std::string_view text;
  };
  const Case cases[] = {
      {R"(a\nb)", "a\nb"},
      {R"(\"quoted\" \\ \/)", "\"quoted\" \\ /"},
      {R"(\u00e9\ud83d\ude00)", "\xc3\xa9\xf0\x9f\x98\x80"},
      {R"(lone \ud800 high)", "lone \xef\xbf\xbd high"},
  };
  RunStore store;
  for (const Case& c : cases) {
    Text source = store.keep(c.source);
    ItemParts parts;
    parts.kind = ItemKind::AgentMessage;
    parts.set(ItemText::Text, source.view(), true);
    parts.set(ItemText::Id, source.view());
    const ItemRecord* item = ItemRecord::make(parts, store.arena());
    std::string scratch;
    EXPECT_EQ(item->text(ItemText::Text, scratch), c.text) << c.source;
    EXPECT_EQ(item->text(ItemText::Id, scratch), c.source) << "not escaped: kept as it is";
    EXPECT_EQ(item->text(ItemText::Id, scratch).data(), source.data());
    EXPECT_EQ(item->text(ItemText::Command, scratch), "");
    EXPECT_EQ(item->kind_text(), "agent_message");
    EXPECT_EQ(item->exit_code(), std::nullopt);
    EXPECT_TRUE(item->changes().empty());
    EXPECT_TRUE(item->receiver_thread_ids().empty());
  }
}

// Texts near each other are kept as offsets from the first (of 16 bits within 64 KiB, else of
// 32), texts far apart as views; each form reads back where the texts lie, with the changes and
// receivers that follow them (an odd count of short texts leaves them to be aligned). The
// distant texts are only stored, never read.
TEST(ItemRecord, TextsNearOrFarApartReadBackWhereTheyLie) {
  const std::string line = R"({"id":"i1","text":"hello","changes":[]})";
  const std::string_view id(line.data() + 7, 2), text(line.data() + 19, 5);
  auto past_line = [&](unsigned shift) {
    return std::string_view(
        reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(line.data()) +
                                      (std::uintptr_t{1} << shift)),
        3);
  };
  const std::string_view receivers[] = {"r1", "r2"};
  const struct {
    const char* form;
    std::string_view tool;
  } cases[] = {{"short", line}, {"near", past_line(20)}, {"far", past_line(33)}};
  for (const auto& c : cases) {
    ItemParts parts;
    parts.kind = ItemKind::FileChange;
    parts.set(ItemText::Text, text);
    parts.set(ItemText::Id, id);
    parts.set(ItemText::Tool, c.tool);
    const FileChangeRecord changes[] = {{"a.txt", "add"}};
    parts.changes = changes;
    parts.receiver_thread_ids = receivers;
    parts.exit_code = -2;
    RunStore store;
    const ItemRecord* item = ItemRecord::make(parts, store.arena());
    std::string scratch;
    SCOPED_TRACE(c.form);
    EXPECT_EQ(item->text(ItemText::Id, scratch).data(), id.data());
    EXPECT_EQ(item->text(ItemText::Id, scratch), "i1");
    EXPECT_EQ(item->text(ItemText::Text, scratch), "hello");
    EXPECT_EQ(item->text(ItemText::Tool, scratch).data(), c.tool.data());
    EXPECT_EQ(item->text(ItemText::Tool, scratch).size(), c.tool.size());
    EXPECT_EQ(item->text(ItemText::Status, scratch), "");
    ASSERT_EQ(item->changes().size(), 1u);
    EXPECT_EQ(item->changes()[0].path, "a.txt");
    ASSERT_EQ(item->receiver_thread_ids().size(), 2u);
    EXPECT_EQ(item->receiver_thread_ids()[1], "r2");
    EXPECT_EQ(item->exit_code(), -2);
    EXPECT_EQ(item->kind_text(), "file_change");
  }
}

}  // namespace
}  // namespace vantrel
