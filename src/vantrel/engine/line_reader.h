// Lines of a child's standard output, read from its pipe under a maximum line length.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/runtime/child_process.h"

namespace vantrel {

// Splits the bytes of a pipe into lines: a line ends at "\n", and one "\r" before it is removed
// too. Bytes left at the end without a newline form one last line (one trailing "\r" removed)
// unless they are only a single "\r". A line longer than `max_line` bytes (a "\r" before the
// newline counts) fails with "max line length exceeded", one that is not UTF-8 with "Unable to
// decode input as UTF8", a failed read with the system's text. After a failure or the end the
// reader yields nothing more.
//
// Lines come from the buffered bytes without waiting (`next`); only when no complete line is
// buffered does the owner `fill` the buffer, so every line of a chunk is taken before the next
// wait. The buffer starts at 8192 bytes and grows when it is full.
class LineReader {
 public:
  struct Item {
    enum Kind { Line, NeedData, End, Failed };
    Kind kind;
    // Line: valid until the next `fill`.
    std::string_view line;
    // Failed: the failure text.
    std::string failure;
  };

  // The failure texts of a line too long and of one that is not UTF-8.
  static constexpr std::string_view too_long_text = "max line length exceeded";
  static constexpr std::string_view not_utf8_text = "Unable to decode input as UTF8";

  LineReader(runtime::Pipe pipe, std::size_t max_line);

  // The next line from the buffered bytes, or NeedData when `fill` must read more first.
  Item next();

  // Reads what the pipe offers, taking it at once when it is ready, else waiting for it. False
  // when nothing further should be read: the reader was stopped and the pipe holds nothing more
  // (or gave runtime::pipe_drain_limit bytes since), or the wait itself was stopped through the
  // caller's cancellation slot.
  boost::asio::awaitable<bool> fill();

  // From now on `fill` takes only what the pipe holds, and a wait under way ends. On the
  // executor that runs the reader (its run's strand).
  void stop();
  bool stopped() const { return stopped_; }

  // Ends the reading: closes the pipe; the reader yields nothing more.
  void close();

 private:
  Item line_at(std::size_t begin, std::size_t length, std::size_t next_begin);
  Item fail(std::string text);
  void make_room();
  void take_read(std::size_t asked, std::size_t n);
  void absorb(const runtime::Result<std::size_t>& read, std::size_t asked);

  runtime::Pipe pipe_;
  std::size_t max_line_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;             // first unconsumed byte
  std::size_t end_ = 0;               // end of the buffered bytes
  std::size_t scanned_ = 0;           // bytes after begin_ known to hold no newline
  std::size_t taken_after_stop_ = 0;  // bytes read once the reader was stopped
  std::size_t pipe_capacity_ = 0;     // the pipe's, until it is grown (0: never)
  bool eof_ = false;
  bool done_ = false;
  bool stopped_ = false;
  std::optional<std::string> read_failure_;
};

}  // namespace vantrel
