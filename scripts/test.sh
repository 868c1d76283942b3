#!/usr/bin/env bash
# Builds everything and runs every test: the plain build (with the GUI tests under Xvfb), then the
# model and core tests again under AddressSanitizer and UBSan, then each fuzz target for a short
# fixed time. Installs the Debian packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROM_WERROR=$werror >/dev/null
cmake --build build/test -j"$jobs"

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTROM_SANITIZE=ON -DKESTROM_WERROR=$werror \
  -DKESTROM_BUILD_APP=OFF -DKESTROM_BUILD_BENCH=OFF >/dev/null
cmake --build build/asan -j"$jobs" --target model_tests core_tests

if [ -x scripts/fuzz.sh ]; then
  scripts/fuzz.sh 30
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/asan --output-on-failure -j"$jobs" -R '^(model|core)_tests$'
unset ASAN_OPTIONS UBSAN_OPTIONS
ctest --test-dir build/test --output-on-failure -j4
