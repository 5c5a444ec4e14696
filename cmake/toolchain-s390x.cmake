# Cross build for s390x (64-bit, big-endian: the target's byte order) with
# Debian's cross compiler; the binaries run under qemu-user. Used by
# scripts/test-s390x.sh, which passes TARGET_LIBS_DIR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)

include(${CMAKE_CURRENT_LIST_DIR}/TargetLibs.cmake)

# gtest_discover_tests runs the test binary at build time to list its tests.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L /usr/s390x-linux-gnu)
