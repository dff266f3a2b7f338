// The end of a process tree: stop it from the top, collect it until it holds still, kill it.
#include "vantrel/runtime/process_tree.h"

#include <unistd.h>

#include <charconv>
#include <chrono>
#include <csignal>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "vantrel/runtime/syscall.h"

namespace vantrel::runtime {
namespace {

// How long the processes found get to show that they stopped, before what was found is killed
// as it is.
constexpr auto stop_wait = std::chrono::milliseconds(250);
// The pause between two looks at a tree that has not stopped yet.
constexpr auto stop_poll = std::chrono::milliseconds(1);

// The fields of a /proc/<pid>/stat line after the command name, from the state on (fields 3 on).
std::optional<ProcessStat> parse_stat(pid_t pid, std::string_view line) {
  auto name_end = line.rfind(')');
  if (name_end == std::string_view::npos || name_end + 2 >= line.size()) return std::nullopt;
  line.remove_prefix(name_end + 2);
  ProcessStat stat;
  stat.pid = pid;
  stat.state = line.front();
  // Fields 4 (parent), 5 (group) and 22 (start time) counted from the state as field 0.
  std::uint64_t values[20] = {};
  std::size_t field = 0;
  for (std::size_t at = 0; field < 20 && at < line.size(); ++field) {
    auto space = line.find(' ', at);
    if (space == std::string_view::npos) space = line.size();
    if (field > 0) std::from_chars(line.data() + at, line.data() + space, values[field]);
    at = space + 1;
  }
  if (field < 20) return std::nullopt;
  stat.parent = static_cast<pid_t>(values[1]);
  stat.group = static_cast<pid_t>(values[2]);
  stat.start_time = values[19];
  return stat;
}

std::vector<ProcessStat> all_processes() {
  std::vector<ProcessStat> processes;
  for (int pid : sys::process_ids())
    if (auto stat = process_stat(pid)) processes.push_back(*stat);
  return processes;
}

bool has_stopped(char state) {
  return state == 'T' || state == 't' || state == 'Z' || state == 'X';
}

// The processes of one tree found so far, each stopped as it was found and signalled through
// its own descriptor.
class Tree {
 public:
  Tree(pid_t leader, int leader_fd) : group_(leader) {
    if (leader_fd < 0) return;
    auto stat = process_stat(leader);
    add(Member{leader, stat ? stat->start_time : 0, leader_fd, UniqueFd()});
  }

  // Stops and adds every process of `snapshot` that belongs to the tree and is not in it yet;
  // whether there was one.
  bool collect(const std::vector<ProcessStat>& snapshot) {
    bool grew = false;
    for (const auto& process : snapshot)
      if (!index_.contains(process.pid) && belongs(process) && process.pid != self_)
        grew |= adopt(process);
    return grew;
  }

  // Whether every process of the tree has stopped (or ended) as `snapshot` shows them.
  bool stopped_in(const std::vector<ProcessStat>& snapshot) const {
    for (const auto& process : snapshot) {
      auto found = index_.find(process.pid);
      if (found != index_.end() && members_[found->second].start_time == process.start_time &&
          !has_stopped(process.state))
        return false;
    }
    return true;
  }

  void kill_all() {
    for (const auto& member : members_) signal(member, SIGKILL);
  }

 private:
  struct Member {
    pid_t pid;
    std::uint64_t start_time;
    // The process descriptor to signal through: the leader's is the caller's, the others' are
    // `owned`; -1 when the system gave none (out of descriptors).
    int fd;
    UniqueFd owned;
  };

  bool belongs(const ProcessStat& process) const {
    return process.group == group_ || index_.contains(process.parent);
  }

  // Opens a descriptor of `found`, confirms that it still names the process found and that
  // that process still belongs to the tree, and stops it.
  bool adopt(const ProcessStat& found) {
    auto fd = sys::pidfd_open(found.pid);
    if (fd.has_value() && fd->get() < 0) return false;  // gone already
    auto now = process_stat(found.pid);
    if (!now || now->start_time != found.start_time || !belongs(*now)) return false;
    Member member{found.pid, found.start_time, -1, UniqueFd()};
    if (fd.has_value()) {
      member.fd = fd->get();
      member.owned = std::move(*fd);
    }
    add(std::move(member));
    return true;
  }

  void add(Member member) {
    signal(member, SIGSTOP);
    index_.emplace(member.pid, members_.size());
    members_.push_back(std::move(member));
  }

  // Through the descriptor, or, for a process the system gave none, by pid once its start time
  // confirms it is still the one found.
  static void signal(const Member& member, int signal) {
    if (member.fd >= 0) {
      sys::pidfd_signal(member.fd, signal);
      return;
    }
    auto now = process_stat(member.pid);
    if (now && now->start_time == member.start_time) sys::process_signal(member.pid, signal);
  }

  pid_t group_;
  pid_t self_ = ::getpid();
  std::vector<Member> members_;
  std::unordered_map<pid_t, std::size_t> index_;
};

}  // namespace

std::optional<ProcessStat> process_stat(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/stat";
  char line[1024];
  std::size_t size = sys::read_head(path.c_str(), line, sizeof(line));
  if (size == 0) return std::nullopt;
  return parse_stat(pid, std::string_view(line, size));
}

void kill_process_tree(pid_t leader, int leader_fd) {
  Tree tree(leader, leader_fd);
  auto deadline = std::chrono::steady_clock::now() + stop_wait;
  // Done when a look finds nothing new after a look that found the whole tree stopped: whatever
  // a process forked before it stopped is listed by then.
  bool settled = false;
  for (;;) {
    auto snapshot = all_processes();
    if (tree.collect(snapshot)) {
      settled = false;
    } else if (settled) {
      break;
    } else {
      settled = tree.stopped_in(snapshot);
      if (!settled) std::this_thread::sleep_for(stop_poll);
    }
    if (std::chrono::steady_clock::now() > deadline) break;
  }
  tree.kill_all();
}

}  // namespace vantrel::runtime
