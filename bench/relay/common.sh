# Shared by the relay and load benchmarks, sourced from the top of the
# source tree: ROOT and BUILD (the project's build, made when the gateway or
# the module is missing), WORK (a scratch directory removed at exit, with
# every process in PIDS killed), LOAD (the relay load generator, built
# there), the open-file limit raised, the helpers say and wait_for, and the
# gateway (start_trevalquin, setting TQ and TQ_PID) and the peers it is
# measured against: need_peers installs Debian's
# dante-server and microsocks, start_dante and start_microsocks start them
# on loopback (setting DA, DA_PID and MS, MS_PID).
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

DANTED=/usr/sbin/danted
need_peers() {
  if ! command -v microsocks >/dev/null 2>&1 || [ ! -x "$DANTED" ]; then
    say "installing dante-server and microsocks"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get install -y -qq --no-install-recommends dante-server microsocks >/dev/null 2>&1 ||
      { $sudo apt-get update -qq && $sudo apt-get install -y -qq --no-install-recommends dante-server microsocks >/dev/null; }
  fi
}

wait_port() { # PORT: waits up to 5 s until something listens there
  local i
  for i in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
}

start_dante() { # TAG: sets DA and DA_PID
  DA=$("$LOAD" freeport)
  cat >"$WORK/danted$1.conf" <<CONF
logoutput: $WORK/danted$1.log
internal: 127.0.0.1 port = $DA
external: 127.0.0.1
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: nobody
client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 command: connect }
CONF
  "$DANTED" -f "$WORK/danted$1.conf" -p "$WORK/danted$1.pid" -N 2 >"$WORK/danted$1.out" 2>&1 &
  DA_PID=$!
  PIDS+=($DA_PID)
  wait_port "$DA"
}

start_microsocks() { # TAG: sets MS and MS_PID
  MS=$("$LOAD" freeport)
  microsocks -i 127.0.0.1 -p "$MS" >"$WORK/microsocks$1.log" 2>&1 &
  MS_PID=$!
  PIDS+=($MS_PID)
  wait_port "$MS"
}

start_trevalquin() { # TAG POLICY MSNP-PORTS MAX-CONNECTIONS [--set K=V...]: sets TQ and TQ_PID
  cp "$2" "$WORK/policy$1.xml"
  "$BUILD/trevalquin" \
    --set "listen=127.0.0.1:0" \
    --set "msnp-ports=$3" \
    --set "module=$BUILD/libtq3_msnp.so" \
    --set "policy=$WORK/policy$1.xml" \
    --set "admin-socket=$WORK/admin$1.sock" \
    --set "events-file=$WORK/events$1.log" \
    --set "allow-destinations=loopback" \
    --set "max-connections=$4" \
    --set "max-connections-per-client=$4" \
    --set "var log-dir = \"$WORK/logs$1\"" \
    "${@:5}" \
    >"$WORK/gateway$1.out" 2>"$WORK/gateway$1.err" &
  TQ_PID=$!
  PIDS+=($TQ_PID)
  wait_for "$WORK/gateway$1.out" '^listening on'
  TQ=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$WORK/gateway$1.out" | head -1)
}
