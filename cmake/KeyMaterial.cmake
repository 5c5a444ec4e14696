# The installer trusts one signing key, fixed into the build: the public key
# and the package-hash constants are read from a key file at configure time
# and written out as C++ (generated/key_material.cpp).
#
# Key file: text; '#' starts a comment to the end of its line; otherwise
# whitespace-separated hex tokens: the public key (64 hex digits, byte 0
# first), the 64 round constants K[0..63] and the 8 initial words H[0..7]
# (8 hex digits each, ordinary hex numbers). A public key that is no key
# (src/package/key_check.h) is refused: by its text here where comparing
# suffices, and always by static_asserts in the generated code.
#
# From a CMakeLists.txt:
#   include(cmake/KeyMaterial.cmake)
#   installer_key_material(KEY_FILE OUTPUT_CPP)
# On its own (checks a key file, writes OUTPUT when given):
#   cmake -DKEY_FILE=keys/development.pub [-DOUTPUT=key_material.cpp] -P cmake/KeyMaterial.cmake

# Reads and checks the key file; sets <prefix>_PUBLIC_KEY (64 hex digits),
# <prefix>_PUBLIC_KEY_LINE (its line) and <prefix>_K, <prefix>_H (lists of
# 8-digit words) in the caller's scope. A malformed file stops with
# FATAL_ERROR naming the file and the fault.
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
  set(public_key_line 0)
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
        set(public_key_line ${line})
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

  # Keys that are no key, as far as comparing the text can tell: the
  # reduced value and the fixed points (src/package/key_check.h has the
  # reasons, and the generated code checks these and the curve again).
  string(REPEAT "0" 62 zeros)
  string(REPEAT "f" 60 ones)
  string(SUBSTRING "${public_key}" 62 1 top)
  set(reason "")
  if(top MATCHES "[89a-f]" OR public_key MATCHES "^(e[d-f]|f[0-9a-f])${ones}7f$")
    set(reason "is 2^255 - 19 or more (not a reduced field element)")
  elseif(public_key STREQUAL "00${zeros}")
    set(reason "is u = 0, a point of order 2: any signature would verify")
  elseif(public_key STREQUAL "01${zeros}")
    set(reason "is u = 1, a point of order 4")
  elseif(public_key STREQUAL "ec${ones}7f")
    set(reason "is u = p - 1, a point of order 4 on the twist")
  elseif(public_key STREQUAL "09${zeros}")
    set(reason "is u = 9, the base point (a private scalar of 1 or -1)")
  elseif(public_key STREQUAL "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800"
         OR public_key STREQUAL "5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157")
    set(reason "is a point of order 8")
  endif()
  if(NOT reason STREQUAL "")
    message(FATAL_ERROR "${what}, line ${public_key_line}: the public key ${reason}; "
                        "make a new key with 'vpa keygen'")
  endif()

  set(${prefix}_PUBLIC_KEY "${public_key}" PARENT_SCOPE)
  set(${prefix}_PUBLIC_KEY_LINE "${public_key_line}" PARENT_SCOPE)
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
  # The key file's path inside a C++ string literal.
  string(REPLACE "\\" "\\\\" quoted_file "${key_file}")
  string(REPLACE "\"" "\\\"" quoted_file "${quoted_file}")

  set(code "// Generated at configure time from ${key_file}; edit the key file, not this.

#include \"package/key_check.h\"
#include \"package/key_material.h\"

namespace velmora {

// constexpr, so that the compiler refuses a key that is no key: the rule
// the tool applies, with one static_assert per fault naming its reason.
constexpr std::uint8_t BuiltInPublicKey[32] = {${bytes}
};

namespace {
constexpr KeyFault builtInKeyFault = publicKeyFault(BuiltInPublicKey);
}  // namespace

#define VELMORA_REFUSE_KEY(kind, reason) \\
    static_assert(builtInKeyFault != KeyFault::kind, \\
                  \"key file ${quoted_file}, line ${key_PUBLIC_KEY_LINE}: the public key \" reason \\
                  \"; make a new key with 'vpa keygen'\");
VELMORA_KEY_FAULTS(VELMORA_REFUSE_KEY)
#undef VELMORA_REFUSE_KEY

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
