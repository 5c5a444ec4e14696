#!/usr/bin/env bash
# Byte-order check: cross-builds the unit tests for s390x (big-endian like the
# target, 64-bit) in build-s390x/ and runs the whole unit-test suite under
# qemu-user. Installs the cross compiler and qemu when they are missing, and
# unpacks the s390x libraries into build-s390x/target-libs/.
#
#   scripts/test-s390x.sh [gtest options]     e.g. --gtest_filter='Version*'
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==> %s (%ds)\n' "$*" "$SECONDS"; }

jobs=$(nproc 2>/dev/null || echo 2)
build=build-s390x

step "Checking the s390x build dependencies"
scripts/setup.sh cmake ninja-build g++-s390x-linux-gnu qemu-user
scripts/target-libs.sh s390x "$PWD/$build/target-libs" zlib1g zlib1g-dev libssl3 libssl-dev libgtest-dev

step "Configuring $build/"
# Optimised like the main build, but without debug information, which costs
# a quarter of the compile time.
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-s390x.cmake" \
    -DTARGET_LIBS_DIR="$PWD/$build/target-libs" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DINSTALLER_WERROR=ON -DINSTALLER_SANITIZE=OFF

step "Building the unit tests in $build/"
cmake --build "$build" --target unit_tests -j "$jobs"

step "Running the unit tests under qemu-s390x"
# The C and C++ runtime come from the cross compiler's folder; the other
# libraries are found through the test binary's run path.
qemu-s390x -L /usr/s390x-linux-gnu "$build/tests/unit_tests" "$@"
step "All unit tests passed on s390x"
