# The installer trusts one signing key, fixed into the build: the public key
# and the package-hash constants are read from a key file at configure time
# and written out as C++ (generated/key_material.cpp).
#
# Key file: text; '#' starts a comment to the end of its line; otherwise
# whitespace-separated hex tokens: the public key (64 hex digits, byte 0
# first), the 64 round constants K[0..63] and the 8 initial words H[0..7]
# (8 hex digits each, ordinary hex numbers).
#
# From a CMakeLists.txt:
#   include(cmake/KeyMaterial.cmake)
#   installer_key_material(KEY_FILE OUTPUT_CPP)
# On its own (checks a key file, writes OUTPUT when given):
#   cmake -DKEY_FILE=keys/development.pub [-DOUTPUT=key_material.cpp] -P cmake/KeyMaterial.cmake

# Reads and checks the key file; sets <prefix>_PUBLIC_KEY (64 hex digits) and
# <prefix>_K, <prefix>_H (lists of 8-digit words) in the caller's scope. A
# malformed file stops with FATAL_ERROR naming the file and the fault.
function(installer_parse_key_file key_file prefix)
  set(what "key file ${key_file}")
  if(NOT EXISTS "${key_file}")
    message(FATAL_ERROR "${what}: no such file (set INSTALLER_KEY_FILE to the key file to build in)")
  endif()
  if(IS_DIRECTORY "${key_file}")
    message(FATAL_ERROR "${what}: is a directory, not a key file")
  endif()
  file(READ "${key_file}" content)
  string(REGEX REPLACE "#[^\n]*" "" content "${content}")

  # Anything but hex digits and blanks outside comments: name the first such
  # token and its line. This also keeps ';' and brackets, which CMake's
  # lists treat specially, out of everything below.
  # (No regular expression here may match an empty string: CMake refuses.)
  string(REGEX REPLACE "^[0-9A-Fa-f \t\r\n]+" "" rest "${content}")
  if(NOT rest STREQUAL "")
    string(LENGTH "${content}" content_length)
    string(LENGTH "${rest}" rest_length)
    math(EXPR clean_length "${content_length} - ${rest_length}")
    string(SUBSTRING "${content}" 0 ${clean_length} clean)
    string(REGEX REPLACE "^.*[ \t\r\n]" "" token_start "${clean}")
    string(REGEX REPLACE "[ \t\r\n].*$" "" token_end "${rest}")
    string(REGEX MATCHALL "\n" newlines "${clean}")
    list(LENGTH newlines line)
    math(EXPR line "${line} + 1")
    message(FATAL_ERROR "${what}, line ${line}: '${token_start}${token_end}' is not a hex token")
  endif()

  # Line by line, so that a fault can name its line.
  string(REPLACE "\n" ";" lines "${content}")
  set(expected 73)
  set(index 0)
  set(line 0)
  set(public_key "")
  set(k_words "")
  set(h_words "")
  foreach(text IN LISTS lines)
    math(EXPR line "${line} + 1")
    string(REGEX MATCHALL "[0-9A-Fa-f]+" tokens "${text}")
    foreach(token IN LISTS tokens)
      if(index EQUAL expected)
        message(FATAL_ERROR "${what}, line ${line}: more than ${expected} tokens "
                            "(one public key, 64 round constants, 8 initial words); '${token}' is one too many")
      endif()
      string(LENGTH "${token}" length)
      if(index EQUAL 0)
        set(name "the public key")
        set(want 64)
      elseif(index LESS 65)
        math(EXPR slot "${index} - 1")
        set(name "round constant K[${slot}]")
        set(want 8)
      else()
        math(EXPR slot "${index} - 65")
        set(name "initial word H[${slot}]")
        set(want 8)
      endif()
      if(NOT length EQUAL want)
        set(hint "")
        if(index EQUAL 1 AND length EQUAL 64)
          set(hint " (a private key file? The build takes the public half, the .pub file)")
        endif()
        message(FATAL_ERROR "${what}, line ${line}: ${name} '${token}' has ${length} hex digits, "
                            "expected ${want}${hint}")
      endif()
      string(TOLOWER "${token}" token)
      if(index EQUAL 0)
        set(public_key "${token}")
      elseif(index LESS 65)
        list(APPEND k_words "${token}")
      else()
        list(APPEND h_words "${token}")
      endif()
      math(EXPR index "${index} + 1")
    endforeach()
  endforeach()
  if(index LESS expected)
    if(index EQUAL 0)
      set(missing "the public key")
    elseif(index LESS 65)
      math(EXPR slot "${index} - 1")
      set(missing "round constant K[${slot}]")
    else()
      math(EXPR slot "${index} - 65")
      set(missing "initial word H[${slot}]")
    endif()
    message(FATAL_ERROR "${what}: ${index} tokens, expected ${expected} "
                        "(one public key, 64 round constants, 8 initial words); ${missing} is missing")
  endif()

  set(${prefix}_PUBLIC_KEY "${public_key}" PARENT_SCOPE)
  set(${prefix}_K "${k_words}" PARENT_SCOPE)
  set(${prefix}_H "${h_words}" PARENT_SCOPE)
endfunction()

# Comma-separated C++ words, four to a line.
function(installer_format_words out)
  set(text "")
  set(column 0)
  foreach(word IN LISTS ARGN)
    if(column EQUAL 0)
      string(APPEND text "\n        ")
    else()
      string(APPEND text " ")
    endif()
    string(APPEND text "0x${word}u,")
    math(EXPR column "(${column} + 1) % 4")
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Writes the C++ definitions of the key material in key_file to output_cpp
# (only when they changed, so that an unchanged key rebuilds nothing).
function(installer_key_material key_file output_cpp)
  installer_parse_key_file("${key_file}" key)

  set(bytes "")
  foreach(at RANGE 0 62 2)
    string(SUBSTRING "${key_PUBLIC_KEY}" ${at} 2 byte)
    math(EXPR column "${at} % 16")
    if(column EQUAL 0)
      string(APPEND bytes "\n    ")
    else()
      string(APPEND bytes " ")
    endif()
    string(APPEND bytes "0x${byte},")
  endforeach()
  installer_format_words(k_text ${key_K})
  installer_format_words(h_text ${key_H})

  set(code "// Generated at configure time from ${key_file}; edit the key file, not this.

#include \"package/key_material.h\"

namespace velmora {

const std::uint8_t BuiltInPublicKey[32] = {${bytes}
};

const PackageHashConstants BuiltInHashConstants = {
    {${k_text}
    },
    {${h_text}
    },
};

}  // namespace velmora
")
  set(old "")
  if(EXISTS "${output_cpp}")
    file(READ "${output_cpp}" old)
  endif()
  if(NOT old STREQUAL code)
    file(WRITE "${output_cpp}" "${code}")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT DEFINED KEY_FILE)
    message(FATAL_ERROR "usage: cmake -DKEY_FILE=FILE.pub [-DOUTPUT=FILE.cpp] -P ${CMAKE_CURRENT_LIST_FILE}")
  endif()
  if(DEFINED OUTPUT)
    installer_key_material("${KEY_FILE}" "${OUTPUT}")
  else()
    installer_parse_key_file("${KEY_FILE}" key)
    message(STATUS "key file ${KEY_FILE}: well-formed")
  endif()
endif()
