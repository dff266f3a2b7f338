// The one way an entry point waits for asynchronous work: with the interpreter lock released,
// on the shared runtime, and with the lock taken back before anything (a value or a failure)
// travels on. On the main thread a wait also runs the Python signal handlers while it waits.
#pragma once

#include <Python.h>

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

#include "errors.h"
#include "vantrel/runtime/runtime.h"

namespace vantrel::py {

// Runs `body` with the interpreter lock released and returns its value. The lock is taken back
// on every path; an exception of `body` is rethrown only after that, so it reaches the boundary
// of the entry point (which makes it a Python error) with the lock held. `body` must not touch
// any Python object.
template <class Body>
auto without_interpreter_lock(Body&& body) -> decltype(body()) {
  using T = decltype(body());
  PyThreadState* saved = PyEval_SaveThread();
  std::exception_ptr failure;
  if constexpr (std::is_void_v<T>) {
    try {
      body();
    } catch (...) {
      failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (failure) std::rethrow_exception(failure);
  } else {
    std::optional<T> value;
    try {
      value.emplace(body());
    } catch (...) {
      failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (failure) std::rethrow_exception(failure);
    return std::move(*value);
  }
}

// Called with the interpreter lock held before an entry point first starts work on the shared
// runtime: registers, once, the exit handler that cancels all live work when the interpreter
// exits (at most about a second for it all to settle).
void prepare_runtime_use();

// Records the thread that runs the signal handlers (at module execution, and again in the
// child of a fork, where the forking thread is the main one).
void record_main_thread();

// True on the thread that runs the Python signal handlers.
bool on_main_thread();

// Called with the interpreter lock released: takes it for a moment and runs the pending signal
// handlers. True when one raised; its exception is then set.
bool signal_handler_raised();

// How often a wait on the main thread looks for pending signals.
inline constexpr std::chrono::milliseconds signal_check_interval{50};

// What an interruptible wait saw: the work's value when it finished, and whether a signal
// handler raised meanwhile (its exception is then set; the caller raises it).
template <class T>
struct Waited {
  std::optional<T> value;
  bool interrupted = false;
};

// Called with the interpreter lock released: waits for `work` on the shared runtime, stoppable
// through `stop`. On the main thread the signal handlers run every signal_check_interval; when
// one raises, the work is stopped (through its cancellation slot: whatever it waited for is
// left as it was) and waited for. Off the main thread nothing but the work wakes the thread.
template <class T>
Waited<T> wait_stoppable(boost::asio::awaitable<T> work, const runtime::CancellationToken& stop) {
  bool interrupted = false;
  std::function<bool()> keep_waiting;
  if (on_main_thread()) keep_waiting = [&] { return !(interrupted = signal_handler_raised()); };
  auto value =
      runtime::block_on_stoppable(std::move(work), stop, signal_check_interval, keep_waiting);
  return {std::move(value), interrupted};
}

// Called with the interpreter lock released: waits for `work` as wait_stoppable does; off the
// main thread it is a plain wait, with nothing added.
template <class T>
Waited<T> wait_interruptibly(boost::asio::awaitable<T> work) {
  if (!on_main_thread()) return {runtime::block_on(std::move(work)), false};
  bool interrupted = false;
  auto value = runtime::block_on_interruptible(std::move(work), signal_check_interval, [&] {
    return !(interrupted = signal_handler_raised());
  });
  return {std::move(value), interrupted};
}

// Blocks the calling thread, lock released, until `work` has run to its end on the shared
// runtime (built here on first use, so never with the lock held). `work` captures everything
// it needs by value and touches no Python object. A runtime that cannot be built, or a broken
// invariant inside `work`, comes back as a Panic once the lock is held again. Not interruptible:
// for work that never waits for an agent.
template <class T>
T run_blocking(boost::asio::awaitable<T> work) {
  prepare_runtime_use();
  return without_interpreter_lock([&] { return runtime::block_on(std::move(work)); });
}

// Waits, lock released, as wait_interruptibly does, for work that the caller does not own (a
// wait on a run or a group, which stays as it is): a signal handler's exception is raised.
template <class T>
T wait_or_raise(boost::asio::awaitable<T> work) {
  auto waited = without_interpreter_lock([&] { return wait_interruptibly(std::move(work)); });
  if (waited.interrupted) throw_python_error();
  return std::move(*waited.value);
}

}  // namespace vantrel::py
