#!/usr/bin/env bash
# Builds the installer for the router: a static, stripped, 32-bit big-endian
# PowerPC binary. To show the whole way and to measure it, it first builds the
# target's static zlib and a small static libcrypto from Debian's source packages
# (on a router build these come from the integrator: see
# cmake/toolchain-powerpc.cmake and docs/integrating.md).
#
# Usage: scripts/build-powerpc.sh [build-dir]   (default: build-powerpc)
#        INSTALLER_PUBLIC_KEY=HEX[,HEX...] scripts/build-powerpc.sh ...
#
# Runs as root on Debian 12 and installs what is missing (the cross compiler
# g++-powerpc-linux-gnu, cmake, ninja, dpkg-dev). The source packages are fetched
# with a private apt state and a temporary deb-src list inside the build
# directory, which is deleted afterwards: the host's apt configuration is left
# alone. Repeated runs reuse the libraries and the build.
#
# Results: BUILD/installer (stripped) and BUILD/tree/installer (unstripped). When
# qemu-ppc (package qemu-user) is there, the binary is started once with
# "--show" in an empty root. The last line is the stripped size in bytes.
# Not run by CI: it takes minutes (see README.md).
set -euo pipefail
cd "$(dirname "$0")/.."
SOURCE_DIR="$PWD"
BUILD_DIR="$(realpath -m "${1:-build-powerpc}")"
JOBS="${JOBS:-2}"
TRIPLET=powerpc-linux-gnu
PREFIX="$BUILD_DIR/prefix"
SOURCES="$BUILD_DIR/sources"
APT_DIR="$BUILD_DIR/apt"
TOOLCHAIN="$SOURCE_DIR/cmake/toolchain-powerpc.cmake"
export DEBIAN_FRONTEND=noninteractive
start=$SECONDS

log() { printf '== %s (at %d s)\n' "$*" $((SECONDS - start)); }

# Host tools.
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v make >/dev/null || need+=(make)
command -v perl >/dev/null || need+=(perl)
command -v file >/dev/null || need+=(file)
command -v dpkg-source >/dev/null || need+=(dpkg-dev)
command -v "$TRIPLET-g++" >/dev/null || need+=("g++-$TRIPLET")
if [ ${#need[@]} -gt 0 ]; then
    log "installing ${need[*]}"
    apt-get update -qq
    apt-get install -y -qq "${need[@]}" >/dev/null
fi

# Writes deb-src entries for the host's Debian package sources (deb822 .sources
# files and one-line .list files) into the private list directory.
write_source_entries() {
    local list_dir="$1" file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        sed -n 's|^deb \(.*/debian[-a-z]*/\{0,1\} .*\)$|deb-src \1|p' "$file"
    done >"$list_dir/debian-src.list"
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        # One paragraph per source; keep those of Debian's archive.
        awk 'BEGIN { RS = ""; ORS = "\n\n" }
             /URIs:[^\n]*\/debian/ && /Types:[^\n]*deb/ {
                 sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$file"
    done >"$list_dir/debian-src.sources"
}

# Downloads and unpacks one source package into $SOURCES/NAME, newest version
# first; a version whose files the mirror does not serve is skipped.
fetch_source() {
    local name="$1" version dir
    mapfile -t versions < <(apt-cache "${apt_options[@]}" showsrc "$name" |
        sed -n 's/^Version: //p' | sort -u)
    # Newest first, in Debian's version order.
    local sorted=()
    for version in "${versions[@]}"; do
        local i=0
        while [ $i -lt ${#sorted[@]} ] && dpkg --compare-versions "${sorted[$i]}" gt "$version"; do
            i=$((i + 1))
        done
        sorted=("${sorted[@]:0:$i}" "$version" "${sorted[@]:$i}")
    done
    for version in "${sorted[@]}"; do
        dir="$APT_DIR/download/$name"
        rm -rf "$dir"
        mkdir -p "$dir"
        if (cd "$dir" && apt-get "${apt_options[@]}" source --download-only -qq \
            "$name=$version" >/dev/null 2>&1); then
            log "unpacking $name $version"
            rm -rf "$SOURCES/$name"
            dpkg-source --no-check -x "$dir"/*.dsc "$SOURCES/$name" >/dev/null
            echo "$version" >"$SOURCES/$name.version"
            return 0
        fi
        echo "   $name $version: not served, trying an older version"
    done
    echo "no source of $name could be fetched" >&2
    return 1
}

if [ ! -f "$SOURCES/.complete" ]; then
    log "fetching the zlib and openssl source packages"
    rm -rf "$APT_DIR" "$SOURCES"
    trap 'rm -rf "$APT_DIR"' EXIT
    mkdir -p "$APT_DIR/lists/partial" "$APT_DIR/cache/archives/partial" "$APT_DIR/sources" \
        "$SOURCES"
    : >"$APT_DIR/status"
    write_source_entries "$APT_DIR/sources"
    apt_options=(
        -o "Dir::Etc::SourceList=$APT_DIR/sources/debian-src.list"
        -o "Dir::Etc::SourceParts=$APT_DIR/sources"
        -o "Dir::State::Lists=$APT_DIR/lists" -o "Dir::State::status=$APT_DIR/status"
        -o "Dir::Cache=$APT_DIR/cache" -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root"
    )
    apt-get "${apt_options[@]}" update -qq
    fetch_source zlib
    fetch_source openssl
    rm -rf "$APT_DIR"
    trap - EXIT
    touch "$SOURCES/.complete"
fi

# Static zlib for the target.
if [ ! -f "$PREFIX/.zlib-complete" ]; then
    log "building zlib $(cat "$SOURCES/zlib.version") for $TRIPLET"
    rm -rf "$BUILD_DIR/zlib"
    cp -a "$SOURCES/zlib" "$BUILD_DIR/zlib"
    (
        cd "$BUILD_DIR/zlib"
        CC="$TRIPLET-gcc" AR="$TRIPLET-ar" RANLIB="$TRIPLET-ranlib" CFLAGS="-Os" \
            ./configure --static --prefix="$PREFIX" >/dev/null
        make -j "$JOBS" libz.a >/dev/null
        make install >/dev/null
    )
    rm -rf "$BUILD_DIR/zlib"
    touch "$PREFIX/.zlib-complete"
fi

# A small static libcrypto for the target: no assembler, no shared objects, no
# programs, no loadable modules; only the library is built and installed.
if [ ! -f "$PREFIX/.openssl-complete" ]; then
    log "building libcrypto (openssl $(cat "$SOURCES/openssl.version")) for $TRIPLET"
    rm -rf "$BUILD_DIR/openssl"
    cp -a "$SOURCES/openssl" "$BUILD_DIR/openssl"
    (
        cd "$BUILD_DIR/openssl"
        ./Configure linux-ppc --prefix="$PREFIX" --libdir=lib \
            --cross-compile-prefix="$TRIPLET-" \
            no-shared no-asm no-tests no-module no-dso no-engine no-legacy \
            no-ui-console no-async -Os >/dev/null
        make -j "$JOBS" build_generated >/dev/null
        make -j "$JOBS" libcrypto.a >/dev/null
        mkdir -p "$PREFIX/include/openssl" "$PREFIX/lib"
        cp include/openssl/*.h "$PREFIX/include/openssl/"
        cp libcrypto.a "$PREFIX/lib/"
    )
    rm -rf "$BUILD_DIR/openssl"
    touch "$PREFIX/.openssl-complete"
fi

# INSTALLER_PUBLIC_KEY in the environment (HEX[,HEX...]) sets the accepted keys;
# without it the installer accepts the development key and is not for shipping.
key_option=(-UINSTALLER_PUBLIC_KEY)
if [ -n "${INSTALLER_PUBLIC_KEY:-}" ]; then
    key_option=(-DINSTALLER_PUBLIC_KEY="$INSTALLER_PUBLIC_KEY")
else
    echo "   no INSTALLER_PUBLIC_KEY: the installer accepts the development key (not for shipping)"
fi
log "building the static installer for $TRIPLET"
cmake -S "$SOURCE_DIR" -B "$BUILD_DIR/tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DPOWERPC_SYSROOT="$PREFIX" "${key_option[@]}" \
    -DINSTALLER_STATIC=ON -DINSTALLER_BUILD_TESTS=OFF -DINSTALLER_BUILD_BENCH=OFF \
    -DINSTALLER_FUZZ=OFF -DINSTALLER_SANITIZE=OFF >/dev/null
cmake --build "$BUILD_DIR/tree" -j "$JOBS" --target installer

"$TRIPLET-strip" -o "$BUILD_DIR/installer" "$BUILD_DIR/tree/installer"
description="$(file -b "$BUILD_DIR/installer")"
echo "$description"
case "$description" in
    *"ELF 32-bit MSB executable, PowerPC"*"statically linked"*) ;;
    *)
        echo "not a static 32-bit big-endian PowerPC executable" >&2
        exit 1
        ;;
esac

qemu="$(command -v qemu-ppc || command -v qemu-ppc-static || true)"
if [ -n "$qemu" ]; then
    log "starting it under $(basename "$qemu"): installer --show -r EMPTY-ROOT"
    root="$(mktemp -d)"
    "$qemu" "$BUILD_DIR/installer" --show -r "$root" || echo "(exit status $?)"
    rm -rf "$root"
else
    echo "qemu-ppc not found (package qemu-user): the binary was not started"
fi

log "done"
echo "installer for $TRIPLET, static, stripped: $(stat -c %s "$BUILD_DIR/installer") bytes"
