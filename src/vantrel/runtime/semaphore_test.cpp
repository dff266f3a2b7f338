// Tests of the counting semaphore.
#include "vantrel/runtime/semaphore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>

#include "vantrel/runtime/runtime.h"
#include "vantrel/runtime/select.h"
#include "vantrel/support/check.h"

namespace vantrel::runtime {
namespace {

using namespace std::chrono_literals;

// Takes a permit and gives it back at once: false when stopped first.
boost::asio::awaitable<bool> took_one(Semaphore semaphore) {
  auto permit = co_await semaphore.acquire();
  co_return permit.has_value();
}

TEST(Semaphore, PermitsComeBackWhenDroppedAndAStoppedAcquireTakesNone) {
  Semaphore semaphore(2);
  {
    auto a = block_on(semaphore.acquire());
    auto b = block_on(semaphore.acquire());
    EXPECT_EQ(semaphore.available(), 0u);
    EXPECT_FALSE(block_on(within(took_one(semaphore), 50ms))) << "none left";
  }
  EXPECT_EQ(semaphore.available(), 2u);
}

TEST(Semaphore, AReleaseGoesToAWaiter) {
  Semaphore semaphore(1);
  std::optional<Semaphore::Permit> held = block_on(semaphore.acquire());
  auto waiter = std::async(std::launch::async, [semaphore] { block_on(semaphore.acquire()); });
  held.reset();
  waiter.get();
  EXPECT_EQ(semaphore.available(), 1u);
}

TEST(Semaphore, CloseStopsWaitingAndLaterAcquires) {
  Semaphore semaphore(1);
  auto held = block_on(semaphore.acquire());
  auto waiter = std::async(std::launch::async, [semaphore] { block_on(semaphore.acquire()); });
  semaphore.close();
  for (auto acquire : {std::function<void()>([&] { waiter.get(); }),
                       std::function<void()>([&] { block_on(semaphore.acquire()); })}) {
    try {
      acquire();
      ADD_FAILURE() << "no stop";
    } catch (const Panic& e) {
      EXPECT_STREQ(e.what(), "semaphore closed");
    }
  }
}

}  // namespace
}  // namespace vantrel::runtime
