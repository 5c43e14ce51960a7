#!/usr/bin/env bash
# Load benchmark: a day at the gateway. bench/load/load.cpp signs in USERS
# users through a relay (their contact lists and presence included), opens
# USERS/10 conversations and exchanges RATE messages a second in all for
# SECONDS, checking every message and presence line; see its header.
#
# Usage: bench/load/run.sh [SECONDS] [RATE]   (defaults 10 and 2000; as root,
# or with sudo for the one-time apt-get of dante-server and microsocks).
# For 100, 1,000 and 5,000 users it measures trevalquin with the policy of
# `load policy 10000` (10,000 users in nodes, groups, time windows, IM type
# sets and a content expression: blocked contacts, file offers and leaks
# must not get through), and Debian's dante-server and microsocks relaying
# only (everything must get through). Then the messages a second at
# saturation (a rate no relay keeps up with, 1,000 users), and a policy
# reload (SIGHUP) of trevalquin in the middle of a run. trevalquin runs
# twice: as configured above, and writing every message to a SQLite
# archive as well ("+ archive"). It prints one table. Not part of CI.
# BENCH_USERS (say "7000") and BENCH_RELAYS (some of "tq ta da ms":
# trevalquin, with the archive, dante, microsocks) choose what it runs; the
# saturation and the reload are measured where trevalquin is.
set -euo pipefail

SECS=${1:-10}
RATE=${2:-2000}
SIZES=${BENCH_USERS:-"100 1000 5000"}
RELAYS=${BENCH_RELAYS:-"tq ta da ms"}
cd "$(dirname "$0")/../.."
. bench/relay/common.sh
need_peers

GEN=$WORK/load
g++ -std=c++20 -O2 -Wall -Wextra -o "$GEN" bench/load/load.cpp -pthread
"$GEN" policy 10000 >"$WORK/load-policy.xml"

# run_load VIA USERS RATE [reload]: one run against a fresh relay, its
# `key value` lines on stdout. It runs in a subshell: the run's number is
# kept in a file, and it stops what it started itself.
run_load() {
  local via=$1 users=$2 rate=$3 reload=${4:-} port pid RUN
  RUN=$(($(cat "$WORK/runs" 2>/dev/null || echo 0) + 1))
  echo "$RUN" >"$WORK/runs"
  local in=$WORK/in$RUN out=$WORK/out$RUN
  mkfifo "$in"
  "$GEN" run "$users" $((users / 10)) "$rate" "$SECS" "$(case $via in t*) echo filtered ;; *) echo plain ;; esac)" \
    <"$in" >"$out" 2>"$WORK/err$RUN" &
  local gen=$!
  exec 7>"$in"
  wait_for "$out" '^sb '
  local ns sb
  ns=$(sed -n 's/^ns //p' "$out")
  sb=$(sed -n 's/^sb //p' "$out")
  case $via in
  tq) start_trevalquin "$RUN" "$WORK/load-policy.xml" "$ns,$sb" 30000; port=$TQ pid=$TQ_PID ;;
  ta) start_trevalquin "$RUN" "$WORK/load-policy.xml" "$ns,$sb" 30000 --set "archive=sqlite:$WORK/archive$RUN.db"
      port=$TQ pid=$TQ_PID ;;
  da) start_dante "$RUN"; port=$DA pid=$DA_PID ;;
  ms) start_microsocks "$RUN"; port=$MS pid=$MS_PID ;;
  esac
  echo "$port $pid" >&7
  exec 7>&-
  if [ -n "$reload" ]; then
    # Halfway through the messages: sign-ins take about users/700 s.
    (sleep $((users / 700 + SECS / 2 + 1)); kill -HUP "$pid" 2>/dev/null) &
  fi
  wait "$gen" || true
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  # The next run starts with this one's logs written out (see the relay
  # benchmark): a run would otherwise measure how fast the disk takes it.
  rm -rf "$WORK/logs$RUN" "$WORK/archive$RUN.db"*
  : >"$WORK/events$RUN.log" 2>/dev/null || true
  sync
  cat "$out"
  grep -h 'reload\|policy' "$WORK/gateway$RUN.err" 2>/dev/null | sed 's/^/  gateway: /' >&2 || true
}

declare -A R
keys="verdict signins_per_s messages_per_s latency_p50_us latency_p99_us latency_p999_us cpu_s_per_1000_messages rss_per_user_kib"
for n in $SIZES; do
  for via in $RELAYS; do
    say "$n users via $via"
    out=$(run_load "$via" "$n" "$RATE")
    for k in $keys; do R[$via.$n.$k]=$(sed -n "s/^$k //p" <<<"$out"); done
  done
done
reload_out=
if [[ " $RELAYS " == *" tq "* ]]; then
  for via in $RELAYS; do
    say "saturation via $via"
    R[$via.sat]=$(run_load "$via" 1000 1000000 | sed -n 's/^messages_per_s //p')
  done
  say "reload during a run (5,000 users)"
  reload_out=$(run_load tq 5000 "$RATE" reload)
fi

row() { printf '%-30s %12s %12s %12s %12s\n' "$@"; }
printf '\nLoad benchmark: %s s of messages at %s a second, conversations = users / 10\n' "$SECS" "$RATE"
printf 'trevalquin decides every command with a policy of 10,000 users and writes the logs\n\n'
row "" trevalquin "+ archive" dante microsocks
for n in $SIZES; do
  printf '%s users\n' "$n"
  row "  checks" "${R[tq.$n.verdict]:--}" "${R[ta.$n.verdict]:--}" "${R[da.$n.verdict]:--}" "${R[ms.$n.verdict]:--}"
  row "  sign-ins per second" "${R[tq.$n.signins_per_s]:--}" "${R[ta.$n.signins_per_s]:--}" "${R[da.$n.signins_per_s]:--}" "${R[ms.$n.signins_per_s]:--}"
  row "  messages per second" "${R[tq.$n.messages_per_s]:--}" "${R[ta.$n.messages_per_s]:--}" "${R[da.$n.messages_per_s]:--}" "${R[ms.$n.messages_per_s]:--}"
  row "  latency p50 (us)" "${R[tq.$n.latency_p50_us]:--}" "${R[ta.$n.latency_p50_us]:--}" "${R[da.$n.latency_p50_us]:--}" "${R[ms.$n.latency_p50_us]:--}"
  row "  latency p99 (us)" "${R[tq.$n.latency_p99_us]:--}" "${R[ta.$n.latency_p99_us]:--}" "${R[da.$n.latency_p99_us]:--}" "${R[ms.$n.latency_p99_us]:--}"
  row "  latency p999 (us)" "${R[tq.$n.latency_p999_us]:--}" "${R[ta.$n.latency_p999_us]:--}" "${R[da.$n.latency_p999_us]:--}" "${R[ms.$n.latency_p999_us]:--}"
  # dante relays in child processes that its main process does not count
  row "  CPU s per 1,000 messages" "${R[tq.$n.cpu_s_per_1000_messages]:--}" "${R[ta.$n.cpu_s_per_1000_messages]:--}" "n/a" "${R[ms.$n.cpu_s_per_1000_messages]:--}"
  row "  RSS per signed-in user (KiB)" "${R[tq.$n.rss_per_user_kib]:--}" "${R[ta.$n.rss_per_user_kib]:--}" "n/a" "${R[ms.$n.rss_per_user_kib]:--}"
done
row "saturation, messages per second" "${R[tq.sat]:--}" "${R[ta.sat]:--}" "${R[da.sat]:--}" "${R[ms.sat]:--}"
[ -z "$reload_out" ] || printf 'reload (SIGHUP) halfway, 5,000 users: %s, lost %s, p999 %s us, max %s us\n' \
  "$(sed -n 's/^verdict //p' <<<"$reload_out")" "$(sed -n 's/^lost //p' <<<"$reload_out")" \
  "$(sed -n 's/^latency_p999_us //p' <<<"$reload_out")" "$(sed -n 's/^latency_max_us //p' <<<"$reload_out")"
