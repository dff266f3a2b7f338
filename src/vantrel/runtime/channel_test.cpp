// Tests of the channels' batched operations: taking or sending many items at once.
#include "vantrel/runtime/channel.h"

#include <gtest/gtest.h>

#include <deque>
#include <future>
#include <thread>
#include <vector>

#include "vantrel/runtime/runtime.h"

namespace vantrel::runtime {
namespace {

using boost::asio::awaitable;

TEST(TakeReady, MovesEveryQueuedItemInOrderAndTellsTheEnd) {
  auto [sender, receiver] = make_unbounded_channel<int>();
  std::deque<int> out{0};
  EXPECT_FALSE(receiver.take_ready(out));
  for (int i = 1; i <= 3; ++i) EXPECT_TRUE(sender.send(i));
  EXPECT_EQ(receiver.queued(), 3u);
  EXPECT_FALSE(receiver.take_ready(out));
  EXPECT_EQ(receiver.queued(), 0u);
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

TEST(Channel, SendAllAndReceiveAllKeepOrderAndEndTheStream) {
  auto [sender, receiver] = make_unbounded_channel<int>();
  std::vector<int> first{1, 2, 3}, second{4};
  EXPECT_TRUE(sender.send_all(first));
  EXPECT_TRUE(first.empty());
  EXPECT_TRUE(sender.send(5));
  EXPECT_TRUE(sender.send_all(second));
  { auto gone = std::move(sender); }
  auto all = block_on(receiver.receive_all());
  EXPECT_EQ(all, (std::deque<int>{1, 2, 3, 5, 4}));
  EXPECT_TRUE(block_on(receiver.receive_all()).empty()) << "ended";
}

TEST(Channel, SendAllToAClosedChannelQueuesNothing) {
  auto [sender, receiver] = make_unbounded_channel<int>();
  { auto gone = std::move(receiver); }
  std::vector<int> items{1, 2};
  EXPECT_FALSE(sender.send_all(items));
  EXPECT_TRUE(items.empty());
}

TEST(Channel, SendSomeFillsABoundedChannelAndWaitsForRoom) {
  auto [sender, receiver] = make_bounded_channel<int>(4);
  std::deque<int> items{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_TRUE(block_on(sender.send_some(items)));
  EXPECT_EQ(items.size(), 6u) << "as many as there was room for";
  // The rest goes in while a reader on another thread takes items out one at a time.
  std::vector<int> received;
  std::thread reader([&, &receiver = receiver] {
    while (auto item = block_on(receiver.receive())) received.push_back(*item);
  });
  while (!items.empty()) EXPECT_TRUE(block_on(sender.send_some(items)));
  { auto done = std::move(sender); }
  reader.join();
  EXPECT_EQ(received, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST(Channel, SendSomeStopsOnceTheReceiverIsGone) {
  auto [sender, receiver] = make_bounded_channel<int>(1);
  block_on([&, &sender = sender, &receiver = receiver]() -> awaitable<void> {
    std::deque<int> items{1, 2};
    EXPECT_TRUE(co_await sender.send_some(items));
    { auto gone = std::move(receiver); }
    EXPECT_FALSE(co_await sender.send_some(items));
  }());
}

}  // namespace
}  // namespace vantrel::runtime
