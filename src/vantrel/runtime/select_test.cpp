// Tests of the race of two awaitables.
#include "vantrel/runtime/select.h"

#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "vantrel/runtime/cancellation_token.h"
#include "vantrel/runtime/channel.h"
#include "vantrel/runtime/notifier.h"
#include "vantrel/runtime/runtime.h"
#include "vantrel/runtime/semaphore.h"
#include "vantrel/runtime/task_set.h"

namespace vantrel::runtime {
namespace {

using boost::asio::awaitable;

awaitable<int> value(int v) { co_return v; }

awaitable<int> failure() {
  throw std::runtime_error("failed");
  co_return 0;
}

TEST(SelectFirst, WhenBothAreReadyTheFirstIsSeen) {
  for (int i = 0; i < 100; ++i) {
    auto selected = block_on(select_first(value(1), value(2)));
    ASSERT_EQ(selected.first, 1);
  }
}

TEST(SelectFirst, TheLoserIsStoppedAndTakesNothing) {
  CancellationToken never;
  auto selected = block_on(select_first(never.cancelled(), value(2)));
  EXPECT_FALSE(selected.first);
  EXPECT_EQ(selected.second, 2);

  // A receive that lost the race leaves its item in the channel.
  auto [sender, receiver] = make_unbounded_channel<int>();
  CancellationToken cancelled;
  cancelled.cancel();
  auto raced = block_on(select_first(cancelled.cancelled(), receiver.receive()));
  EXPECT_TRUE(raced.first);
  EXPECT_FALSE(raced.second);
  sender.send(7);
  EXPECT_EQ(receiver.try_receive(), 7);
}

// The failure's text as the racing coroutine caught it.
awaitable<std::string> failure_caught() {
  CancellationToken never;
  try {
    co_await select_first(failure(), never.cancelled());
  } catch (const std::runtime_error& e) {
    co_return e.what();
  }
  co_return "no failure";
}

TEST(SelectFirst, TheWinnersFailureIsRethrown) { EXPECT_EQ(block_on(failure_caught()), "failed"); }

// Throws a stop, as Asio's own operations do when awaited without as_tuple.
awaitable<int> stopped() {
  throw boost::system::system_error(boost::asio::error::operation_aborted);
  co_return 0;
}

// Fails for another reason when it is stopped.
awaitable<int> failing_when_stopped() {
  CancellationToken never;
  if (!co_await never.cancelled()) throw std::runtime_error("failed when stopped");
  co_return 0;
}

// The error code of the operation_aborted that escaped the race, or "none".
awaitable<std::string> stop_caught(bool winner_first) {
  CancellationToken never;
  try {
    if (winner_first)
      co_await select_first(stopped(), never.cancelled());
    else
      co_await select_first(never.cancelled(), stopped());
  } catch (const boost::system::system_error& e) {
    co_return e.code() == boost::asio::error::operation_aborted ? "operation_aborted" : "other";
  }
  co_return "none";
}

// A stop is a value; one thrown is a failure like any other, passed on from either side.
TEST(SelectFirst, AThrownStopIsAFailure) {
  EXPECT_EQ(block_on(stop_caught(true)), "operation_aborted");
  EXPECT_EQ(block_on(stop_caught(false)), "operation_aborted");
}

awaitable<std::string> loser_failure_caught() {
  try {
    co_await select_first(failing_when_stopped(), value(2));
  } catch (const std::runtime_error& e) {
    co_return e.what();
  }
  co_return "no failure";
}

TEST(SelectFirst, ALoserFailingOtherwiseThanStoppedIsRethrown) {
  EXPECT_EQ(block_on(loser_failure_caught()), "failed when stopped");
}

// Selects nest: each level reports its own winner, and a lost race stops an inner select with
// both of its sides, however deep. A cancel from another thread ends the deepest wait.
TEST(SelectFirst, SelectsNestAtAnyDepth) {
  CancellationToken never;
  auto inner_won =
      block_on(select_first(select_first(never.cancelled(), value(1)), never.cancelled()));
  EXPECT_FALSE(inner_won.first.first);
  EXPECT_EQ(inner_won.first.second, 1);
  EXPECT_FALSE(inner_won.second);

  auto outer_won =
      block_on(select_first(select_first(never.cancelled(), never.cancelled()), value(2)));
  EXPECT_FALSE(outer_won.first.first);
  EXPECT_FALSE(outer_won.first.second);
  EXPECT_EQ(outer_won.second, 2);

  CancellationToken later;
  std::thread canceller([later] { later.cancel(); });
  auto deep = block_on(select_first(
      never.cancelled(),
      select_first(never.cancelled(), select_first(never.cancelled(), later.cancelled()))));
  canceller.join();
  EXPECT_FALSE(deep.first);
  EXPECT_FALSE(deep.second.first);
  EXPECT_FALSE(deep.second.second.first);
  EXPECT_TRUE(deep.second.second.second);
}

// None when stopped.
awaitable<std::optional<int>> never_done() {
  CancellationToken never;
  if (!co_await never.cancelled()) co_return std::nullopt;
  co_return 0;
}

// A stopped sleep ends as a value: the race's loser is not thrown.
TEST(SelectFirst, ALostSleepEndsAsAValue) {
  auto selected = block_on(select_first(value(3), sleep_for(std::chrono::hours(1))));
  EXPECT_EQ(selected.first, 3);
  EXPECT_EQ(block_on(within(value(4), std::chrono::hours(1))), 4);
  EXPECT_FALSE(block_on(within(never_done(), std::chrono::milliseconds(1))).has_value());
}

awaitable<bool> cancelled_of(CancellationToken token) { co_return co_await token.cancelled(); }

// Each wait of the runtime, stopped, ends with a value that says so and takes nothing; and the
// stopped coroutine's next wait ends at once, stopped too. Each case waits twice and tells
// whether both waits read as stopped and nothing was taken.
TEST(StoppedWaits, EndAsValuesAndTakeNothing) {
  using Wait = std::function<awaitable<bool>()>;
  CancellationToken never;
  Notifier notifier;
  Semaphore none_left(0);
  auto [full_sender, full_receiver] = make_bounded_channel<int>(1);
  std::deque<int> first{1};
  ASSERT_TRUE(full_sender.try_send_some(first));
  auto [quiet_sender, quiet_receiver] = make_unbounded_channel<int>();
  TaskSet<bool> busy(shared_runtime().executor());
  busy.spawn(cancelled_of(never));
  const std::pair<std::string, Wait> cases[] = {
      {"token", [&]() -> awaitable<bool> { co_return !co_await never.cancelled(); }},
      {"notifier", [&]() -> awaitable<bool> { co_return !co_await notifier.wait(); }},
      {"semaphore", [&]() -> awaitable<bool> { co_return !co_await none_left.acquire(); }},
      {"send", [&]() -> awaitable<bool> { co_return !co_await full_sender.send(2); }},
      {"send_some",
       [&]() -> awaitable<bool> {
         std::deque<int> items{2, 3};
         bool sent = co_await full_sender.send_some(items);
         co_return !sent && items.size() == 2;
       }},
      {"receive", [&]() -> awaitable<bool> { co_return !co_await quiet_receiver.receive(); }},
      {"receive_all",
       [&]() -> awaitable<bool> { co_return (co_await quiet_receiver.receive_all()).empty(); }},
      {"join_next", [&]() -> awaitable<bool> { co_return !co_await busy.join_next(); }},
  };
  for (const auto& [name, wait] : cases) {
    SCOPED_TRACE(name);
    auto twice = [&]() -> awaitable<bool> { co_return co_await wait() && co_await wait(); };
    EXPECT_TRUE(block_on(within(twice(), std::chrono::milliseconds(20))));
  }
  EXPECT_EQ(full_receiver.queued(), 1u) << "nothing sent into the full channel";
  EXPECT_EQ(none_left.available(), 0u);
  EXPECT_EQ(busy.size(), 1u) << "nothing joined";
  never.cancel();
}

}  // namespace
}  // namespace vantrel::runtime
