#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build-run" -DQDT_BUILD_TESTS=OFF -DQDT_BUILD_BENCH=OFF >/dev/null
exec "$root/build-run/app/QuenDaraTranslation" "$@"
