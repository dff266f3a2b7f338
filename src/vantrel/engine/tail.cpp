// The standard-error tail and its reader task.
#include "vantrel/engine/tail.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "vantrel/json/utf8.h"

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

namespace {

boost::asio::awaitable<void> read_stderr_tail(runtime::Pipe pipe,
                                              std::shared_ptr<TailBuffer> tail) {
  // A failed read ends the tail like the end of the pipe: what was read is kept.
  (void)co_await runtime::read_chunks(pipe, [&](std::string_view chunk) { tail->push(chunk); });
}

boost::asio::awaitable<void> read_and_report(runtime::Pipe pipe, std::shared_ptr<TailBuffer> tail,
                                             std::shared_ptr<Latch<bool>> done) {
  // The run waits for this report, so it is made however the reader ended.
  struct Report {
    std::shared_ptr<Latch<bool>>& done;
    ~Report() { done->set(true); }
  } report{done};
  co_await read_stderr_tail(std::move(pipe), std::move(tail));
}

}  // namespace

TailReader start_read_stderr_tail(const boost::asio::any_io_executor& executor, runtime::Pipe pipe,
                                  std::shared_ptr<TailBuffer> tail) {
  TailReader reader;
  boost::asio::co_spawn(executor, read_and_report(std::move(pipe), std::move(tail), reader.done_),
                        boost::asio::detached);
  return reader;
}

}  // namespace vantrel
