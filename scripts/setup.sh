#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when any is missing.
# Run as root (or through sudo); as another user it only says what to install.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qtbase5-dev qtbase5-dev-tools
    nlohmann-json3-dev libxxhash-dev libssl-dev
    googletest libgtest-dev
    xvfb xauth imagemagick python3-xlib tesseract-ocr tesseract-ocr-eng
    clang libclang-rt-14-dev
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64
    xdelta3 python3 time procps
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
    exit 0
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
