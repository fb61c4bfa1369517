#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The benchmark in one command: builds the engines' drivers (build-bench/, Release, no window, no tests), then times
# them against zip, pigz, unzip and curl with vsftpd on the loopback, and prints a Markdown table.
#   bench/run.sh                 1 GiB files, best of 2 (a few minutes on two cores)
#   bench/run.sh --quick         128 MiB files, one run each (to try it out)
#   bench/run.sh [--size-mib N] [--repeat N] [--work DIR]
# Needs the packages of scripts/install-deps.sh (zip, unzip, pigz, curl, time, vsftpd) and about 4 times the
# file size free in the work folder (the system's temporary folder by default).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(dirname "$here")"
build="${VANDREL_BENCH_BUILD:-$source_dir/build-bench}"
args=()
for arg in "$@"; do
    if [ "$arg" = "--quick" ]; then args+=(--size-mib 128 --repeat 1); else args+=("$arg"); fi
done
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANDREL_BENCH=ON -DVANDREL_GUI=OFF \
        -DVANDREL_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target zipbench ftpbench >/dev/null
exec /usr/bin/python3 "$here/bench.py" "$build" "${args[@]}"
