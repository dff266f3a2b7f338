// The one seam through which the runtime calls the system: EINTR retried, errno made into text.
#pragma once

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vantrel/support/io_error.h"
#include "vantrel/support/result.h"

namespace vantrel::runtime {

// Expected failures of the runtime (a program that cannot be started, a failed read) come back
// as the failure's text.
template <class T>
using Result = vantrel::Result<T, std::string>;

// "<description> (os error N)": how an operating-system failure reads to users.
inline std::string os_error_text(int error) { return os_error(error).text; }

// An owned file descriptor, closed when dropped. One the runtime recorded as its own (see
// owned_fds.h) is forgotten as it is closed.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  // Gives up ownership without closing.
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

namespace sys {

// The calls a test can make fail, to reach the error paths that a healthy system never takes.
enum class Call { pipe, pidfd_open, spawn, waitpid };

// Makes the next `call` made on this thread fail with `error` (tests only).
void fail_next(Call call, int error);

// True (with the error set in errno) when a test asked `call` to fail now.
bool injected_failure(Call call);

// The end that reads and the end that writes of a new pipe; both close-on-exec and both above
// the standard streams, so that moving them onto 0, 1 and 2 in a child never overwrites one.
struct PipeEnds {
  UniqueFd read;
  UniqueFd write;
};
Result<PipeEnds> make_pipe();

// The two ends of a new socket pair that keeps its messages apart (SOCK_SEQPACKET), made and
// recorded as make_pipe's ends are.
struct SocketEnds {
  UniqueFd ours;
  UniqueFd theirs;
};
Result<SocketEnds> make_socket_pair();

// A descriptor that refers to the process `pid` (close-on-exec), for waiting on its exit; none
// (an empty UniqueFd) when the process is gone already, reaped by the kernel (the host ignores
// SIGCHLD). Recorded as the runtime's, as are both ends of make_pipe and every duplicate.
Result<UniqueFd> pidfd_open(int pid);

// Sends `signal` to the process behind `pidfd`; a reused pid is never hit. Failures ignored.
void pidfd_signal(int pidfd, int signal);

// Sends `signal` to the process `pid`: only for one that could not be given a descriptor, just
// confirmed to be the one meant. Failures ignored.
void process_signal(int pid, int signal);

// Sends `signal` to every process of the group `pgid`. Failures ignored. The caller makes sure
// the number is still its own: a group id stays taken while its leader is unreaped.
void group_signal(int pgid, int signal);

// What the system tells of the child `pid` (that pid only) without waiting or reaping it.
struct ExitState {
  // False while it runs. A process descriptor may read as readable before its process exits (a
  // stale readiness of a closed descriptor that had the same number), so this is what counts.
  bool exited = false;
  // Once exited, its raw wait status; none when the kernel reaped it already (the host ignores
  // SIGCHLD).
  std::optional<int> raw;
};
Result<ExitState> exit_state_of(int pid);

// The capacity of the pipe behind `fd`, 0 when the system does not tell.
std::size_t pipe_capacity(int fd);
// Asks for the pipe behind `fd` to hold `size` bytes; the system may refuse (limits on pipe
// memory), which leaves the pipe as it was.
void grow_pipe(int fd, std::size_t size);

// The first bytes of the file at `path`, up to `size` of them, read into `buffer`: their count, 0
// when the file cannot be read (as a process's /proc files once it is gone).
std::size_t read_head(const char* path, char* buffer, std::size_t size);

// The entries of the directory at `path` that are named by a number, as numbers, in the order
// read: the processes in /proc, the descriptors in /proc/self/fd (the one reading it among them).
// Empty when the directory cannot be read.
std::vector<int> numeric_entries(const char* path);

// The ids of the processes /proc lists now (not their threads).
std::vector<int> process_ids();

// Reaps the exited child `pid` (that pid only) and returns its raw wait status.
Result<int> wait_for(int pid);

// A second descriptor of the open file `fd`, close-on-exec and above the standard streams.
Result<UniqueFd> duplicate(int fd);

}  // namespace sys
}  // namespace vantrel::runtime
