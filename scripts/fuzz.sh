#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ with clang, writes their seed corpora
# with the tools library and runs each target, one after the other, for SECONDS
# seconds. Usage: scripts/fuzz.sh SECONDS [target...]
#
# Corpora grow in BUILD/fuzz-corpus/<target> from run to run; crashing inputs
# land in BUILD/fuzz-artifacts/<target>/ and the logs in BUILD/fuzz-logs/.
# Inputs kept under fuzz/regressions/<target>/ are run first every time.
# The exit status is nonzero when any target crashed, leaked, ran out of memory
# or time, or when the build failed.
set -euo pipefail
cd "$(dirname "$0")/.."
SOURCE_DIR="$(pwd)"
RUN_SECONDS="${1:?usage: scripts/fuzz.sh SECONDS [target...]}"
shift
BUILD_DIR="$(realpath -m "${FUZZ_BUILD_DIR:-build-fuzz}")"
ALL_TARGETS=(fuzz_part_reader fuzz_package_header fuzz_stream_install fuzz_manifest
             fuzz_database fuzz_version_text)
if [ "$#" -gt 0 ]; then TARGETS=("$@"); else TARGETS=("${ALL_TARGETS[@]}"); fi

# clang with libFuzzer's runtime (compiler-rt); installed when missing.
probe_libfuzzer() {
    local probe
    probe="$(mktemp -d)"
    printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
        'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' \
        >"$probe/probe.cpp"
    local ok=0
    clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
        >/dev/null 2>&1 || ok=1
    rm -rf "$probe"
    return "$ok"
}
if ! command -v clang++ >/dev/null 2>&1 || ! probe_libfuzzer; then
    echo "fuzz.sh: installing clang and its runtime libraries"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev \
        || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev
    probe_libfuzzer || { echo "fuzz.sh: clang++ cannot link -fsanitize=fuzzer" >&2; exit 1; }
fi

cmake -S "$SOURCE_DIR" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER=clang++ -DINSTALLER_FUZZ=ON \
    -DINSTALLER_BUILD_TESTS=OFF -DINSTALLER_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD_DIR" --target fuzz_targets -j 2

SEED_DIR="$BUILD_DIR/fuzz-seeds"
rm -rf "$SEED_DIR"
"$BUILD_DIR/fuzz/fuzz_seeds" "$SEED_DIR"

# The targets that change root make their private roots here; whatever a
# crashed run left behind is cleared before the next.
export INSTALLER_FUZZ_ROOTS="$BUILD_DIR/fuzz-roots"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
mkdir -p "$BUILD_DIR/fuzz-logs"

failed=()
for target in "${TARGETS[@]}"; do
    rm -rf "$INSTALLER_FUZZ_ROOTS"
    mkdir -p "$INSTALLER_FUZZ_ROOTS"
    corpus="$BUILD_DIR/fuzz-corpus/$target"
    artifacts="$BUILD_DIR/fuzz-artifacts/$target"
    log="$BUILD_DIR/fuzz-logs/$target.log"
    mkdir -p "$corpus" "$artifacts"
    inputs=("$corpus" "$SEED_DIR/$target")
    if [ -d "fuzz/regressions/$target" ]; then inputs+=("fuzz/regressions/$target"); fi
    status=0
    "$BUILD_DIR/fuzz/$target" -max_total_time="$RUN_SECONDS" -rss_limit_mb=2048 -timeout=30 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "${inputs[@]}" >"$log" 2>&1 \
        || status=$?
    execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
    units="$(find "$corpus" -type f | wc -l)"
    if [ "$status" -eq 0 ]; then
        echo "fuzz.sh: $target: ok, ${execs:-?} executions, corpus $units"
    else
        echo "fuzz.sh: $target: FAILED (status $status), see $log and $artifacts/"
        grep -E '^(==[0-9]+==ERROR|SUMMARY|==== fuzz expectation)|runtime error' "$log" | head -n 5 || true
        failed+=("$target")
    fi
done
rm -rf "$INSTALLER_FUZZ_ROOTS"

if [ "${#failed[@]}" -gt 0 ]; then
    echo "fuzz.sh: failures in: ${failed[*]}"
    exit 1
fi
