#!/usr/bin/env bash
# Builds every fuzz target with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and fuzzes each for a bounded time from its seeds, as many
# targets at once as there are cores, each for its own full time. Prints the executions
# per target, in target order. A crash, a broken property, a leak, a hang of more than
# ten seconds on one input or more than 2 GB of memory fails the run; the input that
# did it is kept under build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --fuzz
source scripts/lib/venv.sh

seconds=${TALLYFOLD_FUZZ_SECONDS:-60}
build=build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLYFOLD_SANITIZE=ON \
  -DTALLYFOLD_BUILD_PYTHON=OFF -DTALLYFOLD_BUILD_CLI=OFF -DTALLYFOLD_BUILD_TESTS=OFF \
  -DTALLYFOLD_BUILD_FUZZERS=ON
grep -q '^TALLYFOLD_HAVE_LIBFUZZER:INTERNAL=1$' "$build/CMakeCache.txt" || {
  echo "test-fuzz: clang++ cannot link libFuzzer" >&2
  exit 1
}
# Only the fuzzers: the uninstrumented core is of no use here.
mapfile -t targets < <(cut -d' ' -f1 "$build/fuzz/fuzz_targets.txt")
cmake --build "$build" --parallel "$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/artifacts"
rm -f "$build"/artifacts/*.summary
# One line per target, written by fuzz/CMakeLists.txt: name, dictionary, seed folders,
# one space apart. A target without a dictionary leaves its field empty, which `read`
# would collapse, so the fields are cut out by hand.
fuzz_one() {
  local line=$1 name rest dict seeds
  name=${line%% *}
  rest=${line#* }
  dict=${rest%% *}
  seeds=${rest#* }
  local dict_arg=()
  [[ -n "$dict" ]] && dict_arg=(-dict="$dict")
  local work="$build/corpus/$name"  # new inputs land here, never in the source tree
  mkdir -p "$work"
  local seed_dirs existing=() d
  IFS='|' read -ra seed_dirs <<<"$seeds"
  for d in "${seed_dirs[@]}"; do [[ -d "$d" ]] && existing+=("$d"); done
  local log="$build/artifacts/$name.log" status=0
  "$build/fuzz/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "${dict_arg[@]}" -artifact_prefix="$build/artifacts/$name-" \
    "$work" "${existing[@]}" </dev/null >"$log" 2>&1 || status=$?
  local runs slowest
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  slowest=$(sed -n 's/^stat::slowest_unit_time_sec: *//p' "$log" | tail -n 1)
  if ((status != 0)); then
    echo "$name: FAILED after ${runs:-?} executions (log $log)" >"$log.summary"
    return 1
  fi
  echo "$name: ${runs:-?} executions in ${seconds}s, slowest input ${slowest:-?}s" >"$log.summary"
}

mapfile -t lines <"$build/fuzz/fuzz_targets.txt"
jobs=$(nproc)
echo "fuzzing ${#lines[@]} targets for ${seconds}s each, $jobs at a time"
running=0
for line in "${lines[@]}"; do
  if ((running >= jobs)); then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_one "$line" &
  running=$((running + 1))
done
wait || true

failed=0
for line in "${lines[@]}"; do
  name=${line%% *}
  summary="$build/artifacts/$name.log.summary"
  if [[ ! -f $summary ]] || [[ $(<"$summary") == *FAILED* ]]; then
    tail -n 40 "$build/artifacts/$name.log"
    failed=1
  fi
done
for line in "${lines[@]}"; do
  name=${line%% *}
  cat "$build/artifacts/$name.log.summary" 2>/dev/null || echo "$name: no result"
done
exit "$failed"
