#!/usr/bin/env bash
# Builds everything and runs every test: the plain build (with the GUI tests under Xvfb); every
# test that needs no display again under AddressSanitizer and UBSan, and again under
# ThreadSanitizer; then each fuzz target for a short fixed time. Installs the Debian packages
# first.
#
# The sanitizer runs pick tests by CTest label, not by name: a new test folder is in both as long
# as it is not labelled "gui". Both sanitizer trees are Debug builds, so the home-queue checks run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
started=$SECONDS
stage() { echo "== $1 ($((SECONDS - started)) s)"; }

stage "plain build"
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROM_WERROR=$werror >/dev/null
cmake --build build/test -j"$jobs"
stage "plain tests"
ctest --test-dir build/test --output-on-failure -j4

headless=(-DKESTROM_WERROR=$werror -DKESTROM_BUILD_APP=OFF -DKESTROM_BUILD_BENCH=OFF)

stage "AddressSanitizer + UBSan build"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTROM_SANITIZE=ON "${headless[@]}" >/dev/null
cmake --build build/asan -j"$jobs"
stage "AddressSanitizer + UBSan tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs" -LE gui

stage "ThreadSanitizer build"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTROM_TSAN=ON "${headless[@]}" >/dev/null
cmake --build build/tsan -j"$jobs"
stage "ThreadSanitizer tests"
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp" \
  ctest --test-dir build/tsan --output-on-failure -j"$jobs" -LE gui

if [ -x scripts/fuzz.sh ]; then
  stage "fuzzing"
  scripts/fuzz.sh 30
fi
stage "all passed"
