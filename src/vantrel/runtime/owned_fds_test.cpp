// Tests of the record of the runtime's descriptors.
#include "vantrel/runtime/owned_fds.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

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

TEST(OwnedFds, AForkAmidDescriptorWorkOnOtherThreadsLeavesTheChildNoneOfThem) {
  shared_runtime();  // a live runtime, as in a host that runs agents
  auto kept = sys::make_pipe();
  ASSERT_TRUE(kept.has_value());
  std::atomic<bool> stop = false;
  std::vector<std::thread> workers;
  for (int i = 0; i < 4; ++i)
    workers.emplace_back([&] {
      while (!stop) (void)sys::make_pipe();  // made and closed at once
    });
  for (int i = 0; i < 20; ++i) {
    pid_t pid = ::fork();
    if (pid == 0) {
      // Only system calls in the child of a threaded process.
      bool closed = ::fcntl(kept->read.get(), F_GETFD) == -1 && errno == EBADF;
      ::_exit(closed ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0) << "a recorded descriptor stayed open in the child";
  }
  stop = true;
  for (auto& worker : workers) worker.join();
}

}  // namespace
}  // namespace vantrel::runtime
