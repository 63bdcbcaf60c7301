#!/usr/bin/env bash
# Upload throughput through the whole server: tarnel-sim on a virtual cable
# and tarnel-client "put", as the client uses it. Prints the seconds and the
# KB/s of each run and the best run.
#
#   bench/upload_throughput.sh [SIM] [CLIENT] [KIB] [RUNS] [BUS_NS]
#
# SIM and CLIENT default to build/tarnel-sim and build/tarnel-client; KIB is
# the file size (default 4096), BUS_NS the time of one port access on the
# cable (default 0: as fast as the two processes go). Each run includes the
# client's connect, its "PUT "/"SIZE " commands and its listing check.
set -euo pipefail
cd "$(dirname "$0")/.."
sim=$(realpath "${1:-build/tarnel-sim}")
client=$(realpath "${2:-build/tarnel-client}")
kib=${3:-4096}
runs=${4:-5}
bus_ns=${5:-0}

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnel-bench.XXXXXX")
server_pid=""
finish() {
  set +e
  if [ -n "$server_pid" ]; then
    printf k >&3
    exec 3>&-
    for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$server_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap finish EXIT

cable=$work/bench.cable
mkdir "$work/server"
head -c $((kib * 1024)) /dev/urandom > "$work/file.bin"
mkfifo "$work/keyboard"
# The client creates the cable with the access time asked for; the server
# then finds it and answers the client's connect.
"$client" --cable "$cable" --bus-ns "$bus_ns" connect > /dev/null &
connect_pid=$!
for _ in $(seq 100); do [ -e "$cable" ] && break; sleep 0.05; done
"$sim" --cable "$cable" < "$work/keyboard" > "$work/console.log" 2>&1 &
server_pid=$!
exec 3> "$work/keyboard"
wait "$connect_pid"

remote=$(printf '%s' "$work/server/file.bin" | tr / '\\')
best=""
for run in $(seq "$runs"); do
  start=$(date +%s.%N)
  "$client" --cable "$cable" put "$work/file.bin" "$remote" > /dev/null
  end=$(date +%s.%N)
  cmp "$work/file.bin" "$work/server/file.bin"
  rate=$(awk -v s="$start" -v e="$end" -v k="$kib" 'BEGIN { printf "%.1f", k * 1.024 / (e - s) }')
  awk -v s="$start" -v e="$end" -v r="$run" -v rate="$rate" \
    'BEGIN { printf "run %d: %.3f s, %s KB/s\n", r, e - s, rate }'
  if [ -z "$best" ] || awk -v a="$rate" -v b="$best" 'BEGIN { exit !(a > b) }'; then best=$rate; fi
done
echo "best: $best KB/s ($kib KiB, bus_ns $bus_ns)"
