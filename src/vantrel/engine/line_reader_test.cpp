// Tests of the line reader's pipe: a writer that keeps it full gets a larger one.
#include "vantrel/engine/line_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "vantrel/runtime/owned_fds.h"
#include "vantrel/runtime/runtime.h"
#include "vantrel/runtime/syscall.h"

namespace vantrel {
namespace {

// Writes 100-byte lines into the pipe until it is full or holds `limit` bytes more; the bytes
// written.
std::size_t write_lines(int fd, std::size_t limit) {
  const std::string line = std::string(99, 'x') + "\n";
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::size_t written = 0;
  while (written < limit) {
    ssize_t n = ::write(fd, line.data(), line.size());
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  return written;
}

// The capacity of a pipe after eight reads, its writer filling it before each read or writing a
// few lines only once.
std::size_t capacity_after_reads(bool keep_full) {
  auto ends = runtime::sys::make_pipe();
  EXPECT_TRUE(ends.has_value());
  const int write_fd = ends->write.get();
  runtime::Pipe read_end(runtime::shared_runtime().executor(), ends->read.release());
  LineReader reader(std::move(read_end), 1 << 20);
  EXPECT_GT(write_lines(write_fd, 1000), 0u);
  for (int read = 0; read < 8; ++read) {
    if (keep_full && read > 0) write_lines(write_fd, std::size_t(-1));
    EXPECT_TRUE(runtime::block_on(reader.fill()));
    while (reader.next().kind == LineReader::Item::Line) {
    }
    if (!keep_full) break;
  }
  return runtime::sys::pipe_capacity(write_fd);
}

TEST(LineReader, APipeKeptFullGrowsAndOthersDoNot) {
  const std::size_t usual = capacity_after_reads(false);
  if (usual == 0) GTEST_SKIP() << "the system does not tell a pipe's capacity";
  EXPECT_EQ(usual, 64u * 1024) << "a slow writer's pipe keeps the system's size";
  EXPECT_EQ(capacity_after_reads(true), 1024u * 1024) << "a writer that fills it gets more";
}

}  // namespace
}  // namespace vantrel
