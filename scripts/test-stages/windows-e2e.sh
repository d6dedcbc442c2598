#!/usr/bin/env bash
# The player's journey with the real QuenDaraTranslation.exe under Wine on a virtual display
# (tests/e2e/test_e2e_windows.py): builds what it needs, runs each test in a process of its own
# with a time limit, stops every Wine server its sandboxes started and prints CTest's summary line.
#   QDT_E2E_TEST_TIMEOUT   seconds one test may take (default 420)
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
per_test="${QDT_E2E_TEST_TIMEOUT:-420}"

# quietly LOG COMMAND...: runs a build step, showing its output only when it fails.
quietly() {
    local log
    log=$(mktemp)
    if ! "$@" >"$log" 2>&1; then
        tail -n 60 "$log"
        rm -f "$log"
        echo "windows-e2e: failed: $*" >&2
        return 1
    fi
    rm -f "$log"
}

"$root/scripts/setup.sh" || exit 1

# The Linux build makes the sandbox's game and hashes, and its quen-dara-patch the patches and the
# manifest.
if [[ -x "$root/build/tests/qdt-sandbox-data" && -f "$root/build/build.ninja" ]]; then
    quietly cmake --build "$root/build" --target qdt-sandbox-data quen-dara-patch || exit 1
else
    quietly "$root/scripts/build.sh" "$root/build" || exit 1
fi

# The program as players get it (its build fails if it has the tests' state report).
quietly "$root/scripts/build-windows.sh" || exit 1

# The Windows fake game, from the tree scripts/test-stages/windows.sh builds (same options; a tree
# it has configured for this Qt is only brought up to date).
qt=$("$root/scripts/build-windows-qt.sh" | tail -n 1) || exit 1
if ! grep -qxF "QDT_WINDOWS_QT:PATH=$qt" "$root/build-mingw/CMakeCache.txt" 2>/dev/null ||
    [[ ! -f "$root/build-mingw/build.ninja" ]]; then
    quietly cmake -S "$root" -B "$root/build-mingw" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DQDT_WINDOWS_QT="$qt" \
        -DQDT_BUILD_BENCH=OFF || exit 1
fi
# The journey drives the window through its state report, which only builds with tests have:
# the same program, built in that tree (what players get is checked to be without it above).
quietly cmake --build "$root/build-mingw" --target qdt-fake-game QuenDaraTranslation || exit 1

# Every sandbox goes below this folder, so that whatever a killed test leaves behind is found.
parent=$(mktemp -d /tmp/qdt-windows-e2e.XXXXXX)
cleanup() {
    local prefix
    for prefix in "$parent"/*/wineprefix; do
        [[ -d "$prefix" ]] || continue
        WINEPREFIX="$prefix" timeout 30 wineserver -k >/dev/null 2>&1
        WINEPREFIX="$prefix" timeout 30 wineserver -w >/dev/null 2>&1
    done
    rm -rf "$parent"
}
trap cleanup EXIT

export QDT_BUILD_DIR="$root/build"
export QDT_WINDOWS_PROGRAM="$root/build-mingw/app/QuenDaraTranslation.exe"
export QDT_WINDOWS_FAKE_GAME="$root/build-mingw/tests/qdt-fake-game.exe"
export PYTHONDONTWRITEBYTECODE=1
cd "$root/tests/e2e" || exit 1

mapfile -t tests < <(/usr/bin/python3 -c '
import unittest, test_e2e_windows as m
for suite in unittest.defaultTestLoader.loadTestsFromModule(m):
    for test in suite:
        print(test.id().split(".", 1)[1])')
total=${#tests[@]}
if ((total == 0)); then
    echo "windows-e2e: no tests found" >&2
    exit 1
fi

failed=()
started=$SECONDS
i=0
for t in "${tests[@]}"; do
    i=$((i + 1))
    begin=$SECONDS
    # timeout signals the test's whole process group (Xvfb, the Wine programs); the Wine server
    # has a session of its own and is stopped by the cleanup.
    TMPDIR="$parent" timeout -k 20 "$per_test" /usr/bin/python3 -m unittest -v "test_e2e_windows.$t"
    rc=$?
    for prefix in "$parent"/*/wineprefix; do
        [[ -d "$prefix" ]] && WINEPREFIX="$prefix" timeout 30 wineserver -k >/dev/null 2>&1
    done
    if ((rc == 0)); then
        result=Passed
    else
        result="***Failed (exit status $rc)"
        failed+=("$t")
    fi
    printf '%d/%d Test: windows-e2e.%s ... %s  %d sec\n' "$i" "$total" "$t" "$result" \
        $((SECONDS - begin))
done

passed=$((total - ${#failed[@]}))
# CTest's rounding: never 100% with a failure.
percent=$(((passed * 100 + total / 2) / total))
((${#failed[@]} > 0 && percent > 99)) && percent=99
echo
echo "$percent% tests passed, ${#failed[@]} tests failed out of $total"
echo "Total Test time (real) = $((SECONDS - started)) sec"
if ((${#failed[@]} > 0)); then
    echo "The following tests FAILED:"
    printf '\twindows-e2e.%s\n' "${failed[@]}"
    exit 1
fi
