#!/usr/bin/env bash
# Brings the Linguist sources resources/translations/*.ts up to date with the window's texts (every
# tr() in the window's code and the form), keeping what is translated. Then translate what Qt
# Linguist shows as unfinished; the build compiles the .ts files, and the test
# "translations_complete" fails while any text has no finished translation.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$(command -v /usr/lib/qt5/bin/lupdate || command -v lupdate)" -I . -no-obsolete -locations none \
    app patching game distribution -ts resources/translations/*.ts
