#!/usr/bin/env bash
# Fuzzes the patch reader and applier for a bounded time under AddressSanitizer and
# UndefinedBehaviorSanitizer. Prints CTest's summary line.
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
dir="$root/build-fuzz"
seconds="${QDT_FUZZ_SECONDS:-60}"

cmake -S "$root/tests/fuzz" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DQDT_FUZZ_SECONDS="$seconds" >/dev/null || exit 1
cmake --build "$dir" || exit 1
ctest --test-dir "$dir" --output-on-failure
