#!/usr/bin/env bash
# Load run of the web front, by hand: wrk with 64 connections against the SOAP methods getAmPm and
# getLatestVersion of the real program zyntparlevo and, in the same run, against a bare handler
# on the same transport that answers a fixed text (webfront_bench_host). Prints requests per
# second, p50 and p99 of each and the ratio SOAP / bare.
#
#   bench/webfront_load.sh [BUILD_DIR] [SECONDS]
# The build needs -DPARLEVO_BUILD_BENCH=ON. Needs wrk and python3.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/program.sh
build=${1:-build}
seconds=${2:-10}
host_bin="$build/bench/webfront_bench_host"
[ -x "$host_bin" ] || { echo "build $host_bin first (-DPARLEVO_BUILD_BENCH=ON)" >&2; exit 1; }

home=$(mktemp -d)
trap 'stop_program; [ -n "${HOST_PID:-}" ] && kill "$HOST_PID" 2>/dev/null; wait 2>/dev/null; rm -rf "$home"' EXIT
mkdir -p "$home/Frontend" "$home/bare"
cp -r dist/Templates "$home/"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvalen\\Parlevo for ZyntWare]\r\n"InstallPath"="%s/"\r\n"Language"="ger"\r\n"TimeShowMode"=dword:00000018\r\n' \
  "$home" > "$home/registry.reg"
start_program "$build" "$home"

# The bench host's own front stays unused; only its bare server counts.
coproc HOST { "$host_bin" "$home/bare" "$home/bare/registry.reg"; }
read -r _ _ <&"${HOST[0]}"
read -r _ bare_port <&"${HOST[0]}"

run() {  # name url method
  local out rps p50 p99
  out=$(SOAP_METHOD=$3 wrk -t4 -c64 -d"${seconds}s" --latency -s bench/soap_post.lua "$2")
  rps=$(awk '/^Requests\/sec/ {print $2}' <<<"$out")
  p50=$(awk '/^p50/ {print $2}' <<<"$out")
  p99=$(awk '/^p50/ {print $5}' <<<"$out")
  errors=$(awk '/^p50/ {print $NF}' <<<"$out")
  printf '%-18s %10s req/s   p50 %6s ms   p99 %6s ms   non-200 %s\n' "$1" "$rps" "$p50" "$p99" "$errors"
  eval "rps_$1=$rps"
}

echo "64 connections, ${seconds}s each"
run bare "http://127.0.0.1:$bare_port/" getAmPm
run getAmPm "http://127.0.0.1:$program_port/soap/IZYNTConferenceService" getAmPm
run getLatestVersion "http://127.0.0.1:$program_port/soap/IZYNTConferenceService" getLatestVersion
awk -v b="$rps_bare" -v a="$rps_getAmPm" -v v="$rps_getLatestVersion" \
  'BEGIN { printf "ratio getAmPm/bare %.0f %%, getLatestVersion/bare %.0f %%\n", 100*a/b, 100*v/b }'
