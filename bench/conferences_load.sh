#!/usr/bin/env bash
# Load run of the room and PIN actions through SOAP, by hand: wrk with 16 connections against
# DoKonferenzAction on an install folder with 1,000 rooms, 20,000 conferences and 8,000 host PINs
# in use. Prints requests per second, p50 and p99 of GetKonferenzen (one room, one month) and of
# getNextFreeHostPin.
#
#   bench/conferences_load.sh [BUILD_DIR] [SECONDS]
# The build needs -DPARLEVO_BUILD_BENCH=ON (conferences_bench fills the folder, the real program
# zyntparlevo serves it). Needs wrk and python3.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/program.sh
build=${1:-build}
seconds=${2:-10}
fill_bin="$build/bench/conferences_bench"
[ -x "$fill_bin" ] || { echo "build $fill_bin first (-DPARLEVO_BUILD_BENCH=ON)" >&2; exit 1; }

home=$(mktemp -d)
trap 'stop_program; rm -rf "$home"' EXIT
mkdir -p "$home/Frontend"
cp -r dist/Templates "$home/"
"$fill_bin" --fill "$home"
export TZ=Europe/Berlin
start_program "$build" "$home"
url="http://127.0.0.1:$program_port/soap/IZYNTConferenceService"

run() {  # name request
  local out rps p50 p99 errors
  out=$(KONFERENZ_REQUEST=$2 wrk -t4 -c16 -d"${seconds}s" --latency -s bench/conferences_post.lua "$url")
  rps=$(awk '/^Requests\/sec/ {print $2}' <<<"$out")
  p50=$(awk '/^p50/ {print $2}' <<<"$out")
  p99=$(awk '/^p50/ {print $5}' <<<"$out")
  errors=$(awk '/^p50/ {print $NF}' <<<"$out")
  printf '%-20s %10s req/s   p50 %6s ms   p99 %6s ms   non-200 %s\n' "$1" "$rps" "$p50" "$p99" "$errors"
}

# The answers must be the actions' own, not the dispatcher's "error".
soap_body() {  # request document
  local escaped
  escaped=$(printf '%s' "$1" | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g')
  printf '%s' '<?xml version="1.0" encoding="utf-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"><SOAP-ENV:Body><NS1:DoKonferenzAction xmlns:NS1="urn:SOAPIntf-IZYNTConferenceService"><Request>'"$escaped"'</Request></NS1:DoKonferenzAction></SOAP-ENV:Body></SOAP-ENV:Envelope>'
}
answer=$(curl -s -H 'Content-Type: text/xml' --data "$(soap_body '<request><action>getNextFreeHostPin</action></request>')" "$url")
case "$answer" in
  *"Pin erzeugt"*) ;;
  *) echo "getNextFreeHostPin is not answered by its handler: $answer" >&2; exit 1 ;;
esac

echo "16 connections, ${seconds}s each"
run GetKonferenzen '<request><action>GetKonferenzen</action><Durchwahl>1500</Durchwahl><Monat>3</Monat><Jahr>2026</Jahr></request>'
run getNextFreeHostPin '<request><action>getNextFreeHostPin</action></request>'
