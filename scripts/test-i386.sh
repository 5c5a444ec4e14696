#!/usr/bin/env bash
# Word-size check: builds the unit tests for 32-bit x86 (32-bit long and
# size_t like the target) in build-i386/ and runs the whole unit-test suite
# natively (under qemu-i386 where the kernel cannot run 32-bit programs).
# Installs the i686 cross compiler and the 32-bit C and C++ runtime
# when they are missing, and unpacks the i386 libraries into
# build-i386/target-libs/.
#
#   scripts/test-i386.sh [gtest options]      e.g. --gtest_filter='Version*'
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==> %s (%ds)\n' "$*" "$SECONDS"; }

jobs=$(nproc 2>/dev/null || echo 2)
build=build-i386

step "Checking the i386 build dependencies"
# g++-i686-linux-gnu, not g++-multilib: that one conflicts with the s390x
# cross compiler of scripts/test-s390x.sh.
scripts/setup.sh cmake ninja-build g++-i686-linux-gnu libc6-i386 lib32stdc++6 qemu-user
scripts/target-libs.sh i386 "$PWD/$build/target-libs" zlib1g zlib1g-dev libssl3 libssl-dev libgtest-dev

step "Configuring $build/"
# Optimised like the main build, but without debug information, which costs
# a quarter of the compile time.
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-i386.cmake" \
    -DTARGET_LIBS_DIR="$PWD/$build/target-libs" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DINSTALLER_WERROR=ON -DINSTALLER_SANITIZE=OFF

step "Building the unit tests in $build/"
cmake --build "$build" --target unit_tests -j "$jobs"

# Natively where the kernel runs 32-bit programs, else under qemu-user.
runner=()
/lib/ld-linux.so.2 --version >/dev/null 2>&1 || runner=(qemu-i386)
step "Running the unit tests${runner:+ under ${runner[*]}}"
"${runner[@]}" "$build/tests/unit_tests" "$@"
step "All unit tests passed on i386"
