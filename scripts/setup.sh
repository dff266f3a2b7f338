#!/usr/bin/env bash
# Installs what this machine lacks and builds vantrel into build/ (fast when nothing changed).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ensure_packages
build_tree build
