#!/usr/bin/env bash
# One build with AddressSanitizer and UndefinedBehaviorSanitizer: the core tests, every
# fuzz target as a replay over its seeds (the bank files of examples/ and of the shared
# corpus included), and the extension module, which the pytest suite then drives.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/venv.sh

build=build/sanitize
# The module is built for the interpreter of .venv, which runs the suite.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLYFOLD_SANITIZE=ON \
  -DTALLYFOLD_BUILD_TESTS=ON -DTALLYFOLD_BUILD_FUZZERS=ON -DTALLYFOLD_BUILD_PYTHON=ON \
  -DTALLYFOLD_BUILD_CLI=OFF -DPython_EXECUTABLE="$python"
cmake --build "$build" --parallel "$(nproc)"

# Any report is a failure: UBSan halts instead of printing and going on.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)"

# The interpreter itself is not instrumented, so the runtimes are preloaded into it and
# leak reports (which would list the interpreter's own arenas) are left out. The
# command-line tests run the installed, uninstrumented command, and the examples' tests
# run data-frame libraries in child interpreters over the same Arrow stream that
# test_arrow.py reads here in-process: both are left to the plain run.
asan=$(${CXX:-g++} -print-file-name=libasan.so)
ubsan=$(${CXX:-g++} -print-file-name=libubsan.so)
rc=0
LD_PRELOAD="$asan:$ubsan" ASAN_OPTIONS=detect_leaks=0 \
  PYTHONPATH="$PWD/$build/bindings/python" \
  "$python" -m pytest -q -n "$(nproc)" -p no:cacheprovider tests/python \
  --ignore=tests/python/test_cli.py --ignore=tests/python/test_cli_batch.py \
  --ignore=tests/python/test_examples.py --ignore=tests/python/test_parquet_example.py || rc=$?
# pytest exits with 5 when it collects no test; that is not a failure of the suite.
[[ $rc -eq 0 || $rc -eq 5 ]] || exit "$rc"
