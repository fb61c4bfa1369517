#!/usr/bin/env bash
# Installs what is needed, then checks the tree in four parts, each build in a folder of its own:
#   format  clang-format over every C++ file of the project;
#   main    warnings as errors, every test (the database and FTP servers run on loopback)  -> $BUILD_DIR (build-ci);
#   nogui   -DVANDREL_GUI=OFF: the core builds without Qt Widgets and passes its tests     -> $BUILD_DIR-nogui;
#   asan    -DVANDREL_SANITIZE=ON: every test under AddressSanitizer and UBSan            -> $BUILD_DIR-asan.
# Every part runs even when an earlier one fails; the summary at the end names the failed parts and the exit status
# is non-zero if any failed. Each part prints its duration.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

BUILD=${BUILD_DIR:-build-ci}
JOBS=$(nproc)

# The project's C++ files: git's list in a checkout; without git (an exported tree) the same folders searched.
format_check() {
    if command -v git >/dev/null 2>&1 && [ -e .git ]; then
        git ls-files -z '*.cpp' '*.h'
    else
        find DBVandrel SV4Share dbaccess tests bench docs -type f \( -name '*.cpp' -o -name '*.h' \) -print0
    fi | xargs -0 -r clang-format --dry-run --Werror
}

# build_and_test <build dir> <build type> <extra cmake options...>
build_and_test() {
    local dir=$1 type=$2
    shift 2
    # Chained with &&: set -e does not act inside the condition that part evaluates.
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DVANDREL_WERROR=ON "$@" &&
        cmake --build "$dir" -j"$JOBS" &&
        ctest --test-dir "$dir" --output-on-failure -j"$JOBS" --timeout 600
}

# The sanitizers stop a test at the first report, with its stack; leaks are checked in full (Qt, unixODBC with
# FreeTDS and libcurl report none in our tests). The settings hold for the build too: it runs each test program once
# to list its tests. A Debug build: under the sanitizers -O2 compiles our test files up to four times slower than -O0,
# and the tests wait on their servers more than they compute.
sanitized_build_and_test() {
    export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:strict_init_order=1
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    build_and_test "$1" Debug -DVANDREL_SANITIZE=ON
}

failed=()
# part <name> <command...>: runs the command in a subshell (its exports stay there), times it and records a failure
# without ending the script.
part() {
    local name=$1
    shift
    local start=$SECONDS
    echo "=== $name"
    if ("$@"); then
        echo "=== $name passed in $((SECONDS - start)) s"
    else
        echo "=== $name FAILED after $((SECONDS - start)) s"
        failed+=("$name")
    fi
}

part format format_check
part main build_and_test "$BUILD" RelWithDebInfo
part nogui build_and_test "$BUILD-nogui" RelWithDebInfo -DVANDREL_GUI=OFF
part asan sanitized_build_and_test "$BUILD-asan"

if [ ${#failed[@]} -gt 0 ]; then
    echo "=== failed: ${failed[*]}"
    exit 1
fi
echo "=== all parts passed"
