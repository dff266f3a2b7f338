// Tests of the notifier.
#include "vantrel/runtime/notifier.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

#include "vantrel/runtime/runtime.h"
#include "vantrel/runtime/select.h"

namespace vantrel::runtime {
namespace {

using namespace std::chrono_literals;

// True when a wait on `notifier` completes within a short limit (used only to show that it
// does not: a wait that completes is waited for without limit).
bool woken_now(const Notifier& notifier) { return block_on(within(notifier.wait(), 50ms)); }

TEST(Notifier, NotifyWaitersWakesThoseRegisteredAndLeavesNoPermit) {
  Notifier notifier;
  auto epoch = notifier.epoch();
  std::vector<std::future<void>> waiters;
  for (int i = 0; i < 8; ++i)
    waiters.push_back(
        std::async(std::launch::async, [notifier, epoch] { block_on(notifier.wait(epoch)); }));
  notifier.notify_waiters();
  for (auto& waiter : waiters) waiter.get();
  // A wait registered before the notification but begun after it still completes.
  block_on(notifier.wait(epoch));
  EXPECT_FALSE(woken_now(notifier)) << "nothing left behind for a later waiter";
}

TEST(Notifier, NotifyOneWithNoWaiterLeavesOnePermit) {
  Notifier notifier;
  notifier.notify_one();
  notifier.notify_one();
  block_on(notifier.wait());
  EXPECT_FALSE(woken_now(notifier)) << "permits do not add up";
}

}  // namespace
}  // namespace vantrel::runtime
