// The line reader.
#include "vantrel/engine/line_reader.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "vantrel/json/utf8.h"
#include "vantrel/runtime/syscall.h"

namespace vantrel {
namespace {

constexpr std::size_t initial_buffer = 8192;
// A writer that fills the pipe is ahead of the reading: its pipe grows to this size, so that it
// writes on while lines are decoded and each read takes more of them (fewer waits and wake-ups).
// Pipes of the usual, slower agents keep the system's size.
constexpr std::size_t fast_writer_pipe = 1024 * 1024;
// A buffer that a read fills completely doubles, up to this size, so that a fast writer is
// read in chunks of a full pipe instead of 8 KiB; beyond it, it grows only to hold a longer
// line.
constexpr std::size_t read_ahead_limit = fast_writer_pipe;

}  // namespace

LineReader::LineReader(runtime::Pipe pipe, std::size_t max_line)
    : pipe_(std::move(pipe)), max_line_(max_line), buffer_(initial_buffer) {
  boost::system::error_code ignored;
  // Reads are first tried at once, and waited for only when the pipe is empty.
  pipe_.non_blocking(true, ignored);
  pipe_capacity_ = runtime::sys::pipe_capacity(pipe_.native_handle());
  if (pipe_capacity_ >= fast_writer_pipe) pipe_capacity_ = 0;
}

LineReader::Item LineReader::fail(std::string text) {
  done_ = true;
  return Item{Item::Failed, {}, std::move(text)};
}

LineReader::Item LineReader::line_at(std::size_t begin, std::size_t length,
                                     std::size_t next_begin) {
  std::string_view line(buffer_.data() + begin, length);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  begin_ = next_begin;
  scanned_ = 0;
  if (!is_valid_utf8(line)) return fail(std::string(not_utf8_text));
  return Item{Item::Line, line, {}};
}

LineReader::Item LineReader::next() {
  if (done_) return Item{Item::End, {}, {}};
  std::size_t buffered = end_ - begin_;
  // A newline may end a line only among the first max_line + 1 bytes.
  std::size_t window = std::min(buffered, max_line_ + 1);
  if (scanned_ < window) {
    const char* from = buffer_.data() + begin_ + scanned_;
    if (auto* newline = static_cast<const char*>(std::memchr(from, '\n', window - scanned_))) {
      std::size_t length = static_cast<std::size_t>(newline - (buffer_.data() + begin_));
      return line_at(begin_, length, begin_ + length + 1);
    }
    scanned_ = window;
  }
  if (buffered > max_line_) return fail(std::string(too_long_text));
  if (read_failure_) return fail(std::move(*read_failure_));
  if (!eof_) return Item{Item::NeedData, {}, {}};
  if (buffered == 0 || (buffered == 1 && buffer_[begin_] == '\r')) {
    done_ = true;
    return Item{Item::End, {}, {}};
  }
  return line_at(begin_, buffered, end_);
}

void LineReader::make_room() {
  if (begin_ == end_) {
    begin_ = end_ = 0;
  } else if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
}

void LineReader::take_read(std::size_t asked, std::size_t n) {
  end_ += n;
  if (n == asked && buffer_.size() < read_ahead_limit) buffer_.resize(buffer_.size() * 2);
  // A read that emptied a full pipe: the writer is ahead. A pipe is full once the next atomic
  // write no longer fits. Asked once; the system may refuse.
  if (pipe_capacity_ != 0 && n + PIPE_BUF > pipe_capacity_) {
    runtime::sys::grow_pipe(pipe_.native_handle(), fast_writer_pipe);
    pipe_capacity_ = 0;
  }
}

// Takes the outcome of one read: bytes, the end of the output, or a failure.
void LineReader::absorb(const runtime::Result<std::size_t>& read, std::size_t asked) {
  if (!read.has_value())
    read_failure_ = read.error();
  else if (*read == 0)
    eof_ = true;
  else
    take_read(asked, *read);
}

boost::asio::awaitable<bool> LineReader::fill() {
  for (;;) {
    if (stopped_ && taken_after_stop_ >= runtime::pipe_drain_limit) co_return false;
    make_room();
    auto free = boost::asio::buffer(buffer_.data() + end_, buffer_.size() - end_);
    std::size_t asked = free.size();
    // What the pipe already holds is read at once, without the frames of a wait.
    auto ready = runtime::try_read_some(pipe_, free);
    if (!ready.has_value()) {
      read_failure_ = ready.error();
      co_return true;
    }
    if (*ready) {
      // Stopped, the output reads as ended where it stands, even when its end shows now: a
      // line left unfinished is dropped, as its writer was not done with it.
      if (stopped_ && **ready == 0) co_return false;
      if (stopped_) taken_after_stop_ += **ready;
      absorb(**ready, asked);
      co_return true;
    }
    if (stopped_) co_return false;
    auto readable = co_await runtime::wait_readable(pipe_);
    if (!readable.has_value()) {
      read_failure_ = readable.error();
      co_return true;
    }
    // A stop of the reader looks once more at what the pipe holds; a stop of the wait ends it.
    if (!*readable && !stopped_) co_return false;
  }
}

void LineReader::stop() {
  stopped_ = true;
  runtime::stop_waits(pipe_);
}

void LineReader::close() {
  pipe_.close();
  done_ = true;
}

}  // namespace vantrel
