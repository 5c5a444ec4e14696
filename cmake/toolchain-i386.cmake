# 32-bit x86 build (32-bit long and size_t, like the target) with Debian's
# i686 cross compiler, which unlike g++-multilib can be installed beside the
# s390x one. The binaries run natively on an x86_64 kernel, with the host's
# 32-bit C and C++ runtime (libc6-i386, lib32stdc++6). Used by
# scripts/test-i386.sh, which passes TARGET_LIBS_DIR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# A kernel built without 32-bit support cannot run them: then they run under
# qemu-user, as the s390x ones do (the test discovery runs them at build time).
execute_process(COMMAND /lib/ld-linux.so.2 --version RESULT_VARIABLE i386_native OUTPUT_QUIET ERROR_QUIET)
if(NOT i386_native STREQUAL "0")
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/TargetLibs.cmake)
