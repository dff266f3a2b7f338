// Run-engine benchmarks: event throughput, spawn rate and event latency, driven through the fake
// agent. Each prints one line of figures; scripts/bench_engine.sh sets them beside baselines.
//
//   bench_engine throughput FILE HOW   one run whose agent writes FILE; HOW is "wait" (events
//                                      read, then session_wait), "shared" (session_wait_shared)
//                                      or "no-reader" (the stream dropped at once)
//   bench_engine spawn RUNS PARALLEL   RUNS trivial runs, PARALLEL at a time, interleaved with a
//                                      bare posix_spawn + waitpid loop of the same agent
//   bench_engine latency LINES MS      one run writing a stamped line every MS milliseconds
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "vantrel/engine/runner.h"
#include "vantrel/runtime/runtime.h"
#include "vantrel/runtime/task_set.h"

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

// The bare process-creation rate: the fake agent spawned with posix_spawn, its standard input
// and output on pipes as a run's are (their parent ends closed at once: a trivial run reads and
// writes nothing), and reaped with waitpid, PARALLEL at a time. Runs per second.
double bare_spawn_rate(int runs, int parallel) {
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e) env_text.emplace_back(*e);
  env_text.emplace_back("VANTREL_FAKE_SCRIPT=");
  std::vector<char*> env;
  for (std::string& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);
  std::string program = VANTREL_FAKE_AGENT, word = "exec";
  char* argv[] = {program.data(), word.data(), nullptr};
  auto spawn_one = [&] {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) std::exit(1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, env.data()) != 0) std::exit(1);
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
  };
  auto start = std::chrono::steady_clock::now();
  int started = 0, running = 0;
  while (started < runs || running > 0) {
    for (; started < runs && running < parallel; ++started, ++running) spawn_one();
    int status = 0;
    if (waitpid(-1, &status, 0) > 0) --running;
  }
  return runs / seconds_since(start);
}

double engine_spawn_rate(int runs, int parallel, std::atomic<int>& failed) {
  auto config = config_for("");
  auto start = std::chrono::steady_clock::now();
  runtime::block_on(spawn_all(config, runs, parallel, failed));
  return runs / seconds_since(start);
}

// Engine runs and bare spawns take turns, three rounds, so that both see the same machine load.
int spawn_rate(int runs, int parallel) {
  runtime::shared_runtime();
  std::atomic<int> failed = 0;
  double engine_total = 0, bare_total = 0;
  for (int round = 0; round < 3; ++round) {
    double bare = bare_spawn_rate(runs, parallel);
    double engine = engine_spawn_rate(runs, parallel, failed);
    bare_total += bare;
    engine_total += engine;
    std::printf(
        "spawn round %d: %d runs, %d at a time: engine %.0f runs/s, bare posix_spawn %.0f "
        "runs/s: %.0f%%\n",
        round + 1, runs, parallel, engine, bare, 100 * engine / bare);
  }
  std::printf("spawn: engine %.0f runs/s = %.0f%% of bare posix_spawn + waitpid (%d failed)\n",
              engine_total / 3, 100 * engine_total / bare_total, failed.load());
  return failed == 0 ? 0 : 1;
}

int latency(int lines, int ms) {
  auto config = config_for("stamped " + std::to_string(lines) + " " + std::to_string(ms) + "\n");
  std::vector<double> micros;
  runtime::block_on([&]() -> awaitable<void> {
    RunRequest request{.prompt = "go"};
    auto handle = co_await launch(config, std::move(request));
    if (!handle) std::exit(1);
    while (auto event = co_await session_next_event(*handle)) {
      long long arrived = now_ns();
      const std::string raw((*event)->raw);
      auto at = raw.find("\"sent_ns\":");
      if (at == std::string::npos) continue;
      long long sent = std::atoll(raw.c_str() + at + 10);
      micros.push_back(static_cast<double>(arrived - sent) / 1000.0);
    }
    co_await session_wait(*handle);
  }());
  std::sort(micros.begin(), micros.end());
  auto at = [&](double q) { return micros[static_cast<std::size_t>(q * (micros.size() - 1))]; };
  std::printf("latency: %zu events, one per %d ms: p50 %.0f us, p99 %.0f us, max %.0f us\n",
              micros.size(), ms, at(0.5), at(0.99), micros.back());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "throughput" && (argc == 4 || argc == 5))
    return throughput(argv[2], argv[3], argc == 5 ? std::atof(argv[4]) : 0);
  if (mode == "spawn" && argc == 4) return spawn_rate(std::atoi(argv[2]), std::atoi(argv[3]));
  if (mode == "latency" && argc == 4) return latency(std::atoi(argv[2]), std::atoi(argv[3]));
  std::fprintf(stderr,
               "usage: bench_engine throughput FILE wait|shared|no-reader [PIPE_MB_S] | spawn RUNS "
               "PARALLEL | "
               "latency LINES MS\n");
  return 2;
}
