// Tests of the record of the runtime's descriptors.
#include "vantrel/runtime/owned_fds.h"

#include <gtest/gtest.h>

#include "vantrel/runtime/runtime.h"
#include "vantrel/runtime/syscall.h"

namespace vantrel::runtime {
namespace {

TEST(OwnedFds, PipeEndsAndProcessDescriptorsAreRecordedUntilClosed) {
  auto ends = sys::make_pipe();
  ASSERT_TRUE(ends.has_value());
  int read = ends->read.get(), write = ends->write.get();
  EXPECT_TRUE(is_owned_fd(read));
  EXPECT_TRUE(is_owned_fd(write));
  ends->write.reset();
  EXPECT_FALSE(is_owned_fd(write));

  auto process = sys::pidfd_open(getpid());
  ASSERT_TRUE(process.has_value());
  EXPECT_TRUE(is_owned_fd(process->get()));
  process->reset();
}

TEST(OwnedFds, APipeKeepsTheRecordThroughMovesAndDropsItWhenClosed) {
  boost::asio::io_context context;
  auto ends = sys::make_pipe();
  ASSERT_TRUE(ends.has_value());
  int read = ends->read.release(), write = ends->write.release();
  {
    Pipe first(context, read);
    Pipe second(std::move(first));
    EXPECT_TRUE(is_owned_fd(read));
    Pipe third(context, write);
    third = std::move(second);  // the write end is closed here
    EXPECT_FALSE(is_owned_fd(write));
    EXPECT_TRUE(is_owned_fd(read));
    third.close();
    EXPECT_FALSE(is_owned_fd(read));
  }
}

TEST(OwnedFds, ARuntimeRecordsItsReactorUntilDestroyed) {
  std::vector<int> recorded;
  {
    Runtime runtime(1);
    for (int fd = 3; fd < 1024; ++fd)
      if (is_owned_fd(fd)) recorded.push_back(fd);
    // The epoll set, the timer and the interrupter.
    EXPECT_GE(recorded.size(), 3u);
  }
  for (int fd : recorded) EXPECT_FALSE(is_owned_fd(fd)) << fd;
}

}  // namespace
}  // namespace vantrel::runtime
