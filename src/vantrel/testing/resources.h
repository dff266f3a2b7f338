// Test support: what a process holds of the operating system, for tests that check that runs
// leave no child process or descriptor behind.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace vantrel::testing {

inline std::size_t open_descriptors() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

// Children of this process that still exist, zombies included.
inline std::size_t child_processes() {
  std::size_t count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream in(task.path() / "children");
    for (std::string pid; in >> pid;) ++count;
  }
  return count;
}

// Polls `condition` for up to 30 s: what a run holds (a dropped child among it) may be released by
// a background task just after its outcome is known.
inline bool eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 300; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return condition();
}

}  // namespace vantrel::testing
