# Shared by the relay benchmarks, sourced from the top of the source tree:
# ROOT and BUILD (the project's build, made when the gateway or the module
# is missing), WORK (a scratch directory removed at exit, with every
# process in PIDS killed), LOAD (the load generator, built there), the
# open-file limit raised, and the helpers say and wait_for.
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

wait_for() { # FILE PATTERN: waits up to 10 s for a line
  local i
  for i in $(seq 100); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  say "timed out waiting for '$2' in $1"; cat "$1" >&2 || true
  return 1
}

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
