#!/usr/bin/env bash
# Builds everything and runs the whole test suite twice: a build with
# warnings as errors (build/), inflating with ISA-L where the machine has it
# (as an x86-64 or 64-bit Arm build does), then an AddressSanitizer + UBSan
# build inflating with zlib (build-asan/), so that the suite runs against
# both inflate backends; then the unit tests on s390x and i386 (scripts/test-s390x.sh,
# scripts/test-i386.sh), the static analysis (scripts/lint.sh) and each fuzz
# target for a short time (scripts/fuzz.sh). Stops at the first failure with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==> %s\n' "$*"; }

jobs=$(nproc 2>/dev/null || echo 2)

step "Checking build dependencies"
scripts/setup.sh

run_suite() {
    local dir=$1
    shift
    step "Configuring $dir/ ($*)"
    cmake -S . -B "$dir" -G Ninja "$@"
    step "Building $dir/"
    cmake --build "$dir" -j "$jobs"
    step "Running the tests of $dir/"
    (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

# ISA-L is asked for by name where it has fast code, so that a machine
# without it fails here instead of testing zlib twice.
case $(uname -m) in
    x86_64 | aarch64) inflate=isal ;;
    *) inflate=auto ;;
esac
run_suite build -DINSTALLER_WERROR=ON -DINSTALLER_SANITIZE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DINSTALLER_INFLATE="$inflate"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
# Unoptimised: instrumented code compiles several times faster at -O0, and
# the sanitizers miss nothing there.
run_suite build-asan -DINSTALLER_WERROR=ON -DINSTALLER_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DINSTALLER_INFLATE=zlib

# The board is 32-bit and big-endian: the unit tests on a big-endian target
# (s390x under qemu) and on a 32-bit one (i386, natively or under qemu).
step "Unit tests on s390x (big-endian, under qemu)"
scripts/test-s390x.sh
step "Unit tests on i386 (32-bit)"
scripts/test-i386.sh

step "Static analysis"
scripts/lint.sh

# Every reader of untrusted bytes, fuzzed for a short fixed time.
step "Fuzzing"
scripts/fuzz.sh "${FUZZ_SECONDS:-20}"

step "Test size: $(scripts/test-ratio.sh)"

step "All tests passed (build/, build-asan/, s390x, i386, static analysis, fuzz targets)"
