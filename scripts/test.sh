#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the core and its tests with CMake,
# runs them, then the further suites that live beside this script.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=build/test
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DTALLYFOLD_BUILD_PYTHON=OFF
cmake --build "$build" --parallel
ctest --test-dir "$build" --output-on-failure

# Python module and CLI (pytest), sanitizer build, bounded fuzzing, benchmark smoke run.
for suite in test-python test-sanitize test-fuzz bench-smoke; do
  if [[ -f "scripts/$suite.sh" ]]; then
    echo "== $suite"
    bash "scripts/$suite.sh"
  fi
done
