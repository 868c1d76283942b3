#!/usr/bin/env bash
# Builds everything and runs every test: the plain build (with the GUI tests under Xvfb); every
# test that needs no display again under AddressSanitizer and UBSan, and again under
# ThreadSanitizer; then each fuzz target for a short fixed time. Installs the Debian packages
# first.
#
# The sanitizer runs pick tests by CTest label, not by name: a new test folder is in both as long
# as it is not labelled "gui". Both sanitizer trees are Debug builds, so the home-queue checks run.
# The plain tree is compiled with g++, as the application is; the sanitized trees with clang, which
# compiles them in about half the time (and checks the code with a second compiler's warnings).
# Only the ThreadSanitizer tree has the "tsan" canary, a deliberate race on the main queue that
# must be reported.
#
# The tests run with the soft limit of open files a new account gets (1024), as root too: a test
# that needs more raises its own limit, as the host does. Each test runs in folders of its own
# (tests/support/private-folders.sh) inside this run's temporary folder, which goes at the end, so
# the run leaves nothing in the temporary folder or in your home.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON

# "== NAME" opens a stage, "== NAME: N s" closes it with its own time; the last line sums them up.
stage_name="" stage_started=0 timings=()
end_stage() {
  [ -n "$stage_name" ] || return 0
  local took=$((SECONDS - stage_started))
  echo "== $stage_name: $took s"
  timings+=("$stage_name $took s")
  stage_name=""
}
stage() {
  end_stage
  stage_name=$1 stage_started=$SECONDS
  echo "== $1"
}
run_tmp=$(mktemp -d "${TMPDIR:-/tmp}/kestrom-test-run-XXXXXX")
chmod 755 "$run_tmp"  # reached by the tests' parts that run as another user
finish() {
  local status=$? failed=$stage_name
  end_stage
  chmod -R u+rwX "$run_tmp" 2>/dev/null || true
  rm -rf "$run_tmp"
  local summary
  summary=$(IFS=,; echo "${timings[*]}" | sed 's/,/, /g')
  if [ "$status" -eq 0 ]; then
    echo "== all passed in $SECONDS s: $summary"
  else
    echo "== failed in \"$failed\" after $SECONDS s: $summary"
  fi
}
trap finish EXIT

descriptors=1024
hard=$(ulimit -Hn)
if [ "$hard" != unlimited ] && [ "$hard" -lt "$descriptors" ]; then descriptors=$hard; fi
run_tests() {
  TMPDIR=$run_tmp prlimit --nofile="$descriptors": ctest "$@"
}

# Every tree keeps line tables only for its debug information (KESTROM_DEBUG_LINES_ONLY, the
# sanitized trees' default): reports and backtraces name file and line, and the build is quicker.
stage "plain build"
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROM_WERROR=$werror \
  -DKESTROM_DEBUG_LINES_ONLY=ON -DKESTROM_BUILD_TESTS=ON -DKESTROM_BUILD_BENCH=ON >/dev/null
cmake --build build/test -j"$jobs"
stage "plain tests"
run_tests --test-dir build/test --output-on-failure -j4

# The flood tests hold thousands of connections against deadlines of a few seconds; the sanitizers
# slow the host several times over, so those run in the plain stage only.
flood_tests='StarvationTest.*:WebServerLimitsTest.QuietConnectionsAreHeldBrieflyAndOnlySoManyAtOnce'
flood_tests+=':WSServerLimitsTest.ConnectionsWithoutAnUpgradeAreHeldBrieflyAndOnlySoManyAtOnce'

headless=(-DCMAKE_CXX_COMPILER=clang++ -DKESTROM_WERROR=$werror -DKESTROM_BUILD_APP=OFF -DKESTROM_BUILD_BENCH=OFF -DKESTROM_BUILD_TESTS=ON)

stage "AddressSanitizer + UBSan build"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTROM_SANITIZE=ON "${headless[@]}" >/dev/null
cmake --build build/asan -j"$jobs"
stage "AddressSanitizer + UBSan tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  GTEST_FILTER="-$flood_tests" run_tests --test-dir build/asan --output-on-failure -j"$jobs" -LE gui

stage "ThreadSanitizer build"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTROM_TSAN=ON "${headless[@]}" >/dev/null
cmake --build build/tsan -j"$jobs"
stage "ThreadSanitizer tests"
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp" \
  GTEST_FILTER="-$flood_tests" run_tests --test-dir build/tsan --output-on-failure -j"$jobs" -LE 'gui|glib-threads'

if [ -x scripts/fuzz.sh ]; then
  stage "fuzzing"
  TMPDIR=$run_tmp scripts/fuzz.sh 30
fi
