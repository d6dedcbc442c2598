#!/usr/bin/env bash
# Builds the Windows program as players get it, into build-windows/:
#   QuenDaraTranslation.exe   the window (Qt, its Windows plugin, OpenSSL and the C/C++ runtime
#                             linked in; icon, version and administrator manifest embedded)
#   quen-dara-patch.exe       the command-line patcher
#   QuenDaraTranslation-<version>-windows-x64.zip   both, with a short text for players (README.txt,
#                             and README.ru.txt in Russian)
# Builds (or reuses) the static Qt for Windows first: scripts/build-windows-qt.sh.
# Fails when an executable needs a DLL that does not come with Windows.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build-windows"
tree="$out/cmake"

"$root/scripts/setup.sh"
qt=$("$root/scripts/build-windows-qt.sh" | tail -n 1)

cmake -S "$root" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DQDT_WINDOWS_QT="$qt" \
    -DQDT_BUILD_TESTS=OFF -DQDT_BUILD_BENCH=OFF >/dev/null
cmake --build "$tree" -j "$(nproc)" --target QuenDaraTranslation quen-dara-patch

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$tree/CMakeCache.txt")
programs=(QuenDaraTranslation.exe quen-dara-patch.exe)
for p in "${programs[@]}"; do
    found=$(find "$tree" -name "$p" -type f | head -n 1)
    [[ -n "$found" ]] || { echo "build-windows: $p was not built" >&2; exit 1; }
    x86_64-w64-mingw32-strip -o "$out/$p" "$found"
done

# DLLs that every supported Windows (10 and later) has. Anything else would have to be shipped.
declare -A system_dll
for d in advapi32 bcrypt comctl32 comdlg32 crypt32 d3d9 dnsapi dwmapi dwrite gdi32 imm32 iphlpapi \
    kernel32 mpr msvcrt netapi32 ntdll ole32 oleaut32 rstrtmgr secur32 setupapi shell32 shlwapi \
    user32 userenv uxtheme version winmm wtsapi32 ws2_32; do
    system_dll[$d.dll]=1
done
bad=0
for p in "${programs[@]}"; do
    while read -r dll; do
        if [[ -z "${system_dll[${dll,,}]:-}" ]]; then
            echo "build-windows: $p needs $dll, which does not come with Windows" >&2
            bad=1
        fi
    done < <(x86_64-w64-mingw32-objdump -p "$out/$p" | sed -n 's/^[[:space:]]*DLL Name: //p')
    echo "build-windows: $p imports $(x86_64-w64-mingw32-objdump -p "$out/$p" |
        sed -n 's/^[[:space:]]*DLL Name: //p' | sort -f | tr '\n' ' ')"
done
# What Windows reads from the window's executable: a GUI program (no console window), the
# administrator manifest, the version resource and the icon.
exe="$out/QuenDaraTranslation.exe"
headers=$(x86_64-w64-mingw32-objdump -p "$exe")
grep -Eq '^Subsystem[[:space:]]+0+2[[:space:]]' <<<"$headers" ||
    { echo "build-windows: QuenDaraTranslation.exe is not a GUI program" >&2; bad=1; }
grep -q 'level="requireAdministrator"' "$exe" ||
    { echo "build-windows: QuenDaraTranslation.exe has no administrator manifest" >&2; bad=1; }
strings -el -n 3 "$exe" | grep -A1 -x ProductVersion | grep -qx "$version" ||
    { echo "build-windows: QuenDaraTranslation.exe has no version resource for $version" >&2; bad=1; }
x86_64-w64-mingw32-objdump -h "$exe" | grep -q '\.rsrc' ||
    { echo "build-windows: QuenDaraTranslation.exe has no resources (icon)" >&2; bad=1; }
((bad == 0)) || exit 1

name="QuenDaraTranslation-$version-windows-x64"
stage="$out/$name"
rm -rf "$stage" "$out/$name.zip"
mkdir -p "$stage"
cp "$out/QuenDaraTranslation.exe" "$out/quen-dara-patch.exe" "$stage/"
sed "s/@VERSION@/$version/" "$root/resources/windows-readme.txt" | sed 's/$/\r/' >"$stage/README.txt"
# The Russian copy in UTF-8 with a byte order mark, which every Notepad reads as UTF-8.
{
    printf '\xef\xbb\xbf'
    sed "s/@VERSION@/$version/" "$root/resources/windows-readme-ru.txt" | sed 's/$/\r/'
} >"$stage/README.ru.txt"
(cd "$out" && python3 - "$name" <<'EOF'
import os, sys, zipfile
name = sys.argv[1]
with zipfile.ZipFile(name + ".zip.part", "w", zipfile.ZIP_DEFLATED) as z:
    for f in sorted(os.listdir(name)):
        z.write(os.path.join(name, f), name + "/" + f)
os.replace(name + ".zip.part", name + ".zip")
EOF
)
rm -rf "$stage"
echo "build-windows: $out/$name.zip"
ls -l "$out"/*.exe "$out/$name.zip"
