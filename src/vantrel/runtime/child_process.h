// Child processes with all three standard streams piped, each owned by an RAII handle.
#pragma once

#include <sys/types.h>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/buffer.hpp>
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

// The environment of this process with `overrides` set on top in their order, so for one name a
// later pair wins. Inherited variables keep their order; new names follow in order of first use.
std::vector<EnvVar> inherited_environment_with(const std::vector<EnvVar>& overrides);

// What to start.
struct Command {
  // Searched on the PATH of `env` unless it holds a slash; also the child's argv[0].
  std::string program;
  // The arguments after argv[0].
  std::vector<std::string> args;
  // The child's whole environment (see inherited_environment_with).
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

// A running or ended child of this process, reaped through a process descriptor (never by
// waitpid(-1), never on SIGCHLD). Owned by one coroutine at a time: not thread-safe.
//
// Dropped before its exit status was collected, it sends SIGKILL to the child and leaves a
// detached coroutine on the runtime that reaps it, so no zombie stays behind.
class ChildProcess {
 public:
  ChildProcess(pid_t pid, Pipe process_fd) : pid_(pid), process_fd_(std::move(process_fd)) {}
  ChildProcess(ChildProcess&& other) noexcept = default;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ~ChildProcess();

  pid_t id() const { return pid_; }
  // Sends SIGKILL to the child unless its exit status was collected. A failure is ignored.
  void kill();
  // Waits for the child to end and reaps it; once collected, the status is returned at once.
  boost::asio::awaitable<Result<ExitStatus>> wait();
  // The collected exit status, if any.
  const std::optional<ExitStatus>& exit_status() const { return status_; }

 private:
  pid_t pid_;
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

// Starts `command` with standard input, output and error piped, in this process group and
// session, every signal at its default disposition and none blocked, and no descriptor but
// 0, 1 and 2. Its pipes and process descriptor are bound to `executor`. A failure comes back as
// its text: "nul byte found in provided data" when the program, an argument, an environment
// name or value or the directory holds a NUL byte, else the system's "<description> (os error
// N)" (program not found or not executable, directory missing, out of descriptors).
Result<Child> spawn(const boost::asio::any_io_executor& executor, const Command& command);

// Reads what the pipe offers into `buffer`: the byte count, 0 at end of file, or the failure
// text. A cancellation through the caller's cancellation slot throws operation_aborted.
boost::asio::awaitable<Result<std::size_t>> read_some(Pipe& pipe,
                                                      boost::asio::mutable_buffer buffer);

// Reads what the pipe holds now into `buffer`, without waiting: the byte count, 0 at end of
// file, none when nothing is there yet, or the failure text.
Result<std::optional<std::size_t>> try_read_some(Pipe& pipe, boost::asio::mutable_buffer buffer);

// Writes all of `bytes` (nothing for none): the byte count or the failure text ("Broken pipe
// (os error 32)" once the reader is gone). Cancellation as for read_some.
boost::asio::awaitable<Result<std::size_t>> write_all(Pipe& pipe, boost::asio::const_buffer bytes);

// Reads `pipe` to its end in reads of at most 8192 bytes, handing each chunk to `on_chunk`
// (called with a std::string_view): nothing at end of file, or the text of the first failed
// read.
template <class OnChunk>
boost::asio::awaitable<Result<void>> read_chunks(Pipe& pipe, OnChunk on_chunk) {
  char chunk[8192];
  for (;;) {
    auto n = co_await read_some(pipe, boost::asio::buffer(chunk));
    if (!n.has_value()) co_return fail(std::move(n).error());
    if (*n == 0) co_return Result<void>{};
    on_chunk(std::string_view(chunk, *n));
  }
}

}  // namespace vantrel::runtime
