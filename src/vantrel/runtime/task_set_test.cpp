// Tests of the task set.
#include "vantrel/runtime/task_set.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "vantrel/runtime/cancellation_token.h"
#include "vantrel/runtime/runtime.h"

namespace vantrel::runtime {
namespace {

using boost::asio::awaitable;

// Finishes with `index` once `gate` is cancelled; throws for a negative index.
awaitable<int> gated(CancellationToken gate, int index) {
  co_await gate.cancelled();
  if (index < 0) throw std::runtime_error("task failed");
  co_return index;
}

TEST(TaskSet, JoinsInTheOrderTheTasksFinish) {
  std::vector<int> joined = block_on([]() -> awaitable<std::vector<int>> {
    TaskSet<int> tasks(co_await boost::asio::this_coro::executor);
    std::vector<CancellationToken> gates(3);
    for (int i = 0; i < 3; ++i) tasks.spawn(gated(gates[i], i));
    EXPECT_EQ(tasks.size(), 3u);
    std::vector<int> order;
    for (int i : {1, 2, 0}) {
      gates[i].cancel();
      auto finished = co_await tasks.join_next();
      if (finished && finished->value) order.push_back(*finished->value);
    }
    EXPECT_EQ(tasks.size(), 0u);
    EXPECT_FALSE(co_await tasks.join_next()) << "none once every task is joined";
    co_return order;
  }());
  EXPECT_EQ(joined, (std::vector<int>{1, 2, 0}));
}

TEST(TaskSet, AFailedTaskIsJoinedWithItsFailure) {
  auto finished = block_on([]() -> awaitable<std::optional<Finished<int>>> {
    TaskSet<int> tasks(co_await boost::asio::this_coro::executor);
    CancellationToken open;
    open.cancel();
    tasks.spawn(gated(open, -1));
    co_return co_await tasks.join_next();
  }());
  ASSERT_TRUE(finished);
  EXPECT_FALSE(finished->value);
  try {
    std::rethrow_exception(finished->failure);
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "task failed");
  }
}

}  // namespace
}  // namespace vantrel::runtime
