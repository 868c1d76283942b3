#!/usr/bin/env bash
# Builds the host and starts it on the sample bundle. Installs the Debian packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j"$(nproc)"
if [ -x build/release/app/kestrom ]; then
  exec build/release/app/kestrom --bundle bundle "$@"
else
  exec build/release/tools/host/kestrom-host --bundle bundle "$@"
fi
