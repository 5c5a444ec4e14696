# Part of the cross toolchain files: the target's libraries (zlib, OpenSSL,
# GoogleTest) come from Debian packages unpacked into TARGET_LIBS_DIR
# (scripts/target-libs.sh), and only from there, so that no host library or
# header is picked up by mistake. Without TARGET_LIBS_DIR they are looked
# for where Debian installs multiarch packages (e.g. zlib1g-dev:s390x).
set(TARGET_LIBS_DIR "" CACHE PATH "Root of the unpacked target library packages")
if(TARGET_LIBS_DIR)
  set(CMAKE_FIND_ROOT_PATH "${TARGET_LIBS_DIR}")
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
  # Debian keeps some headers (OpenSSL's configuration.h) in a per-architecture folder.
  set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
      "${TARGET_LIBS_DIR}/usr/include/${CMAKE_LIBRARY_ARCHITECTURE}" "${TARGET_LIBS_DIR}/usr/include")
endif()
