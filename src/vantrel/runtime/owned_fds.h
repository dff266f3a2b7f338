// The descriptors the runtime owns (its reactor's, its pipes to children, its process
// descriptors), recorded so that the child of a fork() can close them: a forked process must not
// keep a pipe to one of its parent's agents open.
#pragma once

#include <boost/asio/posix/stream_descriptor.hpp>

namespace vantrel::runtime {

// Records `fd` as owned by the runtime. Call it while holding `hold_owned_fds()` when the
// descriptor is made, so that no fork falls between the two.
void adopt_owned_fd(int fd);
// Drops the record of `fd`, if any. Call it, holding `hold_owned_fds()`, before the descriptor
// is closed.
void forget_owned_fd(int fd);
// Whether `fd` is recorded as the runtime's.
bool is_owned_fd(int fd);

// While alive, no fork() happens. Any number of threads hold it at once (the records have a lock
// of their own, taken only to change or read them), so that descriptors are made and closed on
// every thread without waiting on one another; a fork waits for the holders, and new holders wait
// for the fork. A holder may hold again.
class [[nodiscard]] OwnedFdsHold {
 public:
  OwnedFdsHold();
  ~OwnedFdsHold();
  OwnedFdsHold(const OwnedFdsHold&) = delete;
  OwnedFdsHold& operator=(const OwnedFdsHold&) = delete;
};
OwnedFdsHold hold_owned_fds();

// The fork handlers: `before_fork` waits for the holders and keeps new ones out, the parent's
// handler lets them in again, and the child's closes every recorded descriptor, forgets them all
// and lets holders in.
void owned_fds_before_fork();
void owned_fds_after_fork_in_parent();
void owned_fds_after_fork_in_child();

// One end of a pipe to a child (or a process descriptor), readable and writable from
// coroutines. The descriptor it is made from must have been adopted; it is forgotten and closed
// together, when the pipe is closed or dropped.
class Pipe : public boost::asio::posix::stream_descriptor {
  using Base = boost::asio::posix::stream_descriptor;

 public:
  using Base::Base;
  Pipe(Pipe&& other) noexcept = default;
  Pipe& operator=(Pipe&& other) {
    close();
    Base::operator=(std::move(other));
    return *this;
  }
  ~Pipe() { close(); }

  void close() {
    if (!is_open()) return;
    auto held = hold_owned_fds();
    forget_owned_fd(native_handle());
    boost::system::error_code ignored;
    Base::close(ignored);
  }
};

}  // namespace vantrel::runtime
