#!/usr/bin/env bash
# The Linux platform layer against a prefix that real Wine writes and runs in: keys added with
# `wine reg add` are read back from the prefix's .reg files, a launcher and a game run by Wine are
# seen in /proc, and the game is started through Wine. Prints "N passed, N failed".
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
# The native build tree that scripts/test.sh has just built; QDT_BUILD_DIR chooses another.
dir="${QDT_BUILD_DIR:-$root/build}"

if [[ ! -f "$dir/CMakeCache.txt" ]]; then
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
fi
cmake --build "$dir" --target check_wine_prefix >/dev/null || { echo "0 passed, 1 failed"; exit 1; }

work=$(mktemp -d /tmp/qdt-wine-registry.XXXXXX)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEARCH=win64
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

# A small Windows program that stands in for the launcher and the game.
x86_64-w64-mingw32-g++-posix -std=c++17 -O1 -static -o "$work/helper.exe" \
    "$root/tests/game/helper_process.cpp" -lshell32 || { echo "0 passed, 1 failed"; exit 1; }

key='HKCU\Software\KVTR\Apps\45'
uninstall='HKLM\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall\QUEN DARA_ORBEX'
game='C:\Games\Квен Дара\bin\x64\QuenDara.exe'
ok=1
timeout 300 wine reg add "$key" /v GamePath /d 'C:\Games\Квен Дара' /f >/dev/null 2>&1 || ok=0
timeout 120 wine reg add "$key" /v ExecName /d 'bin\x64\QuenDara.exe -launch_from_launcher' /f >/dev/null 2>&1 || ok=0
timeout 120 wine reg add "$key" /v Build /t REG_DWORD /d 42 /f >/dev/null 2>&1 || ok=0
timeout 120 wine reg add "$uninstall" /v DisplayIcon /d "$game" /f >/dev/null 2>&1 || ok=0
# wineserver writes the .reg files when it ends.
timeout 120 wineserver -w
if ((ok == 0)); then
    echo "wine reg add failed"
    echo "0 passed, 1 failed"
    exit 1
fi

drive="$WINEPREFIX/drive_c/Games/Квен Дара"
mkdir -p "$drive/bin/x64" "$drive/ZNGame" "$work/ORBEX Launcher"
cp "$work/helper.exe" "$drive/bin/x64/QuenDara.exe"
cp "$work/helper.exe" "$work/ORBEX Launcher/ORBEX.exe"
head -c 4096 /dev/urandom >"$drive/ZNGame/data.lpk"

QDT_HELPER_SLEEP=120 wine "$work/ORBEX Launcher/ORBEX.exe" >/dev/null 2>&1 &

timeout 300 "$dir/tests/game/check_wine_prefix"
