#!/usr/bin/env bash
# Start-up of the desktop application on the sample bundle under Xvfb, beside the platform's floor
# (bench/floor: one GTK 4 window with one WebKitGTK web view loading a local page that opens a
# WebSocket to a local echo server), the two taking turns in the same run. Medians of RUNS runs:
#   - time from process start to the page's first WebSocket connection,
#   - time from process start to the page's load-finished,
#   - resident memory of the process and of its whole process tree (web and network processes
#     included), taken one second after the connection opened;
# and the application's figures as multiples of the floor's.
# Each application run has a fresh home (first start: the prepacked content is copied too).
#
#   bench/app_startup.sh [path/to/kestrom]     (default: build/release/app/kestrom)
set -euo pipefail
cd "$(dirname "$0")/.."
APP=${1:-build/release/app/kestrom}
RUNS=${RUNS:-5}
FLOOR=${FLOOR:-$(dirname "$APP")/../bench/webview_floor}
[ -x "$APP" ] || { echo "no application at $APP (build it first)" >&2; exit 1; }
[ -x "$FLOOR" ] || { echo "no floor program at $FLOOR (build the webview_floor target)" >&2; exit 1; }

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

# Runs one program until its page is connected; appends "connected-ms loaded-ms host-KiB tree-KiB".
measure() {  # results-file log-file command...
  local results=$1 log=$2 start pid host_rss tree_rss
  shift 2
  start=$(date +%s.%N)
  "$@" >"$log" 2>&1 &
  pid=$!
  for _ in $(seq 1 600); do  # up to 60 s
    grep -q "Navigated to url: http" "$log" && grep -q "Connection opened" "$log" && break
    sleep 0.1
  done
  sleep 1
  host_rss=$(awk '/^VmRSS:/ {print $2}' /proc/$pid/status)
  tree_rss=$(tree_rss_kb $pid)
  kill $pid 2>/dev/null || true
  wait $pid 2>/dev/null || true
  python3 - "$log" "$start" "$host_rss" "$tree_rss" >>"$results" <<'PY'
import datetime, sys
log, start, host, tree = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
def first(pattern):
    for line in open(log, errors="replace"):
        if pattern in line:
            stamp = datetime.datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S.%f")
            return stamp.timestamp() - start
    return float("nan")
print(f"{first('Connection opened') * 1000:.0f} {first('Navigated to url: http') * 1000:.0f} {host} {tree}")
PY
}

app_results=$(mktemp)
floor_results=$(mktemp)
echo_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 bench/floor/echo_server.py "$echo_port" &
echo_pid=$!
trap 'kill $echo_pid 2>/dev/null || true; rm -f "$app_results" "$floor_results"' EXIT
sleep 0.3

for run in $(seq 1 "$RUNS"); do
  home=$(mktemp -d)
  measure "$floor_results" "$home/floor.log" env HOME="$home" "$FLOOR" "http://127.0.0.1:$echo_port/"
  rm -rf "$home"
  home=$(mktemp -d)
  measure "$app_results" "$home/app.log" env -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u XDG_CACHE_HOME HOME="$home" \
    KESTROM_LOG_LEVEL=debug "$APP" --bundle bundle
  rm -rf "$home"
done

python3 - "$app_results" "$floor_results" <<'PY'
import statistics, sys
def rows(path):
    return [list(map(float, line.split())) for line in open(path) if line.strip()]
app, floor = rows(sys.argv[1]), rows(sys.argv[2])
names = ["first WebSocket connection (ms)", "page load finished (ms)", "host RSS (MiB)", "process tree RSS (MiB)"]
for i, name in enumerate(names):
    scale = 1024 if i >= 2 else 1
    a = [r[i] / scale for r in app]
    f = [r[i] / scale for r in floor]
    ma, mf = statistics.median(a), statistics.median(f)
    print(f"{name:32s} app {ma:8.1f}  floor {mf:8.1f}  app/floor {ma / mf:5.2f}")
    print(f"{'':32s} app runs: " + " ".join(f"{v:.1f}" for v in a))
    print(f"{'':32s} floor runs: " + " ".join(f"{v:.1f}" for v in f))
PY
