// Tests of run groups against the fake agent: admission under the limit, results by position,
// launch and run failures in place, cancellation at every stage, and a stress run that must
// leave no process, descriptor or temporary file behind.
#include "vantrel/engine/group.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "vantrel/runtime/runtime.h"
#include "vantrel/testing/resources.h"
#include "vantrel/testing/scratch_dir.h"

namespace vantrel {
namespace {

using runtime::block_on;
using runtime::Receiver;
using testing::child_processes;
using testing::eventually;
using testing::open_descriptors;
namespace fs = std::filesystem;

std::shared_ptr<const RunnerConfig> fake_config() {
  RunnerConfig config;
  config.executable = VANTREL_FAKE_AGENT;
  return std::make_shared<const RunnerConfig>(std::move(config));
}

// One numbered line of agent output; its raw text tells the events of a run apart.
std::string line(int n) { return R"(out {"type":"turn.started","n":)" + std::to_string(n) + "}"; }

// The directive that writes the text of `lines` (each an `out` directive) in one write.
std::string in_one_write(const std::vector<std::string>& lines) {
  std::string text = "raw ";
  for (const std::string& l : lines) text += l.substr(std::string_view("out ").size()) + "\\n";
  return text;
}

// A request that the fake agent runs as `script`, recording its start and end into `record`.
RunRequest fake_request(const std::string& script, const std::string& record = "") {
  RunRequest request{.prompt = "go"};
  request.env = {{"VANTREL_FAKE_SCRIPT", script}, {"VANTREL_FAKE_RECORD", record}};
  return request;
}

std::vector<RunEvent> drain(Receiver<RunEvent>& events) {
  std::vector<RunEvent> received;
  while (auto event = block_on(events.receive())) received.push_back(std::move(*event));
  return received;
}

GroupResults wait_for(const GroupHandle& group) { return block_on(group_wait(group)); }

// The positions of the first `count` runs seen streaming (fewer when the stream ends first).
std::set<std::size_t> streaming_positions(Receiver<RunEvent>& events, std::size_t count) {
  std::set<std::size_t> streaming;
  while (streaming.size() < count) {
    auto event = block_on(events.receive());
    if (!event) break;
    streaming.insert(event->position);
  }
  return streaming;
}

// A run that was launched keeps its result beside the error; one never launched has neither.
void expect_cancelled(const GroupResult& result, bool with_run) {
  EXPECT_EQ(result.run_id.empty(), !with_run) << "position " << result.position;
  EXPECT_EQ(result.result.has_value(), with_run) << "position " << result.position;
  if (with_run && result.result) {
    EXPECT_EQ(result.result->run_id, result.run_id);
  }
  ASSERT_TRUE(result.error) << "position " << result.position;
  EXPECT_EQ(result.error->kind, RunError::Cancelled) << "position " << result.position;
}

void expect_success(const GroupResult& result) {
  EXPECT_FALSE(result.run_id.empty());
  ASSERT_TRUE(result.result) << "position " << result.position << ": "
                             << (result.error ? result.error->display() : "");
  EXPECT_FALSE(result.error);
  EXPECT_EQ(result.result->run_id, result.run_id);
}

// Every record in position order, the element at index i having position i.
void expect_positions(const GroupResults& results, std::size_t count) {
  ASSERT_EQ(results.size(), count);
  for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(results[i].position, i);
}

// Start and end (wall-clock nanoseconds) as recorded by one fake agent; no end when killed.
struct Lifetime {
  long long start = 0;
  std::optional<long long> end;
};

Lifetime read_lifetime(const fs::path& record) {
  std::ifstream in(record);
  Lifetime lifetime;
  std::string key;
  long long value = 0;
  std::string rest;
  while (in >> key) {
    if ((key == "start" || key == "end") && in >> value) {
      (key == "start" ? lifetime.start : lifetime.end.emplace()) = value;
    }
    std::getline(in, rest);
  }
  return lifetime;
}

// The most agents alive at once over the recorded lifetimes (a killed one lives until the end).
std::size_t most_alive(const std::vector<Lifetime>& lifetimes) {
  std::vector<std::pair<long long, int>> changes;
  for (const Lifetime& l : lifetimes) {
    changes.emplace_back(l.start, +1);
    changes.emplace_back(l.end.value_or(std::numeric_limits<long long>::max()), -1);
  }
  // An end and a start at the same instant do not overlap.
  std::sort(changes.begin(), changes.end());
  long alive = 0, most = 0;
  for (auto [at, change] : changes) {
    alive += change;
    most = std::max(most, alive);
  }
  return static_cast<std::size_t>(most);
}

class GroupTest : public ::testing::Test {
 protected:
  std::string record_path(std::size_t i) const {
    return scratch_.path() + "/record-" + std::to_string(i);
  }
  std::vector<RunRequest> recorded_requests(std::size_t count, const std::string& script) const {
    std::vector<RunRequest> requests;
    for (std::size_t i = 0; i < count; ++i)
      requests.push_back(fake_request(script, record_path(i)));
    return requests;
  }
  std::vector<Lifetime> lifetimes(std::size_t count) const {
    std::vector<Lifetime> all;
    for (std::size_t i = 0; i < count; ++i)
      if (fs::exists(record_path(i))) all.push_back(read_lifetime(record_path(i)));
    return all;
  }

  testing::ScratchDir scratch_;
};

TEST_F(GroupTest, EmptyListSettlesAtOnceWithNoEvents) {
  GroupHandle group = launch_group(fake_config(), {}, 4, std::nullopt);
  auto events = group_take_events(group);
  EXPECT_TRUE(drain(events).empty());
  EXPECT_TRUE(wait_for(group).empty());
}

TEST_F(GroupTest, SecondTakeOfTheStreamStops) {
  GroupHandle group = launch_group(fake_config(), {}, 1, std::nullopt);
  auto events = group_take_events(group);
  EXPECT_THROW(
      {
        try {
          (void)group_take_events(group);
        } catch (const Panic& panic) {
          EXPECT_STREQ(panic.what(), "event stream already taken (events/next_event called twice)");
          throw;
        }
      },
      Panic);
}

// Five sleeping runs: never more agents alive than the limit (0 counts as 1), every result in
// place, and every event tagged with its request's position and run id, shared with its result.
TEST_F(GroupTest, AdmitsNoMoreThanTheLimit) {
  for (std::size_t limit : {0u, 2u}) {
    SCOPED_TRACE("max_concurrent " + std::to_string(limit));
    std::size_t effective = std::max<std::size_t>(limit, 1);
    GroupHandle group = launch_group(
        fake_config(), recorded_requests(5, line(1) + "\nsleep 150\n" + line(2)), limit, 0);
    auto events = group_take_events(group);
    auto received = drain(events);
    auto results = wait_for(group);
    expect_positions(results, 5);
    for (const auto& result : results) expect_success(result);
    ASSERT_EQ(received.size(), 10u);
    for (const RunEvent& event : received) {
      const GroupResult& result = results.at(event.position);
      EXPECT_EQ(event.run_id, result.run_id);
      ASSERT_TRUE(result.result);
      EXPECT_NE(std::ranges::find(result.result->events, event.event), result.result->events.end())
          << "the stream shows the run's own event, not a copy";
    }
    auto recorded = lifetimes(5);
    ASSERT_EQ(recorded.size(), 5u);
    EXPECT_LE(most_alive(recorded), effective);
    if (effective == 1) {
      for (std::size_t i = 1; i < 5; ++i) EXPECT_GE(recorded[i].start, *recorded[i - 1].end);
    }
    for (std::size_t i = 0; i < 5; ++i) fs::remove(record_path(i));
  }
}

// A refused launch and a failed run each keep their place and hold up nothing after them.
TEST_F(GroupTest, FailuresStayInTheirPlaces) {
  std::vector<RunRequest> requests;
  requests.push_back(fake_request(line(1)));
  requests.push_back(RunRequest{});  // no prompt: the builder refuses it
  requests.push_back(fake_request(line(1) + "\nexit 1"));
  requests.push_back(fake_request(line(1)));
  GroupHandle group = launch_group(fake_config(), std::move(requests), 1, std::nullopt);
  auto events = group_take_events(group);
  auto received = drain(events);
  auto results = wait_for(group);
  expect_positions(results, 4);
  expect_success(results[0]);
  expect_success(results[3]);

  EXPECT_EQ(results[1].run_id, "");
  EXPECT_FALSE(results[1].result);
  ASSERT_TRUE(results[1].error);
  EXPECT_EQ(results[1].error->kind, RunError::PromptRequired);

  // The failed run keeps its result, its events and its times, beside its error.
  EXPECT_NE(results[2].run_id, "");
  ASSERT_TRUE(results[2].result);
  EXPECT_EQ(results[2].result->run_id, results[2].run_id);
  EXPECT_EQ(results[2].result->events.size(), 1u);
  EXPECT_NE(results[2].result->finished_at, WallTime{});
  ASSERT_TRUE(results[2].error);
  EXPECT_EQ(results[2].error->kind, RunError::Exit);
  EXPECT_EQ(results[2].error->code, 1);

  std::multiset<std::size_t> positions;
  for (const RunEvent& event : received) positions.insert(event.position);
  EXPECT_EQ(positions, (std::multiset<std::size_t>{0, 2, 3}));
}

// Every member hands the group's handler to its run: each event passes through it, and a
// refusal ends that run alone with the handler's error.
TEST_F(GroupTest, EveryMemberUsesTheGroupsHandler) {
  auto seen = std::make_shared<std::atomic<int>>(0);
  EventHandler handler = [seen](Event event) -> boost::asio::awaitable<Result<void, std::string>> {
    ++*seen;
    if (event.raw.find("\"n\":9") != std::string::npos) co_return fail(std::string("no nines"));
    co_return Result<void, std::string>{};
  };
  GroupHandle group = launch_group(fake_config(),
                                   {fake_request(line(1) + "\n" + line(2)),
                                    fake_request(line(9) + "\n" + line(3)), fake_request(line(4))},
                                   3, std::nullopt, handler);
  auto results = wait_for(group);
  expect_success(results[0]);
  expect_success(results[2]);
  ASSERT_TRUE(results[1].error);
  EXPECT_EQ(results[1].error->kind, RunError::Handler);
  EXPECT_NE(results[1].run_id, "");
  // The refused run stops at its first event.
  EXPECT_EQ(seen->load(), 4);
}

// A member that ends abnormally (its run's handler throws, so the run's latch is poisoned and
// the member's wait for the outcome stops) gives no answer: its place is filled as a
// cancellation with no run id, and the others are not disturbed.
TEST_F(GroupTest, AbnormalMemberIsSettledAsCancelled) {
  EventHandler handler = [](Event event) -> boost::asio::awaitable<Result<void, std::string>> {
    if (event.raw.find("\"n\":9") != std::string::npos) throw std::runtime_error("broken");
    co_return Result<void, std::string>{};
  };
  GroupHandle group = launch_group(
      fake_config(), {fake_request(line(1)), fake_request(line(9)), fake_request(line(2))}, 1,
      std::nullopt, handler);
  auto results = wait_for(group);
  expect_positions(results, 3);
  expect_success(results[0]);
  expect_cancelled(results[1], false);
  EXPECT_EQ(results[1].error->display(), "agent run cancelled");
  expect_success(results[2]);
}

// A member whose run runs out of memory keeps its run id and its outcome, an error saying so.
TEST_F(GroupTest, AMemberOutOfMemoryKeepsItsRun) {
  EventHandler handler = [](Event event) -> boost::asio::awaitable<Result<void, std::string>> {
    if (event.raw.find("\"n\":9") != std::string::npos) throw std::bad_alloc();
    co_return Result<void, std::string>{};
  };
  GroupHandle group = launch_group(fake_config(), {fake_request(line(1)), fake_request(line(9))}, 2,
                                   std::nullopt, handler);
  auto results = wait_for(group);
  expect_success(results[0]);
  ASSERT_TRUE(results[1].error);
  EXPECT_EQ(results[1].error->kind, RunError::Process);
  EXPECT_EQ(results[1].error->display(), "agent process error: the run engine ran out of memory");
  EXPECT_NE(results[1].run_id, "");
  EXPECT_TRUE(results[1].result);
}

TEST(GroupSpawnTest, ProcessThatCannotStartIsALaunchError) {
  RunnerConfig config;
  config.executable = "/nonexistent/vantrel-agent";
  GroupHandle group = launch_group(std::make_shared<const RunnerConfig>(std::move(config)),
                                   {fake_request(line(1))}, 4, std::nullopt);
  auto results = wait_for(group);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].run_id, "");
  EXPECT_FALSE(results[0].result);
  ASSERT_TRUE(results[0].error);
  EXPECT_EQ(results[0].error->kind, RunError::Process);
}

// Cancelled as soon as it is made: at most the first request was admitted and the second one
// waiting for a permit; nothing after them ever starts, and every record is a cancellation.
TEST_F(GroupTest, CancelRightAfterCreation) {
  GroupHandle group =
      launch_group(fake_config(), recorded_requests(5, line(1) + "\nsleep 30000"), 1, std::nullopt);
  group_cancel(group);
  auto events = group_take_events(group);
  drain(events);
  auto results = wait_for(group);
  expect_positions(results, 5);
  for (std::size_t i = 0; i < 5; ++i) {
    expect_cancelled(results[i], !results[i].run_id.empty());
    if (i >= 2) {
      EXPECT_EQ(results[i].run_id, "");
    }
  }
  EXPECT_LE(lifetimes(5).size(), 2u);
}

// Two runs streaming and three waiting: the two are killed, the one waiting for a permit is
// launched and cancelled at once, the last two never start.
TEST_F(GroupTest, CancelWhileRunsStreamAndRequestsWait) {
  GroupHandle group =
      launch_group(fake_config(), recorded_requests(5, line(1) + "\nsleep 30000"), 2, std::nullopt);
  auto events = group_take_events(group);
  EXPECT_EQ(streaming_positions(events, 2), (std::set<std::size_t>{0, 1}));
  // The scheduler went on to wait for a permit for the third request right after it started
  // the second member, in the same turn. The permit it gets once a cancelled run ends starts
  // nothing: after the cancel no agent of the group is launched.
  group_cancel(group);
  drain(events);
  auto results = wait_for(group);
  expect_positions(results, 5);
  expect_cancelled(results[0], true);
  expect_cancelled(results[1], true);
  for (std::size_t position : {2, 3, 4}) {
    expect_cancelled(results[position], false);
    EXPECT_FALSE(fs::exists(record_path(position))) << position;
  }
  // The killed agents never reached their end.
  for (const Lifetime& lifetime : lifetimes(5)) EXPECT_FALSE(lifetime.end);
}

TEST_F(GroupTest, CancelReachesEveryProcessOfLaunchedAgents) {
  // Agents behind a launcher, each with a helper that holds its pipes.
  RunnerConfig config;
  config.executable = VANTREL_FAKE_LAUNCHER;
  GroupHandle group =
      launch_group(std::make_shared<const RunnerConfig>(std::move(config)),
                   recorded_requests(2, line(1) + "\nhold 60000\nsleep 60000"), 2, std::nullopt);
  auto events = group_take_events(group);
  ASSERT_EQ(streaming_positions(events, 2).size(), 2u);
  std::vector<long> agent_groups;
  for (std::size_t i = 0; i < 2; ++i) {
    std::string pgid;
    // The helper writes its line last.
    ASSERT_TRUE(eventually([&] {
      std::ifstream in(record_path(i));
      bool held = false;
      for (std::string line; std::getline(in, line);) {
        if (line.starts_with("pgid ")) pgid = line.substr(5);
        held = held || line.starts_with("hold ");
      }
      return held;
    }));
    agent_groups.push_back(std::stol(pgid));
  }
  auto begun = std::chrono::steady_clock::now();
  group_cancel(group);
  drain(events);
  auto results = wait_for(group);
  // A group that waited for its agents to end by themselves would take a minute.
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(30));
  expect_cancelled(results[0], true);
  expect_cancelled(results[1], true);
  for (long agent_group : agent_groups)
    EXPECT_TRUE(eventually([&] { return testing::live_group_members(agent_group) == 0; }));
}

TEST_F(GroupTest, CancelAfterTheEndChangesNothing) {
  GroupHandle group = launch_group(
      fake_config(), {fake_request(line(1)), fake_request(line(2) + "\nexit 3")}, 2, std::nullopt);
  auto before = wait_for(group);
  group_cancel(group);
  group_cancel(group);
  EXPECT_EQ(wait_for(group), before);
  expect_success(before[0]);
  EXPECT_EQ(before[1].error->kind, RunError::Exit);
}

// The events in the bounded channel when the group is cancelled are still delivered, then the
// stream ends although the run would go on writing.
TEST_F(GroupTest, BufferedEventsAreDeliveredAfterCancel) {
  // The three lines go out in one write, so they are read, decoded and passed on as one batch
  // at every step: once the first is received, the other two are in the bounded channel.
  GroupHandle group = launch_group(
      fake_config(), {fake_request(in_one_write({line(1), line(2), line(3)}) + "\nsleep 30000")}, 1,
      16);
  auto events = group_take_events(group);
  auto first = block_on(events.receive());
  ASSERT_TRUE(first);
  ASSERT_EQ(events.queued(), 2u);
  group_cancel(group);
  auto rest = drain(events);
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_NE(rest[0].event->raw().find("\"n\":2"), std::string::npos);
  EXPECT_NE(rest[1].event->raw().find("\"n\":3"), std::string::npos);
  expect_cancelled(wait_for(group)[0], true);
}

// The group's channel holds max(event_buffer, else the config's, 1) events. Nobody reads, so
// the pump fills it and then waits; after a cancel exactly that many are delivered.
TEST_F(GroupTest, ChannelCapacityFollowsTheBufferSettings) {
  struct Case {
    std::optional<std::size_t> event_buffer;
    std::size_t config_buffer;
    std::size_t delivered;
  };
  for (const Case& c :
       {Case{0, 1024, 1}, Case{2, 1024, 2}, Case{std::nullopt, 3, 3}, Case{std::nullopt, 0, 1}}) {
    SCOPED_TRACE("event_buffer " + (c.event_buffer ? std::to_string(*c.event_buffer) : "none") +
                 ", config " + std::to_string(c.config_buffer));
    RunnerConfig config = *fake_config();
    config.event_buffer = c.config_buffer;
    // In one write: where every step passes them on as one batch, the channel fills at once.
    std::vector<std::string> lines;
    for (int n = 1; n <= 6; ++n) lines.push_back(line(n));
    GroupHandle group =
        launch_group(std::make_shared<const RunnerConfig>(std::move(config)),
                     {fake_request(in_one_write(lines) + "\nsleep 30000")}, 1, c.event_buffer);
    auto events = group_take_events(group);
    // The pump fills the channel and then waits for room.
    ASSERT_TRUE(testing::eventually([&] { return events.queued() == c.delivered; }))
        << events.queued() << " queued";
    group_cancel(group);
    auto received = drain(events);
    ASSERT_EQ(received.size(), c.delivered);
    for (std::size_t i = 0; i < received.size(); ++i)
      EXPECT_NE(received[i].event->raw().find("\"n\":" + std::to_string(i + 1)), std::string::npos);
    expect_cancelled(wait_for(group)[0], true);
  }
}

TEST_F(GroupTest, RepeatedWaitsReturnEqualLists) {
  GroupHandle group =
      launch_group(fake_config(), recorded_requests(3, "sleep 100\n" + line(1)), 3, std::nullopt);
  // Waiters from other threads, started before the group settles.
  std::vector<GroupResults> early(2);
  std::vector<std::thread> waiters;
  for (auto& slot : early) waiters.emplace_back([&] { slot = wait_for(group); });
  for (auto& waiter : waiters) waiter.join();
  auto late = wait_for(group);
  EXPECT_EQ(early[0], late);
  EXPECT_EQ(early[1], late);
  expect_positions(late, 3);
}

// Nobody reads the stream (a capacity of 1, thousands of events): the runs still finish and the
// group settles, every run keeping all of its events in its result.
TEST_F(GroupTest, UnreadGroupStillSettles) {
  GroupHandle group = launch_group(fake_config(),
                                   {fake_request("repeat 3000 {\"type\":\"turn.started\"}"),
                                    fake_request("repeat 3000 {\"type\":\"turn.started\"}")},
                                   2, 1);
  auto results = wait_for(group);
  for (const auto& result : results) {
    expect_success(result);
    EXPECT_EQ(result.result->events.size(), 3000u);
  }
}

// Dropping the handle cancels nothing: the agent still runs to its end. Only the results latch
// is kept, to see the group settle.
TEST_F(GroupTest, DroppedHandleLeavesTheGroupRunning) {
  std::shared_ptr<Latch<GroupResults>> results;
  {
    GroupHandle group =
        launch_group(fake_config(), recorded_requests(1, "sleep 200\n" + line(1)), 1, std::nullopt);
    results = group.results;
  }
  auto settled = *block_on(results->wait());
  ASSERT_EQ(settled.size(), 1u);
  expect_success(settled[0]);
  EXPECT_TRUE(read_lifetime(record_path(0)).end);
}

// A thousand requests, 64 at a time, some refused, some failing, some writing a schema file,
// cancelled part of the way through: every position gets exactly one record, each run's events
// arrive in order, and nothing is left behind. From position 700 on the agents never end by
// themselves; once 64 of them have written, they hold every permit, so every earlier request
// has settled by itself when the group is cancelled.
TEST_F(GroupTest, StressThousandRequestsWithCancel) {
  // Warms the runtime up, so its own descriptors are open before counting.
  wait_for(launch_group(fake_config(), {fake_request(line(1))}, 1, std::nullopt));
  std::size_t descriptors = open_descriptors();
  std::size_t children = child_processes();

  constexpr std::size_t count = 1000;
  std::vector<RunRequest> requests;
  for (std::size_t i = 0; i < count; ++i) {
    if (i % 97 == 13) {
      requests.push_back(RunRequest{});  // refused by the builder
      continue;
    }
    std::string script = line(1) + "\n" + line(2) + "\n" + line(3);
    if (i % 10 == 7) script += "\nexit 2";
    if (i >= 700) script = line(1) + "\nsleep 30000";  // still running when cancelled
    RunRequest request = fake_request(script);
    if (i % 5 == 0) request.output_schema = R"({"type":"object"})";
    requests.push_back(std::move(request));
  }
  GroupHandle group = launch_group(fake_config(), std::move(requests), 64, 32);
  auto events = group_take_events(group);
  std::map<std::size_t, std::vector<std::string>> raw_by_position;
  std::size_t long_runners = 0;
  while (auto event = block_on(events.receive())) {
    ASSERT_LT(event->position, count);
    raw_by_position[event->position].emplace_back(event->event->raw());
    if (event->position >= 700 && ++long_runners == 64) group_cancel(group);
  }
  EXPECT_EQ(long_runners, 64u);
  auto results = wait_for(group);
  expect_positions(results, count);
  for (const GroupResult& result : results) {
    EXPECT_EQ(result.result.has_value(), !result.run_id.empty()) << result.position;
    EXPECT_TRUE(result.result || result.error) << result.position;
    if (result.position >= 700) {
      // Refused at once if admitted before the cancel; otherwise cancelled, launched or not.
      if (result.error->kind != RunError::PromptRequired) {
        EXPECT_EQ(result.error->kind, RunError::Cancelled) << result.position;
      }
    } else if (result.position % 97 == 13) {
      EXPECT_EQ(result.error->kind, RunError::PromptRequired);
    } else if (result.position % 10 == 7) {
      EXPECT_EQ(result.error->kind, RunError::Exit);
    } else {
      expect_success(result);
    }
  }
  // The long runners were launched, and so was the request whose permit the scheduler was
  // waiting for if it had got that far.
  auto launched = std::count_if(results.begin() + 700, results.end(),
                                [](const GroupResult& r) { return !r.run_id.empty(); });
  EXPECT_GE(launched, 64);
  EXPECT_LE(launched, 65);
  for (const auto& [position, raws] : raw_by_position)
    for (std::size_t i = 0; i < raws.size(); ++i)
      EXPECT_NE(raws[i].find("\"n\":" + std::to_string(i + 1)), std::string::npos) << position;

  EXPECT_TRUE(eventually([&] { return child_processes() == children; }))
      << child_processes() << " children left";
  EXPECT_TRUE(eventually([&] { return open_descriptors() <= descriptors; }))
      << open_descriptors() << " descriptors, " << descriptors << " before";
  EXPECT_TRUE(eventually([&] { return scratch_.entries().empty(); }))
      << scratch_.entries().size() << " files left";
}

}  // namespace
}  // namespace vantrel
