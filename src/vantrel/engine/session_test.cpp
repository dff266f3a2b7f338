// Tests of the result latch and the thread-id slot.
#include "vantrel/engine/session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "vantrel/runtime/runtime.h"
#include "vantrel/runtime/select.h"

namespace vantrel {
namespace {

using runtime::block_on;

template <class F>
void expect_panic(F f, const char* message) {
  try {
    f();
    ADD_FAILURE() << "no stop";
  } catch (const Panic& e) {
    EXPECT_STREQ(e.what(), message);
  }
}

TEST(Latch, WakesEveryWaiterOnceSetAndAnswersLaterOnesAtOnce) {
  auto latch = std::make_shared<Latch<std::vector<int>>>();
  EXPECT_EQ(latch->get(), nullptr);
  // A wait stopped before the value comes reads as none.
  EXPECT_EQ(block_on(runtime::within(latch->wait(), std::chrono::milliseconds(20))), std::nullopt);
  std::atomic<int> done = 0;
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i)
    waiters.emplace_back([&] {
      EXPECT_EQ(block_on(latch->wait()), (std::vector<int>{1, 2}));
      ++done;
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(done, 0);
  latch->set({1, 2});
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(block_on(latch->wait()), (std::vector<int>{1, 2}));
  // Every reader shares the one stored value.
  EXPECT_EQ(block_on(latch->wait_shared()).get(), latch->get().get());
}

TEST(Latch, APoisonedLatchStopsItsWaitersInsteadOfLeavingThemWaiting) {
  auto latch = std::make_shared<Latch<int>>();
  std::thread waiter([&] { expect_panic([&] { block_on(latch->wait()); }, "latch poisoned"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  latch->poison();
  waiter.join();
  expect_panic([&] { latch->set(1); }, "latch poisoned");
}

TEST(ThreadIdSlot, IsEmptyUntilSetAndStopsWhenPoisoned) {
  ThreadIdSlot slot;
  EXPECT_EQ(slot.get(), "");
  slot.set("t1");
  EXPECT_EQ(slot.get(), "t1");
  slot.poison_for_test();
  expect_panic([&] { slot.get(); }, "thread id poisoned");
}

TEST(Guarded, AHolderThatThrowsPoisonsTheLock) {
  Guarded<std::string> guarded("value poisoned", "a");
  EXPECT_THROW(guarded.with([](std::string&) -> int { throw std::bad_alloc(); }), std::bad_alloc);
  expect_panic([&] { guarded.with([](std::string& s) { return s; }); }, "value poisoned");
}

}  // namespace
}  // namespace vantrel
