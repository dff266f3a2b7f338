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
// The pause between two looks at a process that has not stopped yet.
constexpr auto stop_poll = std::chrono::microseconds(200);

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

// The processes of one tree found so far, each signalled through its own descriptor.
class Tree {
 public:
  Tree(pid_t leader, int leader_fd) : group_(leader) {
    if (leader_fd < 0) return;
    auto stat = process_stat(leader);
    add(Member{leader, stat ? stat->start_time : 0, leader_fd, UniqueFd()});
  }

  // Adds every process of `snapshot` that belongs to the tree and is not in it yet; whether
  // there was one.
  bool collect(const std::vector<ProcessStat>& snapshot) {
    bool grew = false;
    for (const auto& process : snapshot)
      if (!index_.contains(process.pid) && belongs(process) && process.pid != self_)
        grew |= adopt(process);
    return grew;
  }

  // Stops every process of the tree and waits until each has been seen stopped (or ended), or
  // until `deadline`: whether they all were. A process still seen running is sent SIGSTOP again:
  // the system continues every stopped member of a group left without a parent outside it (an
  // orphaned group) whenever one of its members ends.
  bool stop(std::chrono::steady_clock::time_point deadline) {
    for (; stopping_ < members_.size(); ++stopping_) signal(members_[stopping_], SIGSTOP);
    while (waiting_ < members_.size()) {
      const Member& member = members_[waiting_];
      auto now = process_stat(member.pid);
      if (!now || now->start_time != member.start_time || has_stopped(now->state)) {
        ++waiting_;
        continue;
      }
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(stop_poll);
      signal(member, SIGSTOP);
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

  // Opens a descriptor of `found` and adds it, once it is confirmed that the descriptor names the
  // process found and that this process still belongs to the tree.
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
  // The members before these have been sent SIGSTOP, and seen stopped.
  std::size_t stopping_ = 0;
  std::size_t waiting_ = 0;
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
  // What runs now is collected before anything is stopped: a stop may make the system hang up on
  // an orphaned group, which ends its members and hands their children to init.
  tree.collect(all_processes());
  // Each later look at /proc comes once every process found so far has stopped: whatever they
  // forked before they stopped is listed by then, so a look that finds nothing new has it all.
  for (;;) {
    bool stopped = tree.stop(deadline);
    if (!tree.collect(all_processes()) || !stopped) break;
  }
  tree.kill_all();
}

}  // namespace vantrel::runtime
