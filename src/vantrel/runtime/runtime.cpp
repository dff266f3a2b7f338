// The process-wide runtime.
#include "vantrel/runtime/runtime.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <boost/asio/steady_timer.hpp>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <new>
#include <set>
#include <string>

#include "vantrel/runtime/live_work.h"
#include "vantrel/runtime/owned_fds.h"
#include "vantrel/runtime/syscall.h"
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

// The descriptors open in this process. The one that read the listing is closed by now.
std::set<int> open_descriptors() {
  std::set<int> fds;
  for (int fd : sys::numeric_entries("/proc/self/fd"))
    if (::fcntl(fd, F_GETFD) != -1) fds.insert(fd);
  return fds;
}

// What `fd` is, as /proc shows it ("anon_inode:[eventpoll]", ...); empty when unknown.
std::string descriptor_kind(int fd) {
  char target[64];
  ssize_t length = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, 64);
  return length <= 0 ? std::string() : std::string(target, static_cast<std::size_t>(length));
}

// The descriptors an epoll set watches, as its /proc fdinfo lists them ("tfd: N ...").
std::set<int> watched_by(int epoll_fd) {
  std::set<int> watched;
  std::ifstream info("/proc/self/fdinfo/" + std::to_string(epoll_fd));
  for (std::string line; std::getline(info, line);)
    if (line.starts_with("tfd:")) watched.insert(std::atoi(line.c_str() + 4));
  return watched;
}

// Makes the context's reactor and returns its descriptors: its epoll set, the timerfd and the
// eventfd that wakes it. Asio keeps them private, so they are found from outside: among the
// descriptors that appeared while the reactor was made, the epoll set is the one that watches
// exactly a new timerfd and a new eventfd, which tells it from any another thread made meanwhile.
// None when /proc cannot tell.
std::vector<int> make_reactor(boost::asio::io_context& context) {
  std::set<int> before = open_descriptors();
  { boost::asio::steady_timer needs_the_reactor(context); }
  std::set<int> made;
  for (int fd : open_descriptors())
    if (!before.contains(fd)) made.insert(fd);
  for (int fd : made) {
    if (descriptor_kind(fd) != "anon_inode:[eventpoll]") continue;
    std::set<int> watched = watched_by(fd);
    if (watched.size() != 2) continue;
    std::multiset<std::string> kinds;
    for (int other : watched)
      if (made.contains(other)) kinds.insert(descriptor_kind(other));
    if (kinds == std::multiset<std::string>{"anon_inode:[eventfd]", "anon_inode:[timerfd]"}) {
      std::vector<int> reactor{fd};
      reactor.insert(reactor.end(), watched.begin(), watched.end());
      return reactor;
    }
  }
  return {};
}

std::atomic<std::uint64_t> generation{0};

}  // namespace

Runtime::Runtime(unsigned workers) : keep_running_(context_.get_executor()) {
  // The reactor is made now, and its descriptors recorded, so that a forked child closes them.
  {
    auto held = hold_owned_fds();
    for (int fd : make_reactor(context_)) {
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

// The one place that handles fork(). Its handlers take the locks a child may need in the order
// they are taken everywhere else: the cell (held while a runtime is built, which records
// descriptors), then the descriptors, then live work, then the arenas' chunk pool, a leaf taken
// under any of them; they give them back in the reverse order. Everything else that must know of
// a fork compares fork_generation().
void before_fork() {
  shared_cell().before_fork();
  owned_fds_before_fork();
  live_work().before_fork();
  Arena::before_fork();
}

void after_fork_in_parent() {
  Arena::after_fork_in_parent();
  live_work().after_fork_in_parent();
  owned_fds_after_fork_in_parent();
  shared_cell().after_fork_in_parent();
}

void after_fork_in_child() {
  generation.fetch_add(1);
  Arena::after_fork_in_child();
  live_work().after_fork_in_child();
  owned_fds_after_fork_in_child();
  shared_cell().after_fork_in_child();
}

// Registered once the library is loaded, before any arena or runtime is made.
[[maybe_unused]] const int fork_handlers =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

RuntimeCell& shared_cell() {
  static NeverDestroyed<RuntimeCell> cell(
      [](std::optional<Runtime>& slot) { slot.emplace(online_cpus()); });
  return cell.get();
}

}  // namespace

Runtime& shared_runtime() { return shared_cell().get(); }

namespace detail {

Runtime& runtime_to_block_on() {
  Runtime& runtime = shared_runtime();
  check(!runtime.on_worker_thread(), "block_on called on a runtime worker");
  return runtime;
}

}  // namespace detail

Runtime* shared_runtime_if_built() { return shared_cell().get_if_built(); }

std::uint64_t fork_generation() { return generation.load(); }

}  // namespace vantrel::runtime
