#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the core and its tests with CMake,
# runs them, then the further suites that live beside this script. With --quick, only
# the build, the core tests and the pytest suite (CI runs everything).
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
  suites=(test-python)
else
  # Everything up front, the fuzzing toolchain included.
  bash scripts/install-deps.sh --fuzz
  # Python module and command (pytest), the release wheel under CPython 3.10 and 3.13,
  # sanitizer builds, bounded fuzzing, benchmark smoke run.
  suites=(test-python test-wheel test-sanitize test-fuzz bench-smoke)
fi
source scripts/lib/venv.sh

build=build/test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLYFOLD_BUILD_PYTHON=OFF
cmake --build "$build" --parallel
ctest --test-dir "$build" --output-on-failure

for suite in "${suites[@]}"; do
  if [[ -f "scripts/$suite.sh" ]]; then
    echo "== $suite"
    bash "scripts/$suite.sh"
  fi
done
