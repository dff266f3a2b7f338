// Throughput of the JSON reader and the line decoders over files of agent output lines.
//
// Usage: json_bench CODEX_LINES CLAUDE_LINES [--benchmark_... flags]
// Each file holds one JSON line per line (bench/json_bench.py writes realistic ones). Every
// benchmark passes once over all lines of a file per iteration and reports bytes per second,
// counting the line bytes only.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vantrel/json/json.h"
#include "vantrel/protocol/claude_stream.h"
#include "vantrel/protocol/codex_stream.h"

namespace {

using namespace vantrel;

struct Lines {
  std::vector<std::string> lines;
  std::int64_t bytes = 0;
};

Lines read_lines(const char* path) {
  Lines out;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    if (line.empty()) continue;
    out.bytes += static_cast<std::int64_t>(line.size());
    out.lines.push_back(std::move(line));
  }
  return out;
}

// Runs `pass` over all lines per iteration; a line that fails stops the benchmark, since a
// figure over failing lines would measure the error path.
void run_passes(benchmark::State& state, const Lines& lines,
                const std::function<bool(std::string_view)>& pass_line) {
  for (auto _ : state)
    for (const std::string& line : lines.lines)
      if (!pass_line(line)) {
        state.SkipWithError(("a line failed: " + line.substr(0, 200)).c_str());
        return;
      }
  state.SetBytesProcessed(state.iterations() * lines.bytes);
}

bool validate(std::string_view line) {
  json::Reader r(line);
  r.skip();
  return r.finish();
}

template <class Wire>
bool read_typed(std::string_view line) {
  Wire wire;
  const bool ok = !json::decode(line, wire);
  benchmark::DoNotOptimize(wire);
  return ok;
}

// The run loop's decoding: one decoder state per pass, as one run keeps it across its lines.
void decode_run(benchmark::State& state, const Lines& lines, Agent agent) {
  const std::string run_id = "run-1", thread_id = "thread-1";
  for (auto _ : state) {
    DecoderState decoder = new_decoder_state(agent);
    for (const std::string& line : lines.lines) {
      auto events = decode_line(decoder, line, run_id, thread_id, WallTime{});
      if (std::holds_alternative<DecodeFailure>(events)) {
        state.SkipWithError(std::get<DecodeFailure>(events).text.c_str());
        return;
      }
      benchmark::DoNotOptimize(events);
    }
  }
  state.SetBytesProcessed(state.iterations() * lines.bytes);
}

void register_all(const Lines& codex_lines, const Lines& claude_lines) {
  benchmark::RegisterBenchmark("validate/codex",
                               [&](benchmark::State& s) { run_passes(s, codex_lines, validate); });
  benchmark::RegisterBenchmark("validate/claude",
                               [&](benchmark::State& s) { run_passes(s, claude_lines, validate); });
  benchmark::RegisterBenchmark("typed/codex", [&](benchmark::State& s) {
    run_passes(s, codex_lines, read_typed<codex::WireEvent>);
  });
  benchmark::RegisterBenchmark("typed/claude", [&](benchmark::State& s) {
    run_passes(s, claude_lines, read_typed<claude::WireEvent>);
  });
  benchmark::RegisterBenchmark(
      "decode/codex", [&](benchmark::State& s) { decode_run(s, codex_lines, Agent::Codex); });
  benchmark::RegisterBenchmark(
      "decode/claude", [&](benchmark::State& s) { decode_run(s, claude_lines, Agent::Claude); });
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s CODEX_LINES CLAUDE_LINES [--benchmark_... flags]\n", argv[0]);
    return 2;
  }
  const Lines codex_lines = read_lines(argv[1]);
  const Lines claude_lines = read_lines(argv[2]);
  if (codex_lines.lines.empty() || claude_lines.lines.empty()) {
    std::fprintf(stderr, "no lines in %s or %s\n", argv[1], argv[2]);
    return 2;
  }
  register_all(codex_lines, claude_lines);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
