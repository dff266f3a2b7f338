// The record of the runtime's descriptors.
#include "vantrel/runtime/owned_fds.h"

#include <unistd.h>

#include <memory>
#include <unordered_set>

#include "vantrel/support/never_destroyed.h"

namespace vantrel::runtime {
namespace {

struct OwnedFds {
  std::recursive_mutex mutex;
  std::unordered_set<int> fds;
};

// Never destroyed: pipes may still be closed while static destructors run.
OwnedFds& owned() {
  static NeverDestroyed<OwnedFds> fds;
  return fds.get();
}

}  // namespace

void adopt_owned_fd(int fd) {
  auto held = hold_owned_fds();
  owned().fds.insert(fd);
}

void forget_owned_fd(int fd) {
  auto held = hold_owned_fds();
  owned().fds.erase(fd);
}

bool is_owned_fd(int fd) {
  auto held = hold_owned_fds();
  return owned().fds.contains(fd);
}

std::unique_lock<std::recursive_mutex> hold_owned_fds() { return std::unique_lock(owned().mutex); }

void owned_fds_before_fork() { owned().mutex.lock(); }

void owned_fds_after_fork_in_parent() { owned().mutex.unlock(); }

void owned_fds_after_fork_in_child() {
  for (int fd : owned().fds) ::close(fd);
  owned().fds.clear();
  // A recursive lock knows its holder by thread id, which the child's thread does not share
  // with the parent's, so it cannot be given back here: it is made anew, unlocked.
  std::construct_at(&owned().mutex);
}

}  // namespace vantrel::runtime
