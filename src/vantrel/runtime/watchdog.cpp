// The watchdog: the host's side (starting it, telling it of agents and files) and its own.
#include "vantrel/runtime/watchdog.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "vantrel/runtime/child_process.h"
#include "vantrel/runtime/owned_fds.h"
#include "vantrel/runtime/process_tree.h"
#include "vantrel/support/never_destroyed.h"

namespace vantrel::runtime {
namespace {

constexpr std::string_view program_name = "vantrel-watchdog";

// A message to the watchdog is one packet: its kind, then its body.
enum class Kind : char { agent = 'a', file = 'f', file_removed = 'u' };
// The body of an agent message.
struct AgentId {
  pid_t pid;
  std::uint64_t start_time;
};
// A packet holds one path at most this long.
constexpr std::size_t max_packet = 1 + 4096;

std::string packet(Kind kind, std::string_view body) {
  std::string bytes(1, static_cast<char>(kind));
  bytes.append(body);
  return bytes;
}

// Next to the binary that holds this code, else where the build tree puts it.
std::string watchdog_program() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&watch_agent), &info) != 0 && info.dli_fname) {
    std::string image = info.dli_fname;
    auto slash = image.rfind('/');
    if (slash != std::string::npos) {
      std::string beside = image.substr(0, slash + 1).append(program_name);
      if (::access(beside.c_str(), X_OK) == 0) return beside;
    }
  }
  return VANTREL_WATCHDOG_BUILD_PATH;
}

// The host's end of the socket to a new watchdog, none when it could not be started. The
// program forks the watchdog proper and exits, so the host reaps it at once and the watchdog is
// nobody's child here.
UniqueFd start_watchdog() {
  auto ends = sys::make_socket_pair();
  if (!ends.has_value()) return UniqueFd();
  int theirs = ends->theirs.get();
  auto started = start_program(watchdog_program(), {std::string(program_name)},
                               inherited_environment_with({}), {theirs, theirs, theirs}, {});
  if (!started.has_value()) return UniqueFd();
  (void)sys::wait_for(*started);  // it exits as soon as it forked
  return std::move(ends->ours);
}

// The host's link to its watchdog: one per process, made anew in the child of a fork.
class HostLink {
 public:
  void send(const std::string& message) {
    // Taken inside the descriptors' hold, so no fork finds the lock taken.
    auto held = hold_owned_fds();
    std::lock_guard lock(mutex_);
    if (owner_ != ::getpid()) {
      // The child of a fork: its copy of the parent's socket was closed (and forgotten) with the
      // runtime's other descriptors, unless no runtime was built to do so.
      if (is_owned_fd(socket_.get()))
        socket_.reset();
      else
        (void)socket_.release();
      owner_ = ::getpid();
      tried_ = false;
    }
    if (socket_.get() < 0 && !tried_) {
      tried_ = true;
      socket_ = start_watchdog();
    }
    if (socket_.get() < 0) return;
    // Never waits: a watchdog that does not read (stopped from outside) loses the message
    // rather than hold up the spawn that sends it.
    if (::send(socket_.get(), message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
        errno != EAGAIN && errno != EINTR) {
      // The watchdog is gone: the next message starts a new one.
      socket_.reset();
      tried_ = false;
    }
  }

 private:
  std::mutex mutex_;
  pid_t owner_ = 0;
  bool tried_ = false;
  UniqueFd socket_;
};

HostLink& host_link() {
  static NeverDestroyed<HostLink> link;
  return link.get();
}

// The watchdog's record of the host's agents and files.
class Watch {
 public:
  void take(std::string_view message) {
    if (message.empty()) return;
    auto body = message.substr(1);
    switch (static_cast<Kind>(message.front())) {
      case Kind::agent:
        if (body.size() == sizeof(AgentId)) {
          AgentId agent;
          std::memcpy(&agent, body.data(), sizeof agent);
          add(agent);
        }
        break;
      case Kind::file: files_.emplace(body); break;
      case Kind::file_removed: files_.erase(std::string(body)); break;
    }
  }

  void end_all() {
    for (const auto& agent : agents_) end(agent);
    for (const auto& file : files_) ::unlink(file.c_str());
  }

 private:
  // Forgets the agents that are gone whenever the record has doubled, so a long-lived host
  // keeps it small.
  void add(AgentId agent) {
    if (agents_.size() >= prune_at_) {
      std::erase_if(agents_, [](const AgentId& known) { return !is_alive(known); });
      prune_at_ = std::max<std::size_t>(64, 2 * agents_.size());
    }
    agents_.push_back(agent);
  }

  static bool is_alive(const AgentId& agent) {
    auto stat = process_stat(agent.pid);
    return stat && stat->start_time == agent.start_time;
  }

  // The agent's tree when its pid is still the agent's; its group's stragglers when the agent
  // is gone (reaped by init once the host died) and its pid unused, which means the group still
  // reserves it; nothing when the pid names another process now: then the group is gone too.
  static void end(const AgentId& agent) {
    auto fd = sys::pidfd_open(agent.pid);
    auto stat = process_stat(agent.pid);
    if (!stat) {
      kill_process_tree(agent.pid, -1);
    } else if (fd.has_value() && fd->get() >= 0 && stat->start_time == agent.start_time) {
      kill_process_tree(agent.pid, fd->get());
    }
  }

  std::vector<AgentId> agents_;
  std::size_t prune_at_ = 64;
  std::set<std::string> files_;
};

void send_file_message(Kind kind, std::string_view path) {
  if (path.size() + 1 > max_packet) return;
  host_link().send(packet(kind, path));
}

}  // namespace

void watch_agent(pid_t pid) {
  auto stat = process_stat(pid);
  if (!stat) return;
  AgentId agent{pid, stat->start_time};
  host_link().send(
      packet(Kind::agent, std::string_view(reinterpret_cast<const char*>(&agent), sizeof agent)));
}

void watch_file(std::string_view path) { send_file_message(Kind::file, path); }

void unwatch_file(std::string_view path) { send_file_message(Kind::file_removed, path); }

int serve_as_watchdog(int socket) {
  pid_t watchdog = ::fork();
  if (watchdog < 0) return 1;
  if (watchdog > 0) return 0;
  // Out of the host's session, so that a terminal's signals and a kill of the host's group miss
  // it; out of its directory, so that it holds no mount busy.
  ::setsid();
  if (::chdir("/") != 0) return 1;
  int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::close(null);
  }
  Watch watch;
  std::vector<char> buffer(max_packet);
  for (;;) {
    ssize_t got =
        retry_on_interrupt([&] { return ::recv(socket, buffer.data(), buffer.size(), 0); });
    if (got <= 0) break;  // the host is gone
    watch.take(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
  }
  watch.end_all();
  return 0;
}

}  // namespace vantrel::runtime
