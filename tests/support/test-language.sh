#!/usr/bin/env bash
# Runs a window test program with the system language its test asks for:
#   QDT_TEST_LANGUAGE=ru|en test-language.sh PROGRAM [ARGS...]
# "ru" is a Russian system (Qt reads LANGUAGE first, then LC_ALL, LC_MESSAGES, LANG), "en" an
# English one whatever the caller's; unset leaves the environment as it is. Wine takes the Windows
# user's language from the same variables (tests/support/wine-run.sh sources this).
qdt_test_language() {
    case "${QDT_TEST_LANGUAGE:-}" in
    ru) export LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 LANGUAGE=ru ;;
    en) export LANG=C.UTF-8 LC_ALL=C.UTF-8 && unset LANGUAGE ;;
    "") ;;
    *)
        echo "test-language.sh: unknown QDT_TEST_LANGUAGE \"$QDT_TEST_LANGUAGE\"" >&2
        return 1
        ;;
    esac
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
    qdt_test_language || exit 1
    exec "$@"
fi
