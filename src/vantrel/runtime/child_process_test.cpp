// Tests of the child-process layer: spawning, the child's streams, signals and environment,
// exit statuses, and reaping without touching the host's other children.
#include "vantrel/runtime/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "vantrel/runtime/runtime.h"
#include "vantrel/testing/resources.h"
#include "vantrel/testing/scratch_dir.h"
#include "vantrel/testing/tree_record.h"

extern char** environ;

namespace vantrel::runtime {
namespace {

// This process's environment with `overrides` on top.
std::vector<EnvVar> inherited_with(const std::vector<EnvVar>& overrides) {
  return environment_with(*this_process_environment(), overrides);
}

using boost::asio::awaitable;
using testing::child_processes;
using testing::eventually;

Result<Child> start(Command command) {
  if (command.env.empty()) command.env = inherited_with({});
  return spawn(shared_runtime().executor(), command);
}

Child started(Command command) {
  auto child = start(std::move(command));
  if (!child.has_value()) throw std::runtime_error("spawn failed: " + child.error());
  return std::move(child).value();
}

awaitable<std::string> read_to_end(Pipe& pipe) {
  std::string text;
  char chunk[8192];
  for (;;) {
    auto n = co_await read_some(pipe, boost::asio::buffer(chunk));
    if (!n.has_value() || !*n || **n == 0) co_return text;
    text.append(chunk, **n);
  }
}

// The child's standard output, then its exit status.
std::pair<std::string, ExitStatus> finish(Child& child) {
  std::string out = block_on(read_to_end(child.stdout_pipe));
  auto status = block_on(child.process.wait());
  if (!status.has_value()) throw std::runtime_error("wait failed: " + status.error());
  return {out, *status};
}

// The pipe's bytes up to its first newline, read byte by byte so that nothing beyond is waited for.
std::string first_line(Pipe& pipe) {
  std::string line;
  for (char c;;) {
    auto n = block_on(read_some(pipe, boost::asio::buffer(&c, 1)));
    if (!n.has_value() || !*n || **n == 0 || c == '\n') return line;
    line += c;
  }
}

Command shell(const std::string& script) { return Command{"/bin/sh", {"-c", script}, {}, {}}; }

// True while `pid` names a process, a zombie included.
bool exists(pid_t pid) { return std::filesystem::exists("/proc/" + std::to_string(pid)); }

std::set<std::string> descriptors_of(pid_t pid) {
  std::set<std::string> names;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
    names.insert(entry.path().filename());
  return names;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string status_line(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(key + ":")) return line.substr(key.size() + 1);
  return "";
}

// A signal set of /proc/PID/status ("SigIgn", "SigBlk"): bit N-1 is signal N.
std::uint64_t signal_set(pid_t pid, const std::string& key) {
  return std::stoull(status_line(pid, key), nullptr, 16);
}
constexpr std::uint64_t standard_signals = 0x7fffffff;  // signals 1 to 31

void make_file(const std::string& path, const std::string& text, mode_t mode) {
  std::ofstream(path) << text;
  ::chmod(path.c_str(), mode);
}

TEST(Spawn, FindsTheProgramOnThePathOfItsEnvironment) {
  testing::ScratchDir dir;
  std::filesystem::create_directory(dir.path() + "/a");
  std::filesystem::create_directory(dir.path() + "/b");
  std::filesystem::create_directories(dir.path() + "/c/vantrel-prog");
  make_file(dir.path() + "/a/vantrel-prog", "#!/bin/sh\necho a\n", 0644);
  make_file(dir.path() + "/b/vantrel-prog", "#!/bin/sh\necho b\n", 0755);
  struct Case {
    std::string name;
    std::string program;
    std::string path;
    std::string result;  // the child's output, or the failure text
  };
  const std::string a = dir.path() + "/a", b = dir.path() + "/b", c = dir.path() + "/c";
  const Case cases[] = {
      {"the first executable file wins", "vantrel-prog", c + ":" + a + ":" + b, "b\n"},
      {"only files that may not run", "vantrel-prog", a, "Permission denied (os error 13)"},
      {"not on the path", "vantrel-prog", "/nonexistent:" + c,
       "No such file or directory (os error 2)"},
      {"a slash takes the program as given", b + "/vantrel-prog", a, "b\n"},
      {"a relative path is not searched", "./vantrel-prog", b,
       "No such file or directory (os error 2)"},
      {"an empty name", "", b, "No such file or directory (os error 2)"},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    auto child = start(Command{t.program, {}, inherited_with({{"PATH", t.path}}), {}});
    if (!child.has_value()) {
      EXPECT_EQ(child.error(), t.result);
      continue;
    }
    EXPECT_EQ(finish(*child).first, t.result);
  }
}

TEST(Spawn, RefusesWhatCannotStartWithTheSystemsText) {
  testing::ScratchDir dir;
  const std::string nul("x\0y", 3);
  struct Case {
    std::string name;
    Command command;
    std::optional<sys::Call> injected = std::nullopt;
    int error = 0;
    std::string text;
  };
  const Case cases[] = {
      {"a NUL in the program",
       {"/bin/s" + nul, {}, {}, {}},
       {},
       0,
       "nul byte found in provided data"},
      {"a NUL in an argument",
       {"/bin/sh", {"-c", nul}, {}, {}},
       {},
       0,
       "nul byte found in provided data"},
      {"a NUL in a name",
       {"/bin/sh", {}, {{nul, "v"}}, {}},
       {},
       0,
       "nul byte found in provided data"},
      {"a NUL in a value",
       {"/bin/sh", {}, {{"N", nul}}, {}},
       {},
       0,
       "nul byte found in provided data"},
      {"a NUL in the directory",
       {"/bin/sh", {}, {}, nul},
       {},
       0,
       "nul byte found in provided data"},
      {"a missing directory",
       {"/bin/sh", {}, {}, dir.path() + "/missing"},
       {},
       0,
       "No such file or directory (os error 2)"},
      {"a directory as program",
       {dir.path(), {}, {}, {}},
       {},
       0,
       "Permission denied (os error 13)"},
      {"no pipe", shell("exit 0"), sys::Call::pipe, EMFILE, "Too many open files (os error 24)"},
      {"no spawn", shell("exit 0"), sys::Call::spawn, EAGAIN,
       "Resource temporarily unavailable (os error 11)"},
      {"no process descriptor", shell("sleep 60"), sys::Call::pidfd_open, ENOMEM,
       "Cannot allocate memory (os error 12)"},
  };
  std::size_t children = child_processes();
  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    if (t.injected) sys::fail_next(*t.injected, t.error);
    auto child = spawn(shared_runtime().executor(), t.command);
    ASSERT_FALSE(child.has_value());
    EXPECT_EQ(child.error(), t.text);
  }
  EXPECT_EQ(child_processes(), children) << "the child without a process descriptor was reaped";
}

TEST(Spawn, TheChildGetsItsThreeStreamsItsGroupTheHostsSignalsAndItsEnvironment) {
  // A host that ignores SIGPIPE and SIGXFSZ (as Python does) and SIGHUP (as under nohup), blocks
  // a signal and leaves a descriptor open across exec.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  const int ignored[] = {SIGPIPE, SIGXFSZ, SIGHUP};
  struct sigaction saved_actions[3];
  for (int i = 0; i < 3; ++i) ::sigaction(ignored[i], &ignore, &saved_actions[i]);
  sigset_t usr1, saved_mask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &usr1, &saved_mask);
  int leaked = ::open("/dev/null", O_RDONLY);

  testing::ScratchDir dir;
  Child child = started(Command{"sleep", {"60"}, inherited_with({}), dir.path()});
  pid_t pid = child.process.id();

  ::close(leaked);
  ::pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
  for (int i = 0; i < 3; ++i) ::sigaction(ignored[i], &saved_actions[i], nullptr);

  // The child's own start-up opens and closes files (its locale): it is looked at once asleep.
  EXPECT_TRUE(eventually([&] {
    return status_line(pid, "State").find("sleeping") != std::string::npos &&
           read_file("/proc/" + std::to_string(pid) + "/wchan").find("nanosleep") !=
               std::string::npos;
  }));
  EXPECT_EQ(descriptors_of(pid), (std::set<std::string>{"0", "1", "2"}));
  // As `subprocess` leaves them: of the standard signals only SIGHUP stays ignored, SIGPIPE and
  // SIGXFSZ are back at their defaults, and none is blocked. (glibc's spawn leaves its two
  // internal signals, 32 and 33, ignored; the child's own libc takes them over.)
  EXPECT_EQ(signal_set(pid, "SigIgn") & standard_signals, 1u << (SIGHUP - 1))
      << status_line(pid, "SigIgn");
  EXPECT_EQ(signal_set(pid, "SigBlk"), 0u) << status_line(pid, "SigBlk");
  EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd"), dir.path());
  // The leader of a process group of its own, in this process's session.
  EXPECT_EQ(::getpgid(pid), pid);
  EXPECT_EQ(::getsid(pid), ::getsid(0));
  // The parent's ends are close-on-exec, so no other child started meanwhile inherits them.
  for (Pipe* pipe : {&child.stdin_pipe, &child.stdout_pipe, &child.stderr_pipe})
    EXPECT_TRUE(::fcntl(pipe->native_handle(), F_GETFD) & FD_CLOEXEC);
}

TEST(Environment, OverridesSetOnTopOfTheInheritedOnesAndALaterPairWins) {
  // Only names of this test's own, so that variables the developer set do not count.
  testing::EnvGuard inherited_guard("VANTREL_ENVTEST_INHERITED"), new_guard("VANTREL_ENVTEST_NEW");
  ::setenv("VANTREL_ENVTEST_INHERITED", "inherited", 1);
  ::unsetenv("VANTREL_ENVTEST_NEW");
  auto env = inherited_with({{"VANTREL_ENVTEST_NEW", "1"},
                             {"VANTREL_ENVTEST_INHERITED", "runner"},
                             {"VANTREL_ENVTEST_NEW", "2"}});
  std::vector<EnvVar> ours;
  for (const auto& var : env)
    if (var.first.starts_with("VANTREL_ENVTEST_")) ours.push_back(var);
  EXPECT_EQ(ours, (std::vector<EnvVar>{{"VANTREL_ENVTEST_INHERITED", "runner"},
                                       {"VANTREL_ENVTEST_NEW", "2"}}));
  std::size_t inherited = 0;
  for (char** entry = environ; *entry != nullptr; ++entry) ++inherited;
  EXPECT_EQ(env.size(), inherited + 1) << "nothing removed, one name added";

  Child child = started(
      Command{"/bin/sh", {"-c", "echo $VANTREL_ENVTEST_INHERITED $VANTREL_ENVTEST_NEW"}, env, {}});
  EXPECT_EQ(finish(child).first, "runner 2\n");
}

TEST(ChildProcess, ReportsTheExitCodeOrMinusOneForASignal) {
  struct Case {
    std::string script;
    int code;
    bool success;
  };
  for (const Case& c :
       {Case{"exit 0", 0, true}, Case{"exit 3", 3, false}, Case{"exit 255", 255, false},
        Case{"kill -TERM $$", -1, false}, Case{"kill -KILL $$", -1, false}}) {
    SCOPED_TRACE(c.script);
    Child child = started(shell(c.script));
    ExitStatus status = finish(child).second;
    EXPECT_EQ(status.code(), c.code);
    EXPECT_EQ(status.success(), c.success);
    // Collected once, the status is kept, and a kill no longer reaches anything.
    child.process.kill();
    auto again = block_on(child.process.wait());
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->raw, status.raw);
  }
}

TEST(ChildProcess, AKilledChildEndsBySignal) {
  Child child = started(shell("sleep 60"));
  child.process.kill();
  auto status = block_on(child.process.wait());
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFSIGNALED(status->raw));
  EXPECT_EQ(WTERMSIG(status->raw), SIGKILL);
  EXPECT_EQ(status->code(), -1);
}

TEST(ChildProcess, ADroppedChildIsKilledAndReaped) {
  pid_t pid;
  {
    Child child = started(shell("sleep 60"));
    pid = child.process.id();
    EXPECT_TRUE(exists(pid));
  }
  EXPECT_TRUE(eventually([&] { return !exists(pid); })) << "the dropped child is gone, no zombie";
}

TEST(ChildProcess, ReapsOnlyItsOwnChild) {
  // A child of the host, started and reaped by the host itself.
  pid_t other;
  const char* argv[] = {"/bin/sh", "-c", "exit 7", nullptr};
  ASSERT_EQ(::posix_spawn(&other, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ),
            0);
  Child ours = started(shell("exit 0"));
  EXPECT_TRUE(finish(ours).second.success());
  { Child dropped = started(shell("sleep 60")); }
  int status = 0;
  ASSERT_EQ(::waitpid(other, &status, 0), other) << "the host's child was left to the host";
  EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST(ChildProcess, AKillOrADropReachesTheWholeGroup) {
  // The shell leaves a process behind in its group and tells its pid; with "wait" the shell
  // runs on, without it the shell exits and only the process it left behind holds the group.
  enum class End { kill, kill_after_exit, drop };
  for (End end : {End::kill, End::kill_after_exit, End::drop}) {
    SCOPED_TRACE(static_cast<int>(end));
    std::optional<Child> child = started(
        shell(std::string("sleep 60 & echo $!") + (end == End::kill_after_exit ? "" : "; wait")));
    const pid_t group = child->process.id();
    const pid_t left_behind = std::stoi(first_line(child->stdout_pipe));
    ASSERT_EQ(::getpgid(left_behind), group);
    if (end == End::kill_after_exit) {
      EXPECT_TRUE(block_on(child->process.wait())->success());
      EXPECT_TRUE(testing::is_running(left_behind)) << "the exited shell's group lives on";
    }
    if (end == End::drop)
      child.reset();
    else
      child->process.kill();
    EXPECT_TRUE(eventually([&] { return testing::live_group_members(group) == 0; }));
  }
}

TEST(ChildProcess, AKillOrADropReachesEveryProcessOfTheTree) {
  // A process of the host's own, outside the tree, that must be left alone.
  pid_t bystander;
  const char* argv[] = {"/bin/sleep", "600", nullptr};
  ASSERT_EQ(::posix_spawn(&bystander, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ),
            0);
  for (bool drop : {false, true}) {
    SCOPED_TRACE(drop ? "drop" : "kill");
    testing::ScratchDir scratch;
    const std::string record = scratch.path() + "/record";
    testing::RecordedTreeKiller cleanup(record);
    std::optional<Child> child = started(Command{
        VANTREL_FAKE_TREE_LAUNCHER,
        {},
        inherited_with({{"VANTREL_FAKE_SCRIPT", "sleep 600000"}, {"VANTREL_FAKE_RECORD", record}}),
        {}});
    ASSERT_TRUE(eventually([&] { return testing::tree_is_up(record); }));
    auto tree = testing::recorded_tree(record);
    const pid_t launcher = tree.find("launcher")->second;
    EXPECT_NE(::getsid(tree.find("session")->second), ::getsid(launcher));
    EXPECT_NE(::getpgid(tree.find("group")->second), launcher);
    if (drop)
      child.reset();
    else
      child->process.kill();
    EXPECT_TRUE(eventually([&] { return testing::tree_has_ended(record); }))
        << testing::still_running(record);
    EXPECT_TRUE(testing::is_running(bystander));
  }
  ::kill(bystander, SIGKILL);
  ::waitpid(bystander, nullptr, 0);
}

TEST(ChildProcess, AHostThatIgnoresSigchldGetsStatusZero) {
  // The kernel then reaps the child itself, and its status is lost: it reads as 0, as
  // `subprocess` has it.
  struct sigaction ignore {
  }, saved{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGCHLD, &ignore, &saved);
  Child child = started(shell("exit 3"));
  auto status = block_on(child.process.wait());
  ::sigaction(SIGCHLD, &saved, nullptr);
  ASSERT_TRUE(status.has_value()) << status.error();
  EXPECT_TRUE(status->success());
  EXPECT_EQ(status->code(), 0);
}

TEST(Pipes, WritingToAChildThatStoppedReadingFailsWithBrokenPipe) {
  Child child = started(shell("exec 0<&-; exit 0"));
  ASSERT_TRUE(finish(child).second.success());
  std::string bytes(1 << 20, 'x');
  auto written = block_on(write_all(child.stdin_pipe, boost::asio::buffer(bytes)));
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error(), "Broken pipe (os error 32)");
}

}  // namespace
}  // namespace vantrel::runtime
