#!/usr/bin/env bash
# Start-up of the desktop application on the sample bundle under Xvfb, five runs, medians:
#   - time from process start to the page's first WebSocket connection,
#   - time from process start to the page's load-finished,
#   - resident memory of the host process and of its whole process tree (web and network
#     processes included), taken one second after the page finished loading.
# Each run has a fresh home (first start: the prepacked content is copied too).
#
#   bench/app_startup.sh [path/to/kestrom]     (default: build/release/app/kestrom)
set -euo pipefail
cd "$(dirname "$0")/.."
APP=${1:-build/release/app/kestrom}
RUNS=${RUNS:-5}
[ -x "$APP" ] || { echo "no application at $APP (build it first)" >&2; exit 1; }

if [ -z "${KESTROM_BENCH_INNER:-}" ]; then
  export KESTROM_BENCH_INNER=1 GTK_A11Y=none
  exec xvfb-run -a -s "-screen 0 1280x1024x24" \
    dbus-run-session --config-file="$PWD/tests/gui/session-bus.conf" -- "$0" "$APP"
fi

tree_rss_kb() {  # RSS of a process and all its descendants, in KiB
  local pids=("$1") total=0 i=0
  while [ $i -lt ${#pids[@]} ]; do
    for child in $(cat /proc/"${pids[$i]}"/task/*/children 2>/dev/null); do pids+=("$child"); done
    i=$((i + 1))
  done
  for pid in "${pids[@]}"; do
    rss=$(awk '/^VmRSS:/ {print $2}' /proc/"$pid"/status 2>/dev/null || true)
    total=$((total + ${rss:-0}))
  done
  echo "$total"
}

results=$(mktemp)
for run in $(seq 1 "$RUNS"); do
  home=$(mktemp -d)
  log="$home/app.log"
  start=$(date +%s.%N)
  env -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u XDG_CACHE_HOME HOME="$home" KESTROM_LOG_LEVEL=debug \
    "$APP" --bundle bundle >"$log" 2>&1 &
  pid=$!
  for _ in $(seq 1 600); do  # up to 60 s
    grep -q "Navigated to url: http://localhost" "$log" && grep -q "Connection opened" "$log" && break
    sleep 0.1
  done
  sleep 1
  host_rss=$(awk '/^VmRSS:/ {print $2}' /proc/$pid/status)
  tree_rss=$(tree_rss_kb $pid)
  kill $pid 2>/dev/null || true
  wait $pid 2>/dev/null || true
  python3 - "$log" "$start" "$host_rss" "$tree_rss" >>"$results" <<'PY'
import datetime, re, sys
log, start, host, tree = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
def first(pattern):
    for line in open(log, errors="replace"):
        if pattern in line:
            stamp = datetime.datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S.%f")
            return stamp.timestamp() - start
    return float("nan")
print(f"{first('Connection opened') * 1000:.0f} {first('Navigated to url: http://localhost') * 1000:.0f} {host} {tree}")
PY
  rm -rf "$home"
done

python3 - "$results" <<'PY'
import statistics, sys
rows = [list(map(float, line.split())) for line in open(sys.argv[1]) if line.strip()]
names = ["first WebSocket connection (ms)", "page load finished (ms)", "host RSS (MiB)", "process tree RSS (MiB)"]
for i, name in enumerate(names):
    values = [r[i] / (1024 if i >= 2 else 1) for r in rows]
    print(f"{name:34s} median {statistics.median(values):8.1f}   runs: " + " ".join(f"{v:.1f}" for v in values))
PY
rm -f "$results"
