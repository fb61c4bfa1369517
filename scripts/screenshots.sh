#!/usr/bin/env bash
# Takes the README's pictures of the window under a virtual display (Xvfb), with the style and fonts of a plain
# Debian desktop:  scripts/screenshots.sh [OUTPUT-FOLDER [SETTINGS-FILE]]   (default: docs/)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target vandrel_screenshots
out=$(realpath -m "${1:-docs}")
settings=()
[ $# -ge 2 ] && settings=("$(realpath "$2")")
# A configuration folder of its own: the pictures never show, or write into, the user's settings.
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
XDG_CONFIG_HOME="$config" QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" \
    "$BUILD/docs/screenshots/vandrel_screenshots" "$out" "${settings[@]}"
