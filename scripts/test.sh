#!/usr/bin/env bash
# Installs what is needed, builds with warnings as errors and runs every test (servers run on loopback).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
BUILD=${BUILD_DIR:-build-ci}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANDREL_WERROR=ON
cmake --build "$BUILD" -j"$(nproc)"
git ls-files -z '*.cpp' '*.h' | xargs -0 -r clang-format --dry-run --Werror
cd "$BUILD"
ctest --output-on-failure -j"$(nproc)" --timeout 600
