# The public key(s) the installer accepts signatures from, a build setting.
#
# INSTALLER_PUBLIC_KEY: 64 hexadecimal digits, the 32 key bytes (the Montgomery
# u-coordinate, little-endian) in stored order, byte 0 first. Several keys may be
# given separated by commas: a package then verifies if any one of them accepts
# it, which lets routers accept a new key before the old one is retired.
# The default is the development key, whose secret is in the test tree.

set(INSTALLER_DEVELOPMENT_PUBLIC_KEY
    "b4e0eff265d8d1112858280e9174b5956e4235811b2dc884912f0f333b55406b")
set(INSTALLER_PUBLIC_KEY "${INSTALLER_DEVELOPMENT_PUBLIC_KEY}" CACHE STRING
    "Signature public key(s): 64 hex digits each (32 bytes, byte 0 first), comma-separated")

set(INSTALLER_DEVELOPMENT_SECRET_FILE
    "${CMAKE_SOURCE_DIR}/tests/keys/development-secret-key.DO-NOT-USE-IN-PRODUCTION.hex")

# Writes content to path only when it differs, so reconfiguring does not rebuild.
function(_installer_write_if_changed path content)
  file(WRITE "${path}.tmp" "${content}")
  configure_file("${path}.tmp" "${path}" COPYONLY)
  file(REMOVE "${path}.tmp")
endfunction()

# "0a1b..." -> "0x0a, 0x1b, ..."
function(_installer_hex_to_initializer hex out_var)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${hex}")
  string(STRIP "${bytes}" bytes)
  string(REGEX REPLACE ",$" "" bytes "${bytes}")
  set(${out_var} "${bytes}" PARENT_SCOPE)
endfunction()

string(REPLACE "," ";" _installer_key_list "${INSTALLER_PUBLIC_KEY}")
set(_installer_key_rows "")
set(_installer_key_count 0)
if(INSTALLER_PUBLIC_KEY STREQUAL "")
  message(FATAL_ERROR "INSTALLER_PUBLIC_KEY is empty: give at least one public key "
                      "as 64 hexadecimal digits (the 32 key bytes, byte 0 first).")
endif()
if(INSTALLER_PUBLIC_KEY MATCHES ";")
  message(FATAL_ERROR "INSTALLER_PUBLIC_KEY \"${INSTALLER_PUBLIC_KEY}\" contains a semicolon: "
                      "separate keys by commas.")
endif()
if(INSTALLER_PUBLIC_KEY MATCHES ",[ \t]*," OR INSTALLER_PUBLIC_KEY MATCHES "^[ \t]*,"
   OR INSTALLER_PUBLIC_KEY MATCHES ",[ \t]*$")
  message(FATAL_ERROR "INSTALLER_PUBLIC_KEY \"${INSTALLER_PUBLIC_KEY}\" has an empty entry: "
                      "separate keys by single commas.")
endif()
foreach(_key IN LISTS _installer_key_list)
  string(STRIP "${_key}" _key)
  string(LENGTH "${_key}" _key_length)
  if(NOT _key MATCHES "^[0-9a-fA-F]+$" OR NOT _key_length EQUAL 64)
    message(FATAL_ERROR "INSTALLER_PUBLIC_KEY entry \"${_key}\" is not a public key: expected "
                        "exactly 64 hexadecimal digits (the 32 key bytes, byte 0 first), "
                        "several keys separated by commas.")
  endif()
  string(TOLOWER "${_key}" _key)
  _installer_hex_to_initializer("${_key}" _bytes)
  string(APPEND _installer_key_rows "    {${_bytes}},\n")
  math(EXPR _installer_key_count "${_installer_key_count} + 1")
endforeach()

_installer_write_if_changed("${CMAKE_BINARY_DIR}/generated/InstallerPublicKeys.h"
"#pragma once
// Generated from INSTALLER_PUBLIC_KEY at configure time; do not edit.
#include <cstddef>
#include <cstdint>

constexpr size_t kInstallerPublicKeyCount = ${_installer_key_count};
constexpr uint8_t kInstallerPublicKeys[kInstallerPublicKeyCount][32] = {
${_installer_key_rows}};
")

# The development secret for the tools' signer (tests and demo builds only).
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${INSTALLER_DEVELOPMENT_SECRET_FILE}")
file(STRINGS "${INSTALLER_DEVELOPMENT_SECRET_FILE}" _installer_dev_secret REGEX "^[0-9a-fA-F]+$")
string(LENGTH "${_installer_dev_secret}" _dev_secret_length)
if(NOT _dev_secret_length EQUAL 64)
  message(FATAL_ERROR "${INSTALLER_DEVELOPMENT_SECRET_FILE} must hold one line of "
                      "64 hexadecimal digits (the development secret scalar).")
endif()
string(TOLOWER "${_installer_dev_secret}" _installer_dev_secret)
_installer_hex_to_initializer("${_installer_dev_secret}" _dev_secret_bytes)
_installer_hex_to_initializer("${INSTALLER_DEVELOPMENT_PUBLIC_KEY}" _dev_public_bytes)
_installer_write_if_changed("${CMAKE_BINARY_DIR}/generated/DevelopmentSigningKey.h"
"#pragma once
// Generated from the development key file in tests/keys at configure time.
// DEVELOPMENT KEY: never sign production packages with it.
#include <cstdint>

constexpr uint8_t kDevelopmentSecretKey[32] = {${_dev_secret_bytes}};
// Its public key, the default of INSTALLER_PUBLIC_KEY.
constexpr uint8_t kDevelopmentPublicKey[32] = {${_dev_public_bytes}};
")
