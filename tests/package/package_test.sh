#!/usr/bin/env bash
# The Debian package on this machine, as an administrator meets it: lintian
# finds no error; apt installs it; the installed configuration checks clean;
# the state and log directories belong to the system user it created; an
# edited configuration survives a reinstall; apt remove keeps only the
# configuration, and apt purge leaves the system as it was before.
# Needs root, and no trevalquin package installed. Usage: package_test.sh DEB
set -euo pipefail
deb=$(realpath "$1")
passes=0 failures=0
check() { # DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then
    echo "ok: $what"; passes=$((passes + 1))
  else
    echo "FAILED: $what"; failures=$((failures + 1))
  fi
}
owner() { stat -c %U:%G "$1"; }

if [ "$(id -u)" -ne 0 ]; then echo "package_test.sh: needs root" >&2; exit 2; fi
if dpkg-query -W -f='${Status}' trevalquin 2>/dev/null | grep -q installed; then
  echo "package_test.sh: a trevalquin package is installed already; remove it first" >&2; exit 2
fi

# What the system holds where a package puts things, less what apt and dpkg
# keep about their own work.
snapshot() {
  find /etc /usr /var /opt -xdev \( -path /var/cache -o -path /var/lib/apt -o -path /var/lib/dpkg \
    -o -path /var/log -o -path /var/tmp -o -path /var/lib/systemd/deb-systemd-helper-enabled \
    -o -path /var/lib/systemd/deb-systemd-helper-masked \) -prune -o -print 2>/dev/null | sort
  ls -d /var/log/trevalquin 2>/dev/null || true
  getent passwd trevalquin || true
  getent group trevalquin || true
}
before=$(mktemp); after=$(mktemp)
# Whatever happens, the machine is left without the package.
cleanup() {
  rm -f "$before" "$after"
  if dpkg-query -W -f='${Status}' trevalquin 2>/dev/null | grep -qv not-installed; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq trevalquin >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT
snapshot >"$before"

lint=$(lintian --fail-on error "$deb" 2>&1) && lint_ok=1 || lint_ok=0
printf '%s\n' "$lint" | grep -E '^E:' || true
check "lintian reports no error" test "$lint_ok" = 1

export DEBIAN_FRONTEND=noninteractive
check "apt installs the package" apt-get install -y -qq "$deb"

out=$(/usr/sbin/trevalquin -t -c /etc/trevalquin/trevalquin.conf 2>&1 || true)
printf '%s\n' "$out" | tail -3
check "the installed configuration checks clean" grep -qx "configuration OK" <<<"$out"
check "a system user trevalquin exists" getent passwd trevalquin
for dir in /var/lib/trevalquin /var/log/trevalquin; do
  check "$dir belongs to trevalquin" test "$(owner $dir)" = trevalquin:trevalquin
done
for file in /usr/sbin/trevalquin /usr/bin/tqctl /etc/trevalquin/trevalquin.conf /etc/trevalquin/policy.xml; do
  check "$file belongs to root" test "$(owner $file)" = root:root
done
check "the module is installed" test -f /usr/lib/"$(dpkg-architecture -qDEB_HOST_MULTIARCH)"/trevalquin/libtq3_msnp.so
check "the configuration is a conffile" \
  grep -q /etc/trevalquin/trevalquin.conf <<<"$(dpkg-query -W -f='${Conffiles}' trevalquin)"

# The installed gateway as the service starts it (in the foreground, since
# systemd may not run here; on a free port): it runs as trevalquin, what it
# writes belongs to trevalquin, and tqctl finds its socket with no option.
gwlog=$(mktemp)
# Where systemd runs, the package started the service: it holds the socket.
if [ -d /run/systemd/system ]; then systemctl stop trevalquin.service || true; fi
/usr/sbin/trevalquin -c /etc/trevalquin/trevalquin.conf -f --set listen=127.0.0.1:0 >"$gwlog" 2>&1 &
gw=$!
for _ in $(seq 100); do [ -S /var/lib/trevalquin/trevalquin.sock ] && break; sleep 0.1; done
check "tqctl reaches the installed gateway with no option" sh -c '/usr/bin/tqctl counters >/dev/null'
check "tqctl saves the policy" sh -c '/usr/bin/tqctl save >/dev/null'
check "the gateway runs as trevalquin" test "$(ps -o user= -p "$gw")" = trevalquin
for file in /var/lib/trevalquin/policy.xml /var/log/trevalquin/events.log; do
  check "$file belongs to trevalquin" test "$(owner "$file")" = trevalquin:trevalquin
done
kill -TERM "$gw"
check "the gateway stops on SIGTERM" wait "$gw"
[ "$failures" -eq 0 ] || cat "$gwlog"
rm -f "$gwlog"
check "the manual pages are installed" man -w trevalquin.conf

# An edit survives a reinstall (as it does an upgrade) without a question.
echo "# edited by the administrator" >>/etc/trevalquin/trevalquin.conf
check "apt reinstalls the package" apt-get install -y -qq --reinstall -o Dpkg::Options::=--force-confdef \
  -o Dpkg::Options::=--force-confold "$deb"
check "the edit survives" grep -q "edited by the administrator" /etc/trevalquin/trevalquin.conf

check "apt removes the package" apt-get remove -y -qq trevalquin
check "the programs are gone" test ! -e /usr/sbin/trevalquin -a ! -e /usr/bin/tqctl
check "the configuration stays after remove" test -f /etc/trevalquin/trevalquin.conf

check "apt purges the package" apt-get purge -y -qq trevalquin
snapshot >"$after"
left=$(diff "$before" "$after" || true)
[ -z "$left" ] || printf 'left behind or changed:\n%s\n' "$left"
check "purge leaves the system as it was" test -z "$left"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
