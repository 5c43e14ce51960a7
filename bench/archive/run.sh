#!/usr/bin/env bash
# The archive benchmark: MESSAGES (default 10,000,000) messages of 10,000
# users written to SQLite and to a PostgreSQL server of its own, the
# searches an auditor makes timed on each; then the PostgreSQL server is
# killed for 30 s under a steady 5,000 messages a second, and the run
# checks that every record arrived with its chain whole.
# The server is set up as a dedicated archive server would be: a quarter
# of memory for its buffers, in huge pages where the run may reserve them,
# and the archive vacuumed and read into them (pg_prewarm) before the
# searches.
#   bench/archive/run.sh [MESSAGES] [sqlite|postgresql|outage ...]
set -euo pipefail
cd "$(dirname "$0")/../.."
N=${1:-10000000}
PARTS=("${@:2}")
[ ${#PARTS[@]} -gt 0 ] || PARTS=(sqlite postgresql outage)
want() { [[ " ${PARTS[*]} " == *" $1 "* ]]; }
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
BUFFERS_MB=$(($(awk '/^MemTotal/ {print $2}' /proc/meminfo) / 4096))
HUGE_BEFORE=$(cat /proc/sys/vm/nr_hugepages 2>/dev/null || echo 0)
cleanup() {
  pg_ctl -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$WORK"
  [ "$(id -u)" != 0 ] || echo "$HUGE_BEFORE" >/proc/sys/vm/nr_hugepages 2>/dev/null || true
}
trap cleanup EXIT

"${AS[@]}" "$PG_BIN/initdb" -D "$WORK/pg" -A trust -U tq >/dev/null
# 2 MiB pages, as many as the server asks for: each server process would
# otherwise fault in every 4 KiB page of the buffers it touches, which
# costs more than the search.
if [ "$(id -u)" = 0 ]; then
  HUGE=$("${AS[@]}" "$PG_BIN/postgres" -D "$WORK/pg" -c "shared_buffers=${BUFFERS_MB}MB" -C shared_memory_size_in_huge_pages)
  echo $((HUGE + HUGE_BEFORE)) >/proc/sys/vm/nr_hugepages 2>/dev/null || true
fi
START="-w -l $WORK/pg.log -o '-k $WORK -c listen_addresses= -c shared_buffers=${BUFFERS_MB}MB -c huge_pages=try' start"
eval pg_ctl "$START" >/dev/null
uri() { echo "postgresql:///$1?host=$WORK&user=tq"; }
"${AS[@]}" "$PG_BIN/createdb" -h "$WORK" -U tq outage

if want sqlite; then
  echo "== SQLite, $N messages"
  "$BENCH" "sqlite:$WORK/archive.db" --messages "$N" --users 10000
  echo "   file: $(du -h "$WORK/archive.db" | cut -f1)"
  rm -f "$WORK"/archive.db*
fi
if want postgresql; then
  PAGES=$(awk '/^HugePages_(Total|Rsvd)/ {n += $2} /^HugePages_Free/ {n -= $2} END {print (n > 0 ? "huge" : "4 KiB")}' /proc/meminfo)
  echo "== PostgreSQL, $N messages (shared_buffers ${BUFFERS_MB} MB in $PAGES pages)"
  "$BENCH" "$(uri postgres)" --messages "$N" --users 10000 --searches 0
  # What autovacuum does on its own a little later, and a long-running
  # server's buffers: the searches meet neither a vacuum nor a cold cache.
  psql -h "$WORK" -U tq -Atc "VACUUM ANALYZE records" postgres >/dev/null
  psql -h "$WORK" -U tq -Atc "CREATE EXTENSION pg_prewarm" \
    -c "SELECT pg_prewarm(c) FROM unnest(array['records', 'records_words', 'records_pkey']) c" postgres >/dev/null
  "$BENCH" "$(uri postgres)" --search-only --users 10000
  echo "   database: $(psql -h "$WORK" -U tq -Atc "SELECT pg_size_pretty(pg_database_size('postgres'))" postgres)"
fi
want outage || exit 0
echo "== PostgreSQL killed for 30 s under 5,000 messages a second"
"$BENCH" "$(uri outage)" --messages 300000 --rate 5000 --users 10000 --searches 0 --outage 30 \
  --stop "$(printf '%q ' "${AS[@]}" "$PG_BIN/pg_ctl" -D "$WORK/pg" -m immediate -w stop)" \
  --start "$(printf '%q ' "${AS[@]}" "$PG_BIN/pg_ctl" -D "$WORK/pg") $START"
