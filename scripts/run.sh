#!/usr/bin/env bash
# Installs what is needed, builds and starts the program; arguments go to the program
# (for example the path of a settings file).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANDREL_TESTS=OFF
cmake --build "$BUILD" -j"$(nproc)" --target dbvandrel
exec "$BUILD/DBVandrel/dbvandrel" "$@"
