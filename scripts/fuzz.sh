#!/usr/bin/env bash
# Builds every libFuzzer target (tests/fuzz/fuzz_*.cpp) with clang and runs each for N seconds
# (first argument, default 60) on its own corpus under build/fuzz/corpus, all at once. Fails when
# any target found something; the crashing input is left in build/fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build/fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DKESTROM_FUZZ=ON -DKESTROM_BUILD_APP=OFF -DKESTROM_BUILD_BENCH=OFF >/dev/null

targets=()
for source in tests/fuzz/fuzz_*.cpp; do
  targets+=("$(basename "$source" .cpp)")
done
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

# The targets run side by side, each single-threaded for its own N seconds; each one's lines are
# printed together once all have finished, in the order of their names.
mkdir -p "$build/findings" "$build/logs"
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT  # none left running when this script is stopped
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  # A target may bring a dictionary (tests/fuzz/<target>.dict) and seed inputs
  # (tests/fuzz/seeds/<target>/), read but never written.
  extra=()
  [ -f "tests/fuzz/$target.dict" ] && extra+=(-dict="tests/fuzz/$target.dict")
  seeds=()
  [ -d "tests/fuzz/seeds/$target" ] && seeds+=("tests/fuzz/seeds/$target")
  "$build/tests/fuzz/$target" -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 "${extra[@]}" \
    -artifact_prefix="$build/findings/$target-" "$corpus" "${seeds[@]}" >"$build/logs/$target.log" 2>&1 &
  pids+=($!)
done
# A finding shows as an artifact left behind, not (only) as the fuzzer's exit status.
for pid in "${pids[@]}"; do wait "$pid" || true; done
found=0
for target in "${targets[@]}"; do
  echo "== $target: ${seconds} s"
  grep -E "^(Done|#[0-9]+ *DONE|==|SUMMARY|stat::number_of_executed_units)" "$build/logs/$target.log" || true
  if compgen -G "$build/findings/$target-*" >/dev/null; then
    echo "$target: finding in $build/findings (log: $build/logs/$target.log)" >&2
    found=1
  fi
done
exit "$found"
