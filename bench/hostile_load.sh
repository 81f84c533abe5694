#!/usr/bin/env bash
# Load run of the dial-in lookup against a hostile world, by hand, on the real program zyntparlevo
# with the database of participants_load.sh (10,000 conferences, 100,000 memberships):
#  1. GetConferenceIDFromMemberPIN with wrk (64 connections) while another process holds 2,000
#     slow connections from four other loopback addresses (a head byte a second, connecting
#     again a second after being cut off): p50, p99 and errors;
#  2. the program's peak resident memory while 4 clients POST 200 MB each.
# The program runs with as many descriptors as the hard limit allows, up to the unit's 65536.
#
#   bench/hostile_load.sh [BUILD_DIR] [SECONDS]
# Needs wrk, python3, sqlite3 and curl.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/program.sh
build=${1:-build}
seconds=${2:-10}
hard=$(ulimit -Hn)
[ "$hard" = unlimited ] && hard=65536
ulimit -n $((hard < 65536 ? hard : 65536))

home=$(mktemp -d)
trap 'stop_program; [ -n "${SLOW_PID:-}" ] && kill "$SLOW_PID" 2>/dev/null; wait 2>/dev/null; rm -rf "$home"' EXIT
mkdir -p "$home/Frontend"
cp -r dist/Templates "$home/"
start_program "$build" "$home"
stop_program
fill_pin_database "$home"
start_program "$build" "$home"
url="http://127.0.0.1:$program_port/soap/IZYNTConferenceService"

python3 bench/slow_clients.py "$program_port" 2000 $((seconds + 4)) 1 &
SLOW_PID=$!
sleep 2
out=$(wrk -t4 -c64 -d"${seconds}s" --latency -s bench/pin_lookup_post.lua "$url")
echo "GetConferenceIDFromMemberPIN while 2,000 slow clients are held:"
awk '/^Requests\/sec/ {print "  " $2 " req/s"} /^p50/ {print "  " $0} /Socket errors/ {print "  " $0}' <<<"$out"
wait "$SLOW_PID" || true
SLOW_PID=

echo "resident memory before: $(awk '/^VmRSS/ {print int($2 / 1024)}' "/proc/$program_pid/status") MB"
peak=0
posts=()
for i in 1 2 3 4; do
  head -c $((200 << 20)) /dev/zero |
    curl -s -o /dev/null -w "  POST $i: %{http_code}\n" -H 'Content-Type: text/xml' \
      -H "Content-Length: $((200 << 20))" -H 'Expect:' --data-binary @- "$url" &
  posts+=($!)
done
while kill -0 "${posts[@]}" 2>/dev/null; do
  rss=$(awk '/^VmRSS/ {print $2}' "/proc/$program_pid/status")
  if [ "$rss" -gt "$peak" ]; then peak=$rss; fi
  sleep 0.02
done
wait "${posts[@]}" || true
echo "peak resident memory while 4 clients POST 200 MB each: $((peak / 1024)) MB"
