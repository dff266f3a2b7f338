// Tests of the cancellation token.
#include "vantrel/runtime/cancellation_token.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "vantrel/runtime/runtime.h"

namespace vantrel::runtime {
namespace {

TEST(CancellationToken, CancelWakesEveryWaiterFromAnyThreadAndStays) {
  CancellationToken token;
  std::vector<std::future<void>> waiters;
  for (int i = 0; i < 16; ++i)
    waiters.push_back(std::async(std::launch::async, [token] { block_on(token.cancelled()); }));
  std::vector<std::thread> cancellers;
  for (int i = 0; i < 4; ++i) cancellers.emplace_back([token] { token.cancel(); });
  for (auto& canceller : cancellers) canceller.join();
  for (auto& waiter : waiters) waiter.get();
  EXPECT_TRUE(token.is_cancelled());
  token.cancel();
  EXPECT_TRUE(token.is_cancelled()) << "a second cancel changes nothing";
  block_on(token.cancelled());  // at once once cancelled
}

TEST(CancellationToken, CopiesShareOneFlagAndTokensAreIndependent) {
  CancellationToken a, b;
  CancellationToken copy = a;
  EXPECT_FALSE(a.is_cancelled());
  copy.cancel();
  EXPECT_TRUE(a.is_cancelled());
  EXPECT_FALSE(b.is_cancelled());
}

}  // namespace
}  // namespace vantrel::runtime
