#!/usr/bin/env bash
# Load run of the room and PIN actions through SOAP, by hand: wrk with 16 connections against
# DoKonferenzAction on an install folder with 1,000 rooms, 20,000 conferences and 8,000 host PINs
# in use. Prints requests per second, p50 and p99 of GetKonferenzen (one room, one month) and of
# getNextFreeHostPin.
#
#   bench/conferences_load.sh [BUILD_DIR] [SECONDS]
# The build needs -DPARLEVO_BUILD_BENCH=ON (conferences_bench fills the folder, the web front's
# webfront_bench_host serves it). Needs wrk.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-10}
host_bin="$build/bench/webfront_bench_host"
fill_bin="$build/bench/conferences_bench"
for bin in "$host_bin" "$fill_bin"; do
  [ -x "$bin" ] || { echo "build $bin first (-DPARLEVO_BUILD_BENCH=ON)" >&2; exit 1; }
done

home=$(mktemp -d)
host_pid=
cleanup() {
  exec 3>&- 2>/dev/null || true
  [ -n "$host_pid" ] && wait "$host_pid" 2>/dev/null || true
  rm -rf "$home"
}
trap cleanup EXIT
mkdir -p "$home/Frontend"
cp -r dist/Templates "$home/"
"$fill_bin" --fill "$home"

# The host runs until its standard input (the fifo held open on fd 3) closes.
export TZ=Europe/Berlin
mkfifo "$home/host.in"
"$host_bin" "$home" "$home/registry.reg" <"$home/host.in" >"$home/host.out" &
host_pid=$!
exec 3>"$home/host.in"
until grep -q '^BARE ' "$home/host.out" 2>/dev/null; do
  kill -0 "$host_pid" 2>/dev/null || { echo "host did not start" >&2; exit 1; }
  sleep 0.1
done
soap_port=$(awk '/^SOAP / {print $2}' "$home/host.out")
url="http://127.0.0.1:$soap_port/soap/IZYNTConferenceService"

run() {  # name request
  local out rps p50 p99 errors
  out=$(KONFERENZ_REQUEST=$2 wrk -t4 -c16 -d"${seconds}s" --latency -s bench/conferences_post.lua "$url")
  rps=$(awk '/^Requests\/sec/ {print $2}' <<<"$out")
  p50=$(awk '/^p50/ {print $2}' <<<"$out")
  p99=$(awk '/^p50/ {print $5}' <<<"$out")
  errors=$(awk '/^p50/ {print $9}' <<<"$out")
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
