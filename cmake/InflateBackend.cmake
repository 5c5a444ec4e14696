# installer_inflate_backend(CHOICE RESULT): sets RESULT to ON when the
# installer inflates with ISA-L, OFF for zlib, and defines the imported
# target Isal::Isal when it is ON.
#   auto  ISA-L when its header and library are found and the target is a
#         processor igzip has hand-written code for (x86-64, 64-bit Arm);
#         zlib otherwise, where ISA-L would only run its portable C code.
#   isal  ISA-L, or stop the configure if it is missing.
#   zlib  zlib; ISA-L is not looked for and not linked.
function(installer_inflate_backend choice result)
  string(TOLOWER "${choice}" choice)
  if(NOT choice MATCHES "^(auto|zlib|isal)$")
    message(FATAL_ERROR "INSTALLER_INFLATE must be auto, zlib or isal, not '${choice}'")
  endif()
  set(use OFF)
  if(NOT choice STREQUAL "zlib")
    string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" processor)
    if(processor MATCHES "^(x86_64|amd64|aarch64|arm64)$")
      set(accelerated ON)
    else()
      set(accelerated OFF)
    endif()
    if(choice STREQUAL "isal" OR accelerated)
      find_path(ISAL_INCLUDE_DIR isa-l/igzip_lib.h)
      find_library(ISAL_LIBRARY isal)
      if(ISAL_INCLUDE_DIR AND ISAL_LIBRARY)
        set(use ON)
      elseif(choice STREQUAL "isal")
        message(FATAL_ERROR "INSTALLER_INFLATE=isal, but ISA-L was not found (Debian: libisal-dev)")
      endif()
    endif()
  endif()
  if(use)
    if(NOT TARGET Isal::Isal)
      add_library(Isal::Isal UNKNOWN IMPORTED GLOBAL)
      set_target_properties(Isal::Isal PROPERTIES
        IMPORTED_LOCATION "${ISAL_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${ISAL_INCLUDE_DIR}")
    endif()
    message(STATUS "Inflate backend: ISA-L (${ISAL_LIBRARY})")
  else()
    message(STATUS "Inflate backend: zlib")
  endif()
  set(${result} ${use} PARENT_SCOPE)
endfunction()
