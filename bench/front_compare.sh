#!/usr/bin/env bash
# The PIN lookup of two builds of the program side by side, by hand: both serve the same filled
# database (10,000 conferences, 100,000 memberships) in turn, wrk with 4 threads and 64
# connections, ROUNDS rounds alternating A and B, so that a change of the machine's load meets
# both. Prints requests per second and p50/p99 of each run and the load average before each.
#
#   bench/front_compare.sh BUILD_A BUILD_B [SECONDS] [ROUNDS]
# For example a build of the program before a change of its front against the current one.
# Needs wrk, python3 and sqlite3.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/program.sh
build_a=$1
build_b=$2
seconds=${3:-10}
rounds=${4:-3}

home=$(mktemp -d)
trap 'stop_program; rm -rf "$home"' EXIT
mkdir -p "$home/Frontend"
cp -r dist/Templates "$home/"
start_program "$build_b" "$home"
stop_program
fill_pin_database "$home"

run() {  # label build
  start_program "$2" "$home"
  local load out
  load=$(cut -d' ' -f1 /proc/loadavg)
  out=$(wrk -t4 -c64 -d"${seconds}s" --latency -s bench/pin_lookup_post.lua \
    "http://127.0.0.1:$program_port/soap/IZYNTConferenceService")
  stop_program
  printf '%-3s %10s req/s   %s   load %s\n' "$1" "$(awk '/^Requests\/sec/ {print $2}' <<<"$out")" \
    "$(grep '^p50' <<<"$out")" "$load"
}

echo "A: $build_a   B: $build_b   64 connections, ${seconds}s each"
for ((i = 1; i <= rounds; i++)); do
  run A "$build_a"
  run B "$build_b"
done
