#!/usr/bin/env bash
# Keeps the benchmarks working: one quick pass over a small generated text. Checks that
# the text parses as generated; never judges timings.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/venv.sh

out=build/bench-smoke
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLYFOLD_BUILD_BENCH=ON \
  -DTALLYFOLD_BUILD_TESTS=OFF -DTALLYFOLD_BUILD_PYTHON=OFF -DTALLYFOLD_BUILD_CLI=OFF \
  -DTALLYFOLD_BUILD_FUZZERS=OFF >/dev/null
cmake --build "$out" --target tallyfold_bench --parallel

"$python" bench/generate.py --size 200K --output "$out/data/200K.sta"
"$out/bench/tallyfold_bench" --rounds 1 "$out/data/200K.sta"

# The Python half needs the module installed in .venv (scripts/test-python.sh does that).
if "$python" -c "import tallyfold" 2>/dev/null; then
  "$python" bench/run.py --smoke --data "$out/data"
else
  echo "bench-smoke: tallyfold is not importable; Python benchmarks skipped"
fi
