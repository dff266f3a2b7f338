// Tests of the registry of live work.
#include "vantrel/runtime/live_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

namespace vantrel::runtime {
namespace {

using namespace std::chrono_literals;

TEST(LiveWork, CancelAllCancelsEveryLivePieceAndWaitsForItToSettle) {
  LiveWork work;
  std::atomic<int> cancelled = 0;
  std::optional<LiveWork::Enrolment> settled_before = work.enrol([&] { ++cancelled; });
  settled_before.reset();  // a piece that ended is not cancelled
  std::vector<std::thread> pieces;
  std::atomic<bool> stop[2] = {false, false};
  for (int i = 0; i < 2; ++i) {
    auto enrolment = work.enrol([&, i] {
      ++cancelled;
      stop[i] = true;
    });
    // Each piece settles on its own thread once it sees its cancellation.
    pieces.emplace_back([&, i, enrolment = std::move(enrolment)]() mutable {
      while (!stop[i]) std::this_thread::yield();
      auto ended = std::move(enrolment);
    });
  }
  EXPECT_EQ(work.live_count(), 2u);
  EXPECT_TRUE(work.cancel_all(10s));
  EXPECT_EQ(cancelled, 2);
  EXPECT_EQ(work.live_count(), 0u);
  for (auto& piece : pieces) piece.join();
}

TEST(LiveWork, TheWaitIsBoundedByItsLimit) {
  LiveWork work;
  auto stuck = work.enrol([] {});
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(work.cancel_all(50ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
  EXPECT_EQ(work.live_count(), 1u);
}

TEST(LiveWork, WorkEnrolledAfterCancelAllIsCancelledAtOnceAndATryIsRefused) {
  LiveWork work;
  bool early_cancelled = false;
  auto early = work.try_enrol([&] { early_cancelled = true; });
  ASSERT_TRUE(early);
  EXPECT_EQ(work.live_count(), 1u);
  early.reset();
  EXPECT_TRUE(work.cancel_all(0ms));
  EXPECT_FALSE(early_cancelled) << "it had settled";
  bool cancelled = false;
  auto late = work.enrol([&] { cancelled = true; });
  EXPECT_TRUE(cancelled);
  bool tried_cancelled = false;
  EXPECT_FALSE(work.try_enrol([&] { tried_cancelled = true; }));
  EXPECT_FALSE(tried_cancelled);
  EXPECT_EQ(work.live_count(), 1u) << "only the late enrolment";
}

TEST(LiveWork, AMovedEnrolmentLeavesOnce) {
  LiveWork work;
  auto first = work.enrol([] {});
  auto second = work.enrol([] {});
  first = std::move(second);
  EXPECT_EQ(work.live_count(), 1u);
  LiveWork::Enrolment third(std::move(first));
  EXPECT_EQ(work.live_count(), 1u);
}

}  // namespace
}  // namespace vantrel::runtime
