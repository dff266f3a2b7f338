// Tests of taking what a channel holds without waiting.
#include "vantrel/runtime/channel.h"

#include <gtest/gtest.h>

#include "vantrel/runtime/runtime.h"

namespace vantrel::runtime {
namespace {

using boost::asio::awaitable;

TEST(TakeReady, MovesEveryQueuedItemInOrderAndTellsTheEnd) {
  auto [sender, receiver] = make_unbounded_channel<int>();
  std::deque<int> out{0};
  EXPECT_FALSE(receiver.take_ready(out));
  for (int i = 1; i <= 3; ++i) EXPECT_TRUE(sender.send(i));
  EXPECT_FALSE(receiver.take_ready(out));
  EXPECT_EQ(out, (std::deque<int>{0, 1, 2, 3}));
  EXPECT_TRUE(sender.send(4));
  { auto gone = std::move(sender); }
  EXPECT_TRUE(receiver.take_ready(out));
  EXPECT_EQ(out.back(), 4);
  EXPECT_TRUE(receiver.take_ready(out));
  EXPECT_EQ(out.size(), 5u);
}

TEST(TakeReady, MakesRoomForAWaitingSender) {
  auto [sender, receiver] = make_bounded_channel<int>(1);
  std::deque<int> out;
  bool sent = block_on([&]() -> awaitable<bool> {
    co_await sender.send(1);
    co_return true;
  }());
  ASSERT_TRUE(sent);
  // The second send waits for room until take_ready empties the channel.
  auto second = std::async(std::launch::async, [&] {
    return block_on([&]() -> awaitable<bool> { co_return co_await sender.send(2); }());
  });
  while (out.size() < 2) {
    receiver.take_ready(out);
    std::this_thread::yield();
  }
  EXPECT_TRUE(second.get());
  EXPECT_EQ(out, (std::deque<int>{1, 2}));
}

}  // namespace
}  // namespace vantrel::runtime
