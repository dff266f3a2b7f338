// The bounded tail of a child's standard error and the task that drains the pipe into it.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/engine/latch.h"
#include "vantrel/runtime/cancellation_token.h"
#include "vantrel/runtime/child_process.h"
#include "vantrel/support/guarded.h"

namespace vantrel {

// The newest `limit` bytes of everything pushed, oldest first. Shared by one writer and any
// number of readers; thread-safe. A failure while its lock was held stops later calls with
// "tail buffer poisoned".
class TailBuffer {
 public:
  explicit TailBuffer(std::size_t limit);

  std::size_t limit() const { return limit_; }
  // Appends `chunk`, then drops the oldest bytes beyond the limit. With limit 0 it does nothing,
  // without even locking.
  void push(std::string_view chunk);
  // The kept bytes as text, each maximal invalid UTF-8 subsequence replaced by U+FFFD. The
  // bytes stay as they are.
  std::string snapshot();
  // Marks the lock poisoned, as a failed holder would; for tests of the stop.
  void poison_for_test() { bytes_.poison(); }

 private:
  std::size_t limit_;
  Guarded<std::string> bytes_;
};

// The kept bytes of `tail` as text (see TailBuffer::snapshot).
std::string tail_snapshot(TailBuffer& tail);

// The completion handle of a started standard-error reader. Copies share one task.
class TailReader {
 public:
  // Completes once the reader has pushed its last chunk and closed the pipe; at once if it has.
  boost::asio::awaitable<void> finished() const;
  // Whether it has finished already. Never waits.
  bool has_finished() const;
  // Waits up to `limit` for the reader to finish; past that, stops it (see
  // start_read_stderr_tail). True when it finished in time. Either way it has finished on return.
  boost::asio::awaitable<bool> finished_within(std::chrono::nanoseconds limit) const;

 private:
  friend TailReader start_read_stderr_tail(const boost::asio::any_io_executor& executor,
                                           runtime::Pipe pipe, std::shared_ptr<TailBuffer> tail,
                                           runtime::CancellationToken stop);
  std::shared_ptr<Latch<bool>> done_ = std::make_shared<Latch<bool>>();
  runtime::CancellationToken stop_;
};

// Starts, on `executor`, the reader that drains `pipe` to its end (or its first read error,
// which is not reported) in reads of at most 8192 bytes, pushing every chunk into `tail`, then
// closes the pipe; returns its completion handle. Once `stop` is cancelled it no longer waits
// for the end: it takes what the pipe holds (at most runtime::pipe_drain_limit bytes) and ends.
TailReader start_read_stderr_tail(const boost::asio::any_io_executor& executor, runtime::Pipe pipe,
                                  std::shared_ptr<TailBuffer> tail,
                                  runtime::CancellationToken stop = {});

}  // namespace vantrel
