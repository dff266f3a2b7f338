// Run-engine benchmarks: event throughput, spawn rate and event latency, driven through the fake
// agent. Each prints one line of figures; scripts/bench_engine.sh sets them beside baselines.
//
//   bench_engine throughput FILE HOW   one run whose agent writes FILE; HOW is "wait" (events
//                                      read, then session_wait), "shared" (session_wait_shared)
//                                      or "no-reader" (the stream dropped at once)
//   bench_engine spawn RUNS PARALLEL   RUNS trivial runs, PARALLEL at a time
//   bench_engine latency LINES MS      one run writing a stamped line every MS milliseconds
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
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

int throughput(const std::string& file, const std::string& mode) {
  Reading reading = mode == "no-reader" ? Reading::no_reader
                    : mode == "shared"  ? Reading::shared
                                        : Reading::wait;
  struct stat info {};
  if (stat(file.c_str(), &info) != 0) return 2;
  auto size = static_cast<double>(info.st_size);
  runtime::shared_runtime();
  double rss_before = current_rss();
  // The first run of a process also pays for growing the allocator's heaps (page faults, and
  // one mprotect per new page in glibc's per-thread arenas); a second run reuses them.
  for (const char* which : {"first run", "second run"}) {
    auto start = std::chrono::steady_clock::now();
    Counted counted = runtime::block_on(run_to_end(config_for("cat " + file + "\n"), reading));
    double elapsed = seconds_since(start);
    if (counted.outcome.error) {
      std::fprintf(stderr, "run failed: %s\n", counted.outcome.error->display().c_str());
      return 1;
    }
    std::printf("throughput (%s, %s): %zu events, %.1f MB in %.3f s: %.1f MB/s, %.0f events/s",
                mode.c_str(), which, counted.events, size / 1e6, elapsed, size / 1e6 / elapsed,
                counted.events / elapsed);
    if (which[0] == 'f')
      std::printf("; peak memory %.1f MB above start = %.2fx the stream",
                  (peak_rss() - rss_before) / 1e6, (peak_rss() - rss_before) / size);
    std::printf("\n");
  }
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

int spawn_rate(int runs, int parallel) {
  auto config = config_for("");
  runtime::shared_runtime();
  std::atomic<int> failed = 0;
  auto start = std::chrono::steady_clock::now();
  runtime::block_on(spawn_all(config, runs, parallel, failed));
  double elapsed = seconds_since(start);
  std::printf("spawn: %d runs, %d at a time, in %.3f s: %.0f runs/s (%d failed)\n", runs, parallel,
              elapsed, runs / elapsed, failed.load());
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
      const std::string& raw = (*event)->raw;
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
  if (mode == "throughput" && argc == 4) return throughput(argv[2], argv[3]);
  if (mode == "spawn" && argc == 4) return spawn_rate(std::atoi(argv[2]), std::atoi(argv[3]));
  if (mode == "latency" && argc == 4) return latency(std::atoi(argv[2]), std::atoi(argv[3]));
  std::fprintf(stderr,
               "usage: bench_engine throughput FILE wait|shared|no-reader | spawn RUNS PARALLEL | "
               "latency LINES MS\n");
  return 2;
}
