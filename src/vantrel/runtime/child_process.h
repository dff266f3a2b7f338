// Child processes with all three standard streams piped, each owned by an RAII handle.
#pragma once

#include <sys/types.h>

#include <array>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/buffer.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vantrel/runtime/owned_fds.h"
#include "vantrel/runtime/syscall.h"

namespace vantrel::runtime {

// One environment variable: name and value.
using EnvVar = std::pair<std::string, std::string>;

// A copy of this process's environment as it was at a moment, shared read-only by the work that
// starts from it.
using InheritedEnvironment = std::shared_ptr<const std::vector<EnvVar>>;

// This process's environment as it is now. The host's threads change it (setenv, unsetenv) under
// a lock of the host's own, such as Python's interpreter lock, which no runtime worker holds: so
// the host reads it on its own thread, holding that lock, and hands the copy to what it starts.
InheritedEnvironment this_process_environment();

// `base` with `overrides` set on top in their order, so for one name a later pair wins. The
// variables of `base` keep their order; new names follow in order of first use.
std::vector<EnvVar> environment_with(const std::vector<EnvVar>& base,
                                     const std::vector<EnvVar>& overrides);

// What to start.
struct Command {
  // Searched on the PATH of `env` unless it holds a slash; also the child's argv[0].
  std::string program;
  // The arguments after argv[0].
  std::vector<std::string> args;
  // The child's whole environment (see environment_with).
  std::vector<EnvVar> env;
  // The child's working directory; the parent's when absent.
  std::optional<std::string> cwd;
};

// How a child ended.
struct ExitStatus {
  // As waitpid reports it.
  int raw = 0;
  // The exit code, or -1 when a signal ended the child.
  int code() const;
  bool success() const { return raw == 0; }
};

// How long the standard output and error of an exited child get to reach their end. A process
// the child left behind may hold them open for as long as it lives, and nobody waits on that.
inline constexpr std::chrono::milliseconds pipe_grace{1000};

// The most that is still taken from a pipe once its reading was stopped, or in one look at it
// without waiting: no pipe holds more (the system's largest pipe size), so what it held is read
// whole, while a writer that goes on writing cannot keep the reading going.
inline constexpr std::size_t pipe_drain_limit = 1 << 20;

// A running or ended child of this process, the leader of its own process group, reaped through
// a process descriptor (never by waitpid(-1), never on SIGCHLD). Owned by one coroutine at a
// time: not thread-safe.
//
// Its exit is waited for once, through its one process descriptor, and its status collected
// without reaping it, so that the group id stays the child's and a kill still reaches what is
// left of the group; it is reaped on `release` or when dropped. Dropped before its exit status
// was collected, it kills its tree and leaves a detached coroutine on the runtime that reaps
// the child, so no zombie stays behind.
class ChildProcess {
 public:
  // Without an open `process_fd`, a child that is gone already, its `status` known.
  ChildProcess(pid_t pid, Pipe process_fd, std::optional<ExitStatus> status = std::nullopt)
      : pid_(pid), process_fd_(std::move(process_fd)), status_(status) {}
  ChildProcess(ChildProcess&& other) noexcept = default;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ~ChildProcess();

  pid_t id() const { return pid_; }
  // Kills the child's whole process tree until the child is reaped: the child, every process of
  // its group and every descendant of theirs, whatever their session or group (see
  // kill_process_tree), so a launcher, the agent it started, their helpers and their tools all
  // stop. Once the child has exited, what it left in its group and their descendants. A failure
  // is ignored.
  void kill();
  // Waits for the child to end and collects its status; once collected, the status is returned
  // at once. When the kernel reaped the child itself (the host ignores SIGCHLD) the status reads
  // as 0, as `subprocess` has it; a kill reaches nothing after that. A wait stopped through
  // the caller's cancellation slot fails with the text of ECANCELED.
  boost::asio::awaitable<Result<ExitStatus>> wait();
  // Reaps the child once its status is collected; a kill reaches nothing after this.
  void release();
  // The collected exit status, if any.
  const std::optional<ExitStatus>& exit_status() const { return status_; }

 private:
  pid_t pid_;
  // Open while the child is unreaped and its ids are still its own.
  Pipe process_fd_;
  std::optional<ExitStatus> status_;
};

// A started child and the parent's ends of its standard streams.
struct Child {
  ChildProcess process;
  Pipe stdin_pipe;
  Pipe stdout_pipe;
  Pipe stderr_pipe;
};

// Starts `command` with standard input, output and error piped, as the leader of a new process
// group in this session, and no descriptor but 0, 1 and 2, and tells the host's watchdog of it
// (see watchdog.h), which ends its tree should this process end first. Its signals are as
// `subprocess` leaves them: none blocked, SIGPIPE and SIGXFSZ at their defaults, every other signal
// this process ignores still ignored (a handled one is reset by exec). Its pipes and process
// descriptor are bound to `executor`. A failure comes back as its text: "nul byte found in provided
// data" when the program, an argument, an environment name or value or the directory holds a NUL
// byte, else the system's "<description> (os error N)" (program not found or not executable,
// directory missing, out of descriptors).
Result<Child> spawn(const boost::asio::any_io_executor& executor, const Command& command);

// Starts the program at `path` (no search) with `args` as its whole argv, `env` as its whole
// environment, `streams` moved onto its descriptors 0, 1 and 2, and the group, signals and
// descriptors `spawn` gives a child: its pid, or the system's failure text. The caller reaps it.
Result<pid_t> start_program(const std::string& path, std::vector<std::string> args,
                            const std::vector<EnvVar>& env, const std::array<int, 3>& streams,
                            const std::optional<std::string>& cwd);

// The waits below end early when stopped: through the caller's cancellation slot, or by a
// cancel of the pipe's operations on the executor that runs them. A stop is an expected end, so
// it comes back as a value (none, or false), never as an exception or a failure.

// Reads what the pipe offers into `buffer`: the byte count, 0 at end of file, none when
// stopped, or the failure text.
boost::asio::awaitable<Result<std::optional<std::size_t>>> read_some(
    Pipe& pipe, boost::asio::mutable_buffer buffer);

// Completes once `pipe` (or a process descriptor) is readable: true, false when stopped, or the
// failure text.
boost::asio::awaitable<Result<bool>> wait_readable(Pipe& pipe);

// Reads what the pipe holds now into `buffer`, without waiting: the byte count, 0 at end of
// file, none when nothing is there yet, or the failure text.
Result<std::optional<std::size_t>> try_read_some(Pipe& pipe, boost::asio::mutable_buffer buffer);

// Writes all of `bytes` (nothing for none): the byte count, none when stopped (some bytes may
// have been written), or the failure text ("Broken pipe (os error 32)" once the reader is gone).
boost::asio::awaitable<Result<std::optional<std::size_t>>> write_all(
    Pipe& pipe, boost::asio::const_buffer bytes);

// Stops the waits and reads under way on `pipe`; they end as stopped. On the executor that runs
// them (a run's strand); a closed pipe has nothing to stop.
void stop_waits(Pipe& pipe);

}  // namespace vantrel::runtime
