#!/usr/bin/env bash
# The Windows build: everything, the window and its tests included, cross-built with mingw-w64
# against our static Qt for Windows (scripts/build-windows-qt.sh builds it once, then reuses it),
# and every test program run under Wine. The core tests share one throwaway prefix; each window
# test program gets a prefix of its own (tests/support/wine-run.sh). Prints CTest's summary line.
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
dir="$root/build-mingw"

qt=$("$root/scripts/build-windows-qt.sh" | tail -n 1) || exit 1

# Prefixes of an earlier run would carry its work directories and registry over.
rm -rf "$dir/wine"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DQDT_WINDOWS_QT="$qt" \
    -DQDT_BUILD_BENCH=OFF >/dev/null || exit 1

prefix=$(mktemp -d /tmp/qdt-wineprefix.XXXXXX)
cleanup() {
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
    local p
    for p in "$dir"/wine/*/; do
        [[ -d "$p" ]] && WINEPREFIX="$p" wineserver -k >/dev/null 2>&1
    done
    rm -rf "$prefix" "$dir/wine"
}
trap cleanup EXIT
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64
# Create the prefix once up front so that test discovery does not time out on it.
wineboot -i >/dev/null 2>&1 || true

cmake --build "$dir" -j "$(nproc)" || exit 1
ctest --test-dir "$dir" --output-on-failure -j 2 --timeout 900
