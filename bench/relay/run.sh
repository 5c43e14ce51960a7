#!/usr/bin/env bash
# Relay benchmark: trevalquin against a plain SOCKS relay, same run, same
# machine.
#
# Usage: bench/relay/run.sh [SECONDS]   (as root, or with sudo available
# for the one-time apt-get of microsocks). It builds the project
# (RelWithDebInfo, in $TQ_BUILD_DIR, default build/) when the gateway or
# the module is missing, builds the load generator relay_load.cpp with
# g++ -O2, starts a scripted MSNP switchboard on a loopback port that the
# gateway treats as an MSNP port (so every byte goes through the module),
# then trevalquin and Debian's microsocks on loopback, and measures: bulk
# throughput of a switchboard MSG stream in each direction (about 1 GB or
# SECONDS, default 10, per run), its ratio to microsocks, the round-trip
# time of small MSG/ACK exchanges (median and p99) against a direct
# connection and microsocks, and the resident memory each relay adds per
# idle connection with 5,000 connections open. It prints a table, stops by
# itself and kills only the processes it started. Not part of CI; numbers
# on a shared or virtualised machine vary from run to run.
set -euo pipefail

SECS=${1:-10}
BYTES=${BENCH_BYTES:-1000000000}
IDLE=${BENCH_IDLE_CONNECTIONS:-5000}
PINGS=${BENCH_PINGS:-5000}
cd "$(dirname "$0")/../.."
ROOT=$PWD
BUILD=${TQ_BUILD_DIR:-build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac

WORK=$(mktemp -d /tmp/tq-relay-bench.XXXXXX)
PIDS=()
cleanup() {
  local p
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { printf '%s\n' "$*" >&2; }

# ---- prerequisites -----------------------------------------------------------
if ! command -v microsocks >/dev/null 2>&1; then
  say "installing microsocks"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get install -y -qq --no-install-recommends microsocks >/dev/null 2>&1 ||
    { $SUDO apt-get update -qq && $SUDO apt-get install -y -qq --no-install-recommends microsocks >/dev/null; }
fi
if [ ! -x "$BUILD/trevalquin" ] || [ ! -f "$BUILD/libtq3_msnp.so" ]; then
  say "building the gateway in $BUILD"
  bash tools/setup
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD" --target tq_gateway tq3_msnp -j "$(nproc)" >/dev/null
fi
LOAD=$WORK/relay_load
g++ -std=c++20 -O2 -Wall -Wextra -o "$LOAD" bench/relay/relay_load.cpp -pthread

# Each relay holds two descriptors per connection.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
if [ "$(ulimit -n)" != unlimited ] && [ "$(ulimit -n)" -lt $((2 * IDLE + 100)) ]; then
  say "open-file limit $(ulimit -n) too low for $IDLE connections; measuring with fewer"
  IDLE=$((($(ulimit -n) - 100) / 2))
fi

wait_for() { # FILE PATTERN: waits up to 10 s for a line
  local i
  for i in $(seq 100); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  say "timed out waiting for '$2' in $1"; cat "$1" >&2 || true
  return 1
}

# ---- the scripted switchboard and the two relays --------------------------
"$LOAD" server >"$WORK/server.port" &
PIDS+=($!)
wait_for "$WORK/server.port" '^[0-9]'
SB=$(head -1 "$WORK/server.port")

RUN=0
start_relays() { # fresh instances of both relays: sets TQ, TQ_PID, MS, MS_PID
  RUN=$((RUN + 1))
  "$BUILD/trevalquin" \
    --set "listen=127.0.0.1:0" \
    --set "msnp-ports=$SB" \
    --set "module=$BUILD/libtq3_msnp.so" \
    --set "admin-socket=$WORK/admin$RUN.sock" \
    --set "events-file=$WORK/events$RUN.log" \
    --set "max-connections=$((IDLE + 100))" \
    >"$WORK/gateway$RUN.out" 2>"$WORK/gateway$RUN.err" &
  TQ_PID=$!
  PIDS+=($TQ_PID)
  wait_for "$WORK/gateway$RUN.out" '^listening on'
  TQ=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$WORK/gateway$RUN.out" | head -1)

  MS=$("$LOAD" freeport)
  microsocks -i 127.0.0.1 -p "$MS" >"$WORK/microsocks$RUN.log" 2>&1 &
  MS_PID=$!
  PIDS+=($MS_PID)
  local i
  for i in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$MS") 2>/dev/null && break
    sleep 0.1
  done
}
stop_relays() {
  kill "$TQ_PID" "$MS_PID" 2>/dev/null || true
  wait "$TQ_PID" "$MS_PID" 2>/dev/null || true
}

field() { sed -n "s/^$1 //p"; }
# A failed measurement shows as "failed" in the table (its reason on
# stderr) instead of ending the run.
measure() {
  local out
  if out=$(timeout $((SECS * 3 + 60)) "$LOAD" "$@"); then printf '%s\n' "$out"; else say "  failed: relay_load $*"; fi
}

# ---- measurements -------------------------------------------------------------
declare -A R
start_relays
for dir in up down; do
  for via in direct tq ms; do
    case $via in direct) port=0 ;; tq) port=$TQ ;; ms) port=$MS ;; esac
    say "bulk $dir via $via"
    R[$dir.$via]=$(measure "bulk-$dir" "$port" "$SB" "$BYTES" "$SECS" | field mbps)
  done
done
for via in direct tq ms; do
  case $via in direct) port=0 ;; tq) port=$TQ ;; ms) port=$MS ;; esac
  say "round trips via $via"
  out=$(measure ping "$port" "$SB" "$PINGS")
  R[med.$via]=$(field median_us <<<"$out")
  R[p99.$via]=$(field p99_us <<<"$out")
done
# Memory is measured on fresh relays: heap that the bulk runs grew and freed
# would otherwise absorb the idle connections and hide their cost.
stop_relays
start_relays
for via in tq ms; do
  case $via in tq) port=$TQ pid=$TQ_PID ;; ms) port=$MS pid=$MS_PID ;; esac
  say "$IDLE idle connections via $via"
  out=$(measure idle "$port" "$SB" "$IDLE" "$pid")
  R[idle.$via]=$(field per_conn_kib <<<"$out")
  R[rss.$via]=$(field rss_after_kib <<<"$out")
done
stop_relays

# ---- report ------------------------------------------------------------------------
for k in up.direct up.tq up.ms down.direct down.tq down.ms med.direct med.tq med.ms p99.direct p99.tq p99.ms \
  idle.tq idle.ms rss.tq rss.ms; do
  [ -n "${R[$k]:-}" ] || R[$k]=failed
done
calc() { # FORMAT EXPR: "-" when an operand is missing
  case $2 in *failed*) echo - ;; *) awk "BEGIN { printf \"$1\", $2 }" ;; esac
}
printf '\nRelay benchmark: MSNP switchboard stream, %s s or %s bytes per run, %s idle connections\n\n' \
  "$SECS" "$BYTES" "$IDLE"
printf '%-34s %12s %12s %12s\n' "" trevalquin microsocks direct
printf '%-34s %12s %12s %12s\n' "throughput client->server (MB/s)" "${R[up.tq]}" "${R[up.ms]}" "${R[up.direct]}"
printf '%-34s %12s %12s %12s\n' "throughput server->client (MB/s)" "${R[down.tq]}" "${R[down.ms]}" "${R[down.direct]}"
printf '%-34s %11s%% %11s%% %12s\n' "  ratio to microsocks, up" "$(calc %.0f "100*${R[up.tq]}/${R[up.ms]}")" 100 ""
printf '%-34s %11s%% %11s%% %12s\n' "  ratio to microsocks, down" "$(calc %.0f "100*${R[down.tq]}/${R[down.ms]}")" 100 ""
printf '%-34s %12s %12s %12s\n' "round trip, median (us)" "${R[med.tq]}" "${R[med.ms]}" "${R[med.direct]}"
printf '%-34s %12s %12s %12s\n' "round trip, p99 (us)" "${R[p99.tq]}" "${R[p99.ms]}" "${R[p99.direct]}"
printf '%-34s %12s %12s %12s\n' "  added median vs direct (us)" \
  "$(calc %.1f "${R[med.tq]}-${R[med.direct]}")" "$(calc %.1f "${R[med.ms]}-${R[med.direct]}")" ""
printf '%-34s %12s %12s %12s\n' "  added median vs microsocks (us)" "$(calc %.1f "${R[med.tq]}-${R[med.ms]}")" "" ""
printf '%-34s %12s %12s %12s\n' "RSS per idle connection (KiB)" "${R[idle.tq]}" "${R[idle.ms]}" ""
printf '%-34s %12s %12s %12s\n' "RSS with connections open (KiB)" "${R[rss.tq]}" "${R[rss.ms]}" ""
