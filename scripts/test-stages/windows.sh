#!/usr/bin/env bash
# The Windows build: the core library, the command-line tool and their tests cross-built with
# mingw-w64, the tests run under Wine in a throwaway prefix. Prints CTest's summary line.
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
dir="$root/build-mingw"

cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DQDT_BUILD_BENCH=OFF >/dev/null || exit 1

prefix=$(mktemp -d /tmp/qdt-wineprefix.XXXXXX)
cleanup() {
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
}
trap cleanup EXIT
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64
# Create the prefix once up front so that test discovery does not time out on it.
wineboot -i >/dev/null 2>&1 || true

cmake --build "$dir" -j "$(nproc)" || exit 1
ctest --test-dir "$dir" --output-on-failure -j 2 --timeout 900
