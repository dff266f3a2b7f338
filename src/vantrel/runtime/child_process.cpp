// Child processes: spawning with piped streams, waiting, killing and reaping.
#include "vantrel/runtime/child_process.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>
#include <csignal>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "vantrel/runtime/process_tree.h"
#include "vantrel/runtime/watchdog.h"

extern char** environ;

namespace vantrel::runtime {
namespace {

constexpr const char* kNulByte = "nul byte found in provided data";
// The search path of execvp when PATH is unset.
constexpr std::string_view kDefaultPath = "/bin:/usr/bin";

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

bool any_nul(const Command& command) {
  if (has_nul(command.program) || (command.cwd && has_nul(*command.cwd))) return true;
  for (const auto& arg : command.args)
    if (has_nul(arg)) return true;
  for (const auto& [name, value] : command.env)
    if (has_nul(name) || has_nul(value)) return true;
  return false;
}

// The path to execute for `program`: itself when it holds a slash, else the first executable
// regular file named so in a directory of `path` (an empty entry is the current directory).
// Fails like execvp: EACCES when only files that may not be executed were found, else ENOENT.
Result<std::string> find_program(const std::string& program, std::string_view path) {
  if (program.find('/') != std::string::npos) return program;
  int error = ENOENT;
  if (!program.empty()) {
    for (;;) {
      auto colon = path.find(':');
      std::string_view dir = path.substr(0, colon);
      std::string candidate = dir.empty() ? program : std::string(dir) + "/" + program;
      struct stat info {};
      if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        error = EACCES;
      }
      if (colon == std::string_view::npos) break;
      path.remove_prefix(colon + 1);
    }
  }
  return fail(os_error_text(error));
}

std::string_view search_path(const std::vector<EnvVar>& env) {
  for (const auto& [name, value] : env)
    if (name == "PATH") return value;
  return kDefaultPath;
}

// The NULL-terminated pointer array that posix_spawn takes, over strings owned by the caller.
std::vector<char*> pointers_to(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// posix_spawn's attribute and file-action objects, destroyed with this.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawnattr_init(&attributes_);
    posix_spawn_file_actions_init(&actions_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // The child leads a new process group, in this session, so that one kill reaches whatever
  // it starts. Its signals as `subprocess` leaves them: none blocked (runtime workers block
  // everything), SIGPIPE and SIGXFSZ at their defaults (a Python host ignores both), and any
  // other signal the host ignores still ignored, so that a host under nohup keeps its agents.
  int set_group_and_signals() {
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigemptyset(&none);
    if (int e = posix_spawnattr_setpgroup(&attributes_, 0)) return e;
    if (int e = posix_spawnattr_setsigdefault(&attributes_, &defaults)) return e;
    if (int e = posix_spawnattr_setsigmask(&attributes_, &none)) return e;
    return posix_spawnattr_setflags(
        &attributes_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  // The pipe ends land on 0, 1 and 2, and nothing else stays open: ours are close-on-exec
  // anyway, and this also keeps out what the host left open without that flag.
  int wire_streams(int in, int out, int err) {
    if (int e = posix_spawn_file_actions_adddup2(&actions_, in, STDIN_FILENO)) return e;
    if (int e = posix_spawn_file_actions_adddup2(&actions_, out, STDOUT_FILENO)) return e;
    if (int e = posix_spawn_file_actions_adddup2(&actions_, err, STDERR_FILENO)) return e;
    return posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
  }
  int change_directory(const std::string& dir) {
    return posix_spawn_file_actions_addchdir_np(&actions_, dir.c_str());
  }
  // Returns 0 or the error number; glibc also reports a failed exec (ENOENT, EACCES) here.
  int spawn(pid_t& pid, const std::string& path, std::vector<char*>& argv,
            std::vector<char*>& envp) {
    if (sys::injected_failure(sys::Call::spawn)) return errno;
    return posix_spawn(&pid, path.c_str(), &actions_, &attributes_, argv.data(), envp.data());
  }

 private:
  posix_spawnattr_t attributes_;
  posix_spawn_file_actions_t actions_;
};

// Kills and reaps a child that could not be handed to the runtime, blocking briefly: it was
// just started and SIGKILL cannot be caught.
void kill_and_reap(pid_t pid) {
  sys::group_signal(pid, SIGKILL);
  (void)sys::wait_for(pid);  // nothing more can be done if reaping fails
}

std::string error_text(const boost::system::error_code& ec) {
  if (ec.category() == boost::system::system_category()) return os_error_text(ec.value());
  return ec.message();
}

// Waits on the process descriptor of a dropped child and reaps it.
boost::asio::awaitable<void> reap_in_background(Pipe process_fd, pid_t pid) {
  for (;;) {
    auto exited = co_await wait_readable(process_fd);
    if (!exited || !*exited) co_return;
    auto state = sys::exit_state_of(pid);
    if (!state || state->exited) break;
  }
  (void)sys::wait_for(pid);
}

bool stopped(const boost::system::error_code& ec) {
  return ec == boost::asio::error::operation_aborted;
}

Failure<std::string> failure_of(const boost::system::system_error& e) {
  return fail(error_text(e.code()));
}

}  // namespace

InheritedEnvironment this_process_environment() {
  std::vector<EnvVar> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    env.emplace_back(text.substr(0, equals), text.substr(equals + 1));
  }
  return std::make_shared<const std::vector<EnvVar>>(std::move(env));
}

std::vector<EnvVar> environment_with(const std::vector<EnvVar>& base,
                                     const std::vector<EnvVar>& overrides) {
  std::vector<EnvVar> env;
  std::unordered_map<std::string, std::size_t> index;
  auto set = [&](const std::string& name, const std::string& value) {
    auto [at, added] = index.try_emplace(name, env.size());
    if (added)
      env.emplace_back(name, value);
    else
      env[at->second].second = value;
  };
  for (const auto& [name, value] : base) set(name, value);
  for (const auto& [name, value] : overrides) set(name, value);
  return env;
}

int ExitStatus::code() const { return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1; }

ChildProcess::~ChildProcess() {
  if (!process_fd_.is_open()) return;
  if (status_) {
    release();
    return;
  }
  kill();
  auto executor = process_fd_.get_executor();
  boost::asio::co_spawn(executor, reap_in_background(std::move(process_fd_), pid_),
                        boost::asio::detached);
}

void ChildProcess::kill() {
  if (!process_fd_.is_open()) return;
  kill_process_tree(pid_, process_fd_.native_handle());
  // Should /proc not tell, the group at least: its id is still the child's.
  sys::group_signal(pid_, SIGKILL);
}

boost::asio::awaitable<Result<ExitStatus>> ChildProcess::wait() {
  if (status_) co_return *status_;
  std::optional<int> raw;
  for (;;) {
    auto exited = co_await wait_readable(process_fd_);
    if (!exited) co_return fail(exited.error());
    if (!*exited) co_return fail(os_error_text(ECANCELED));
    auto state = sys::exit_state_of(pid_);
    if (!state.has_value()) co_return fail(state.error());
    if (!state->exited) continue;
    raw = state->raw;
    break;
  }
  // Reaped by the kernel, the child left nothing to reap, and its ids may already be reused.
  if (!raw) process_fd_.close();
  status_ = ExitStatus{raw.value_or(0)};
  co_return *status_;
}

void ChildProcess::release() {
  if (!status_ || !process_fd_.is_open()) return;
  (void)sys::wait_for(pid_);  // an exited child: this returns at once
  process_fd_.close();
}

Result<pid_t> start_program(const std::string& path, std::vector<std::string> args,
                            const std::vector<EnvVar>& env, const std::array<int, 3>& streams,
                            const std::optional<std::string>& cwd) {
  std::vector<std::string> env_entries;
  env_entries.reserve(env.size());
  for (const auto& [name, value] : env) env_entries.push_back(name + "=" + value);
  auto argv = pointers_to(args);
  auto envp = pointers_to(env_entries);

  SpawnSetup setup;
  pid_t pid = -1;
  int error = setup.set_group_and_signals();
  if (!error) error = setup.wire_streams(streams[0], streams[1], streams[2]);
  if (!error && cwd) error = setup.change_directory(*cwd);
  if (!error) error = setup.spawn(pid, path, argv, envp);
  if (error) return fail(os_error_text(error));
  return pid;
}

Result<Child> spawn(const boost::asio::any_io_executor& executor, const Command& command) {
  if (any_nul(command)) return fail(kNulByte);
  auto path = find_program(command.program, search_path(command.env));
  if (!path.has_value()) return fail(path.error());

  auto in = sys::make_pipe();
  if (!in.has_value()) return fail(in.error());
  auto out = sys::make_pipe();
  if (!out.has_value()) return fail(out.error());
  auto err = sys::make_pipe();
  if (!err.has_value()) return fail(err.error());

  std::vector<std::string> args{command.program};
  args.insert(args.end(), command.args.begin(), command.args.end());
  auto pid = start_program(*path, std::move(args), command.env,
                           {in->read.get(), out->write.get(), err->write.get()}, command.cwd);
  if (!pid.has_value()) return fail(pid.error());
  // The child's ends now live in the child only.
  in->read.reset();
  out->write.reset();
  err->write.reset();
  watch_agent(*pid);

  auto process_fd = sys::pidfd_open(*pid);
  if (!process_fd.has_value()) {
    kill_and_reap(*pid);
    return fail(process_fd.error());
  }
  std::optional<ChildProcess> process;
  try {
    if (process_fd->get() < 0)
      // Exited and reaped by the kernel already: its status is lost, and reads as 0.
      process.emplace(*pid, Pipe(executor), ExitStatus{0});
    else
      process.emplace(*pid, Pipe(executor, process_fd->get()));
    process_fd->release();
  } catch (const boost::system::system_error& e) {
    kill_and_reap(*pid);
    return failure_of(e);
  }
  try {
    // From here on a failure drops `process`, which kills and reaps the child.
    Pipe stdin_pipe(executor, in->write.get());
    in->write.release();
    Pipe stdout_pipe(executor, out->read.get());
    out->read.release();
    Pipe stderr_pipe(executor, err->read.get());
    err->read.release();
    return Child{std::move(*process), std::move(stdin_pipe), std::move(stdout_pipe),
                 std::move(stderr_pipe)};
  } catch (const boost::system::system_error& e) {
    return failure_of(e);
  }
}

boost::asio::awaitable<Result<std::optional<std::size_t>>> read_some(
    Pipe& pipe, boost::asio::mutable_buffer buffer) {
  auto [ec, n] =
      co_await pipe.async_read_some(buffer, boost::asio::as_tuple(boost::asio::use_awaitable));
  if (ec == boost::asio::error::eof) co_return std::optional<std::size_t>(0);
  if (stopped(ec)) co_return std::optional<std::size_t>();
  if (ec) co_return fail(error_text(ec));
  co_return std::optional<std::size_t>(n);
}

boost::asio::awaitable<Result<bool>> wait_readable(Pipe& pipe) {
  auto [ec] =
      co_await pipe.async_wait(Pipe::wait_read, boost::asio::as_tuple(boost::asio::use_awaitable));
  if (stopped(ec)) co_return false;
  if (ec) co_return fail(error_text(ec));
  co_return true;
}

Result<std::optional<std::size_t>> try_read_some(Pipe& pipe, boost::asio::mutable_buffer buffer) {
  boost::system::error_code ec;
  std::size_t n = pipe.read_some(buffer, ec);
  if (!ec) return std::optional<std::size_t>(n);
  if (ec == boost::asio::error::eof) return std::optional<std::size_t>(0);
  if (ec == boost::asio::error::would_block || ec == boost::asio::error::try_again)
    return std::optional<std::size_t>();
  return fail(error_text(ec));
}

boost::asio::awaitable<Result<std::optional<std::size_t>>> write_all(
    Pipe& pipe, boost::asio::const_buffer bytes) {
  if (bytes.size() == 0) co_return std::optional<std::size_t>(0);
  auto [ec, n] = co_await boost::asio::async_write(
      pipe, bytes, boost::asio::as_tuple(boost::asio::use_awaitable));
  if (stopped(ec)) co_return std::optional<std::size_t>();
  if (ec) co_return fail(error_text(ec));
  co_return std::optional<std::size_t>(n);
}

void stop_waits(Pipe& pipe) {
  boost::system::error_code ignored;
  if (pipe.is_open()) pipe.cancel(ignored);
}

}  // namespace vantrel::runtime
