// Tests of the cancellation token.
#include "vantrel/runtime/cancellation_token.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <optional>
#include <string>
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

TEST(CancellationToken, AForwardingPassesTheCancelOnWhileItLives) {
  struct Case {
    std::string name;
    bool cancelled_first;  // the source cancelled before the forwarding is made
    bool dropped;          // the forwarding dropped before the source is cancelled
    bool target_cancelled;
  };
  const Case cases[] = {
      {"a later cancel", false, false, true},
      {"a cancel before", true, false, true},
      {"a dropped forwarding", false, true, false},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    CancellationToken source, target;
    if (t.cancelled_first) source.cancel();
    std::optional<CancellationToken::Forwarding> forwarding =
        source.on_cancel([target] { target.cancel(); });
    if (t.dropped) forwarding.reset();
    source.cancel();
    EXPECT_EQ(target.is_cancelled(), t.target_cancelled);
  }
}

TEST(CancellationToken, AForwardingWakesTheTargetsWaitersAndGoesOnWhenMoved) {
  CancellationToken source, middle, target;
  auto waiter = std::async(std::launch::async, [target] { block_on(target.cancelled()); });
  CancellationToken::Forwarding first = source.on_cancel([middle] { middle.cancel(); });
  CancellationToken::Forwarding moved = middle.on_cancel([target] { target.cancel(); });
  CancellationToken::Forwarding second = std::move(moved);
  std::thread([source] { source.cancel(); }).join();
  waiter.get();
  EXPECT_TRUE(middle.is_cancelled());
  EXPECT_TRUE(target.is_cancelled());
}

}  // namespace
}  // namespace vantrel::runtime
