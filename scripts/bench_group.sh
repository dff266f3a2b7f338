#!/usr/bin/env bash
# The group benchmark: many small runs through Runner.run_many beside a pure-Python asyncio
# runner. Arguments go to the benchmark (for example --runs 2000 --concurrency 32).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ensure_packages
build_tree build
export VANTREL_BUILD_DIR="$root/build"
/usr/bin/python3 "$root/bench/py_group.py" "$@"
