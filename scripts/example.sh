#!/usr/bin/env bash
# The main job: sets up, then streams one run of the bundled fake codex agent through the module.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ensure_packages
build_tree build
PYTHONPATH="$root/build/python" exec /usr/bin/python3 "$root/examples/stream_run.py" \
  --agent "$root/build/fake_agent/fake_agent" --scenario "$root/examples/codex_demo.scenario"
