#!/usr/bin/env bash
# Installs what is needed, builds the program and starts it.
#   scripts/run.sh            the demo (scripts/demo.sh): a fake SQL Server and an FTP server on loopback, a sending
#                             and a receiving job; windows with a display, both runs unattended without one
#   scripts/run.sh FILE ...   the program on that settings file (further arguments go to the program)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANDREL_TESTS=OFF
cmake --build "$BUILD" -j"$(nproc)" --target dbvandrel vandrel-demo-settings
if [ $# -eq 0 ]; then
    exec ./scripts/demo.sh "$BUILD"
fi
exec "$BUILD/DBVandrel/dbvandrel" "$@"
