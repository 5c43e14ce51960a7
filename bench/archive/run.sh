#!/usr/bin/env bash
# The archive benchmark: MESSAGES (default 10,000,000) messages of 10,000
# users written to SQLite and to a PostgreSQL server of its own, the
# searches an auditor makes timed on each; then the PostgreSQL server is
# killed for 30 s under a steady 5,000 messages a second, and the run
# checks that every record arrived with its chain whole.
#   bench/archive/run.sh [MESSAGES]
set -euo pipefail
cd "$(dirname "$0")/../.."
N=${1:-10000000}
BUILD=${TQ_BUILD_DIR:-build}
if [ ! -x "$BUILD/bench_archive" ]; then
  bash tools/setup
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$BUILD" -j "$(nproc)" --target bench_archive >/dev/null
fi
BENCH=$(readlink -f "$BUILD/bench_archive")
WORK=$(mktemp -d /tmp/tq-archive-bench.XXXXXX)
PG_BIN=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)
AS=()
if [ "$(id -u)" = 0 ]; then AS=(runuser -u postgres --); chown postgres: "$WORK"; fi
pg_ctl() { "${AS[@]}" "$PG_BIN/pg_ctl" -D "$WORK/pg" "$@"; }
cleanup() { pg_ctl -m immediate stop >/dev/null 2>&1 || true; rm -rf "$WORK"; }
trap cleanup EXIT

"${AS[@]}" "$PG_BIN/initdb" -D "$WORK/pg" -A trust -U tq >/dev/null
START="-w -l $WORK/pg.log -o '-k $WORK -c listen_addresses= -c shared_buffers=512MB' start"
eval pg_ctl "$START" >/dev/null
uri() { echo "postgresql:///$1?host=$WORK&user=tq"; }
"${AS[@]}" "$PG_BIN/createdb" -h "$WORK" -U tq outage

echo "== SQLite, $N messages"
"$BENCH" "sqlite:$WORK/archive.db" --messages "$N" --users 10000
echo "   file: $(du -h "$WORK/archive.db" | cut -f1)"
rm -f "$WORK"/archive.db*
echo "== PostgreSQL, $N messages"
"$BENCH" "$(uri postgres)" --messages "$N" --users 10000
echo "== PostgreSQL killed for 30 s under 5,000 messages a second"
"$BENCH" "$(uri outage)" --messages 300000 --rate 5000 --users 10000 --searches 0 --outage 30 \
  --stop "$(printf '%q ' "${AS[@]}" "$PG_BIN/pg_ctl" -D "$WORK/pg" -m immediate -w stop)" \
  --start "$(printf '%q ' "${AS[@]}" "$PG_BIN/pg_ctl" -D "$WORK/pg") $START"
