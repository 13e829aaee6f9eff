#!/usr/bin/env bash
# Every benchmark in one command: builds the native benchmark, installs the module and
# the mt940 peer into the checkout's virtual environment .venv/ (made by
# scripts/install-deps.sh when missing), generates the texts (cached), then runs the
# native and the Python measurements, and last the reference measurement of
# ../shared/bench when that directory is present (its ratios are the ones that judge the
# targets). Arguments go to bench/run.py (for example --rounds 9, --no-peer). The output
# is also kept in build/bench/latest.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/lib/venv.sh

out=build/bench
cmake -S . -B "$out/native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLYFOLD_BUILD_BENCH=ON \
  -DTALLYFOLD_BUILD_TESTS=OFF -DTALLYFOLD_BUILD_PYTHON=OFF -DTALLYFOLD_BUILD_CLI=OFF \
  -DTALLYFOLD_BUILD_FUZZERS=OFF >/dev/null
cmake --build "$out/native" --target tallyfold_bench --parallel 2 >/dev/null

pip=("$python" -m pip install -q --disable-pip-version-check)
"${pip[@]}" --no-build-isolation .
[[ " $* " == *" --no-peer "* ]] || "${pip[@]}" mt-940

for size in 1M 10M 100M; do
  "$python" bench/generate.py --size "$size" --output "$out/data/$size.sta" >/dev/null
done

# The reference measurement: its own generator, its own floor program (gcc, PCRE2 with
# JIT) and its measure.py, run against the module installed above, so that this prints
# exactly the ratios the targets are judged by. Its verdict is a figure, not a failure.
reference() {
  local shared=${TALLYFOLD_SHARED_BENCH:-../shared/bench}
  if [[ ! -f "$shared/measure.py" ]]; then
    echo "reference measurement: $shared not found, skipped"
    return
  fi
  local text="$out/data/ref-10MB.mt940"
  [[ -f "$text" ]] || "$python" "$shared/gen_big.py" --size 10MB --seed 1 --out "$text" 2>/dev/null
  [[ "$out/limit_pcre2" -nt "$shared/limit_pcre2.c" ]] ||
    ${CC:-gcc} -O2 -o "$out/limit_pcre2" "$shared/limit_pcre2.c" -lpcre2-8
  echo "reference (${shared}/measure.py on $text):"
  "$python" "$shared/measure.py" "$text" "$out/limit_pcre2" || true
}

{
  echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')"
  "$out/native/bench/tallyfold_bench" "$out/data/10M.sta"
  # As in the native benchmark, freed memory stays with the process between rounds (the
  # steady state of a long-running process); bench/run.py starts its fresh-process
  # probes without this.
  GLIBC_TUNABLES=glibc.malloc.trim_threshold=2147483647:glibc.malloc.mmap_threshold=33554432 \
    "$python" bench/run.py --data "$out/data" "$@"
  reference
} | tee "$out/latest.txt"
