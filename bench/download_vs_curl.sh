#!/usr/bin/env bash
# The host's downloader against `curl -o` on the same 200 MiB file in one run, served by nginx on
# the loopback. Each round runs both (in alternating order) into the same folder; the table shows
# the median throughput of each, their ratio, and the memory each needed:
#   ours:  growth of the peak resident size during the download (bench/download_bench);
#   curl:  the whole curl process's peak resident size (GNU time's %M), an upper bound of its growth.
# Our time includes flushing the file to disk (fdatasync) and renaming it into place; curl's
# (its own time_total) does not flush.
#
#   bench/download_vs_curl.sh [ROUNDS] [MIB]     (defaults: 5 rounds, 200 MiB)
#
# Needs nginx-light, curl and GNU time (scripts/install-deps.sh, time). Builds
# bench/download_bench into build/bench.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
mib=${2:-200}
build=${KESTROM_BENCH_BUILD:-build/bench}

command -v curl >/dev/null || { echo "curl is missing (scripts/install-deps.sh)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time is missing (apt-get install time)" >&2; exit 1; }
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || { echo "nginx is missing (scripts/install-deps.sh)" >&2; exit 1; }

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROM_BUILD_APP=OFF -DKESTROM_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target download_bench >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/download-bench.XXXXXX")
nginx_started=""
cleanup() {
  [ -n "$nginx_started" ] && "$nginx" -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" -s stop 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www" "$work/nginx" "$work/out"
head -c $((mib << 20)) /dev/urandom >"$work/www/file.bin"
want=$(sha256sum <"$work/www/file.bin" | cut -d' ' -f1)

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
cat >"$work/nginx/nginx.conf" <<CONF
user $(id -un) $(id -gn);
daemon on;
pid $work/nginx/nginx.pid;
worker_processes 1;
error_log $work/nginx/error.log error;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  default_type application/octet-stream;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
  }
}
CONF
"$nginx" -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log"
nginx_started=1
url="http://127.0.0.1:$port/file.bin"
for _ in $(seq 100); do curl -sf -o /dev/null -r 0-0 "$url" && break; sleep 0.05; done

check() {
  local got
  got=$(sha256sum <"$1" | cut -d' ' -f1)
  [ "$got" = "$want" ] || { echo "$2 wrote a wrong file" >&2; exit 1; }
  rm -f "$1"
}

ours_rate=() ours_rss=() curl_rate=() curl_rss=()
run_ours() {
  local line
  line=$("$build/bench/download_bench" "$url" "$work/out/ours.bin")
  check "$work/out/ours.bin" ours
  ours_rate+=("$(sed -E 's/.*mib_per_s=([0-9.]+).*/\1/' <<<"$line")")
  ours_rss+=("$(sed -E 's/.*rss_growth_kib=([0-9]+).*/\1/' <<<"$line")")
}
run_curl() {
  local seconds
  seconds=$(/usr/bin/time -f '%M' -o "$work/curl.rss" curl -sS --fail -o "$work/out/curl.bin" -w '%{time_total}' "$url")
  check "$work/out/curl.bin" curl
  curl_rate+=("$(awk -v s="$seconds" -v m="$mib" 'BEGIN { printf "%.1f", m / s }')")
  curl_rss+=("$(tail -n1 "$work/curl.rss")")
}
for round in $(seq "$rounds"); do
  if ((round % 2)); then run_ours; run_curl; else run_curl; run_ours; fi
done

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
a=$(median "${ours_rate[@]}"); b=$(median "${curl_rate[@]}")
c=$(median "${ours_rss[@]}"); d=$(median "${curl_rss[@]}")
echo
echo "$mib MiB from nginx on the loopback, $rounds rounds, medians, $(nproc) CPUs"
printf '%-44s %12s %12s %10s\n' "" "ours" "curl -o" "ours/curl"
printf '%-44s %12s %12s %10s\n' "throughput, MiB/s" "$a" "$b" "$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.2f", a / b }')"
printf '%-44s %12s %12s\n' "memory, KiB (ours: peak growth; curl: peak)" "$c" "$d"
echo "ours, each round (MiB/s): ${ours_rate[*]}"
echo "curl, each round (MiB/s): ${curl_rate[*]}"
