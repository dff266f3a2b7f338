// The system-call seam of the runtime.
#include "vantrel/runtime/syscall.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <cstring>
#include <memory>

#include "vantrel/runtime/owned_fds.h"

namespace vantrel::runtime {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) {
    auto held = hold_owned_fds();
    forget_owned_fd(fd_);
    // close() is not retried on EINTR: on Linux the descriptor is released either way.
    ::close(fd_);
  }
  fd_ = fd;
}

namespace sys {
namespace {

struct Injection {
  std::optional<Call> call;
  int error = 0;
};
thread_local Injection injection;

// Moves `fd` above the standard streams when the process runs with one of them closed.
Result<UniqueFd> above_standard_streams(UniqueFd fd) {
  if (fd.get() > STDERR_FILENO) return fd;
  return duplicate(fd.get());
}

// Records the new descriptors `fds` as the runtime's (the caller holds the record) and moves
// them above the standard streams.
Result<std::pair<UniqueFd, UniqueFd>> adopted_pair(const int (&fds)[2]) {
  adopt_owned_fd(fds[0]);
  adopt_owned_fd(fds[1]);
  auto first = above_standard_streams(UniqueFd(fds[0]));
  auto second = above_standard_streams(UniqueFd(fds[1]));
  if (!first.has_value()) return fail(first.error());
  if (!second.has_value()) return fail(second.error());
  return std::pair(std::move(*first), std::move(*second));
}

}  // namespace

void fail_next(Call call, int error) { injection = {call, error}; }

bool injected_failure(Call call) {
  if (injection.call != call) return false;
  errno = injection.error;
  injection = {};
  return true;
}

Result<PipeEnds> make_pipe() {
  // Made and recorded as one step, so that no fork() finds a pipe end it does not know of.
  auto held = hold_owned_fds();
  int fds[2];
  if (injected_failure(Call::pipe) || ::pipe2(fds, O_CLOEXEC) != 0)
    return fail(os_error_text(errno));
  auto ends = adopted_pair(fds);
  if (!ends.has_value()) return fail(ends.error());
  return PipeEnds{std::move(ends->first), std::move(ends->second)};
}

Result<SocketEnds> make_socket_pair() {
  auto held = hold_owned_fds();
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
    return fail(os_error_text(errno));
  auto ends = adopted_pair(fds);
  if (!ends.has_value()) return fail(ends.error());
  return SocketEnds{std::move(ends->first), std::move(ends->second)};
}

Result<UniqueFd> pidfd_open(int pid) {
  auto held = hold_owned_fds();
  int fd = -1;
  if (!injected_failure(Call::pidfd_open)) fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0 && errno == ESRCH) return UniqueFd();
  if (fd < 0) return fail(os_error_text(errno));
  adopt_owned_fd(fd);
  return UniqueFd(fd);
}

// Made as raw system calls: the glibc 2.36 header declares the wrappers without C linkage.
void pidfd_signal(int pidfd, int signal) {
  ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0);
}

void process_signal(int pid, int signal) { ::kill(pid, signal); }

void group_signal(int pgid, int signal) { ::kill(-pgid, signal); }

Result<ExitState> exit_state_of(int pid) {
  siginfo_t info{};
  int got = -1;
  if (!injected_failure(Call::waitpid))
    got = retry_on_interrupt([&] {
      return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | WNOHANG);
    });
  if (got < 0 && errno == ECHILD) return ExitState{true, std::nullopt};
  if (got < 0) return fail(os_error_text(errno));
  if (info.si_pid == 0) return ExitState{};
  // The status as waitpid would give it.
  switch (info.si_code) {
    case CLD_EXITED: return ExitState{true, (info.si_status & 0xff) << 8};
    case CLD_DUMPED: return ExitState{true, info.si_status | 0x80};
    default: return ExitState{true, info.si_status};
  }
}

Result<UniqueFd> duplicate(int fd) {
  auto held = hold_owned_fds();
  int copy = retry_on_interrupt([&] { return ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1); });
  if (copy < 0) return fail(os_error_text(errno));
  adopt_owned_fd(copy);
  return UniqueFd(copy);
}

std::size_t pipe_capacity(int fd) {
#ifdef F_GETPIPE_SZ
  int size = ::fcntl(fd, F_GETPIPE_SZ);
  return size > 0 ? static_cast<std::size_t>(size) : 0;
#else
  (void)fd;
  return 0;
#endif
}

void grow_pipe(int fd, std::size_t size) {
#ifdef F_SETPIPE_SZ
  ::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(size));
#else
  (void)fd;
  (void)size;
#endif
}

std::size_t read_head(const char* path, char* buffer, std::size_t size) {
  int fd = retry_on_interrupt([&] { return ::open(path, O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return 0;
  ssize_t got = retry_on_interrupt([&] { return ::read(fd, buffer, size); });
  ::close(fd);
  return got > 0 ? static_cast<std::size_t>(got) : 0;
}

std::vector<int> numeric_entries(const char* path) {
  std::vector<int> numbers;
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(path), ::closedir);
  if (!listing) return numbers;
  while (const dirent* entry = ::readdir(listing.get())) {
    int number = 0;
    const char* end = entry->d_name + std::strlen(entry->d_name);
    auto [at, error] = std::from_chars(entry->d_name, end, number);
    if (error == std::errc() && at == end) numbers.push_back(number);
  }
  return numbers;
}

std::vector<int> process_ids() { return numeric_entries("/proc"); }

Result<int> wait_for(int pid) {
  int status = 0;
  int reaped = retry_on_interrupt([&] { return ::waitpid(pid, &status, 0); });
  if (reaped < 0) return fail(os_error_text(errno));
  return status;
}

}  // namespace sys
}  // namespace vantrel::runtime
