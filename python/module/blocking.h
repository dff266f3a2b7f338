// The one way an entry point waits for asynchronous work: with the interpreter lock released,
// on the shared runtime, and with the lock taken back before anything (a value or a failure)
// travels on.
#pragma once

#include <Python.h>

#include <boost/asio/awaitable.hpp>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

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

// Blocks the calling thread, lock released, until `work` has run to its end on the shared
// runtime (built here on first use, so never with the lock held). `work` captures everything
// it needs by value and touches no Python object. A runtime that cannot be built, or a broken
// invariant inside `work`, comes back as a Panic once the lock is held again.
template <class T>
T run_blocking(boost::asio::awaitable<T> work) {
  return without_interpreter_lock([&] { return runtime::block_on(std::move(work)); });
}

}  // namespace vantrel::py
