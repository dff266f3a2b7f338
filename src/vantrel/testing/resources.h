// Test support: what a process holds of the operating system, for tests that check that runs
// leave no child process or descriptor behind.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

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

// The state letter and process group of the process behind `stat_path` (a /proc/PID/stat file),
// or none when it no longer exists.
inline std::optional<std::pair<char, long>> process_state(const std::filesystem::path& stat_path) {
  std::ifstream in(stat_path);
  std::string stat;
  if (!std::getline(in, stat)) return std::nullopt;
  auto after_name = stat.rfind(')');
  if (after_name == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(after_name + 1));
  char state = 0;
  long parent = 0, group = 0;
  if (!(fields >> state >> parent >> group)) return std::nullopt;
  return std::pair{state, group};
}

// True while `pid` runs. A zombie, which only waits for its parent to reap it, does not.
inline bool is_running(long pid) {
  auto state = process_state("/proc/" + std::to_string(pid) + "/stat");
  return state && state->first != 'Z';
}

// The processes of the group `pgid` that still run (zombies do not count).
inline std::size_t live_group_members(long pgid) {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    auto state = process_state(entry.path() / "stat");
    if (state && state->second == pgid && state->first != 'Z') ++count;
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
