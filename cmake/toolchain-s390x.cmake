# Cross build for s390x, a big-endian Linux target, so that the unit tests prove
# the little-endian file formats are decoded the same way the router does it.
#
# S390X_SYSROOT: a directory laid out like an s390x root file system holding the
# target's zlib and OpenSSL (headers, libraries) and its C and C++ runtime
# (scripts/test-big-endian.sh assembles one). GoogleTest built for the target is
# found through CMAKE_PREFIX_PATH. Programs built here run under qemu-user.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)

set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)

# Try-compile projects re-read this file; hand the setting on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES S390X_SYSROOT)
if(NOT S390X_SYSROOT AND DEFINED ENV{S390X_SYSROOT})
  set(S390X_SYSROOT "$ENV{S390X_SYSROOT}")
endif()
if(NOT S390X_SYSROOT)
  message(FATAL_ERROR "Set S390X_SYSROOT to the s390x root holding zlib and OpenSSL.")
endif()

# The cross compiler's own target directory holds the C library it links against.
set(CMAKE_FIND_ROOT_PATH "${S390X_SYSROOT}" /usr/s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Debian puts target libraries and some headers (opensslconf.h) in multiarch folders.
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)
set(CMAKE_C_FLAGS_INIT "-isystem ${S390X_SYSROOT}/usr/include/s390x-linux-gnu")
set(CMAKE_CXX_FLAGS_INIT "-isystem ${S390X_SYSROOT}/usr/include/s390x-linux-gnu")

find_program(S390X_QEMU NAMES qemu-s390x qemu-s390x-static)
if(S390X_QEMU)
  # Runs the test programs (also when gtest_discover_tests lists their cases).
  set(CMAKE_CROSSCOMPILING_EMULATOR "${S390X_QEMU};-L;${S390X_SYSROOT}")
endif()
