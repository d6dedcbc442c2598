#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when any is missing.
# Run as root (or through sudo); as another user it only says what to install.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qtbase5-dev qtbase5-dev-tools qttools5-dev-tools qttranslations5-l10n locales
    nlohmann-json3-dev libxxhash-dev libssl-dev
    googletest libgtest-dev
    xvfb xauth imagemagick python3-xlib tesseract-ocr tesseract-ocr-eng tesseract-ocr-rus
    clang libclang-rt-14-dev
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64
    xdelta3 python3 time procps
)

# The window's tests run once more with a Russian system language, which needs its locale.
locale=ru_RU.UTF-8

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

have_locale() {
    locale -a 2>/dev/null | grep -qixF "${locale/UTF-8/utf8}"
}

make_locale() {
    have_locale && return 0
    if [[ $(id -u) -ne 0 ]]; then
        echo "Missing locale $locale: make it with: sudo localedef -i ru_RU -f UTF-8 $locale" >&2
        return 1
    fi
    echo "Making the locale $locale"
    localedef -i ru_RU -f UTF-8 "$locale"
}

if ((${#missing[@]} == 0)); then
    make_locale
    exit
fi

if [[ $(id -u) -ne 0 ]]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q "${missing[@]}"
make_locale
