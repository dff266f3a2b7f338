#!/usr/bin/env bash
# The whole test suite: C++ tests (plain, under ASan+UBSan and, for the engine and runtime, under
# TSan), a short fuzzing run, Python tests and the ABI check. Every tree is built with warnings as
# errors. Every step runs; the script fails if any of them failed.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
set -e
ensure_packages
build_tree build -DVANTREL_WERROR=ON
set +e

failed=()
step() {
  local name=$1
  shift
  echo "=== $name"
  "$@" || failed+=("$name")
}

jobs=${VANTREL_JOBS:-$(nproc)}
step "C++ tests" ctest --test-dir "$root/build" --output-on-failure -j"$jobs"
step "C++ tests under ASan+UBSan" bash -c "
  source '$root/scripts/lib.sh'
  build_tree build-asan -DVANTREL_WERROR=ON -DVANTREL_SANITIZE=address -DVANTREL_PYTHON=OFF &&
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir '$root/build-asan' --output-on-failure -j$jobs"
# The engine and the runtime share state between worker threads: run their tests under TSan.
# Only those: the other units are single-threaded and already covered above.
step "C++ engine and runtime tests under TSan" bash -c "
  source '$root/scripts/lib.sh'
  build_tree build-tsan -DVANTREL_WERROR=ON -DVANTREL_SANITIZE=thread -DVANTREL_PYTHON=OFF &&
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan.supp \
    ctest --test-dir '$root/build-tsan' --output-on-failure -j$jobs \
      -R '^(runner|session|tail|line_reader|group|runtime|channel|child_process|cancellation_token|notifier|semaphore|select|task_set|live_work|owned_fds|account_usage|claude_account_usage|process_tree|watchdog|arena)_test$'"
step "Fuzzing the decoders (60 s)" "$root/scripts/fuzz.sh" 60
step "Python tests" env VANTREL_BUILD_DIR="$root/build" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider "$root/python/tests"

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all test steps passed"
