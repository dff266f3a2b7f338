// Tests of the race of two awaitables.
#include "vantrel/runtime/select.h"

#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <stdexcept>
#include <string>
#include <thread>

#include "vantrel/runtime/cancellation_token.h"
#include "vantrel/runtime/channel.h"
#include "vantrel/runtime/runtime.h"

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

// Stops by itself, as a wait does when something else cancels it.
awaitable<int> stopped() {
  throw boost::system::system_error(boost::asio::error::operation_aborted);
  co_return 0;
}

// Fails for another reason when it is stopped.
awaitable<int> failing_when_stopped() {
  CancellationToken never;
  try {
    co_await never.cancelled();
  } catch (const boost::system::system_error&) {
    throw std::runtime_error("failed when stopped");
  }
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

// Only the stop that the race itself caused is swallowed: a winner that was stopped from
// elsewhere, whichever side it is on, is passed on as stopped.
TEST(SelectFirst, AWinnerStoppedFromElsewhereIsRethrown) {
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
  ASSERT_TRUE(inner_won.first);
  EXPECT_FALSE(inner_won.first->first);
  EXPECT_EQ(inner_won.first->second, 1);
  EXPECT_FALSE(inner_won.second);

  auto outer_won =
      block_on(select_first(select_first(never.cancelled(), never.cancelled()), value(2)));
  EXPECT_FALSE(outer_won.first);
  EXPECT_EQ(outer_won.second, 2);

  CancellationToken later;
  std::thread canceller([later] { later.cancel(); });
  auto deep = block_on(select_first(
      never.cancelled(),
      select_first(never.cancelled(), select_first(never.cancelled(), later.cancelled()))));
  canceller.join();
  ASSERT_TRUE(deep.second);
  ASSERT_TRUE(deep.second->second);
  EXPECT_TRUE(deep.second->second->second);
}

awaitable<int> never_done() {
  CancellationToken never;
  co_await never.cancelled();
  co_return 0;
}

// A stopped sleep ends as a value: the race's loser is not thrown.
TEST(SelectFirst, ALostSleepEndsAsAValue) {
  auto selected = block_on(select_first(value(3), sleep_for(std::chrono::hours(1))));
  EXPECT_EQ(selected.first, 3);
  EXPECT_EQ(block_on(within(value(4), std::chrono::hours(1))), 4);
  EXPECT_FALSE(block_on(within(never_done(), std::chrono::milliseconds(1))).has_value());
}

}  // namespace
}  // namespace vantrel::runtime
