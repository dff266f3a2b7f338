// Tests of the race of two awaitables.
#include "vantrel/runtime/select.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

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

}  // namespace
}  // namespace vantrel::runtime
