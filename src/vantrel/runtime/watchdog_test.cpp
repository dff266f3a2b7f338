// Tests of the watchdog: a host killed outright still takes its agents' trees and its files with
// it.
#include "vantrel/runtime/watchdog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>

#include "vantrel/runtime/child_process.h"
#include "vantrel/testing/resources.h"
#include "vantrel/testing/scratch_dir.h"
#include "vantrel/testing/tree_record.h"

namespace vantrel::runtime {
namespace {

using testing::eventually;

// A host that starts the tree launcher, tells its watchdog of the agent and of `file`, and
// waits to be killed. Run in a child of the test, which then kills it.
[[noreturn]] void be_a_host(const std::string& record, const std::string& file) {
  int null = ::open("/dev/null", O_RDWR);
  auto agent = start_program(VANTREL_FAKE_TREE_LAUNCHER, {"tree_launcher.sh"},
                             inherited_environment_with({{"VANTREL_FAKE_SCRIPT", "sleep 600000"},
                                                         {"VANTREL_FAKE_RECORD", record}}),
                             {null, null, null}, {});
  if (!agent.has_value()) ::_exit(1);
  watch_agent(*agent);
  watch_file(file);
  std::ofstream(file) << "x";
  for (;;) ::pause();
}

TEST(Watchdog, AKilledHostTakesItsAgentsTreesAndFilesWithIt) {
  for (int signal : {SIGKILL, SIGTERM}) {
    SCOPED_TRACE(signal);
    testing::ScratchDir scratch;
    const std::string record = scratch.path() + "/record", file = scratch.path() + "/temp";
    testing::RecordedTreeKiller cleanup(record);
    pid_t host = ::fork();
    ASSERT_GE(host, 0);
    if (host == 0) be_a_host(record, file);
    ASSERT_TRUE(
        eventually([&] { return testing::tree_is_up(record) && std::filesystem::exists(file); }));
    ::kill(host, signal);
    ASSERT_EQ(::waitpid(host, nullptr, 0), host);
    EXPECT_TRUE(eventually([&] { return testing::tree_has_ended(record); }))
        << testing::still_running(record);
    EXPECT_TRUE(eventually([&] { return !std::filesystem::exists(file); }));
  }
}

}  // namespace
}  // namespace vantrel::runtime
