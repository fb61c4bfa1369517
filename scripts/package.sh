#!/usr/bin/env bash
# Builds the Debian packages with CPack:
#   build-package/cpack/dbvandrel_<version>_<arch>.deb                    the program with its window, desktop entry
#                                                                         and icon
#   build-package-headless/cpack/dbvandrel-headless_<version>_<arch>.deb  the same without the window
#                                                                         (-DVANDREL_GUI=OFF): no widget library
# Both hold /usr/bin/dbvandrel, the man page, the README and LICENSE, and the systemd units; they replace each
# other. Install one with: apt-get install ./build-package/cpack/dbvandrel_*.deb
# Usage: scripts/package.sh [gui|headless|both]      (default both; $PACKAGE_DIR renames build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
OUT=${PACKAGE_DIR:-build-package}
which=${1:-both}
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

# package <build folder> <extra cmake options...>: builds what the package holds (not the tests), then packs it.
package() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANDREL_TESTS=OFF \
        -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "${launcher[@]}" "$@"
    cmake --build "$dir" -j"$(nproc)" --target dbvandrel dbvandrel_man vandrel-demo-settings
    (cd "$dir" && cpack -G DEB -B "$PWD/cpack")
    ls -l "$dir"/cpack/*.deb
}

case "$which" in
gui) package "$OUT" -DVANDREL_GUI=ON ;;
headless) package "$OUT-headless" -DVANDREL_GUI=OFF ;;
both)
    package "$OUT" -DVANDREL_GUI=ON
    package "$OUT-headless" -DVANDREL_GUI=OFF
    ;;
*)
    echo "usage: scripts/package.sh [gui|headless|both]" >&2
    exit 2
    ;;
esac
