#!/usr/bin/env bash
# Runs every test. Each configuration is built once:
#   the wheel       the release wheel, built once; pytest, mypy and stubtest run against
#                   it installed in .venv/, and it is smoke-tested under CPython 3.10/3.13
#   build/test      Release, gcc: the native benchmark, one quick pass
#   build/sanitize  ASan + UBSan: the core tests, a replay of every fuzz target over its
#                   seeds, and the module under pytest
#   build/fuzz      clang's libFuzzer: every target fuzzed for a bounded time
# The core tests run once, in the sanitizer tree: optimised (-O2; the release build has
# -O3), with every memory access and undefined operation checked.
# With --quick: build/test with the core tests and the fuzz replays, then the module and
# the command built straight into .venv/ and the pytest suite. Ends with the time and
# verdict of each step.
#
# Where ccache is installed and can write its cache, every build goes through it; paths
# are taken relative to the checkout, so another checkout of the same sources (a fresh
# clone) finds what an earlier build compiled.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
for arg in "$@"; do
  case $arg in
    --quick) quick=1 ;;
    *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
  esac
done

if ((quick)); then
  bash scripts/install-deps.sh
else
  bash scripts/install-deps.sh --fuzz
fi
source scripts/lib/venv.sh
ccache_dir=$(ccache -k cache_dir 2>/dev/null || true)
if [[ -n $ccache_dir && -z ${CMAKE_CXX_COMPILER_LAUNCHER:-} ]] && mkdir -p "$ccache_dir" 2>/dev/null &&
  [[ -w $ccache_dir ]]; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}
fi

timings=()
failed=()
# A step that fails does not stop the steps after it, which build and test on their own;
# the run fails at the end and names it.
step() {
  local name=$1 start=$SECONDS status=0
  shift
  echo "== $name"
  "$@" || status=$?
  local verdict=passed
  if ((status != 0)); then
    verdict="FAILED (exit status $status)"
    failed+=("$name")
  fi
  timings+=("$(printf '%-14s %4ds  %s' "$name" $((SECONDS - start)) "$verdict")")
}

core_tests() {
  local build=build/test
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLYFOLD_BUILD_PYTHON=OFF \
    -DTALLYFOLD_BUILD_TESTS=ON -DTALLYFOLD_BUILD_FUZZERS=ON -DTALLYFOLD_BUILD_BENCH=OFF &&
    cmake --build "$build" --parallel "$(nproc)" &&
    ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)"
}

bench() {
  local build=build/test
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLYFOLD_BUILD_PYTHON=OFF \
    -DTALLYFOLD_BUILD_CLI=OFF -DTALLYFOLD_BUILD_TESTS=OFF -DTALLYFOLD_BUILD_FUZZERS=OFF \
    -DTALLYFOLD_BUILD_BENCH=ON &&
    cmake --build "$build" --parallel "$(nproc)" &&
    bash scripts/bench-smoke.sh
}

total=$SECONDS
if ((quick)); then
  step core-tests core_tests
  step python bash scripts/test-python.sh
else
  step wheel bash scripts/test-wheel.sh
  step bench bench
  step sanitize bash scripts/test-sanitize.sh
  # Half a minute a target keeps the whole run within twelve minutes on two cores; a
  # longer campaign sets TALLYFOLD_FUZZ_SECONDS.
  step fuzz env TALLYFOLD_FUZZ_SECONDS="${TALLYFOLD_FUZZ_SECONDS:-30}" bash scripts/test-fuzz.sh
fi

echo "== time per step"
printf '%s\n' "${timings[@]}"
printf '%-14s %4ds\n' total $((SECONDS - total))
if ((${#failed[@]})); then
  echo "FAILED: ${failed[*]}" >&2
  exit 1
fi
