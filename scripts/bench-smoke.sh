#!/usr/bin/env bash
# Keeps the benchmarks working: one quick pass over a small generated text with the
# native benchmark of the test build (build/test, configured with the benchmark by
# scripts/test.sh) and with the module installed in .venv/. Checks that the text parses
# as generated; never judges timings.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/venv.sh

build=build/test
if [[ ! -x "$build/bench/tallyfold_bench" ]]; then
  cmake -S . -B "$build" -G Ninja -DTALLYFOLD_BUILD_BENCH=ON >/dev/null
  cmake --build "$build" --target tallyfold_bench --parallel "$(nproc)"
fi

out=build/bench-smoke
"$python" bench/generate.py --size 200K --output "$out/data/200K.sta"
"$build/bench/tallyfold_bench" --rounds 1 "$out/data/200K.sta"
"$python" bench/run.py --smoke --data "$out/data"
