#!/usr/bin/env bash
# Builds the static Qt for Windows (x86_64-w64-mingw32) that the Windows program links, with
# OpenSSL built in, from Debian's source packages. The result goes to a cache outside the clone,
# keyed by the source versions and the options below, and is reused while that key holds.
#   scripts/build-windows-qt.sh            build or reuse; prints the Qt prefix on the last line
#   QDT_WINDOWS_CACHE=DIR                  cache folder (default ~/.cache/quen-dara-translation)
# Needs root the first time on a machine (apt-get for the tools and the deb-src entry).
set -euo pipefail

target=x86_64-w64-mingw32
cache="${QDT_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quen-dara-translation}"
jobs=$(nproc)

log() { echo "[windows-qt] $*" >&2; }

# OpenSSL: only the libraries, static, for the Windows target.
openssl_options=(mingw64 no-shared no-tests no-dso no-engine no-module no-legacy
    no-ssl3 no-comp no-capieng)

# Qt: the parts the program and its tests use, linked statically with the C and C++ runtimes.
qt_options=(-xplatform win32-g++ -static -static-runtime -release -opensource -confirm-license
    -nomake examples -nomake tests -no-opengl -no-dbus -no-icu -qt-zlib -qt-libpng -qt-pcre
    -qt-freetype -no-harfbuzz -no-feature-sql -no-feature-concurrent -no-feature-xml
    -no-feature-tabletevent -openssl-linked -no-pch -silent)

# apt-get source needs a deb-src entry for the suites the machine installs from.
ensure_deb_src() {
    if [[ $(id -u) -ne 0 ]]; then
        log "No deb-src entry: run this once as root (it adds one for the machine's suites)."
        exit 1
    fi
    local list=/etc/apt/sources.list.d/quen-dara-deb-src.sources
    log "Adding $list (source packages of the machine's own suites)"
    : >"$list"
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ "$f" == "$list" ]] && continue
        # deb822 stanzas of type deb, copied as deb-src.
        awk 'BEGIN { RS=""; ORS="\n\n" } /(^|\n)Types:[^\n]*deb([ \n]|$)/ && !/deb-src/ {
                 sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f" >>"$list"
    done
    if [[ -f /etc/apt/sources.list ]]; then
        grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
            >/etc/apt/sources.list.d/quen-dara-deb-src.list || true
    fi
    apt-get update -q >&2
}

# src_versions PACKAGE: the versions the source lists offer, newest first.
src_versions() {
    { apt-cache showsrc "$1" 2>/dev/null || true; } | awk '/^Version:/ { print $2 }' | sort -rV
}

# fetch_source PACKAGE: unpacks Debian's source (with Debian's patches) of the newest version a
# mirror really serves (a list may name a version its mirror no longer holds) into the cache;
# prints that version.
fetch_source() {
    local pkg="$1" version
    for version in $(src_versions "$pkg"); do
        if [[ -d "$cache/src-$pkg-$version" ]]; then
            echo "$version"
            return 0
        fi
    done
    for version in $(src_versions "$pkg"); do
        local tmp
        tmp=$(mktemp -d "$cache/src.XXXXXX")
        log "Fetching the source of $pkg $version"
        if (cd "$tmp" && apt-get source -q "$pkg=$version" >&2); then
            local unpacked
            unpacked=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d | head -n 1)
            if [[ -n "$unpacked" ]]; then
                mv "$unpacked" "$cache/src-$pkg-$version"
                rm -rf "$tmp"
                echo "$version"
                return 0
            fi
        fi
        rm -rf "$tmp"
    done
    log "No source of $pkg could be fetched"
    return 1
}

# Tools named the way Qt's and OpenSSL's cross builds expect (<target>-g++ ...), pointing at the
# POSIX-threads flavour of mingw-w64 that the rest of our build uses.
make_toolbin() {
    local bin="$1"
    mkdir -p "$bin"
    local t
    for t in gcc g++; do
        ln -sf "$(command -v $target-$t-posix)" "$bin/$target-$t"
    done
    for t in ar ranlib windres strip nm objcopy objdump ld dlltool; do
        ln -sf "$(command -v $target-$t)" "$bin/$target-$t"
    done
}

main() {
    mkdir -p "$cache"
    # One build at a time per cache: a second run waits, then finds the finished build.
    exec 8>"$cache/.lock"
    flock 8
    local tools_missing=0 p
    for p in dpkg-dev g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 perl make python3; do
        [[ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" == "install ok installed" ]] ||
            tools_missing=1
    done
    if ((tools_missing)); then
        [[ $(id -u) -eq 0 ]] || { log "Run as root once to install the build tools."; exit 1; }
        apt-get install -y -q dpkg-dev g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
            perl make python3 >&2
    fi

    if [[ -z "$(src_versions qtbase-opensource-src)" || -z "$(src_versions openssl)" ]]; then
        ensure_deb_src
    fi
    local qt_version ssl_version
    qt_version=$(fetch_source qtbase-opensource-src)
    ssl_version=$(fetch_source openssl)
    local key
    key=$(printf '%s\n' "qt=$qt_version" "openssl=$ssl_version" "target=$target" \
        "$(x86_64-w64-mingw32-g++-posix -dumpversion)" "${openssl_options[@]}" "${qt_options[@]}" \
        "script=3" | sha256sum | cut -c1-16)
    local prefix="$cache/qt-$key"
    if [[ -f "$prefix/.complete" ]]; then
        find "$cache" -mindepth 1 -maxdepth 1 \( -name 'work-*' -o -name 'src.*' \) -exec rm -rf {} +
        log "Reusing Qt $qt_version with OpenSSL $ssl_version for Windows from $prefix"
        echo "$prefix"
        return 0
    fi
    log "Building Qt $qt_version with OpenSSL $ssl_version for Windows into $prefix"
    log "(once per machine and set of options; about 25 minutes on 2 cores)"
    local start=$SECONDS

    local work="$cache/work-$key"
    # Work folders of interrupted builds, of this key or another, are of no use.
    find "$cache" -mindepth 1 -maxdepth 1 \( -name 'work-*' -o -name 'src.*' \) -exec rm -rf {} +
    rm -rf "$prefix"
    mkdir -p "$work"
    local toolbin="$work/toolbin"
    make_toolbin "$toolbin"
    export PATH="$toolbin:$PATH"


    # OpenSSL
    local ssl_prefix="$prefix/openssl"
    rm -rf "$work/openssl"
    cp -a "$cache/src-openssl-$ssl_version" "$work/openssl"
    (
        cd "$work/openssl"
        ./Configure "${openssl_options[@]}" --cross-compile-prefix=$target- \
            --prefix="$ssl_prefix" --libdir=lib --openssldir="C:/Windows/ssl-not-used" >&2
        make -s -j"$jobs" build_libs >&2
        make -s install_dev >&2
    )
    log "OpenSSL built in $((SECONDS - start)) s"

    # Qt, out of source
    mkdir -p "$work/qtbase-build"
    (
        cd "$work/qtbase-build"
        OPENSSL_LIBS="-L$ssl_prefix/lib -lssl -lcrypto -lws2_32 -lgdi32 -lcrypt32 -luser32 -ladvapi32" \
            "$cache/src-qtbase-opensource-src-$qt_version/configure" -prefix "$prefix" \
            -device-option CROSS_COMPILE=$target- "${qt_options[@]}" \
            -I "$ssl_prefix/include" -L "$ssl_prefix/lib" >&2
        make -s -j"$jobs" >&2
        make -s install >&2
    )
    printf '%s\n' "qt=$qt_version" "openssl=$ssl_version" >"$prefix/.complete"
    rm -rf "$work"
    # Builds with other keys, and sources of other versions, are of no further use.
    find "$cache" -mindepth 1 -maxdepth 1 -name 'qt-*' ! -name "qt-$key" -exec rm -rf {} +
    find "$cache" -mindepth 1 -maxdepth 1 -name 'src-*' \
        ! -name "src-openssl-$ssl_version" ! -name "src-qtbase-opensource-src-$qt_version" \
        -exec rm -rf {} +
    log "Qt for Windows built in $((SECONDS - start)) s"
    echo "$prefix"
}

main "$@"
