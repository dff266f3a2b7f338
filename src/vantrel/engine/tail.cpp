// The standard-error tail and the pipe reader.
#include "vantrel/engine/tail.h"

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

PipeReader::PipeReader(runtime::Pipe pipe) : pipe_(std::move(pipe)) {
  boost::system::error_code ignored;
  // Reads are tried at once, and waited for only when the pipe is empty.
  pipe_.non_blocking(true, ignored);
}

void PipeReader::stop() {
  stopped_ = true;
  runtime::stop_waits(pipe_);
}

runtime::Result<void> PipeReader::closed(runtime::Result<void> read) {
  pipe_.close();
  return read;
}

}  // namespace vantrel
