#!/usr/bin/env bash
# Cross-builds the library and the unit tests for s390x, a big-endian target, and
# runs every unit-test program under qemu-user. Package files and signatures are
# little-endian and the router's processor is big-endian: a reader that decodes
# by casting or by host order passes on a PC and fails here.
#
# Usage: scripts/test-big-endian.sh [build-dir]   (default: build-s390x)
# Runs as root on Debian 12; installs what is missing. Repeated runs reuse the
# sysroot, GoogleTest and the build. Exits nonzero when any unit test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
SOURCE_DIR="$PWD"
BUILD_DIR="$(realpath -m "${1:-build-s390x}")"
JOBS="${JOBS:-2}"
ARCH=s390x
SYSROOT="$BUILD_DIR/sysroot"
TOOLCHAIN="$SOURCE_DIR/cmake/toolchain-$ARCH.cmake"
export DEBIAN_FRONTEND=noninteractive

log() { printf '== %s\n' "$*"; }
# shellcheck source=scripts/cross-sysroot.sh
source "$SOURCE_DIR/scripts/cross-sysroot.sh"

# Host tools.
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v "$ARCH-linux-gnu-g++" >/dev/null || need+=("g++-$ARCH-linux-gnu")
command -v "qemu-$ARCH" >/dev/null || command -v "qemu-$ARCH-static" >/dev/null ||
    need+=(qemu-user)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
if [ ${#need[@]} -gt 0 ]; then
    log "installing ${need[*]}"
    apt-get update -qq
    apt-get install -y -qq "${need[@]}" >/dev/null
fi
QEMU="$(command -v "qemu-$ARCH" || command -v "qemu-$ARCH-static")"

# Target sysroot: zlib and OpenSSL for s390x from the system's own package
# sources, fetched with a private apt state so the host's configuration (its
# architectures and package lists) stays as it is.
SYSROOT_PACKAGES=(zlib1g zlib1g-dev libssl3 libssl-dev)
fetch_sysroot "$ARCH" "$SYSROOT" "$BUILD_DIR" "${SYSROOT_PACKAGES[@]}"
if [ ! -f "$SYSROOT/lib/.runtime-linked" ]; then
    # The C and C++ runtime the cross compiler links against, where the target's
    # loader looks for it.
    mkdir -p "$SYSROOT/lib"
    for file in "/usr/$ARCH-linux-gnu/lib"/*; do
        [ -e "$SYSROOT/lib/$(basename "$file")" ] || ln -s "$file" "$SYSROOT/lib/"
    done
    touch "$SYSROOT/lib/.runtime-linked"
fi

# GoogleTest for the target, from the sources Debian ships, installed into the sysroot.
build_googletest "$ARCH" "$TOOLCHAIN" S390X_SYSROOT "$SYSROOT" "$BUILD_DIR" "$JOBS"

log "building the library and the unit tests for $ARCH"
cmake -S "$SOURCE_DIR" -B "$BUILD_DIR/tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DS390X_SYSROOT="$SYSROOT" \
    -DINSTALLER_BUILD_BENCH=OFF -DINSTALLER_FUZZ=OFF -DINSTALLER_SANITIZE=OFF >/dev/null
cmake --build "$BUILD_DIR/tree" -j "$JOBS" --target cross_unit_tests

mapfile -t programs <"$BUILD_DIR/tree/cross-unit-tests.txt"
if [ ${#programs[@]} -eq 0 ]; then
    echo "no unit-test programs found" >&2
    exit 1
fi

# Each program runs whole, two at a time, with a time limit against hangs; a test
# that cannot work under qemu-user skips itself when it sees INSTALLER_UNDER_QEMU.
log "running ${#programs[@]} unit-test programs under $(basename "$QEMU")"
logs="$BUILD_DIR/logs"
rm -rf "$logs"
mkdir -p "$logs"
export INSTALLER_UNDER_QEMU=1
printf '%s\n' "${programs[@]}" | (cd "$BUILD_DIR/tree" && xargs -P "$JOBS" -I{} sh -c '
    name=$(basename "$1")
    timeout --kill-after=10 "$5" "$2" -L "$3" "$1" --gtest_color=no >"$4/$name.log" 2>&1
    status=$?
    echo "$status" >"$4/$name.status"
    case $status in
        0) echo "$name: passed" ;;
        124 | 137) echo "$name: FAILED (no end after $5 s)" ;;
        *) echo "$name: FAILED (status $status)" ;;
    esac
    ' sh {} "$QEMU" "$SYSROOT" "$logs" "${TEST_TIMEOUT:-1200}")

passed=0
failed=0
skipped=0
bad=()
for program in "${programs[@]}"; do
    name="$(basename "$program")"
    file="$logs/$name.log"
    p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$file" | tail -1)
    s=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?,.*/\1/p' "$file" | tail -1)
    f=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?,.*/\1/p' "$file" | tail -1)
    passed=$((passed + ${p:-0}))
    skipped=$((skipped + ${s:-0}))
    failed=$((failed + ${f:-0}))
    if [ "$(cat "$logs/$name.status")" != 0 ] || [ -z "$p" ] || [ -n "$f" ]; then
        bad+=("$name")
        # A crash or a hang leaves no count of failures: count the program as one.
        [ -n "$f" ] || failed=$((failed + 1))
    fi
    if [ -n "$s" ]; then
        grep '^\[  SKIPPED \] [A-Za-z]' "$file" | sed "s/^/$name: /" || true
    fi
done
for name in "${bad[@]}"; do
    echo "---- $name ($logs/$name.log)"
    grep -E -A8 ': Failure$' "$logs/$name.log" | head -80 || true
    grep '^\[  FAILED  \] [A-Za-z].* ms)$' "$logs/$name.log" || true
    tail -5 "$logs/$name.log"
done
echo "big-endian: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
