#!/usr/bin/env bash
# Runs a Windows test program under Wine in a prefix of its own:
#   wine-run.sh PREFIX PROGRAM [ARGS...]
# Each test program gets its own prefix, so its own user profile (the work directory lives there)
# and its own process list (a fake game started by one program cannot trip another's start-up
# gate). The Windows user has Cyrillic letters and a blank in their name, as many players do, so
# the profile, the work directory and the temporary folder all have them. The prefix is created
# on first use; its creation is serialised with a lock, since the
# test discovery and the tests of one program may both be first.
set -uo pipefail
prefix="$1"
shift
export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG="${WINEDEBUG:--all}"
# Wine names the profile after $USER, when the prefix is made and whenever a program runs.
export USER="Иван Тестов"
# The Windows user's language follows the Unix locale at every start: the one the test asks for.
source "$(dirname "$0")/test-language.sh"
qdt_test_language || exit 1
mkdir -p "$(dirname "$prefix")"
{
    flock 9
    if [[ ! -f "$prefix/system.reg" ]]; then
        wineboot -i </dev/null >/dev/null 2>&1 9>&-
        # wineboot returns before the registry is on disk; wait for the server to write it.
        wineserver -w 9>&-
    fi
} 9>"$prefix.lock"
# Whatever the program starts that outlives it (the Wine server and its service processes, first
# of all) inherits its output descriptors; were those CTest's pipes, CTest would wait for them to
# close long after the test ended. So the output goes through files, shown once the program ends.
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
wine "$@" </dev/null >"$out" 2>"$err"
rc=$?
cat "$out"
cat "$err" >&2
exit $rc
