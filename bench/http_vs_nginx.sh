#!/usr/bin/env bash
# The host's HTTP server against nginx on the same files, driven by wrk in one run, each case with
# 8 and with 64 connections:
#   1. requests/s for a 10 KiB file;
#   2. MiB/s for random 1 MiB byte ranges of a 256 MiB ".mp4" file.
# Both servers listen on the loopback, one request per connection (nginx with one worker process
# and keep-alive off, as ours has none), nginx runs as the current user from a temporary prefix
# with sendfile on (bench/nginx.sh). Every request carries our server's session cookie (nginx
# ignores it). Each round times ours and nginx back to back, alternating which goes first; the
# table shows the medians over the rounds and their ratio.
#
#   bench/http_vs_nginx.sh [SECONDS] [THREADS] [ROUNDS]     (defaults: 5 s, 4 wrk threads, 3 rounds)
#
# Needs wrk and nginx-light (scripts/install-deps.sh). Builds bench/http_serve into build/bench
# (Release), or into $KESTROM_BENCH_BUILD.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/nginx.sh
seconds=${1:-5}
threads=${2:-4}
rounds=${3:-3}
build=${KESTROM_BENCH_BUILD:-build/bench}

command -v wrk >/dev/null || { echo "wrk is missing (scripts/install-deps.sh)" >&2; exit 1; }

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROM_BUILD_APP=OFF -DKESTROM_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" -j3 --target http_serve >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/http-bench.XXXXXX")
ours_pid=""
cleanup() {
  [ -n "$ours_pid" ] && kill "$ours_pid" 2>/dev/null && wait "$ours_pid" 2>/dev/null || true
  stop_nginx "$work/nginx"
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www/content"
head -c 10240 /dev/urandom >"$work/www/small.bin"
head -c $((256 << 20)) /dev/urandom >"$work/www/content/video.mp4"

# Ours, in a session of its own as the nginx daemon is: with the scheduler's automatic grouping
# (kernel.sched_autogroup_enabled) a server left in this shell's session would share one group's
# CPU with wrk's threads while nginx has a group to itself, which on a busy machine decides more
# than either server does.
setsid "$build/bench/http_serve" "$work/www" >"$work/ours.port" 2>"$work/ours.log" &
ours_pid=$!
for _ in $(seq 100); do [ "$(wc -l <"$work/ours.port")" -ge 2 ] && break; sleep 0.05; done
ours_port=$(head -n1 "$work/ours.port")
# Ours refuses requests without the session cookie; both servers get the same request bytes.
export KESTROM_BENCH_COOKIE=$(sed -n 2p "$work/ours.port")
cookie="Cookie: $KESTROM_BENCH_COOKIE"

nginx_port=$(free_port)
start_nginx "$work/nginx" "$work/www" "$nginx_port" "keepalive_timeout 0; types { video/mp4 mp4; }"

cat >"$work/range.lua" <<'LUA'
math.randomseed(os.time())
request = function()
  local first = math.random(0, 255) * 1048576
  -- Headers given here replace those of -H: the cookie is repeated.
  return wrk.format("GET", "/content/video.mp4", { ["Range"] = "bytes=" .. first .. "-" .. (first + 1048575),
                                                   ["Cookie"] = os.getenv("KESTROM_BENCH_COOKIE") })
end
LUA

# Every answer must be right before it is timed.
check() {
  local port=$1
  local small range
  small=$(curl -s -o /dev/null -w '%{http_code} %{size_download}' -H "$cookie" "http://127.0.0.1:$port/small.bin")
  range=$(curl -s -o /dev/null -w '%{http_code} %{size_download}' -H "$cookie" -H 'Range: bytes=1048576-2097151' \
    "http://127.0.0.1:$port/content/video.mp4")
  [ "$small" = "200 10240" ] && [ "$range" = "206 1048576" ] || {
    echo "server on port $port answered wrongly: small '$small', range '$range'" >&2
    exit 1
  }
}
check "$ours_port"
check "$nginx_port"

# wrk's summary: "Requests/sec: N" and "Transfer/sec: N{KB,MB,GB}"; non-2xx counts are errors.
requests() { awk '/Requests\/sec/ { print $2 }'; }
megabytes() {
  awk '/Transfer\/sec/ { v = $2; u = v; gsub(/[0-9.]/, "", u); gsub(/[A-Za-z]/, "", v);
        f = (u == "GB") ? 1024 : (u == "MB") ? 1 : (u == "KB") ? 1 / 1024 : 1 / 1048576; printf "%.1f", v * f }'
}
# One timed run of a case against one server: appends its figure to the list named <server>_<case>.
errors=""
measure() {
  local server=$1 case=$2 connections=$3 port out
  port=$([ "$server" = ours ] && echo "$ours_port" || echo "$nginx_port")
  if [ "${case%_*}" = small ]; then
    out=$(wrk -t"$threads" -c"$connections" -d"${seconds}s" -H "$cookie" "http://127.0.0.1:$port/small.bin" 2>&1)
    eval "${server}_${case}+=(\"$(requests <<<"$out")\")"
  else
    out=$(wrk -t"$threads" -c"$connections" -d"${seconds}s" -H "$cookie" -s "$work/range.lua" "http://127.0.0.1:$port" 2>&1)
    eval "${server}_${case}+=(\"$(megabytes <<<"$out")\")"
  fi
  local e
  e=$(awk '/Non-2xx|Socket errors/ { print }' <<<"$out")
  [ -z "$e" ] || errors+="$server $case: $e"$'\n'
}
cases="small_8 small_64 range_8 range_64"
for c in $cases; do eval "ours_$c=(); nginx_$c=()"; done
for round in $(seq "$rounds"); do
  for c in $cases; do
    if [ $((round % 2)) = 1 ]; then
      measure ours "$c" "${c#*_}"; measure nginx "$c" "${c#*_}"
    else
      measure nginx "$c" "${c#*_}"; measure ours "$c" "${c#*_}"
    fi
  done
done

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
echo
echo "wrk -t$threads -d${seconds}s, one request per connection, loopback, $rounds rounds (medians), $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-44s %12s %12s %11s\n' "" "ours" "nginx" "ours/nginx"
row() {
  local label=$1 c=$2 a b
  eval "a=\$(median \"\${ours_$c[@]}\"); b=\$(median \"\${nginx_$c[@]}\")"
  printf '%-44s %12s %12s %11s\n' "$label" "$a" "$b" "$(ratio "$a" "$b")"
  eval "echo \"  each round: ours \${ours_$c[*]}; nginx \${nginx_$c[*]}\""
}
row "10 KiB file, requests/s, -c8" small_8
row "10 KiB file, requests/s, -c64" small_64
row "1 MiB ranges of 256 MiB, MiB/s, -c8" range_8
row "1 MiB ranges of 256 MiB, MiB/s, -c64" range_64
[ -z "$errors" ] || printf '%s' "$errors"
exit 0
