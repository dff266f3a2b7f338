// The work that must not outlive the program: runs, groups and account queries enrol how to
// cancel themselves for as long as they are live, so that one call at exit cancels them all and
// waits, for a bounded time, until they have settled.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace vantrel::runtime {

// Thread-safe.
class LiveWork {
 public:
  // One live piece of work; it has settled when its enrolment is dropped. Move-only.
  class Enrolment {
   public:
    Enrolment() = default;
    Enrolment(Enrolment&& other) noexcept
        : work_(std::exchange(other.work_, nullptr)), id_(other.id_) {}
    Enrolment& operator=(Enrolment&& other) noexcept {
      if (this != &other) {
        leave();
        work_ = std::exchange(other.work_, nullptr);
        id_ = other.id_;
      }
      return *this;
    }
    ~Enrolment() { leave(); }

   private:
    friend class LiveWork;
    Enrolment(LiveWork* work, std::uint64_t id) : work_(work), id_(id) {}
    void leave();

    LiveWork* work_ = nullptr;
    std::uint64_t id_ = 0;
  };

  LiveWork();
  LiveWork(const LiveWork&) = delete;
  LiveWork& operator=(const LiveWork&) = delete;

  // Enrols work that `cancel` cancels (it must return at once and may be called from any
  // thread). After cancel_all, `cancel` is called here at once: nothing started then runs on.
  Enrolment enrol(std::function<void()> cancel);
  // Enrols as `enrol` does while no cancel_all has begun; from then on nothing is enrolled and
  // none is returned, so that the caller starts nothing.
  std::optional<Enrolment> try_enrol(std::function<void()> cancel);

  // Cancels every enrolled piece of work and every one enrolled later, then waits until all
  // have settled or `limit` has passed. True when all settled.
  bool cancel_all(std::chrono::milliseconds limit);

  // The number of enrolments not yet dropped.
  std::size_t live_count();

  // The fork handlers: the child forgets the parent's work, whose enrolments it never drops
  // (their tables are left in memory rather than destroyed), and is open for work again.
  void before_fork() { mutex_.lock(); }
  void after_fork_in_parent() { mutex_.unlock(); }
  void after_fork_in_child();

 private:
  using Table = std::map<std::uint64_t, std::function<void()>>;

  void leave(std::uint64_t id);

  std::mutex mutex_;
  std::condition_variable settled_;
  std::unique_ptr<Table> table_;
  bool closed_ = false;
};

// The live work of the process.
LiveWork& live_work();

}  // namespace vantrel::runtime
