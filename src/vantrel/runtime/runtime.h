// The process-wide runtime: an I/O context run by one worker thread per online CPU, and the way
// a thread outside it waits for work done on it.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "vantrel/runtime/cancellation_token.h"
#include "vantrel/runtime/select.h"
#include "vantrel/support/check.h"

namespace vantrel::runtime {

// An I/O context (I/O and timers) with its worker threads. Work runs as coroutines spawned on
// `executor()`. The workers run until the runtime is destroyed, which the shared one never is.
class Runtime {
 public:
  // Starts `workers` threads (at least one).
  explicit Runtime(unsigned workers);
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;
  // Stops the context and joins the workers.
  ~Runtime();

  boost::asio::any_io_executor executor() { return context_.get_executor(); }
  std::size_t worker_count() const { return workers_.size(); }
  // True on the runtime's own worker threads.
  bool on_worker_thread() { return context_.get_executor().running_in_this_thread(); }

 private:
  void stop_and_join();

  boost::asio::io_context context_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> keep_running_;
  // The reactor's own descriptors, recorded as the runtime's (see owned_fds.h).
  std::vector<int> reactor_fds_;
  std::vector<std::thread> workers_;
};

// The number of CPUs online, at least 1.
unsigned online_cpus();

// A runtime built by the first call that needs it, once, under a once-only guard, and kept until
// the process ends. A failed build stays failed: that call and every later one stop with Panic
// "could not build the runtime: <cause>" and nothing is built a second time.
//
// In the child of a fork() the runtime's threads do not exist: there the cell forgets its
// runtime (which is left in memory, never destroyed, since destroying it would wait for those
// threads) and its failure, and the next call builds a fresh one.
class RuntimeCell {
 public:
  // `build` puts the runtime into the slot it is given, or throws what keeps it from being built.
  using Build = std::function<void(std::optional<Runtime>&)>;
  explicit RuntimeCell(Build build) : build_(std::move(build)) {}

  Runtime& get();
  // The runtime when one is built, else null. Never builds.
  Runtime* get_if_built() { return ready_.load(std::memory_order_acquire); }

  // The fork handlers: no build is under way across the fork; the child forgets the runtime.
  void before_fork() { mutex_.lock(); }
  void after_fork_in_parent() { mutex_.unlock(); }
  void after_fork_in_child();

 private:
  Build build_;
  std::mutex mutex_;
  std::atomic<Runtime*> ready_{nullptr};
  std::optional<std::string> failure_;
  std::unique_ptr<std::optional<Runtime>> runtime_;
};

// The one runtime of the process, with one worker per online CPU. Nothing is built at load
// time: the first call builds it. A forked child builds its own on its first call.
Runtime& shared_runtime();

// The shared runtime when it is built in this process, else null. Never builds.
Runtime* shared_runtime_if_built();

// How many fork() calls lie between the process that first loaded the library and this one: 0
// there, one more in each forked child. Work made in an earlier generation belongs to a runtime
// whose threads this process does not have, and must not be touched.
std::uint64_t fork_generation();

namespace detail {

// Carries the cancel of a blocked thread's stop token into the cancellation slot of the work it
// waits for, on the strand that runs the work, and only while the work runs.
struct StopRelay {
  explicit StopRelay(boost::asio::any_io_executor strand) : strand(std::move(strand)) {}
  boost::asio::any_io_executor strand;
  boost::asio::cancellation_signal signal;
  bool done = false;  // set on the strand as the work ends

  void stop() {
    if (!done) signal.emit(boost::asio::cancellation_type::terminal);
  }
};

// Runs `work` and delivers its end to `promise`.
template <class T>
boost::asio::awaitable<void> deliver(boost::asio::awaitable<T> work, std::promise<T> promise,
                                     std::shared_ptr<StopRelay> relay) {
  co_await stops_as_values();
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(work);
      if (relay) relay->done = true;
      promise.set_value();
    } else {
      T value = co_await std::move(work);
      if (relay) relay->done = true;
      promise.set_value(std::move(value));
    }
  } catch (...) {
    if (relay) relay->done = true;
    promise.set_exception(std::current_exception());
  }
}

// The shared runtime, for a thread about to block on it. Calling it on a worker thread would
// take a worker away from the work it waits for, so that stops with Panic "block_on called on a
// runtime worker".
Runtime& runtime_to_block_on();

}  // namespace detail

// Runs `work` on the shared runtime (building it if needed) and blocks the calling thread until
// it completes; returns its value or rethrows its exception (a Panic among them) on this thread.
// Any number of threads may block at once; not on a runtime worker (Panic "block_on called on a
// runtime worker").
template <class T>
T block_on(boost::asio::awaitable<T> work) {
  std::promise<T> promise;
  auto result = promise.get_future();
  boost::asio::co_spawn(detail::runtime_to_block_on().executor(),
                        detail::deliver(std::move(work), std::move(promise), nullptr),
                        boost::asio::detached);
  return result.get();
}

// What a blocked thread does while it waits: every `every` it calls `keep_waiting`, and stops
// the work when that returns false. An empty one wakes the thread for nothing but the work's end.
struct Poll {
  std::chrono::milliseconds every{0};
  std::function<bool()> keep_waiting;
};

// Runs `work` as block_on does, but stoppable: once `stop` is cancelled (from any thread, or by
// `poll`) the work is stopped through its cancellation slot (the runtime's waits, channels, pipes
// and timers stop that way without taking anything, and end with a value that says so) and
// waited for. Returns the work's value, which tells by itself whether it was stopped.
//
// `keep_waiting` may fork (a signal handler it runs may): in the child the wait ends at once with
// none, touching nothing of the parent's runtime, whose threads the child does not have (only
// the stop token, which lets go of its relay).
template <class T>
std::optional<T> block_on(boost::asio::awaitable<T> work, const CancellationToken& stop,
                          const Poll& poll = {}) {
  Runtime& runtime = detail::runtime_to_block_on();
  auto relay = std::make_shared<detail::StopRelay>(boost::asio::make_strand(runtime.executor()));
  std::promise<T> promise;
  auto result = promise.get_future();
  // The completion handler keeps the relay, and the signal whose slot the work was bound to,
  // until the work has completed.
  boost::asio::co_spawn(
      relay->strand, detail::deliver(std::move(work), std::move(promise), relay),
      boost::asio::bind_cancellation_slot(relay->signal.slot(), [relay](std::exception_ptr) {}));
  auto relayed =
      stop.on_cancel([relay] { boost::asio::post(relay->strand, [relay] { relay->stop(); }); });
  if (poll.keep_waiting) {
    std::uint64_t generation = fork_generation();
    while (result.wait_for(poll.every) == std::future_status::timeout) {
      bool keep = poll.keep_waiting();
      if (fork_generation() != generation) return std::nullopt;
      if (!keep) {
        stop.cancel();
        break;
      }
    }
  }
  return result.get();
}

}  // namespace vantrel::runtime
