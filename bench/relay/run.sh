#!/usr/bin/env bash
# Relay benchmark: trevalquin against plain SOCKS relays, same run, same
# machine.
#
# Usage: bench/relay/run.sh [SECONDS]   (as root, or with sudo available
# for the one-time apt-get of dante-server and microsocks). It builds the
# project (RelWithDebInfo, in $TQ_BUILD_DIR, default build/) when the
# gateway or the module is missing, builds the load generator
# relay_load.cpp with g++ -O2, starts a scripted MSNP switchboard on a
# loopback port that the gateway treats as an MSNP port (so every byte goes
# through the module), then trevalquin with bench/relay/policy.xml (every
# session signs in a user of that policy and every message is decided by
# relations with a time window, an IM type set and a content expression,
# and noted in the chat log without its text), Debian's dante-server
# (danted) and microsocks on loopback, and measures: bulk throughput of a
# switchboard MSG stream in each direction (about 1 GB or SECONDS, default
# 10, per run), its ratio to dante and microsocks, the same stream for a
# user whose chat log and events keep every message text (what writing
# the texts to disk costs on top), the same stream through
# trevalquin's module without a signed-in user, server to client only (a
# client's commands wait for its sign-in; framed and relayed, nothing
# decided or logged: what the policy costs is the difference; the chat log
# and the events file of a run are written out before the next run starts,
# so that no run measures how fast the disk takes the one before), the
# round-trip time of small
# MSG/ACK exchanges (median and p99) against a direct connection and both
# relays, the time of a notification-server sign-in with 100, 1,000 and
# 5,000 contacts (the first contact list and one presence line per
# contact, each decided), and the resident memory trevalquin and microsocks add per idle
# connection with 5,000 connections open (dante serves connections from
# several processes, so its memory is not comparable this way). It prints
# a table, stops by itself and kills only the processes it started. Not
# part of CI; numbers on a shared or virtualised machine vary from run to
# run.
set -euo pipefail

SECS=${1:-10}
BYTES=${BENCH_BYTES:-1000000000}
IDLE=${BENCH_IDLE_CONNECTIONS:-5000}
PINGS=${BENCH_PINGS:-5000}
cd "$(dirname "$0")/../.."
. bench/relay/common.sh

# ---- prerequisites -----------------------------------------------------------
need_peers
if [ "$(ulimit -n)" != unlimited ] && [ "$(ulimit -n)" -lt $((2 * IDLE + 100)) ]; then
  say "open-file limit $(ulimit -n) too low for $IDLE connections; measuring with fewer"
  IDLE=$((($(ulimit -n) - 100) / 2))
fi


# ---- the scripted switchboard and the two relays --------------------------
"$LOAD" server >"$WORK/server.port" &
PIDS+=($!)
wait_for "$WORK/server.port" '^[0-9]'
SB=$(head -1 "$WORK/server.port")

RUN=0
start_relays() { # fresh relays: sets TQ, TQ_PID, DA, DA_PID, MS, MS_PID
  RUN=$((RUN + 1))
  start_trevalquin "$RUN" bench/relay/policy.xml "$SB" $((IDLE + 100))
  start_dante "$RUN"
  start_microsocks "$RUN"
}
stop_relays() {
  kill "$TQ_PID" "$DA_PID" "$MS_PID" 2>/dev/null || true
  wait "$TQ_PID" "$DA_PID" "$MS_PID" 2>/dev/null || true
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
  for via in direct tq texts anon da ms; do
    # A client's commands wait for its sign-in: there is no upward stream
    # through the module without a user.
    [ "$dir.$via" = up.anon ] && continue
    extra=()
    case $via in
    direct) port=0 ;; tq) port=$TQ ;; texts) port=$TQ extra=(texts) ;; anon) port=$TQ extra=(anonymous) ;;
    da) port=$DA ;; ms) port=$MS ;;
    esac
    say "bulk $dir via $via"
    R[$dir.$via]=$(measure "bulk-$dir" "$port" "$SB" "$BYTES" "$SECS" "${extra[@]}" | field mbps)
    # Each run starts with the logs of the last one written out: a run
    # would otherwise measure how fast the disk takes the run before.
    if [ "$via" = tq ] || [ "$via" = texts ]; then
      rm -rf "$WORK/logs$RUN"
      : >"$WORK/events$RUN.log"
      sync
    fi
  done
done
for via in direct tq da ms; do
  case $via in direct) port=0 ;; tq) port=$TQ ;; da) port=$DA ;; ms) port=$MS ;; esac
  say "round trips via $via"
  out=$(measure ping "$port" "$SB" "$PINGS")
  R[med.$via]=$(field median_us <<<"$out")
  R[p99.$via]=$(field p99_us <<<"$out")
done
SIGNIN_ROUNDS=${BENCH_SIGNIN_ROUNDS:-20}
for n in 100 1000 5000; do
  for via in direct tq da; do
    case $via in direct) port=0 ;; tq) port=$TQ ;; da) port=$DA ;; esac
    say "sign-ins with $n contacts via $via"
    R[signin$n.$via]=$(measure signin "$port" "$SB" "$n" "$SIGNIN_ROUNDS" | field median_ms)
  done
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
R[up.anon]=n/a
for k in up.direct up.tq up.texts up.anon up.da up.ms down.direct down.tq down.texts down.anon down.da down.ms med.direct med.tq med.da med.ms \
  p99.direct p99.tq p99.da p99.ms idle.tq idle.ms rss.tq rss.ms; do
  [ -n "${R[$k]:-}" ] || R[$k]=failed
done
calc() { # FORMAT EXPR: "-" when an operand is missing
  case $2 in *failed*) echo - ;; *) awk "BEGIN { printf \"$1\", $2 }" ;; esac
}
row() { printf '%-34s %12s %12s %12s %12s\n' "$@"; }
printf '\nRelay benchmark: MSNP switchboard stream, %s s or %s bytes per run, %s idle connections\n' \
  "$SECS" "$BYTES" "$IDLE"
printf 'trevalquin decides every message with bench/relay/policy.xml and logs who wrote when;\n'
printf 'with its texts logged too, the chat log and the events file also keep every message text\n\n'
row "" trevalquin dante microsocks direct
row "throughput client->server (MB/s)" "${R[up.tq]}" "${R[up.da]}" "${R[up.ms]}" "${R[up.direct]}"
row "throughput server->client (MB/s)" "${R[down.tq]}" "${R[down.da]}" "${R[down.ms]}" "${R[down.direct]}"
row "  message texts logged too, up" "${R[up.texts]}" "" "" ""
row "  message texts logged too, down" "${R[down.texts]}" "" "" ""
row "  module, no user to decide for, up" "${R[up.anon]}" "" "" ""
row "  module, no user to decide for, down" "${R[down.anon]}" "" "" ""
row "  cost of the policy, down" "$(calc %.0f%% "100-100*${R[down.tq]}/${R[down.anon]}")" "" "" ""
row "  trevalquin / dante, up" "$(calc %.2f "${R[up.tq]}/${R[up.da]}")" "" "" ""
row "  trevalquin / dante, down" "$(calc %.2f "${R[down.tq]}/${R[down.da]}")" "" "" ""
row "  texts logged too / dante, up" "$(calc %.2f "${R[up.texts]}/${R[up.da]}")" "" "" ""
row "  texts logged too / dante, down" "$(calc %.2f "${R[down.texts]}/${R[down.da]}")" "" "" ""
row "  trevalquin / microsocks, up" "$(calc %.2f "${R[up.tq]}/${R[up.ms]}")" "" "" ""
row "  trevalquin / microsocks, down" "$(calc %.2f "${R[down.tq]}/${R[down.ms]}")" "" "" ""
row "round trip, median (us)" "${R[med.tq]}" "${R[med.da]}" "${R[med.ms]}" "${R[med.direct]}"
row "round trip, p99 (us)" "${R[p99.tq]}" "${R[p99.da]}" "${R[p99.ms]}" "${R[p99.direct]}"
row "  trevalquin / dante, median" "$(calc %.2f "${R[med.tq]}/${R[med.da]}")" "" "" ""
row "  added median vs direct (us)" "$(calc %.1f "${R[med.tq]}-${R[med.direct]}")" \
  "$(calc %.1f "${R[med.da]}-${R[med.direct]}")" "$(calc %.1f "${R[med.ms]}-${R[med.direct]}")" ""
for n in 100 1000 5000; do
  for via in direct tq da; do [ -n "${R[signin$n.$via]:-}" ] || R[signin$n.$via]=failed; done
  row "sign-in, $n contacts (ms)" "${R[signin$n.tq]}" "${R[signin$n.da]}" "" "${R[signin$n.direct]}"
done
row "RSS per idle connection (KiB)" "${R[idle.tq]}" "n/a" "${R[idle.ms]}" ""
row "RSS with connections open (KiB)" "${R[rss.tq]}" "n/a" "${R[rss.ms]}" ""
