#!/usr/bin/env bash
# The demo, on programs already built: the fake SQL Server with a sample database "Sales" and an empty "SalesCopy",
# the loopback FTP server, and two jobs written with the program's own settings code (sending: backup, zip,
# upload; receiving: download, extract, restore over SalesCopy), each with its connection file beside it.
#   With a display: opens a window on each job, each saying what to do in its status report.
#   Without one:    runs both jobs unattended, prints their logs and exit statuses, checks SalesCopy's files
#                   against Sales's; the exit status is 0 only when both runs succeeded and the files are equal.
# Everything lives in one folder, made anew each time (DEMO_DIR, default <build>/demo), with its own
# XDG_CONFIG_HOME: the user's configuration is never touched. Everything it starts stops when it ends (the servers
# also end by themselves when this script dies: their standard input is a pipe it holds).
# Usage: scripts/demo.sh [BUILD-DIR]      (default $BUILD_DIR or build; scripts/run.sh builds and calls this)
set -euo pipefail
cd "$(dirname "$0")/.."
SOURCE=$PWD
BUILD=$(cd "${1:-${BUILD_DIR:-build}}" && pwd)
PROGRAM=$BUILD/DBVandrel/dbvandrel
WRITER=$BUILD/DBVandrel/vandrel-demo-settings
PYTHON=${VANDREL_TEST_PYTHON:-/usr/bin/python3}
DEMO=${DEMO_DIR:-$BUILD/demo}
MARK=.dbvandrel-demo

for tool in "$PROGRAM" "$WRITER"; do
    [ -x "$tool" ] || { echo "demo: $tool is not built (scripts/run.sh builds it)" >&2; exit 2; }
done
# Only a folder this script made is emptied.
if [ -e "$DEMO" ]; then
    [ -e "$DEMO/$MARK" ] || { echo "demo: $DEMO exists and is not a demo folder; set DEMO_DIR" >&2; exit 2; }
    rm -rf "$DEMO"
fi
mkdir -p "$DEMO"/{config,run,ftp,sending,receiving,sql/Sales,sql/SalesCopy}
touch "$DEMO/$MARK"
export XDG_CONFIG_HOME=$DEMO/config

pids=()
fds=()
stop_all() {
    local fd pid
    for fd in "${fds[@]}"; do exec {fd}>&-; done
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    pids=()
    fds=()
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# start_server <name> <script> <arguments...>: starts a server whose standard input is a pipe held here, waits for
# its "PORT <n>" line and sets PORT to n.
start_server() {
    local name=$1 fd i
    shift
    mkfifo "$DEMO/run/$name.in"
    "$PYTHON" -u "$SOURCE/$1" "${@:2}" <"$DEMO/run/$name.in" >"$DEMO/run/$name.out" 2>"$DEMO/run/$name.log" &
    pids+=($!)
    exec {fd}>"$DEMO/run/$name.in"
    fds+=("$fd")
    for i in $(seq 200); do
        PORT=$(sed -n 's/^PORT \([0-9]*\)$/\1/p' "$DEMO/run/$name.out")
        [ -n "$PORT" ] && return 0
        sleep 0.1
    done
    echo "demo: the $name server did not start:" >&2
    cat "$DEMO/run/$name.log" >&2
    exit 1
}

# The sample database: about 6 MiB of order lines (they compress well) and a log; SalesCopy is empty.
"$PYTHON" - "$DEMO/sql" <<'PY'
import os, sys
root = sys.argv[1]
with open(os.path.join(root, "Sales", "Sales.mdf"), "wb") as data:
    for i in range(120000):
        data.write(b"order %07d customer %05d item %04d amount %8.2f;\n" % (i, i * 7919 % 40000, i % 1337, (i * 37 % 100000) / 100))
with open(os.path.join(root, "Sales", "Sales_log.ldf"), "wb") as log:
    log.write(b"log record;" * 90000)
for name in ("SalesCopy.mdf", "SalesCopy_log.ldf"):
    with open(os.path.join(root, "SalesCopy", name), "wb") as empty:
        empty.write(bytes(64 * 1024))
PY

start_server sql tests/fakesql/fakesql.py --root "$DEMO/sql" --progress-delay 0.1
SQL_PORT=$PORT
start_server ftp tests/support/ftpserver.py --root "$DEMO/ftp" --user vandrel:secret
FTP_PORT=$PORT

headless=1
case "${QT_QPA_PLATFORM:-}" in offscreen* | minimal*) ;; *) [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && headless=0 ;; esac

auto=()
[ "$headless" = 1 ] && auto=(--auto)
"$WRITER" "${auto[@]}" "$DEMO" "$SQL_PORT" "$FTP_PORT" >/dev/null
echo "demo: folder $DEMO; fake SQL Server on 127.0.0.1,$SQL_PORT (user sa, password sa), FTP on 127.0.0.1:$FTP_PORT (user vandrel, password secret)"

if [ "$headless" = 0 ]; then
    DBVANDREL_HINT=$'Demo, sending side: press Start to back up Sales, zip it and upload it to the FTP server.\nThen press Start in the receiving window.' \
        "$PROGRAM" "$DEMO/sending/sending.cfg" &
    pids+=($!)
    sending=$!
    DBVANDREL_HINT=$'Demo, receiving side: once the sending window has uploaded, press Start here\nto download, extract and restore the archive over the database SalesCopy.' \
        "$PROGRAM" "$DEMO/receiving/receiving.cfg" &
    pids+=($!)
    receiving=$!
    echo "demo: two windows are open (sending and receiving); close both to end the demo"
    wait "$sending" "$receiving" || true
    exit 0
fi

# Without a display: both jobs unattended, one after the other.
statuses=()
for job in sending receiving; do
    echo "=== $job: dbvandrel $DEMO/$job/$job.cfg"
    status=0
    env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$PROGRAM" "$DEMO/$job/$job.cfg" || status=$?
    echo "=== $job: exit status $status"
    statuses+=("$status")
    [ "$status" = 0 ] || break
done
result=0
for status in "${statuses[@]}"; do [ "$status" = 0 ] || result=1; done
[ "${#statuses[@]}" = 2 ] || result=1
if [ "$result" = 0 ]; then
    if cmp "$DEMO/sql/Sales/Sales.mdf" "$DEMO/sql/SalesCopy/SalesCopy.mdf" &&
        cmp "$DEMO/sql/Sales/Sales_log.ldf" "$DEMO/sql/SalesCopy/SalesCopy_log.ldf"; then
        echo "demo: SalesCopy's files are equal to Sales's"
    else
        result=1
    fi
fi
echo "demo: $([ "$result" = 0 ] && echo succeeded || echo FAILED)"
exit "$result"
