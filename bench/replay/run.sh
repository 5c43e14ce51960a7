#!/usr/bin/env bash
# Replay benchmark: a capture of about 100,000 MSNP commands (800 recorded
# sessions of the example policy's dave, 100 messages each, written by the
# gateway's own capture writer) replayed by tqreplay against
# examples/policy.xml: as text, as JSON lines, and as a diff against a copy
# with one relation changed. Prints wall-clock seconds of each.
#   bench/replay/run.sh [SESSIONS] [MESSAGES]
set -euo pipefail
cd "$(dirname "$0")/../.."
SESSIONS=${1:-800}
MESSAGES=${2:-100}
BUILD=${BUILD:-build}

cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j2 --target tqreplay bench_replay_capture tq3_msnp >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
read -r capture commands < <("$BUILD/bench_replay_capture" "$work" "$SESSIONS" "$MESSAGES")
sed 's|<relation object="Competitor" action="block" direction="both"/>|<relation object="Competitor" action="alert" direction="both"/>|' \
  examples/policy.xml >"$work/changed.xml"

seconds() { # runs the command, prints its wall-clock seconds
  local t0 t1 ms
  t0=$(date +%s%N)
  "$@" >"$work/out" 2>"$work/err" || { echo "failed: $*" >&2; cat "$work/err" >&2; exit 1; }
  t1=$(date +%s%N)
  ms=$(((t1 - t0) / 1000000))
  printf '%d.%02d' $((ms / 1000)) $((ms % 1000 / 10))
}

size=$(du -m "$capture" | cut -f1)
printf 'capture: %s commands, %s MiB, %s sessions\n' "$commands" "$size" "$SESSIONS"
printf '%-28s %8s\n' "replay" "seconds"
printf '%-28s %8s\n' "text" "$(seconds "$BUILD/tqreplay" -p examples/policy.xml "$capture")"
printf '%-28s %8s\n' "json" "$(seconds "$BUILD/tqreplay" --json -p examples/policy.xml "$capture")"
printf '%-28s %8s\n' "diff (two replays)" "$(seconds "$BUILD/tqreplay" -p examples/policy.xml --diff "$work/changed.xml" "$capture")"
grep -c '^- ' "$work/out" | xargs printf '%-28s %8s\n' "commands listed by the diff"
