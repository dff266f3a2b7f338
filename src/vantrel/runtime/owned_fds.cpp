// The record of the runtime's descriptors.
#include "vantrel/runtime/owned_fds.h"

#include <pthread.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <unordered_set>

#include "vantrel/support/never_destroyed.h"

namespace vantrel::runtime {
namespace {

// A lock that descriptor work shares and a fork takes alone. A fork waiting for it keeps new
// holders out, so that a steady stream of descriptor work cannot hold a fork off.
class ForkLock {
 public:
  ForkLock() { make(); }
  ForkLock(const ForkLock&) = delete;
  ForkLock& operator=(const ForkLock&) = delete;

  void share() { pthread_rwlock_rdlock(&lock_); }
  void take() { pthread_rwlock_wrlock(&lock_); }
  void give_back() { pthread_rwlock_unlock(&lock_); }
  // In the child of a fork: the lock was taken by a thread of the parent, and is made anew.
  void make() {
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&lock_, &attributes);
    pthread_rwlockattr_destroy(&attributes);
  }

 private:
  pthread_rwlock_t lock_;
};

struct OwnedFds {
  ForkLock fork_lock;
  std::mutex mutex;  // guards `fds`
  std::unordered_set<int> fds;
};

// Never destroyed: pipes may still be closed while static destructors run.
OwnedFds& owned() {
  static NeverDestroyed<OwnedFds> fds;
  return fds.get();
}

// How many holds this thread has: only the first shares the fork lock, since a second share
// would wait behind a waiting fork that waits for the first.
thread_local unsigned holds = 0;

}  // namespace

OwnedFdsHold::OwnedFdsHold() {
  if (holds++ == 0) owned().fork_lock.share();
}

OwnedFdsHold::~OwnedFdsHold() {
  if (--holds == 0) owned().fork_lock.give_back();
}

OwnedFdsHold hold_owned_fds() { return OwnedFdsHold(); }

void adopt_owned_fd(int fd) {
  std::lock_guard lock(owned().mutex);
  owned().fds.insert(fd);
}

void forget_owned_fd(int fd) {
  std::lock_guard lock(owned().mutex);
  owned().fds.erase(fd);
}

bool is_owned_fd(int fd) {
  std::lock_guard lock(owned().mutex);
  return owned().fds.contains(fd);
}

void owned_fds_before_fork() { owned().fork_lock.take(); }

void owned_fds_after_fork_in_parent() { owned().fork_lock.give_back(); }

void owned_fds_after_fork_in_child() {
  for (int fd : owned().fds) ::close(fd);
  owned().fds.clear();
  // Only the forking thread lives on, and it held no share: both locks are made anew, unlocked.
  std::construct_at(&owned().mutex);
  owned().fork_lock.make();
}

}  // namespace vantrel::runtime
