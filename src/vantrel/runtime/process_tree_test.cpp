// Tests of reading a process from /proc; the end of whole trees is tested with child processes
// (child_process_test) and with the watchdog (watchdog_test).
#include "vantrel/runtime/process_tree.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "vantrel/testing/scratch_dir.h"

extern char** environ;

namespace vantrel::runtime {
namespace {

TEST(ProcessStat, ReadsParentGroupStateAndStartTimeWhateverTheName) {
  // The command name may hold spaces and parentheses; the fields after it are still read.
  testing::ScratchDir scratch;
  const std::string odd = scratch.path() + "/a) (b c";
  std::filesystem::create_symlink("/bin/sleep", odd);
  pid_t child;
  const char* argv[] = {odd.c_str(), "600", nullptr};
  ASSERT_EQ(::posix_spawn(&child, odd.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ),
            0);
  auto stat = process_stat(child);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ASSERT_TRUE(stat.has_value());
  EXPECT_EQ(stat->pid, child);
  EXPECT_EQ(stat->parent, ::getpid());
  EXPECT_EQ(stat->group, ::getpgrp());
  auto self = process_stat(::getpid());
  ASSERT_TRUE(self.has_value());
  EXPECT_GE(stat->start_time, self->start_time) << "started after its parent";
  EXPECT_EQ(self->state, 'R');
  EXPECT_EQ(self->parent, ::getppid());
  EXPECT_EQ(process_stat(::getpid())->start_time, self->start_time) << "one process, one start";
  EXPECT_FALSE(process_stat(child).has_value()) << "a reaped process is gone";
}

}  // namespace
}  // namespace vantrel::runtime
