#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the native build, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the checks of the Windows build.
#   scripts/test.sh          everything
#   scripts/test.sh --quick  the native build and its tests only
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

quick=0
[[ "${1:-}" == "--quick" ]] && quick=1

"$root/scripts/setup.sh" || exit 1

passed=0
failed=0
failures=()

# run_stage NAME COMMAND...: runs one stage and counts its tests from CTest's summary line.
run_stage() {
    local name="$1"
    shift
    echo "=== $name"
    local started=$SECONDS
    local log
    log=$(mktemp)
    "$@" 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    local line
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [[ -n "$line" ]]; then
        local total bad
        total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
        bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
        passed=$((passed + total - bad))
        failed=$((failed + bad))
    fi
    if ((rc != 0)); then
        failures+=("$name")
        [[ -z "$line" ]] && failed=$((failed + 1))
    fi
    rm -f "$log"
    echo "=== $name: $((SECONDS - started)) s"
}

ctest_in() {
    local dir="$1"
    shift
    ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" "$@"
}

native() {
    # The tests sign their releases with keys of their own: none are built in (the demo builds
    # its key into the same folder).
    "$root/scripts/build.sh" build -DQDT_RELEASE_KEYS= && ctest_in build
}

sanitized() {
    # Test discovery runs the test programs during the build, so the options hold for both. Leak
    # checking is off: Qt keeps some allocations until the process ends.
    export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
    "$root/scripts/build.sh" build-asan -DQDT_SANITIZE=ON -DQDT_BUILD_BENCH=OFF -DQDT_RELEASE_KEYS= &&
        ctest_in build-asan
}

run_stage "native build and tests" native
if ((quick == 0)); then
    run_stage "AddressSanitizer + UndefinedBehaviorSanitizer" sanitized
    for extra in "$root"/scripts/test-stages/*.sh; do
        [[ -e "$extra" ]] || continue
        run_stage "$(basename "$extra" .sh)" bash "$extra"
    done
fi

echo
if ((${#failures[@]} > 0)); then
    echo "Failed stages: ${failures[*]}"
fi
echo "All stages: $passed passed, $failed failed"
((${#failures[@]} == 0))
