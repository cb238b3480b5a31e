#!/usr/bin/env bash
# Builds the installer, its tools and every test with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole test suite. Any finding fails
# the run. Usage: scripts/test-sanitize.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build-asan}"

# Halt at the first finding, with a stack, and make it visible in the status of
# every test program (a leak counts as a finding too).
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DINSTALLER_SANITIZE=ON -DINSTALLER_BUILD_BENCH=OFF
cmake --build "$BUILD_DIR" -j "$(nproc)"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)"
