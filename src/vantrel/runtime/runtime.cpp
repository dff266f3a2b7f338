// The process-wide runtime.
#include "vantrel/runtime/runtime.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <new>

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

// Holds a T that is built in place and never destroyed: the shared runtime must outlive every
// static destructor, as its workers may still run while the process exits.
template <class T>
class NeverDestroyed {
 public:
  template <class... Args>
  explicit NeverDestroyed(Args&&... args) {
    std::construct_at(reinterpret_cast<T*>(storage_), std::forward<Args>(args)...);
  }
  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace

Runtime::Runtime(unsigned workers) : keep_running_(context_.get_executor()) {
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

Runtime::~Runtime() { stop_and_join(); }

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
      build_(runtime_);
      check(runtime_.has_value(), "runtime builder built nothing");
    } catch (const std::exception& e) {
      runtime_.reset();
      failure_ = std::string("could not build the runtime: ") + e.what();
      panic(*failure_);
    }
  }
  ready_.store(&*runtime_, std::memory_order_release);
  return *runtime_;
}

Runtime& shared_runtime() {
  static NeverDestroyed<RuntimeCell> cell(
      [](std::optional<Runtime>& slot) { slot.emplace(online_cpus()); });
  return cell.get().get();
}

}  // namespace vantrel::runtime
