#!/usr/bin/env bash
# The demo sandbox: installs what is missing, builds, makes a game installation, a patch server and a
# running "ORBEX.exe" in a temporary folder, and starts the real program against them. Nothing of the
# user's is touched: the program gets a home folder of its own inside the sandbox.
#
#   scripts/demo.sh [--size MIB] [--seconds N] [--keep] [--screenshot FILE]
#     --size MIB         size of the generated game archive (default 32)
#     --seconds N        close the program after N seconds (default: 8 on a virtual display, else
#                        when you close it)
#     --keep             keep the sandbox folder afterwards (its path is printed)
#     --screenshot FILE  where the screenshot goes (default build/demo-screenshot.png)
#
# With no display ($DISPLAY unset) the program runs on a virtual X display; a screenshot of the
# window is saved and its path printed. Everything started here is stopped when the program exits.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
case "${1:-}" in -h | --help) sed -n '2,14p' "$0"; exit 0 ;; esac

"$root/scripts/setup.sh"
log=$(mktemp)
# The translators' side first: the tool makes a release key (once; it is kept in the build folder),
# then the program is built with its public key, so that it takes only releases signed with it.
key="$root/build/demo-release-key/release.key"
if ! { cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build "$root/build" -j "$(nproc)" --target quen-dara-patch &&
    { [[ -f "$key" && -f "$key.pub" ]] || { rm -rf "$(dirname "$key")" && mkdir -p "$(dirname "$key")" &&
        "$root/build/tools/quen-dara-patch" keygen -o "$key"; }; } &&
    cmake -S "$root" -B "$root/build" -DQDT_RELEASE_KEYS="$(cat "$key.pub")" &&
    cmake --build "$root/build" -j "$(nproc)" --target QuenDaraTranslation qdt-sandbox-data qdt-fake-game quen-dara-patch; } >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "Build failed." >&2
    exit 1
fi
rm -f "$log"
args=("$@")
[[ " ${args[*]} " == *" --screenshot "* ]] || args+=(--screenshot "$root/build/demo-screenshot.png")
args+=(--release-key "$key")
exec /usr/bin/python3 "$root/scripts/sandbox.py" demo "$root/build" "${args[@]}"
