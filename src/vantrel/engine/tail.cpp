// The standard-error tail and its reader task.
#include "vantrel/engine/tail.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "vantrel/json/utf8.h"
#include "vantrel/runtime/select.h"

namespace vantrel {

TailBuffer::TailBuffer(std::size_t limit) : limit_(limit), bytes_("tail buffer poisoned", {}) {}

void TailBuffer::push(std::string_view chunk) {
  if (limit_ == 0) return;
  bytes_.with([&](std::string& bytes) {
    if (chunk.size() >= limit_) {
      bytes.assign(chunk.substr(chunk.size() - limit_));
      return;
    }
    bytes.append(chunk);
    if (bytes.size() > limit_) bytes.erase(0, bytes.size() - limit_);
  });
}

std::string TailBuffer::snapshot() {
  // The copy is made under the lock and decoded outside it.
  std::string bytes = bytes_.with([](const std::string& held) { return held; });
  return utf8_lossy(bytes);
}

std::string tail_snapshot(TailBuffer& tail) { return tail.snapshot(); }

boost::asio::awaitable<void> TailReader::finished() const { co_await done_->wait_shared(); }

bool TailReader::has_finished() const { return done_->get() != nullptr; }

boost::asio::awaitable<bool> TailReader::finished_within(std::chrono::nanoseconds limit) const {
  auto ended = co_await runtime::select_first(finished(), runtime::sleep_for(limit));
  if (ended.first) co_return true;
  stop_.cancel();
  co_await finished();
  co_return false;
}

namespace {

// Reads what the pipe offers and waits for more until its end, its first failed read (which
// ends the tail like the end: what was read is kept) or the stop; once stopped, only what the
// pipe still holds is taken.
boost::asio::awaitable<void> read_stderr_tail(runtime::Pipe pipe, std::shared_ptr<TailBuffer> tail,
                                              runtime::CancellationToken stop) {
  boost::system::error_code ignored;
  pipe.non_blocking(true, ignored);
  char chunk[8192];
  std::size_t after_stop = 0;
  for (;;) {
    auto ready = runtime::try_read_some(pipe, boost::asio::buffer(chunk));
    if (!ready.has_value() || (*ready && **ready == 0)) co_return;
    if (*ready) {
      tail->push(std::string_view(chunk, **ready));
      if (stop.is_cancelled() && (after_stop += **ready) >= runtime::pipe_drain_limit) co_return;
      continue;
    }
    if (stop.is_cancelled()) co_return;
    co_await runtime::select_first(stop.cancelled(), runtime::wait_readable(pipe));
  }
}

boost::asio::awaitable<void> read_and_report(runtime::Pipe pipe, std::shared_ptr<TailBuffer> tail,
                                             runtime::CancellationToken stop,
                                             std::shared_ptr<Latch<bool>> done) {
  // The run waits for this report, so it is made however the reader ended.
  struct Report {
    std::shared_ptr<Latch<bool>>& done;
    ~Report() { done->set(true); }
  } report{done};
  co_await read_stderr_tail(std::move(pipe), std::move(tail), std::move(stop));
}

}  // namespace

TailReader start_read_stderr_tail(const boost::asio::any_io_executor& executor, runtime::Pipe pipe,
                                  std::shared_ptr<TailBuffer> tail,
                                  runtime::CancellationToken stop) {
  TailReader reader;
  reader.stop_ = std::move(stop);
  boost::asio::co_spawn(
      executor, read_and_report(std::move(pipe), std::move(tail), reader.stop_, reader.done_),
      boost::asio::detached);
  return reader;
}

}  // namespace vantrel
