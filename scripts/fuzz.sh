#!/usr/bin/env bash
# Builds the fuzz targets into build-fuzz/ (clang, ASan+UBSan) and runs each for a bounded time.
# Usage: scripts/fuzz.sh [SECONDS]   (default 30 per target)
# Seeds come from fuzz/corpus/<target>/ (read only); new inputs go to build-fuzz/corpus/<target>/,
# crashes to fuzz/crashes/ (not committed).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
seconds=${1:-30}
targets=(decoders_fuzz)
dir=$root/build-fuzz

ensure_packages
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTREL_FUZZ=ON -DVANTREL_SANITIZE=address -DVANTREL_PYTHON=OFF -DVANTREL_WERROR=ON >/dev/null
# Only the fuzz targets: the rest of the core does not build with this clang.
build_configured "$dir" --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in "${targets[@]}"; do
  name=${target%_fuzz}
  mkdir -p "$dir/corpus/$name" "$root/fuzz/crashes"
  echo "--- $target for ${seconds}s"
  dict=()
  [ -f "$root/fuzz/$name.dict" ] && dict=(-dict="$root/fuzz/$name.dict")
  "$dir/fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$root/fuzz/crashes/$target-" "${dict[@]}" \
    "$dir/corpus/$name" "$root/fuzz/corpus/$name" 2>"$dir/$target.log" ||
    { tail -n 60 "$dir/$target.log"; exit 1; }
  grep -E '^(stat::number_of_executed_units|stat::new_units_added)|^#[0-9]+ +DONE' "$dir/$target.log" || true
done
