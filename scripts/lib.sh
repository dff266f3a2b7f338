# Shared steps of the set-up, example and test scripts (sourced, not run).
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages the build, the tests, the fuzzer and the benchmarks need; pip and venv build
# and install the wheel, mypy checks the type stubs.
packages=(g++ cmake ninja-build libboost1.81-dev python3-dev python3-pytest
  libgtest-dev libgmock-dev libbenchmark-dev clang-14 libclang-rt-14-dev
  python3-pip python3-venv python3-mypy)

# Installs whichever of the packages this machine lacks.
ensure_packages() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# build_tree DIR [cmake options...]: configures DIR (below the repo) and builds it.
build_tree() {
  local dir=$root/$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null || return 1
  build_configured "$dir"
}

# build_configured DIR [build options...]: builds the configured tree DIR (an absolute path),
# logging to DIR/build.log. The log is shown whole on failure; on success only its warnings are.
build_configured() {
  local dir=$1
  shift
  if cmake --build "$dir" -j"${VANTREL_JOBS:-$(nproc)}" "$@" >"$dir/build.log" 2>&1; then
    grep -i -A3 'warning:' "$dir/build.log" || true
  else
    cat "$dir/build.log"
    return 1
  fi
}
