#!/usr/bin/env bash
# Readers that stop reading: 1,000 sessions relayed by trevalquin (with
# bench/relay/policy.xml, every message decided), 100 of which are sent a
# stream by the server that their client never reads, so the gateway's
# buffers towards them stay full. Measures the MSG/ACK round trip on the
# other 900 (median and p99), against the same 900 with nobody stuck, and
# prints the ratio (the target: within 2x).
#
# Usage: bench/relay/stalled.sh [COUNT [STUCK [PINGS]]]   (defaults 1000,
# 100, 20000). Builds the gateway like run.sh when it is missing. Not part
# of CI.
set -euo pipefail

COUNT=${1:-1000}
STUCK=${2:-100}
PINGS=${3:-20000}
cd "$(dirname "$0")/../.."
. bench/relay/common.sh

"$LOAD" server >"$WORK/server.port" &
PIDS+=($!)
wait_for "$WORK/server.port" '^[0-9]'
SB=$(head -1 "$WORK/server.port")

measure() { # STUCK TAG: prints "median p99" on a fresh gateway (runs in a subshell)
  start_trevalquin "$2" bench/relay/policy.xml "$SB" $((COUNT + 100))
  local pid=$TQ_PID port=$TQ
  local live=$((COUNT - STUCK)) out
  out=$(timeout 300 "$LOAD" stalled "$port" "$SB" $(($1 + live)) "$1" "$PINGS")
  kill "$pid"; wait "$pid" 2>/dev/null || true
  printf '%s %s\n' "$(sed -n 's/^median_us //p' <<<"$out")" "$(sed -n 's/^p99_us //p' <<<"$out")"
}

say "round trips on $((COUNT - STUCK)) sessions, nobody stuck"
read -r base_med base_p99 < <(measure 0 1)
say "round trips on $((COUNT - STUCK)) sessions beside $STUCK that read nothing"
read -r stuck_med stuck_p99 < <(measure "$STUCK" 2)

printf '%-34s %12s %12s\n' "round trip (us)" median p99
printf '%-34s %12s %12s\n' "$((COUNT - STUCK)) sessions alone" "$base_med" "$base_p99"
printf '%-34s %12s %12s\n' "beside $STUCK that read nothing" "$stuck_med" "$stuck_p99"
printf '%-34s %12s %12s\n' "ratio" "$(awk "BEGIN { printf \"%.2fx\", $stuck_med / $base_med }")" \
  "$(awk "BEGIN { printf \"%.2fx\", $stuck_p99 / $base_p99 }")"
