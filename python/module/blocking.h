// The one way an entry point waits for asynchronous work: with the interpreter lock released,
// on the shared runtime, and with the lock taken back before anything (a value or a failure)
// travels on. On the main thread a wait also runs the Python signal handlers while it waits.
#pragma once

#include <Python.h>

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

#include "errors.h"
#include "vantrel/runtime/child_process.h"
#include "vantrel/runtime/live_work.h"
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
// runtime: registers, once, the handlers that cancel all live work when the interpreter exits
// (at most about a second for it all to settle), and earlier, before Python joins its threads,
// when the main thread ended with KeyboardInterrupt.
void prepare_runtime_use();

// What an entry point takes, with the interpreter lock held, before it starts work: its place
// among the live work, which it gives up once its work has enrolled itself (so that the exit's
// cancel, once begun, waits for it), and the host's environment as it is now, which nothing off
// the lock reads.
struct Admission {
  runtime::LiveWork::Enrolment place;
  runtime::InheritedEnvironment env;
};

// The entry point's admission, with `cancel` as its place's cancel; none once the exit's cancel
// has begun: the entry point then starts nothing and answers as for a cancelled run.
std::optional<Admission> admit(std::function<void()> cancel = [] {});

// Records the thread that runs the signal handlers, at module execution (a forked child records
// its own on first use). Called with the interpreter lock held.
void record_main_thread();

// True on the thread that runs the Python signal handlers. Called with the interpreter lock held.
bool on_main_thread();

// Called with the interpreter lock released: takes it for a moment and runs the pending signal
// handlers. True when one raised; its exception is then set.
bool signal_handler_raised();

// How often a wait on the main thread looks for pending signals.
inline constexpr std::chrono::milliseconds signal_check_interval{50};

// How a wait ended: the work's value when it finished; whether a signal handler raised meanwhile
// (its exception is then set); whether a handler forked and this is the child.
template <class T>
struct Waited {
  std::optional<T> value;
  bool interrupted = false;
  bool forked = false;
};

// The one way an entry point waits for work on the shared runtime. Called with the interpreter
// lock released: waits for `work`, stoppable through `stop`. On the main thread (`main`, looked
// at before the lock was released) the signal handlers run every signal_check_interval; when one
// raises, the work is stopped (through its cancellation slot: whatever it waited for is left as
// it was) and waited for. Off the main thread nothing but the work wakes the thread.
template <class T>
Waited<T> wait_for(boost::asio::awaitable<T> work, const runtime::CancellationToken& stop,
                   bool main) {
  bool interrupted = false;
  runtime::Poll poll;
  if (main)
    poll = {signal_check_interval, [&] { return !(interrupted = signal_handler_raised()); }};
  std::uint64_t generation = runtime::fork_generation();
  auto value = runtime::block_on(std::move(work), stop, poll);
  return {std::move(value), interrupted, generation != runtime::fork_generation()};
}

// Called with the interpreter lock held after a wait: raises what ended it early, a signal
// handler's exception, or in a forked child RuntimeError (the work belongs to the parent).
template <class T>
void raise_if_cut_short(const Waited<T>& waited) {
  if (waited.interrupted) throw_python_error();
  if (waited.forked)
    raise(PyExc_RuntimeError,
          "the wait belongs to the process that began it and cannot go on after fork()");
}

// Blocks the calling thread, lock released, until `work` has run to its end on the shared
// runtime (built here on first use, so never with the lock held), then gives up `place` before
// the lock is taken back (a daemon thread at exit may never get it back). `work` captures
// everything it needs by value and touches no Python object. A runtime that cannot be built, or
// a broken invariant inside `work`, comes back as a Panic once the lock is held again. Not
// interruptible: for work that never waits for an agent.
template <class T>
T run_blocking(boost::asio::awaitable<T> work, runtime::LiveWork::Enrolment place) {
  return without_interpreter_lock([&] {
    auto given_up = std::move(place);
    return runtime::block_on(std::move(work));
  });
}

// Waits, lock released, as wait_for does, for work that the caller does not own (a wait on a run
// or a group, which stays as it is), and raises what cut the wait short.
template <class T>
T wait_or_raise(boost::asio::awaitable<T> work) {
  bool main = on_main_thread();
  auto waited = without_interpreter_lock(
      [&] { return wait_for(std::move(work), runtime::CancellationToken(), main); });
  raise_if_cut_short(waited);
  return std::move(*waited.value);
}

}  // namespace vantrel::py
