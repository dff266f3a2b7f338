// Tests of the shared runtime and of blocking on it.
#include "vantrel/runtime/runtime.h"

#include "vantrel/runtime/channel.h"
#include "vantrel/support/arena.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <csignal>
#include <deque>
#include <stdexcept>

namespace vantrel::runtime {
namespace {

using boost::asio::awaitable;

template <class F>
void on_threads(int count, F f) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) threads.emplace_back(f, i);
  for (auto& t : threads) t.join();
}

void expect_panic(const std::function<void()>& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "no Panic";
  } catch (const Panic& p) {
    EXPECT_EQ(p.what(), message);
  }
}

TEST(SharedRuntime, IsBuiltOnceWithOneWorkerPerOnlineCpu) {
  std::vector<Runtime*> seen(8);
  on_threads(8, [&](int i) { seen[i] = &shared_runtime(); });
  for (Runtime* r : seen) EXPECT_EQ(r, seen[0]);
  EXPECT_EQ(shared_runtime().worker_count(), online_cpus());
}

TEST(SharedRuntime, WorkersBlockAsynchronousSignalsButNotFaults) {
  auto mask = block_on([]() -> awaitable<sigset_t> {
    sigset_t blocked;
    pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    co_return blocked;
  }());
  for (int sig : {SIGINT, SIGTERM, SIGPIPE, SIGCHLD}) EXPECT_TRUE(sigismember(&mask, sig)) << sig;
  for (int sig : {SIGSEGV, SIGBUS, SIGABRT}) EXPECT_FALSE(sigismember(&mask, sig)) << sig;
}

TEST(BlockOn, ReturnsTheValueOrRethrowsOnTheCallingThread) {
  EXPECT_EQ(block_on([]() -> awaitable<int> { co_return 42; }()), 42);
  expect_panic(
      [] {
        block_on([]() -> awaitable<void> {
          panic("latch poisoned");
          co_return;
        }());
      },
      "latch poisoned");
}

TEST(BlockOn, ManyThreadsBlockAtOnce) {
  std::vector<int> results(16);
  on_threads(16, [&](int i) {
    results[i] = block_on([](int n) -> awaitable<int> {
      // A hop through the scheduler, so the work really runs on a worker.
      co_await boost::asio::post(co_await boost::asio::this_coro::executor,
                                 boost::asio::use_awaitable);
      co_return n * 2;
    }(i));
  });
  for (int i = 0; i < 16; ++i) EXPECT_EQ(results[i], i * 2);
}

TEST(BlockOn, RefusesToBlockAWorker) {
  expect_panic(
      [] {
        block_on([]() -> awaitable<int> {
          co_return block_on([]() -> awaitable<int> { co_return 1; }());
        }());
      },
      "block_on called on a runtime worker");
}

TEST(BlockOnStoppable, ReturnsTheValueOfWorkThatFinishes) {
  CancellationToken stop;
  auto value = block_on([]() -> awaitable<int> { co_return 7; }(), stop,
                        Poll{std::chrono::milliseconds(1), [] { return true; }});
  EXPECT_EQ(value, 7);
}

TEST(BlockOnStoppable, StopsWaitingWorkWhenThePollSaysNoOrTheTokenIsCancelled) {
  CancellationToken never;
  // -1 when stopped: the work's own value says so.
  auto forever = [](CancellationToken token) -> awaitable<int> {
    co_return co_await token.cancelled() ? 1 : -1;
  };
  int looks = 0;
  CancellationToken polled;
  auto value = block_on(forever(never), polled,
                        Poll{std::chrono::milliseconds(1), [&] { return ++looks < 3; }});
  EXPECT_EQ(value, -1);
  EXPECT_EQ(looks, 3);
  EXPECT_TRUE(polled.is_cancelled()) << "the poll stops the work through its token";

  CancellationToken stop;
  std::thread stopper([&] { stop.cancel(); });
  EXPECT_EQ(block_on(forever(never), stop), -1);
  stopper.join();
  EXPECT_EQ(block_on(forever(never), stop), -1) << "a token cancelled before the wait stops it";
}

TEST(BlockOnStoppable, AStoppedWaitTakesNothing) {
  auto [sender, receiver] = make_unbounded_channel<int>();
  int looks = 0;
  auto stopped = block_on(receiver.receive_all(), CancellationToken(),
                          Poll{std::chrono::milliseconds(1), [&] { return ++looks < 3; }});
  EXPECT_EQ(stopped, std::deque<int>{});
  EXPECT_EQ(looks, 3);
  // The stopped wait left the channel as it was: what is sent next is all there.
  sender.send(5);
  EXPECT_EQ(block_on(receiver.receive_all()), std::deque<int>{5});
}

TEST(SharedRuntime, AChildForkedWhileArenasTradeChunksCanTradeThemItself) {
  shared_runtime();  // a live runtime, as in a host that runs agents
  // Enough to go past the first chunk: later chunks come from and go back to the shared pool.
  auto use_chunks = [] {
    Arena arena;
    for (int i = 0; i < 12; ++i) (void)arena.allocate(Arena::chunk_size / 4, 8);
  };
  std::atomic<bool> stop = false;
  std::vector<std::thread> workers;
  for (int i = 0; i < 4; ++i)
    workers.emplace_back([&] {
      while (!stop) use_chunks();
    });
  for (int i = 0; i < 50; ++i) {
    pid_t pid = ::fork();
    if (pid == 0) {
      // A pool lock held by a parent's thread at the fork would hang this.
      use_chunks();
      ::_exit(0);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
  }
  stop = true;
  for (auto& worker : workers) worker.join();
}

TEST(SharedRuntime, IsReportedOnceBuilt) {
  shared_runtime();
  EXPECT_EQ(shared_runtime_if_built(), &shared_runtime());
  EXPECT_EQ(fork_generation(), 0u);
}

TEST(RuntimeCell, AFailedBuildStaysFailedWithoutASecondAttempt) {
  int builds = 0;
  RuntimeCell cell([&](std::optional<Runtime>&) {
    ++builds;
    throw std::runtime_error("Resource temporarily unavailable");
  });
  for (int i = 0; i < 2; ++i)
    expect_panic([&] { cell.get(); },
                 "could not build the runtime: Resource temporarily unavailable");
  EXPECT_EQ(builds, 1);
}

TEST(RuntimeCell, ConcurrentFirstUsesBuildOnce) {
  std::atomic<int> builds = 0;
  RuntimeCell cell([&](std::optional<Runtime>& slot) {
    ++builds;
    slot.emplace(2);
  });
  std::vector<Runtime*> seen(8);
  on_threads(8, [&](int i) { seen[i] = &cell.get(); });
  EXPECT_EQ(builds, 1);
  for (Runtime* r : seen) EXPECT_EQ(r, seen[0]);
  EXPECT_EQ(seen[0]->worker_count(), 2u);
}

}  // namespace
}  // namespace vantrel::runtime
