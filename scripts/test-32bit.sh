#!/usr/bin/env bash
# Builds the whole project (library, installer, static installer, pkgtool,
# preload library, every test program and the benchmarks) for 32-bit x86 (i386)
# and runs the whole test suite, unit and end-to-end tests, natively: the x86_64
# kernel runs i386 programs itself. A router may well be 32-bit; here size_t,
# long and pointers are 32 bits wide while off_t and time_t are 64 (large-file
# support and 64-bit time are on), so mixing them up shows.
#
# Compiler: Debian's i386 cross compiler (g++-i686-linux-gnu) with an i386
# sysroot, not g++-multilib with -m32. Debian 12's gcc-multilib conflicts with
# every cross compiler, among them the g++-s390x-linux-gnu that
# scripts/test-big-endian.sh installs: installing one removes the other, and CI
# runs both scripts one after the other. The cross compiler also never looks in
# the host's /usr/include or /usr/lib, so no x86_64 header (OpenSSL's
# configuration.h) or library (GoogleTest) can slip into the 32-bit build. The
# programs run with the host's 32-bit C and C++ runtime (libc6-i386,
# lib32stdc++6, lib32gcc-s1, which conflict with nothing); zlib and OpenSSL come
# from the sysroot (cmake/toolchain-i686.cmake).
#
# Usage: scripts/test-32bit.sh [build-dir]   (default: build-i386)
# Runs as root on Debian 12; installs what is missing. Repeated runs reuse the
# sysroot, GoogleTest and the build. Ends with "32-bit: N passed, N failed,
# N skipped" (counted by ctest) and exits nonzero when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
SOURCE_DIR="$PWD"
BUILD_DIR="$(realpath -m "${1:-build-i386}")"
JOBS="${JOBS:-2}"
ARCH=i386
SYSROOT="$BUILD_DIR/sysroot"
TOOLCHAIN="$SOURCE_DIR/cmake/toolchain-i686.cmake"
export DEBIAN_FRONTEND=noninteractive

log() { printf '== %s\n' "$*"; }
# shellcheck source=scripts/cross-sysroot.sh
source "$SOURCE_DIR/scripts/cross-sysroot.sh"

# Host tools and the 32-bit runtime the programs run with.
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v i686-linux-gnu-g++ >/dev/null || need+=(g++-i686-linux-gnu)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
for pkg in libc6-i386 lib32stdc++6 lib32gcc-s1; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
    log "installing ${need[*]}"
    apt-get update -qq
    apt-get install -y -qq "${need[@]}" >/dev/null
fi

# Target sysroot: zlib, OpenSSL and Google Benchmark for i386 from the system's
# own package sources, fetched with a private apt state so the host's
# configuration (its architectures and package lists) stays as it is.
SYSROOT_PACKAGES=(zlib1g zlib1g-dev libssl3 libssl-dev libbenchmark1debian libbenchmark-dev)
fetch_sysroot "$ARCH" "$SYSROOT" "$BUILD_DIR" "${SYSROOT_PACKAGES[@]}"

# GoogleTest for the target, from the sources Debian ships, installed into the sysroot.
build_googletest "$ARCH" "$TOOLCHAIN" I386_SYSROOT "$SYSROOT" "$BUILD_DIR" "$JOBS"

log "building everything for $ARCH"
cmake -S "$SOURCE_DIR" -B "$BUILD_DIR/tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DI386_SYSROOT="$SYSROOT" \
    -DINSTALLER_BUILD_BENCH=ON -DINSTALLER_FUZZ=OFF -DINSTALLER_SANITIZE=OFF >/dev/null
cmake --build "$BUILD_DIR/tree" -j "$JOBS"

# A host compiler picked up by mistake would pass every test and prove nothing:
# the programs must be 32-bit ELF files (class byte 1).
for program in installer installer_static pkgtool test_e2e; do
    file="$BUILD_DIR/tree/$program"
    if [ ! -f "$file" ]; then
        echo "$program was not built" >&2
        exit 1
    fi
    if [ "$(od -An -tu1 -j4 -N1 "$file" | tr -d ' ')" != 1 ]; then
        echo "$program is not a 32-bit program" >&2
        exit 1
    fi
done
benchmarks=$(find "$BUILD_DIR/tree" -maxdepth 1 -type f -name '*Bench' -perm -u+x | wc -l)
log "built $benchmarks benchmark programs"

log "running the whole test suite"
ctest_log="$BUILD_DIR/ctest.log"
status=0
ctest --test-dir "$BUILD_DIR/tree" -j "$JOBS" --output-on-failure --timeout "${TEST_TIMEOUT:-600}" \
    >"$ctest_log" 2>&1 || status=$?
# The per-test lines are long; show the summary and whatever failed.
sed -n '/tests passed, /,$p' "$ctest_log"
if [ "$status" -ne 0 ]; then
    grep -E -B2 -A12 ': Failure$' "$ctest_log" | head -150 || true
fi

total=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$ctest_log" | tail -1)
failed=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of .*/\1/p' "$ctest_log" | tail -1)
skipped=$(grep -c '^[[:space:]]*[0-9]* - .* (Skipped)$' "$ctest_log" || true)
if [ -z "$total" ] || [ -z "$failed" ]; then
    echo "ctest gave no summary (status $status); see $ctest_log" >&2
    tail -20 "$ctest_log" >&2
    total=0 failed=1 skipped=0
fi
passed=$((total - failed - skipped))
echo "32-bit: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ] && [ "$status" -eq 0 ]
