#!/usr/bin/env bash
# Builds the core, its tests and the fuzz targets (replay main) with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs them all: the core tests, and every fuzz target
# over its seeds, the bank files of examples/ and ../shared/corpus/ included. Then the
# same for the extension module under the pytest suite.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/venv.sh

build=build/sanitize
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTALLYFOLD_SANITIZE=ON -DTALLYFOLD_BUILD_PYTHON=OFF -DTALLYFOLD_BUILD_CLI=OFF \
  -DTALLYFOLD_BUILD_TESTS=ON -DTALLYFOLD_BUILD_FUZZERS=ON
cmake --build "$build" --parallel "$(nproc)"

# Any report is a failure: UBSan halts instead of printing and going on.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)"

# The extension module under the same sanitizers, driven by the pytest suite. The
# interpreter itself is not instrumented, so the runtimes are preloaded into it and leak
# reports (which would list the interpreter's own arenas) are left out. The command-line
# tests run the installed, uninstrumented command and are left to test-python.sh. The
# module is built for the interpreter of .venv, which runs the suite.
asan=$(${CXX:-g++} -print-file-name=libasan.so)
ubsan=$(${CXX:-g++} -print-file-name=libubsan.so)
if [[ -f "$asan" && -f "$ubsan" ]]; then
  pybuild=build/sanitize-python
  cmake -S . -B "$pybuild" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTALLYFOLD_SANITIZE=ON -DTALLYFOLD_BUILD_PYTHON=ON -DTALLYFOLD_BUILD_CLI=OFF \
    -DTALLYFOLD_BUILD_TESTS=OFF -DTALLYFOLD_BUILD_FUZZERS=OFF -DPython_EXECUTABLE="$python"
  cmake --build "$pybuild" --parallel "$(nproc)"
  LD_PRELOAD="$asan:$ubsan" ASAN_OPTIONS=detect_leaks=0 \
    PYTHONPATH="$PWD/$pybuild/bindings/python" \
    "$python" -m pytest -q -p no:cacheprovider tests/python --ignore=tests/python/test_cli.py
fi
