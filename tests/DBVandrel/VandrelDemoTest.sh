#!/usr/bin/env bash
# The demo without a display: its two jobs run unattended to exit status 0 and SalesCopy's files equal Sales's;
# it writes nothing outside its folder (HOME is a fresh folder here) and leaves no server running.
# Usage: VandrelDemoTest.sh BUILD-DIR
set -euo pipefail
build=$1
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/home"
status=0
env -u DISPLAY -u WAYLAND_DISPLAY -u XDG_CONFIG_HOME HOME="$work/home" DEMO_DIR="$work/demo" \
    "$source_dir/scripts/demo.sh" "$build" >"$work/out" 2>&1 || status=$?
fail() {
    cat "$work/out"
    echo "FAILED: $*"
    exit 1
}
[ "$status" = 0 ] || fail "the demo ended with exit status $status"
grep -q "^=== sending: exit status 0$" "$work/out" || fail "no successful sending run"
grep -q "^=== receiving: exit status 0$" "$work/out" || fail "no successful receiving run"
cmp "$work/demo/sql/Sales/Sales.mdf" "$work/demo/sql/SalesCopy/SalesCopy.mdf" || fail "data files differ"
cmp "$work/demo/sql/Sales/Sales_log.ldf" "$work/demo/sql/SalesCopy/SalesCopy_log.ldf" || fail "log files differ"
[ -s "$work/demo/ftp/Sales.zip" ] || fail "nothing uploaded"
[ -z "$(ls -A "$work/home")" ] || fail "files written in HOME: $(ls -A "$work/home")"
# No process started by the demo is left (their command lines name its folder).
for cmdline in /proc/[0-9]*/cmdline; do
    if tr '\0' ' ' <"$cmdline" 2>/dev/null | grep -qF "$work/demo/"; then
        fail "a process of the demo is still running: $(tr '\0' ' ' <"$cmdline")"
    fi
done
echo "demo passed"
