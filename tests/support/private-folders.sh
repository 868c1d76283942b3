#!/usr/bin/env bash
# Runs one test program in folders of its own: a private temporary folder, HOME and XDG folders
# (data, config, cache, state, runtime) inside one fresh folder, which goes when the program ends,
# whatever its outcome. Nothing a test, its host or its web view writes lands in the user's home or
# beside other runs in the shared temporary folder.
# KESTROM_TEST_PRELOAD, when set, becomes the program's LD_PRELOAD (the wrapper's own tools run
# without it).
# Usage: private-folders.sh PROGRAM [ARGUMENT...]
set -u
root=$(mktemp -d "${TMPDIR:-/tmp}/kestrom-test-XXXXXX") || exit 1
cleanup() {
  # A test that failed half way may leave folders it made read-only.
  chmod -R u+rwX "$root" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir -p "$root"/{home,tmp,data,config,cache,state,runtime}
chmod 700 "$root/runtime"
# Tests that run a part of themselves as another user (nobody, when run as root) must reach their
# files below the temporary folder.
chmod 755 "$root" "$root/tmp"
export HOME=$root/home TMPDIR=$root/tmp
export XDG_DATA_HOME=$root/data XDG_CONFIG_HOME=$root/config XDG_CACHE_HOME=$root/cache
export XDG_STATE_HOME=$root/state XDG_RUNTIME_DIR=$root/runtime
if [ -n "${KESTROM_TEST_PRELOAD:-}" ]; then
  LD_PRELOAD=$KESTROM_TEST_PRELOAD "$@"
else
  "$@"
fi
