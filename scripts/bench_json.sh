#!/usr/bin/env bash
# Builds the benchmarks into build-bench/ (Release) and measures JSON reading and line decoding
# against Python's json.loads on the same generated lines. Usage: scripts/bench_json.sh [--quick]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ensure_packages
build_tree build-bench -DCMAKE_BUILD_TYPE=Release -DVANTREL_BENCH=ON -DVANTREL_PYTHON=OFF
/usr/bin/python3 "$root/bench/json_bench.py" "$root/build-bench/bench/json_bench" \
  "$root/build-bench/bench-data" "$@"
