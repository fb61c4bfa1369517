#!/usr/bin/env bash
# Takes the README walk-through's pictures: the three pages of the demo's sending and receiving jobs (the settings
# scripts/demo.sh writes), under a virtual display, with the demo's "what to do" line in the status report.
#   scripts/walkthrough-screenshots.sh [OUTPUT-FOLDER]      (default docs/walkthrough)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target vandrel_screenshots vandrel-demo-settings
out=$(realpath -m "${1:-docs/walkthrough}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The jobs as the demo writes them, in a folder whose name reads well in the pictures; the servers' ports are the
# usual ones (nothing runs: the pictures show the settings).
demo=/tmp/dbvandrel-demo
[ ! -e "$demo" ] || [ -e "$demo/.dbvandrel-demo" ] || { echo "$demo exists and is not a demo folder" >&2; exit 2; }
rm -rf "$demo"
mkdir -p "$demo"/{sending,receiving} "$out"
touch "$demo/.dbvandrel-demo"
XDG_CONFIG_HOME=$work/config "$BUILD/DBVandrel/vandrel-demo-settings" "$demo" 1433 21 >/dev/null
declare -A hint=(
    [sending]=$'Demo, sending side: press Start to back up Sales, zip it and upload it to the FTP server.\nThen press Start in the receiving window.'
    [receiving]=$'Demo, receiving side: once the sending window has uploaded, press Start here\nto download, extract and restore the archive over the database SalesCopy.'
)
for job in sending receiving; do
    mkdir -p "$work/$job"
    XDG_CONFIG_HOME=$work/config DBVANDREL_HINT=${hint[$job]} QT_QPA_PLATFORM=xcb \
        xvfb-run -a -s "-screen 0 1280x1024x24" \
        "$BUILD/docs/screenshots/vandrel_screenshots" "$work/$job" "$demo/$job/$job.cfg" >/dev/null 2>&1 || true
    for page in database archive ftp; do
        cp "$work/$job/page-$page.png" "$out/$job-$page.png"
        echo "$out/$job-$page.png"
    done
done
rm -rf "$demo"
