// Run-engine benchmarks: event throughput, spawn rate and event latency, driven through the fake
// agent. Each prints one line of figures; scripts/bench_engine.sh sets them beside baselines.
//
//   bench_engine throughput FILE HOW   one run whose agent writes FILE; HOW is "wait" (events
//                                      read, then session_wait), "shared" (session_wait_shared)
//                                      or "no-reader" (the stream dropped at once)
//   bench_engine spawn RUNS PARALLEL [PROGRAM]
//                                      RUNS trivial runs, PARALLEL at a time, interleaved with a
//                                      bare posix_spawn + waitpid loop (one thread per worker)
//                                      of the same agent, or of PROGRAM (/bin/true) for both
//   bench_engine spawn-engine|spawn-bare RUNS PARALLEL PROGRAM
//                                      one side alone, once, for counting its system calls
//   bench_engine latency LINES MS      one run writing a stamped line every MS milliseconds,
//                                      interleaved with a bare pipe read loop of the same agent
//   bench_engine throws                the C++ exceptions raised by a run, a cancelled run, a
//                                      group, a cancelled group and a stopped blocking wait
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unwind.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "vantrel/engine/group.h"
#include "vantrel/engine/runner.h"
#include "vantrel/runtime/runtime.h"
#include "vantrel/runtime/task_set.h"

// Every C++ exception raised in this process, thrown or rethrown, is counted here: the two entry
// points of the unwinder that start one are taken over and passed on.
std::atomic<long> exceptions_raised{0};

extern "C" {
_Unwind_Reason_Code _Unwind_RaiseException(_Unwind_Exception* exception) {
  using Raise = _Unwind_Reason_Code (*)(_Unwind_Exception*);
  static const auto raise = reinterpret_cast<Raise>(dlsym(RTLD_NEXT, "_Unwind_RaiseException"));
  exceptions_raised.fetch_add(1);
  return raise(exception);
}

_Unwind_Reason_Code _Unwind_Resume_or_Rethrow(_Unwind_Exception* exception) {
  using Rethrow = _Unwind_Reason_Code (*)(_Unwind_Exception*);
  static const auto rethrow =
      reinterpret_cast<Rethrow>(dlsym(RTLD_NEXT, "_Unwind_Resume_or_Rethrow"));
  exceptions_raised.fetch_add(1);
  return rethrow(exception);
}
}

namespace {

using boost::asio::awaitable;
using namespace vantrel;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long long now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Peak resident set of this process so far, in bytes.
double peak_rss() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) * 1024.0;
}

// Resident set now, in bytes.
double current_rss() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * 4096.0;
}

std::shared_ptr<const RunnerConfig> config_for(const std::string& script) {
  auto config = std::make_shared<RunnerConfig>();
  config->executable = VANTREL_FAKE_AGENT;
  config->env = {{"VANTREL_FAKE_SCRIPT", script}};
  return config;
}

struct Counted {
  std::size_t events = 0;
  Outcome outcome;
};

// How a run's events and outcome are taken.
enum class Reading {
  wait,       // every event with session_next_event, then session_wait (a copy sharing the events)
  shared,     // every event with session_next_event, then session_wait_shared
  no_reader,  // the event receiver dropped at once, then session_wait_shared
};

awaitable<Counted> run_to_end(std::shared_ptr<const RunnerConfig> config,
                              Reading reading = Reading::wait) {
  RunRequest request{.prompt = "go"};
  auto handle = co_await launch(std::move(config), std::move(request));
  if (!handle) {
    std::fprintf(stderr, "launch failed: %s\n", handle.error().display().c_str());
    std::exit(1);
  }
  Counted counted;
  if (reading == Reading::no_reader) session_take_events(*handle);
  while (co_await session_next_event(*handle)) ++counted.events;
  if (reading == Reading::wait) {
    counted.outcome = co_await session_wait(*handle);
  } else {
    auto outcome = co_await session_wait_shared(*handle);
    counted.outcome.error = outcome->error;
  }
  co_return counted;
}

// `pipe_mb_s`, when known, is the rate of `cat FILE | cat` measured just before.
int throughput(const std::string& file, const std::string& mode, double pipe_mb_s) {
  Reading reading = mode == "no-reader" ? Reading::no_reader
                    : mode == "shared"  ? Reading::shared
                                        : Reading::wait;
  struct stat info {};
  if (stat(file.c_str(), &info) != 0) return 2;
  auto size = static_cast<double>(info.st_size);
  runtime::shared_runtime();
  double rss_before = current_rss();
  // The first run of a process also pays for fresh memory (page faults); later runs may reuse
  // what earlier ones gave back. Shown: the first run, and the best of three later ones.
  double best = 0;
  std::size_t events = 0;
  for (int run = 0; run < 4; ++run) {
    auto start = std::chrono::steady_clock::now();
    Counted counted = runtime::block_on(run_to_end(config_for("cat " + file + "\n"), reading));
    double elapsed = seconds_since(start);
    if (counted.outcome.error) {
      std::fprintf(stderr, "run failed: %s\n", counted.outcome.error->display().c_str());
      return 1;
    }
    events = counted.events;
    // The outcome is dropped; the runtime lets go of its last shares on its own threads, so a
    // moment passes before the memory left is read (no malloc_trim).
    counted = Counted{};
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (run == 0) {
      std::printf("throughput (%s, first run): %zu events, %.1f MB in %.3f s: %.1f MB/s",
                  mode.c_str(), events, size / 1e6, elapsed, size / 1e6 / elapsed);
      if (pipe_mb_s > 0)
        std::printf(" = %.1f%% of the pipe", 100 * size / 1e6 / elapsed / pipe_mb_s);
      std::printf(
          "; peak memory %.1f MB above start = %.2fx the stream; %.1f MB left after "
          "dropping the outcome\n",
          (peak_rss() - rss_before) / 1e6, (peak_rss() - rss_before) / size,
          (current_rss() - rss_before) / 1e6);
    } else if (best == 0 || elapsed < best) {
      best = elapsed;
    }
  }
  std::printf(
      "throughput (%s, best of 3 later runs): %zu events in %.3f s: %.1f MB/s, %.0f "
      "events/s",
      mode.c_str(), events, best, size / 1e6 / best, events / best);
  if (pipe_mb_s > 0) std::printf(" = %.1f%% of the pipe", 100 * size / 1e6 / best / pipe_mb_s);
  std::printf("; %.1f MB left after the last\n", (current_rss() - rss_before) / 1e6);
  return 0;
}

// Runs trivial runs until `next` reaches `runs`.
awaitable<bool> spawn_worker(std::shared_ptr<const RunnerConfig> config, std::atomic<int>& next,
                             int runs, std::atomic<int>& failed) {
  while (next.fetch_add(1) < runs) {
    Counted counted = co_await run_to_end(config);
    if (counted.outcome.error) ++failed;
  }
  co_return true;
}

awaitable<void> spawn_all(std::shared_ptr<const RunnerConfig> config, int runs, int parallel,
                          std::atomic<int>& failed) {
  std::atomic<int> next = 0;
  runtime::TaskSet<bool> workers(runtime::shared_runtime().executor());
  for (int w = 0; w < parallel; ++w) workers.spawn(spawn_worker(config, next, runs, failed));
  while (co_await workers.join_next()) {
  }
}

extern "C" char** environ;

// The CPU time this process has used so far (all its threads, not its children), in seconds.
double process_cpu() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A rate and the CPU this process spent on each run.
struct Rate {
  double runs_per_s;
  double cpu_us_per_run;
};

// The bare process-creation rate: `program` (the fake agent when empty) spawned with posix_spawn,
// its standard input and output on pipes as a run's are (their parent ends closed at once: a
// trivial run reads and writes nothing), and reaped with waitpid, PARALLEL at a time in all,
// spread over one thread per runtime worker, each reaping its own children.
Rate bare_spawn_rate(int runs, int parallel, const std::string& program_path) {
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e) env_text.emplace_back(*e);
  env_text.emplace_back("VANTREL_FAKE_SCRIPT=");
  std::vector<char*> env;
  for (std::string& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);
  const std::string program = program_path.empty() ? VANTREL_FAKE_AGENT : program_path;
  auto spawn_one = [&]() -> pid_t {
    std::string path = program, word = "exec";
    char* argv[] = {path.data(), word.data(), nullptr};
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) std::exit(1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    pid_t pid = 0;
    if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, env.data()) != 0) std::exit(1);
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
    return pid;
  };
  const int threads = static_cast<int>(runtime::shared_runtime().worker_count());
  auto loop = [&](int share, int in_flight) {
    std::deque<pid_t> running;
    int started = 0;
    while (started < share || !running.empty()) {
      for (; started < share && static_cast<int>(running.size()) < in_flight; ++started)
        running.push_back(spawn_one());
      int status = 0;
      waitpid(running.front(), &status, 0);
      running.pop_front();
    }
  };
  double cpu = process_cpu();
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back(loop, runs / threads + (t < runs % threads ? 1 : 0),
                         std::max(1, parallel / threads));
  for (auto& w : workers) w.join();
  double elapsed = seconds_since(start);
  return {runs / elapsed, (process_cpu() - cpu) * 1e6 / runs};
}

Rate engine_spawn_rate(int runs, int parallel, std::atomic<int>& failed,
                       const std::string& program) {
  auto config = config_for("");
  if (!program.empty()) {
    RunnerConfig with_program = *config;
    with_program.executable = program;
    config = std::make_shared<const RunnerConfig>(std::move(with_program));
  }
  double cpu = process_cpu();
  auto start = std::chrono::steady_clock::now();
  runtime::block_on(spawn_all(config, runs, parallel, failed));
  double elapsed = seconds_since(start);
  return {runs / elapsed, (process_cpu() - cpu) * 1e6 / runs};
}

// Engine runs and bare spawns take turns, three rounds, so that both see the same machine load.
int spawn_rate(int runs, int parallel, const std::string& program) {
  runtime::shared_runtime();
  std::atomic<int> failed = 0;
  double engine_total = 0, bare_total = 0, engine_cpu = 0, bare_cpu = 0;
  for (int round = 0; round < 3; ++round) {
    Rate bare = bare_spawn_rate(runs, parallel, program);
    Rate engine = engine_spawn_rate(runs, parallel, failed, program);
    bare_total += bare.runs_per_s;
    engine_total += engine.runs_per_s;
    bare_cpu += bare.cpu_us_per_run;
    engine_cpu += engine.cpu_us_per_run;
    std::printf(
        "spawn round %d: %d runs, %d at a time: engine %.0f runs/s (%.0f us CPU a run), bare "
        "posix_spawn %.0f runs/s (%.0f us CPU a run): %.0f%%\n",
        round + 1, runs, parallel, engine.runs_per_s, engine.cpu_us_per_run, bare.runs_per_s,
        bare.cpu_us_per_run, 100 * engine.runs_per_s / bare.runs_per_s);
  }
  std::printf(
      "spawn%s%s: engine %.0f runs/s = %.0f%% of bare posix_spawn + waitpid from one thread per "
      "worker; CPU a run: engine %.0f us, bare %.0f us (%d failed)\n",
      program.empty() ? "" : " of ", program.c_str(), engine_total / 3,
      100 * engine_total / bare_total, engine_cpu / 3, bare_cpu / 3, failed.load());
  return failed == 0 ? 0 : 1;
}

// The sent-to-received delays of a run's stamped lines, in microseconds, sorted.
struct Delays {
  std::vector<double> micros;
  void add(std::string_view line) {
    long long arrived = now_ns();
    auto at = line.find("\"sent_ns\":");
    if (at == std::string_view::npos) return;
    long long sent = std::atoll(std::string(line.substr(at + 10, 24)).c_str());
    micros.push_back(static_cast<double>(arrived - sent) / 1000.0);
  }
  double at(double q) { return micros[static_cast<std::size_t>(q * (micros.size() - 1))]; }
};

// The same agent read by a bare loop: its standard output on a pipe, read with blocking reads
// on this thread, lines split by hand.
Delays bare_latency(const std::string& script) {
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e) env_text.emplace_back(*e);
  env_text.push_back("VANTREL_FAKE_SCRIPT=" + script);
  std::vector<char*> env;
  for (std::string& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);
  std::string program = VANTREL_FAKE_AGENT, word = "exec";
  char* argv[] = {program.data(), word.data(), nullptr};
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) std::exit(1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, env.data()) != 0) std::exit(1);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  Delays delays;
  std::string pending;
  char chunk[65536];
  for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;) {
    pending.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
      delays.add(std::string_view(pending).substr(0, newline));
      pending.erase(0, newline + 1);
    }
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  std::sort(delays.micros.begin(), delays.micros.end());
  return delays;
}

Delays engine_latency(const std::string& script) {
  auto config = config_for(script);
  Delays delays;
  runtime::block_on([&]() -> awaitable<void> {
    RunRequest request{.prompt = "go"};
    auto handle = co_await launch(config, std::move(request));
    if (!handle) std::exit(1);
    while (auto event = co_await session_next_event(*handle)) delays.add((*event)->raw());
    co_await session_wait(*handle);
  }());
  std::sort(delays.micros.begin(), delays.micros.end());
  return delays;
}

// The engine and the bare loop take turns, as for the spawn rate.
int latency(int lines, int ms) {
  const std::string script = "stamped " + std::to_string(lines) + " " + std::to_string(ms) + "\n";
  for (int round = 0; round < 2; ++round) {
    Delays bare = bare_latency(script);
    Delays engine = engine_latency(script);
    std::printf(
        "latency round %d: %zu events, one per %d ms: engine p50 %.0f us, p99 %.0f us, max %.0f "
        "us; bare pipe read loop p50 %.0f us, p99 %.0f us; added p50 %.0f us, p99 %.0f us\n",
        round + 1, engine.micros.size(), ms, engine.at(0.5), engine.at(0.99), engine.micros.back(),
        bare.at(0.5), bare.at(0.99), engine.at(0.5) - bare.at(0.5),
        engine.at(0.99) - bare.at(0.99));
  }
  return 0;
}

// A session's events until the first, then a cancel, then the rest and the outcome.
awaitable<void> cancel_after_first_event(std::shared_ptr<const RunnerConfig> config) {
  RunRequest request{.prompt = "go"};
  auto handle = co_await launch(std::move(config), std::move(request));
  if (!handle) std::exit(1);
  (void)co_await session_next_event(*handle);
  session_cancel(*handle);
  while (co_await session_next_event(*handle)) {
  }
  co_await session_wait_shared(*handle);
}

// A group's events (all, or until the first when `cancel`), then its results.
awaitable<void> group_to_end(std::shared_ptr<const RunnerConfig> config, bool cancel) {
  std::vector<RunRequest> requests(4, RunRequest{.prompt = "go"});
  GroupHandle group = launch_group(std::move(config), std::move(requests), 2, std::nullopt);
  auto events = group_take_events(group);
  if (cancel) {
    (void)co_await events.receive();
    group_cancel(group);
  }
  while (co_await events.receive()) {
  }
  co_await group_wait_shared(group);
}

// The exceptions each kind of run raises, after a first run has built what is built once.
int count_throws() {
  auto quick = config_for(
      "out {\"type\":\"thread.started\",\"thread_id\":\"t\"}\nout "
      "{\"type\":\"turn.started\"}\n");
  auto slow = config_for("out {\"type\":\"turn.started\"}\nsleep 20000\n");
  runtime::block_on(run_to_end(quick));
  auto count = [](const char* what, auto body) {
    long before = exceptions_raised.load();
    body();
    std::printf("throws: %s: %ld C++ exceptions\n", what, exceptions_raised.load() - before);
  };
  count("a run read to its end", [&] { runtime::block_on(run_to_end(quick)); });
  count("a run cancelled after its first event",
        [&] { runtime::block_on(cancel_after_first_event(slow)); });
  count("a group of 4 runs, 2 at a time", [&] { runtime::block_on(group_to_end(quick, false)); });
  count("a group cancelled after its first event",
        [&] { runtime::block_on(group_to_end(slow, true)); });
  count("a blocking wait stopped by its poll, then the run cancelled", [&] {
    RunRequest request{.prompt = "go"};
    auto handle = runtime::block_on(launch(slow, std::move(request)));
    if (!handle) std::exit(1);
    runtime::CancellationToken stop;
    (void)runtime::block_on(session_wait_shared(*handle), stop,
                            runtime::Poll{std::chrono::milliseconds(50), [] { return false; }});
    session_cancel(*handle);
    runtime::block_on(session_wait_shared(*handle));
  });
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "throughput" && (argc == 4 || argc == 5))
    return throughput(argv[2], argv[3], argc == 5 ? std::atof(argv[4]) : 0);
  if (mode == "spawn" && (argc == 4 || argc == 5))
    return spawn_rate(std::atoi(argv[2]), std::atoi(argv[3]), argc == 5 ? argv[4] : "");
  // One side alone, once, for counting its system calls (strace -f -c).
  if (mode == "spawn-engine" && argc == 5) {
    std::atomic<int> failed = 0;
    engine_spawn_rate(std::atoi(argv[2]), std::atoi(argv[3]), failed, argv[4]);
    return failed == 0 ? 0 : 1;
  }
  if (mode == "spawn-bare" && argc == 5) {
    bare_spawn_rate(std::atoi(argv[2]), std::atoi(argv[3]), argv[4]);
    return 0;
  }
  if (mode == "latency" && argc == 4) return latency(std::atoi(argv[2]), std::atoi(argv[3]));
  if (mode == "throws") return count_throws();
  std::fprintf(stderr,
               "usage: bench_engine throughput FILE wait|shared|no-reader [PIPE_MB_S] | spawn RUNS "
               "PARALLEL [PROGRAM] | "
               "latency LINES MS | throws\n");
  return 2;
}
