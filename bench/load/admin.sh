#!/usr/bin/env bash
# Administration under load: with USERS users signed in through trevalquin
# (the load benchmark's policy and traffic, 2,000 messages a second), how
# long `tqctl connections` and `tqctl counters` take, and the web console's
# API for the same: a page of connections, a filtered page, the counters.
#   bench/load/admin.sh [USERS]   (default 5000). Needs curl. Not part of CI.
set -euo pipefail
USERS=${1:-5000}
SECS=14
cd "$(dirname "$0")/../.."
. bench/relay/common.sh
command -v curl >/dev/null || { echo "bench/load/admin.sh needs curl" >&2; exit 1; }

GEN=$WORK/load
g++ -std=c++20 -O2 -Wall -Wextra -o "$GEN" bench/load/load.cpp -pthread
"$GEN" policy 10000 >"$WORK/load-policy.xml"
printf 'bench:1:%s\n' "$(echo bench | "$BUILD/trevalquin" --hash-password)" >"$WORK/console-users"

mkfifo "$WORK/in"
"$GEN" run "$USERS" $((USERS / 10)) 2000 "$SECS" filtered <"$WORK/in" >"$WORK/out" 2>"$WORK/err" &
gen=$!
exec 7>"$WORK/in"
wait_for "$WORK/out" '^sb '
ns=$(sed -n 's/^ns //p' "$WORK/out")
sb=$(sed -n 's/^sb //p' "$WORK/out")
start_trevalquin 1 "$WORK/load-policy.xml" "$ns,$sb" 30000 \
  --set console=127.0.0.1:0 --set "console-users=$WORK/console-users"
echo "$TQ $TQ_PID" >&7
exec 7>&-
console=$(sed -n 's/^console on //p' "$WORK/gateway1.out")
# Sign-ins take about USERS/700 s; then the messages flow.
sleep $((USERS / 700 + SECS / 2))

curl -s -c "$WORK/jar" -d user=bench -d password=bench "$console/api/login" >/dev/null
ms() { # the wall-clock milliseconds of one command
  local t0 t1
  t0=$(date +%s%N)
  "$@" >"$WORK/reply"
  t1=$(date +%s%N)
  echo $(((t1 - t0) / 1000000))
}
row() { printf '%-44s %8s %10s\n' "$@"; }
row "with $USERS users signed in" "ms" "bytes"
for round in 1 2; do
  row "tqctl connections" "$(ms "$BUILD/tqctl" -s "$WORK/admin1.sock" connections)" "$(wc -c <"$WORK/reply")"
  row "tqctl counters" "$(ms "$BUILD/tqctl" -s "$WORK/admin1.sock" counters)" "$(wc -c <"$WORK/reply")"
  row "console /api/connections (a page of 100)" \
    "$(ms curl -s -b "$WORK/jar" "$console/api/connections?offset=2500&limit=100")" "$(wc -c <"$WORK/reply")"
  row "console /api/connections?filter=u42@" \
    "$(ms curl -s -b "$WORK/jar" "$console/api/connections?filter=u42@")" "$(wc -c <"$WORK/reply")"
  row "console /api/counters" "$(ms curl -s -b "$WORK/jar" "$console/api/counters")" "$(wc -c <"$WORK/reply")"
done
grep -o '"total":[0-9]*' <(curl -s -b "$WORK/jar" "$console/api/connections?limit=1") | sed 's/"total":/connections listed: /'
wait "$gen" || true
grep '^verdict' "$WORK/out"
