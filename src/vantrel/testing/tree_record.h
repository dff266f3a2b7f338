// Test support: the record of tree_launcher.sh, the fake agent's launcher that leaves helpers of
// every shape, for tests that check that a stop reaches every process of an agent's tree.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "vantrel/testing/resources.h"

namespace vantrel::testing {

// The processes the record at `path` names, by shape: "launcher", "session" (a session of its
// own), "group" (a group of its own), "parent" and "grandchild", "loop" (one a round of the
// forking loop), and the fake agent's own "pid".
inline std::multimap<std::string, pid_t> recorded_tree(const std::string& path) {
  static const std::set<std::string> shapes{"launcher",   "session", "group", "parent",
                                            "grandchild", "loop",    "pid"};
  std::multimap<std::string, pid_t> processes;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    auto space = line.find(' ');
    if (space != std::string::npos && space + 1 < line.size() &&
        shapes.contains(line.substr(0, space)))
      processes.emplace(line.substr(0, space), std::stoi(line.substr(space + 1)));
  }
  return processes;
}

// Whether every shape is in place, the fake agent started, and the loop a few rounds on.
inline bool tree_is_up(const std::string& path) {
  auto tree = recorded_tree(path);
  return tree.count("session") && tree.count("group") && tree.count("grandchild") &&
         tree.count("pid") && tree.count("loop") >= 3;
}

// The processes the record names that still run, as "<shape> <pid>" words.
inline std::string still_running(const std::string& path) {
  std::string running;
  for (const auto& [shape, pid] : recorded_tree(path))
    if (is_running(pid)) running += shape + " " + std::to_string(pid) + " ";
  return running;
}

// Whether no process the record names still runs.
inline bool tree_has_ended(const std::string& path) { return still_running(path).empty(); }

// Kills what the record names when dropped, so a failing test leaves nothing running.
class RecordedTreeKiller {
 public:
  explicit RecordedTreeKiller(std::string path) : path_(std::move(path)) {}
  ~RecordedTreeKiller() {
    for (const auto& [shape, pid] : recorded_tree(path_))
      if (is_running(pid)) ::kill(pid, SIGKILL);
  }
  RecordedTreeKiller(const RecordedTreeKiller&) = delete;
  RecordedTreeKiller& operator=(const RecordedTreeKiller&) = delete;

 private:
  std::string path_;
};

}  // namespace vantrel::testing
