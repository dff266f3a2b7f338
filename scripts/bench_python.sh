#!/usr/bin/env bash
# The Python-side benchmarks: the interpreter lock during a run, and a long codex stream beside
# a pure-Python runner. Arguments go to the stream benchmark (for example --lines 20000).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ensure_packages
build_tree build
export VANTREL_BUILD_DIR="$root/build"
/usr/bin/python3 "$root/bench/py_gil.py"
/usr/bin/python3 "$root/bench/py_stream.py" "$@"
