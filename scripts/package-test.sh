#!/usr/bin/env bash
# Checks the Debian package on this machine (root needed; slow, so not part of CI): builds it (scripts/package.sh),
# installs it with apt-get, runs /usr/bin/dbvandrel --version, renders the man page, validates the desktop entry,
# verifies the systemd units (when systemd-analyze is there), then runs the ExecStart line of dbvandrel@.service by
# hand, as the service user with the unit's environment, for a sending and a receiving job against the loopback
# test servers: both must end with status 0, the restored files equal the originals, the history in the logs
# directory. The package is removed at the end (and the service user, when this script created it), so that the
# tests keep using the build tree.
# Usage: scripts/package-test.sh [DEB BUILD-DIR]   (default: scripts/package.sh gui builds the package first; with a
#        package of your own, BUILD-DIR holds the vandrel-demo-settings it was built with)
set -euo pipefail
cd "$(dirname "$0")/.."
SOURCE=$PWD
PYTHON=${VANDREL_TEST_PYTHON:-/usr/bin/python3}
[ "$(id -u)" = 0 ] || { echo "package-test: run as root (it installs the package)" >&2; exit 2; }

if [ $# -ge 2 ]; then
    deb=$(realpath "$1")
    writer=$(realpath "$2")/DBVandrel/vandrel-demo-settings
else
    ./scripts/package.sh gui
    deb=$(ls "$SOURCE"/build-package/cpack/dbvandrel_*.deb | head -n 1)
    writer=$SOURCE/build-package/DBVandrel/vandrel-demo-settings
fi
[ -x "$writer" ] || { echo "package-test: $writer is missing (scripts/package.sh gui builds it)" >&2; exit 2; }
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq --no-install-recommends desktop-file-utils man-db >/dev/null

failures=()
check() { # check <what> <command...>
    local what=$1
    shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures+=("$what"); fi
}

had_user=0
getent passwd dbvandrel >/dev/null && had_user=1
work=$(mktemp -d)
pids=()
fds=()
cleanup() {
    local fd pid
    for fd in "${fds[@]}"; do exec {fd}>&-; done
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    rm -f /etc/dbvandrel/pkgtest-*
    rm -f /var/log/dbvandrel/pkgtest-*
    apt-get purge -y -qq dbvandrel >/dev/null 2>&1 || true
    if [ "$had_user" = 0 ] && getent passwd dbvandrel >/dev/null; then
        userdel dbvandrel || true
        rmdir /etc/dbvandrel 2>/dev/null || true
        rm -rf /var/lib/dbvandrel /var/log/dbvandrel
    fi
    rm -rf "$work"
}
trap cleanup EXIT

echo "=== install $deb"
apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
check "dpkg lists dbvandrel as installed" dpkg-query -W -f='${Status}\n' dbvandrel
check "/usr/bin/dbvandrel --version names 1.0.3.3" bash -c 'v=$(/usr/bin/dbvandrel --version); echo "$v"; grep -q "^dbvandrel (Database Vandrel) 1.0.3.3$" <<<"$v"'
check "--help lists the exit statuses" bash -c '/usr/bin/dbvandrel --help | grep -q "^Exit status:"'
check "man page renders without warnings" bash -c 'out=$(MANWIDTH=80 man --warnings -l /usr/share/man/man1/dbvandrel.1.gz 2>&1 >/dev/null); [ -z "$out" ] || { echo "$out"; false; }'
check "man dbvandrel finds the page" bash -c 'man -w dbvandrel >/dev/null'
check "desktop entry validates" desktop-file-validate /usr/share/applications/dbvandrel.desktop
check "icons installed" test -s /usr/share/icons/hicolor/scalable/apps/dbvandrel.svg -a -s /usr/share/icons/hicolor/48x48/apps/dbvandrel.png
check "README and LICENSE in /usr/share/doc/dbvandrel" test -s /usr/share/doc/dbvandrel/README.md -a -s /usr/share/doc/dbvandrel/LICENSE
check "FreeTDS driver registered" bash -c 'odbcinst -q -d -n FreeTDS | grep -q "^Driver="'
check "service user created" getent passwd dbvandrel
check "/etc/dbvandrel is root:dbvandrel 2750" bash -c '[ "$(stat -c "%U:%G %a" /etc/dbvandrel)" = "root:dbvandrel 2750" ]'
if command -v systemd-analyze >/dev/null; then
    check "systemd-analyze verify (service and timer)" bash -c \
        'out=$(systemd-analyze verify /usr/lib/systemd/system/dbvandrel@.service /usr/lib/systemd/system/dbvandrel@.timer 2>&1); [ -z "$out" ] || { echo "$out"; false; }'
else
    echo "skip systemd-analyze verify (no systemd-analyze)"
fi

# The servers of the test, and the two jobs in /etc/dbvandrel.
start_server() { # <name> <script> <arguments...>; sets PORT
    local name=$1 fd i
    shift
    mkfifo "$work/$name.in"
    "$PYTHON" -u "$SOURCE/$1" "${@:2}" <"$work/$name.in" >"$work/$name.out" 2>"$work/$name.log" &
    pids+=($!)
    exec {fd}>"$work/$name.in"
    fds+=("$fd")
    for i in $(seq 200); do
        PORT=$(sed -n 's/^PORT \([0-9]*\)$/\1/p' "$work/$name.out")
        [ -n "$PORT" ] && return 0
        sleep 0.1
    done
    cat "$work/$name.log"
    exit 1
}
chmod 0755 "$work"
mkdir -p "$work"/{ftp,sending,receiving,sql/Sales,sql/SalesCopy}
head -c 3000000 /dev/urandom | base64 >"$work/sql/Sales/Sales.mdf"
head -c 500000 /dev/zero >"$work/sql/Sales/Sales_log.ldf"
head -c 65536 /dev/zero >"$work/sql/SalesCopy/SalesCopy.mdf"
head -c 65536 /dev/zero >"$work/sql/SalesCopy/SalesCopy_log.ldf"
start_server sql tests/fakesql/fakesql.py --root "$work/sql" --progress-delay 0.01
sql_port=$PORT
start_server ftp tests/support/ftpserver.py --root "$work/ftp" --user vandrel:secret
ftp_port=$PORT
XDG_CONFIG_HOME=$work/writer "$writer" --auto "$work" "$sql_port" "$ftp_port" >/dev/null
chown dbvandrel: "$work/sending" "$work/receiving"
for job in sending receiving; do
    for ext in cfg udl; do
        install -o root -g dbvandrel -m 0640 "$work/$job/$job.$ext" "/etc/dbvandrel/pkgtest-$job.$ext"
        rm -f "$work/$job/$job.$ext"
    done
done

# The unit's command and environment, as systemd would give them to instance pkgtest-<job>.
unit=/usr/lib/systemd/system/dbvandrel@.service
install -d -o dbvandrel -g dbvandrel -m 0700 /var/lib/dbvandrel
install -d -o dbvandrel -g dbvandrel -m 0750 /var/log/dbvandrel
for job in sending receiving; do
    instance=pkgtest-$job
    exec_start=$(sed -n 's/^ExecStart=//p' "$unit" | sed "s/%i/$instance/g")
    read -r -a environment <<<"$(sed -n 's/^Environment=//p' "$unit" | sed "s|%S|/var/lib|g")"
    echo "=== $instance: $exec_start"
    status=0
    # shellcheck disable=SC2086 # the unit's command line is split as systemd splits it (no quotes in it)
    (cd / && umask 0027 && runuser -u dbvandrel -- env -i PATH=/usr/bin:/bin "${environment[@]}" \
        LOGS_DIRECTORY=/var/log/dbvandrel STATE_DIRECTORY=/var/lib/dbvandrel $exec_start) || status=$?
    check "$instance: ExecStart ends with status 0 (got $status)" test "$status" = 0
    check "$instance: history in /var/log/dbvandrel/$instance.log" grep -q "End: the run succeeded" "/var/log/dbvandrel/$instance.log"
    check "$instance: nothing written beside the settings" test ! -e "/etc/dbvandrel/$instance.log"
done
check "SalesCopy's data file equals Sales's" cmp "$work/sql/Sales/Sales.mdf" "$work/sql/SalesCopy/SalesCopy.mdf"
check "SalesCopy's log file equals Sales's" cmp "$work/sql/Sales/Sales_log.ldf" "$work/sql/SalesCopy/SalesCopy_log.ldf"

if [ ${#failures[@]} -gt 0 ]; then
    echo "=== package test FAILED: ${#failures[@]} check(s)"
    exit 1
fi
echo "=== package test passed"
