// The end of an agent's whole process tree: its group and every descendant still reachable from
// it, whatever their session or group, without signalling a process that is not the agent's.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace vantrel::runtime {

// What /proc/<pid>/stat tells of a process.
struct ProcessStat {
  pid_t pid = 0;
  pid_t parent = 0;
  pid_t group = 0;
  // 'R', 'S', 'D', 'T', 't', 'Z', ...
  char state = '?';
  // In clock ticks since boot: with the pid, it names one process, since a pid is only reused
  // once its process is gone.
  std::uint64_t start_time = 0;
};

// The process `pid` as /proc shows it; none when there is no such process.
std::optional<ProcessStat> process_stat(pid_t pid);

// Kills the process tree of `leader`, the leader of its own process group whose id it still
// reserves (unreaped, or a process the caller just confirmed through `leader_fd`): the leader,
// every other member of its group, and every descendant of any of them. `leader_fd` is the
// leader's process descriptor, -1 when it is gone (then only the group's members are reached).
//
// The tree is collected through the parent links and group ids of /proc, stopped (SIGSTOP), and
// collected again and again, each time once everything found has stopped, until nothing new
// appears; then it is killed (SIGKILL): nothing forks away during the stop. Every process is
// signalled through a process descriptor opened after it was found and confirmed after the
// opening (same start time, still a child of the tree or a member of the group), so a reused pid
// is never hit. Synchronous: it returns within a few milliseconds for a tree that stops at once;
// a process that cannot stop (in an uninterruptible wait) is waited for at most a quarter second.
void kill_process_tree(pid_t leader, int leader_fd);

}  // namespace vantrel::runtime
