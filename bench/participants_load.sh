#!/usr/bin/env bash
# Load run of the dial-in lookup, by hand: wrk with 64 connections against the SOAP method
# GetConferenceIDFromMemberPIN of the real program zyntparlevo, on 10,000 conferences with
# 100,000 memberships (every PIN 00000-99999 taken, random PINs asked), and in the same run
# against a bare handler on the same transport (webfront_bench_host). Prints requests per second, p50, p99
# and the ratio to the bare handler. The ratio takes the bare handler asked by the same client
# script as the lookup (random PINs, a request made per call): wrk shares the machine, and its
# per-request script costs it about half again as much as a fixed request, so only then do the
# two runs differ in their handlers alone. The bare handler with a fixed request is shown too.
#
#   bench/participants_load.sh [BUILD_DIR] [SECONDS] [--no-index]
# --no-index drops the indexes a new database gets, to compare. The build needs
# -DPARLEVO_BUILD_BENCH=ON. Needs wrk, python3 and sqlite3.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/program.sh
build=${1:-build}
seconds=${2:-10}
no_index=${3:-}
host_bin="$build/bench/webfront_bench_host"
[ -x "$host_bin" ] || { echo "build $host_bin first (-DPARLEVO_BUILD_BENCH=ON)" >&2; exit 1; }

home=$(mktemp -d)
trap 'stop_program; [ -n "${HOST_PID:-}" ] && kill "$HOST_PID" 2>/dev/null; wait 2>/dev/null; rm -rf "$home"' EXIT
mkdir -p "$home/Frontend" "$home/bare"
cp -r dist/Templates "$home/"

# A first start makes the database as on a new installation; then it is filled.
start_program "$build" "$home"
stop_program
fill_pin_database "$home"
if [ "$no_index" = "--no-index" ]; then
  sqlite3 "$home/Database/conference.mdb" "DROP INDEX IF EXISTS conferenceMembers_pin;
    DROP INDEX IF EXISTS conferenceMembers_conference;
    DROP INDEX IF EXISTS conferenceMemberLog_membership;"
fi
start_program "$build" "$home"

# The bench host's own front stays unused; only its bare server counts.
coproc HOST { "$host_bin" "$home/bare" "$home/bare/registry.reg"; }
read -r _ _ <&"${HOST[0]}"
read -r _ bare_port <&"${HOST[0]}"

url="http://127.0.0.1:$program_port/soap/IZYNTConferenceService"
answer=$(curl -s -H 'Content-Type: text/xml' --data '<?xml version="1.0"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"><SOAP-ENV:Body><NS1:GetConferenceIDFromMemberPIN xmlns:NS1="urn:SOAPIntf-IZYNTConferenceService"><strMemberPIN>04711</strMemberPIN></NS1:GetConferenceIDFromMemberPIN></SOAP-ENV:Body></SOAP-ENV:Envelope>' "$url")
case "$answer" in
  *"&lt;id&gt;4712&lt;/id&gt;"*) ;;
  *) echo "the PIN lookup does not find its membership: $answer" >&2; exit 1 ;;
esac

run() {  # name url script
  local out rps p50 p99 errors
  out=$(SOAP_METHOD=getAmPm wrk -t4 -c64 -d"${seconds}s" --latency -s "$3" "$2")
  rps=$(awk '/^Requests\/sec/ {print $2}' <<<"$out")
  p50=$(awk '/^p50/ {print $2}' <<<"$out")
  p99=$(awk '/^p50/ {print $5}' <<<"$out")
  errors=$(awk '/^p50/ {print $NF}' <<<"$out")
  printf '%-30s %10s req/s   p50 %6s ms   p99 %6s ms   non-200 %s\n' "$1" "$rps" "$p50" "$p99" "$errors"
  eval "rps_$4=$rps"
}

echo "64 connections, ${seconds}s each${no_index:+, without indexes}"
run "bare, fixed request" "http://127.0.0.1:$bare_port/soap/IZYNTConferenceService" bench/soap_post.lua fixed
run "bare, lookup's client" "http://127.0.0.1:$bare_port/soap/IZYNTConferenceService" bench/pin_lookup_post.lua bare
run GetConferenceIDFromMemberPIN "$url" bench/pin_lookup_post.lua pin
awk -v b="$rps_bare" -v f="$rps_fixed" -v p="$rps_pin" 'BEGIN {
  printf "ratio GetConferenceIDFromMemberPIN/bare %.0f %% (to the bare handler with a fixed request %.0f %%)\n", 100*p/b, 100*p/f }'
