#!/usr/bin/env bash
# The host's downloads against `curl -o` on the same 200 MiB file in one run, served by nginx on
# the loopback. Each round runs all three (in rotating order) into the same file system; the table
# shows the median throughput of each, their ratio to curl, and the memory each needed:
#   layer: the download layer alone (bench/download_bench), growth of its peak resident size;
#   host:  the whole headless host, asked over its WebSocket for "/content/downloadresource"
#          (bench/host_download_bench): request to reply, growth of the host's peak resident size;
#   curl:  the whole curl process's peak resident size (GNU time's %M), an upper bound of its growth.
# Our times include flushing the file to disk (fdatasync) and renaming it into place; curl's
# (its own time_total) does not flush.
#
#   bench/download_vs_curl.sh [ROUNDS] [MIB]     (defaults: 5 rounds, 200 MiB)
#
# Needs nginx-light, curl and GNU time (scripts/install-deps.sh, time). Builds
# bench/download_bench and bench/host_download_bench into build/bench (Release), or takes them
# as they are from $KESTROM_BENCH_BUILD when KESTROM_BENCH_PREBUILT=1.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/nginx.sh
rounds=${1:-5}
mib=${2:-200}
build=${KESTROM_BENCH_BUILD:-build/bench}

command -v curl >/dev/null || { echo "curl is missing (scripts/install-deps.sh)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time is missing (apt-get install time)" >&2; exit 1; }

if [ "${KESTROM_BENCH_PREBUILT:-0}" != 1 ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROM_BUILD_APP=OFF -DKESTROM_BUILD_BENCH=ON >/dev/null
  cmake --build "$build" -j3 --target download_bench host_download_bench >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/download-bench.XXXXXX")
cleanup() {
  stop_nginx "$work/nginx"
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www" "$work/nginx" "$work/out"
head -c $((mib << 20)) /dev/urandom >"$work/www/file.bin"
want=$(sha256sum <"$work/www/file.bin" | cut -d' ' -f1)

port=$(free_port)
start_nginx "$work/nginx" "$work/www" "$port"
url="http://127.0.0.1:$port/file.bin"

check() {
  local got
  got=$(sha256sum <"$1" | cut -d' ' -f1)
  [ "$got" = "$want" ] || { echo "$2 wrote a wrong file" >&2; exit 1; }
  rm -f "$1"
}

ours_rate=() ours_rss=() host_rate=() host_rss=() curl_rate=() curl_rss=()
# One round of one of our benchmark programs: $1 names the result arrays ($1_rate, $1_rss), $2 the program.
run_bench() {
  local -n rates=$1_rate rss=$1_rss
  local line
  line=$("$build/bench/$2" "$url" "$work/out/$1.bin") || { echo "bench/$2 failed (exit $?): no table" >&2; exit 1; }
  check "$work/out/$1.bin" "$1"
  rates+=("$(sed -E 's/.*mib_per_s=([0-9.]+).*/\1/' <<<"$line")")
  rss+=("$(sed -E 's/.*rss_growth_kib=([0-9]+).*/\1/' <<<"$line")")
}
run_ours() { run_bench ours download_bench; }
run_host() { run_bench host host_download_bench; }
run_curl() {
  local seconds
  seconds=$(/usr/bin/time -f '%M' -o "$work/curl.rss" curl -sS --fail -o "$work/out/curl.bin" -w '%{time_total}' "$url") ||
    { echo "curl failed (exit $?): no table" >&2; exit 1; }
  check "$work/out/curl.bin" curl
  curl_rate+=("$(awk -v s="$seconds" -v m="$mib" 'BEGIN { printf "%.1f", m / s }')")
  curl_rss+=("$(tail -n1 "$work/curl.rss")")
}
for round in $(seq "$rounds"); do
  case $((round % 3)) in
    1) run_ours; run_host; run_curl ;;
    2) run_host; run_curl; run_ours ;;
    0) run_curl; run_ours; run_host ;;
  esac
done

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
a=$(median "${ours_rate[@]}"); h=$(median "${host_rate[@]}"); b=$(median "${curl_rate[@]}")
c=$(median "${ours_rss[@]}"); g=$(median "${host_rss[@]}"); d=$(median "${curl_rss[@]}")
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo
echo "$mib MiB from nginx on the loopback, $rounds rounds, medians, $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-44s %10s %10s %10s %11s %11s\n' "" "layer" "host" "curl -o" "layer/curl" "host/curl"
printf '%-44s %10s %10s %10s %11s %11s\n' "throughput, MiB/s" "$a" "$h" "$b" "$(ratio "$a" "$b")" "$(ratio "$h" "$b")"
printf '%-44s %10s %10s %10s\n' "memory, KiB (ours: peak growth; curl: peak)" "$c" "$g" "$d"
echo "layer, each round (MiB/s): ${ours_rate[*]}"
echo "host,  each round (MiB/s): ${host_rate[*]}"
echo "curl,  each round (MiB/s): ${curl_rate[*]}"
echo "host memory growth, each round (KiB): ${host_rss[*]}"
