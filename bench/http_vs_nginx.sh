#!/usr/bin/env bash
# The host's HTTP server against nginx on the same files, driven by wrk in one run:
#   1. requests/s for a 10 KiB file;
#   2. MB/s for random 1 MiB byte ranges of a 256 MiB ".mp4" file.
# Both servers listen on the loopback, one request per connection (nginx with one worker process
# and keep-alive off, as ours has none), nginx runs as the current user from a temporary prefix
# with sendfile on. Every request carries our server's session cookie (nginx ignores it).
#
#   bench/http_vs_nginx.sh [SECONDS] [THREADS] [CONNECTIONS]     (defaults: 10 s, 4 wrk threads, 8)
#
# Needs wrk and nginx-light (scripts/install-deps.sh). Builds bench/http_serve into build/bench.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
threads=${2:-4}
connections=${3:-8}
build=${KESTROM_BENCH_BUILD:-build/bench}

command -v wrk >/dev/null || { echo "wrk is missing (scripts/install-deps.sh)" >&2; exit 1; }
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || { echo "nginx is missing (scripts/install-deps.sh)" >&2; exit 1; }

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROM_BUILD_APP=OFF -DKESTROM_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target http_serve >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/http-bench.XXXXXX")
ours_pid=""
nginx_started=""
cleanup() {
  [ -n "$ours_pid" ] && kill "$ours_pid" 2>/dev/null && wait "$ours_pid" 2>/dev/null || true
  [ -n "$nginx_started" ] && "$nginx" -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" -s stop 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www/content" "$work/nginx"
head -c 10240 /dev/urandom >"$work/www/small.bin"
head -c $((256 << 20)) /dev/urandom >"$work/www/content/video.mp4"

# Ours.
"$build/bench/http_serve" "$work/www" >"$work/ours.port" 2>"$work/ours.log" &
ours_pid=$!
for _ in $(seq 100); do [ "$(wc -l <"$work/ours.port")" -ge 2 ] && break; sleep 0.05; done
ours_port=$(head -n1 "$work/ours.port")
# Ours refuses requests without the session cookie; both servers get the same request bytes.
export KESTROM_BENCH_COOKIE=$(sed -n 2p "$work/ours.port")
cookie="Cookie: $KESTROM_BENCH_COOKIE"

# nginx on a free loopback port.
nginx_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
cat >"$work/nginx/nginx.conf" <<CONF
user $(id -un) $(id -gn);
daemon on;
pid $work/nginx/nginx.pid;
worker_processes 1;
error_log $work/nginx/error.log error;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 0;
  types { video/mp4 mp4; }
  default_type application/octet-stream;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/www;
  }
}
CONF
"$nginx" -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log"
nginx_started=1
sleep 0.3

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
run() {
  wrk -t"$threads" -c"$connections" -d"${seconds}s" -H "$cookie" "$@" 2>&1
}
requests() { awk '/Requests\/sec/ { print $2 }'; }
megabytes() {
  awk '/Transfer\/sec/ { v = $2; u = v; gsub(/[0-9.]/, "", u); gsub(/[A-Za-z]/, "", v);
        f = (u == "GB") ? 1024 : (u == "MB") ? 1 : (u == "KB") ? 1 / 1024 : 1 / 1048576; printf "%.1f", v * f }'
}
errors() { awk '/Non-2xx|Socket errors/ { print }'; }

ours_small=$(run "http://127.0.0.1:$ours_port/small.bin")
nginx_small=$(run "http://127.0.0.1:$nginx_port/small.bin")
ours_range=$(run -s "$work/range.lua" "http://127.0.0.1:$ours_port")
nginx_range=$(run -s "$work/range.lua" "http://127.0.0.1:$nginx_port")

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
a=$(requests <<<"$ours_small"); b=$(requests <<<"$nginx_small")
c=$(megabytes <<<"$ours_range"); d=$(megabytes <<<"$nginx_range")
echo
echo "wrk -t$threads -c$connections -d${seconds}s, one request per connection, loopback, $(nproc) CPUs"
printf '%-40s %14s %14s %10s\n' "" "ours" "nginx" "ours/nginx"
printf '%-40s %14s %14s %10s\n' "10 KiB file, requests/s" "$a" "$b" "$(ratio "$a" "$b")"
printf '%-40s %14s %14s %10s\n' "1 MiB ranges of 256 MiB, MiB/s" "$c" "$d" "$(ratio "$c" "$d")"
for name in ours_small nginx_small ours_range nginx_range; do
  e=$(errors <<<"${!name}")
  [ -n "$e" ] && echo "$name: $e"
done
exit 0
