// The bounded tail of a child's standard error, and the actor that reads a child's pipe to its end.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

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

// One actor that reads a pipe to its end, handing each chunk to its owner: a standard error
// into its TailBuffer, or a reply. It runs on its run's strand, where it is also stopped.
class PipeReader {
 public:
  explicit PipeReader(runtime::Pipe pipe);

  // Reads to the end of the pipe in reads of at most 8192 bytes, calling `on_chunk` with each (a
  // std::string_view), then closes the pipe: nothing, or the text of the first failed read. Once
  // stopped it takes only what the pipe holds (at most runtime::pipe_drain_limit bytes) and ends;
  // stopped through the caller's cancellation slot, it ends at once.
  template <class OnChunk>
  boost::asio::awaitable<runtime::Result<void>> read_all(OnChunk on_chunk) {
    char chunk[8192];
    std::size_t after_stop = 0;
    for (;;) {
      auto ready = runtime::try_read_some(pipe_, boost::asio::buffer(chunk));
      if (!ready.has_value()) co_return closed(fail(std::move(ready).error()));
      if (*ready) {
        if (**ready == 0) break;
        on_chunk(std::string_view(chunk, **ready));
        if (stopped_ && (after_stop += **ready) >= runtime::pipe_drain_limit) break;
        continue;
      }
      if (stopped_) break;
      auto readable = co_await runtime::wait_readable(pipe_);
      if (!readable.has_value()) co_return closed(fail(std::move(readable).error()));
      // A stop of the reader looks once more at what the pipe holds; a stop of the wait ends it.
      if (!*readable && !stopped_) break;
    }
    co_return closed(runtime::Result<void>{});
  }

  // From now on only what the pipe holds is taken, and a wait under way ends.
  void stop();
  // Whether the reader is done with its pipe (and has closed it).
  bool done() const { return !pipe_.is_open(); }

 private:
  runtime::Result<void> closed(runtime::Result<void> read);

  runtime::Pipe pipe_;
  bool stopped_ = false;
};

}  // namespace vantrel
