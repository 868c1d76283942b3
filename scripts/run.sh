#!/usr/bin/env bash
# Builds the desktop application and the headless host (and only what they link: no tests, no
# benchmarks) in Release in build/release, then starts the application on the sample bundle.
# Installs the Debian packages first. The first run is a full build of the application; later runs
# rebuild only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DKESTROM_BUILD_APP=ON -DKESTROM_BUILD_TESTS=OFF -DKESTROM_BUILD_BENCH=OFF >/dev/null
cmake --build build/release -j"$(nproc)" --target kestrom kestrom-host
exec build/release/app/kestrom --bundle bundle "$@"
