// The process-wide runtime.
#include "vantrel/runtime/runtime.h"

#include <pthread.h>
#include <unistd.h>

#include <boost/asio/detail/epoll_reactor.hpp>
#include <csignal>
#include <memory>
#include <new>

#include "vantrel/runtime/live_work.h"
#include "vantrel/runtime/owned_fds.h"
#include "vantrel/support/arena.h"
#include "vantrel/support/never_destroyed.h"

namespace vantrel::runtime {
namespace {

// While alive, the calling thread blocks every signal but the ones a fault raises, so the
// threads it starts inherit that mask.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&all, fault);
    pthread_sigmask(SIG_BLOCK, &all, &saved_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t saved_;
};

using boost::asio::detail::epoll_reactor;

// The descriptors of an epoll reactor: its epoll set, its timer and its interrupter. The
// reactor keeps them private; an explicit instantiation may name private members, which is how
// they are read here, once, when the runtime is built.
std::vector<int> reactor_descriptors(epoll_reactor& reactor);

template <int epoll_reactor::*EpollFd, int epoll_reactor::*TimerFd,
          boost::asio::detail::select_interrupter epoll_reactor::*Interrupter>
struct ReactorDescriptors {
  friend std::vector<int> reactor_descriptors(epoll_reactor& reactor) {
    // On Linux the interrupter is one eventfd, read and written alike.
    return {reactor.*EpollFd, reactor.*TimerFd, (reactor.*Interrupter).read_descriptor()};
  }
};
template struct ReactorDescriptors<&epoll_reactor::epoll_fd_, &epoll_reactor::timer_fd_,
                                   &epoll_reactor::interrupter_>;

std::atomic<std::uint64_t> generation{0};

}  // namespace

Runtime::Runtime(unsigned workers) : keep_running_(context_.get_executor()) {
  // The reactor is made now, and its descriptors recorded, so that a forked child closes them.
  {
    auto held = hold_owned_fds();
    for (int fd : reactor_descriptors(boost::asio::use_service<epoll_reactor>(context_)))
      if (fd >= 0) {
        adopt_owned_fd(fd);
        reactor_fds_.push_back(fd);
      }
  }
  // Workers block all asynchronous signals: the host's signal handling (Python's among it)
  // stays on its main thread, and a write to a pipe whose reader is gone fails with EPIPE on the
  // worker instead of raising SIGPIPE. Children get their own mask and dispositions back.
  SignalsBlocked blocked;
  try {
    for (unsigned i = 0; i < std::max(workers, 1u); ++i)
      workers_.emplace_back([this] { context_.run(); });
  } catch (...) {
    stop_and_join();
    throw;
  }
}

Runtime::~Runtime() {
  stop_and_join();
  for (int fd : reactor_fds_) forget_owned_fd(fd);
}

void Runtime::stop_and_join() {
  keep_running_.reset();
  context_.stop();
  for (auto& worker : workers_) worker.join();
}

unsigned online_cpus() {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count < 1 ? 1u : static_cast<unsigned>(count);
}

Runtime& RuntimeCell::get() {
  if (Runtime* runtime = ready_.load(std::memory_order_acquire)) return *runtime;
  std::lock_guard lock(mutex_);
  if (failure_) panic(*failure_);
  if (!runtime_) {
    try {
      runtime_ = std::make_unique<std::optional<Runtime>>();
      build_(*runtime_);
      check(runtime_->has_value(), "runtime builder built nothing");
    } catch (const std::exception& e) {
      runtime_.reset();
      failure_ = std::string("could not build the runtime: ") + e.what();
      panic(*failure_);
    }
  }
  ready_.store(&**runtime_, std::memory_order_release);
  return **runtime_;
}

void RuntimeCell::after_fork_in_child() {
  // Left in memory on purpose: its workers and its locks belong to the parent.
  (void)runtime_.release();
  ready_.store(nullptr, std::memory_order_release);
  failure_.reset();
  mutex_.unlock();
}

namespace {

RuntimeCell& shared_cell();

// The handlers of fork(), in the order the locks are taken everywhere else: the cell (held
// while a runtime is built, which records descriptors), then the descriptors, then live work.
void before_fork() {
  shared_cell().before_fork();
  owned_fds_before_fork();
  live_work().before_fork();
}

void after_fork_in_parent() {
  live_work().after_fork_in_parent();
  owned_fds_after_fork_in_parent();
  shared_cell().after_fork_in_parent();
}

void after_fork_in_child() {
  generation.fetch_add(1);
  live_work().after_fork_in_child();
  owned_fds_after_fork_in_child();
  shared_cell().after_fork_in_child();
}

// The arenas' chunk pool has a lock of its own, taken under no other: its handlers stand apart,
// registered once the library is loaded, before any arena is made.
[[maybe_unused]] const int arena_fork_handlers =
    pthread_atfork(Arena::before_fork, Arena::after_fork_in_parent, Arena::after_fork_in_child);

RuntimeCell& shared_cell() {
  static NeverDestroyed<RuntimeCell> cell([](std::optional<Runtime>& slot) {
    static std::once_flag handlers;
    std::call_once(handlers,
                   [] { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
    slot.emplace(online_cpus());
  });
  return cell.get();
}

}  // namespace

Runtime& shared_runtime() { return shared_cell().get(); }

Runtime* shared_runtime_if_built() { return shared_cell().get_if_built(); }

std::uint64_t fork_generation() { return generation.load(); }

}  // namespace vantrel::runtime
