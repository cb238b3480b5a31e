# Build for 32-bit x86 (i386), so that the whole test suite shows the code right
# where size_t, long and pointers are 32 bits wide, as on a 32-bit router. The
# x86_64 kernel runs the programs natively: no emulator.
#
# I386_SYSROOT: a directory laid out like an i386 root file system holding the
# target's zlib and OpenSSL (headers, shared and static libraries) and, when
# present, Google Benchmark (scripts/test-32bit.sh assembles one). GoogleTest
# built for the target is found through CMAKE_PREFIX_PATH or in the sysroot.
# At run time the programs use the host's 32-bit C and C++ runtime (the
# libc6-i386, lib32stdc++6 and lib32gcc-s1 packages: the loader is
# /lib/ld-linux.so.2) and find zlib and OpenSSL in the sysroot through their
# build run path.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)

# Try-compile projects re-read this file; hand the setting on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES I386_SYSROOT)
if(NOT I386_SYSROOT AND DEFINED ENV{I386_SYSROOT})
  set(I386_SYSROOT "$ENV{I386_SYSROOT}")
endif()
if(NOT I386_SYSROOT)
  message(FATAL_ERROR "Set I386_SYSROOT to the i386 root holding zlib and OpenSSL.")
endif()

# The cross compiler's own target directory holds the C library it links against.
set(CMAKE_FIND_ROOT_PATH "${I386_SYSROOT}" /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Debian puts target libraries and some headers (opensslconf.h) in multiarch folders.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# 64-bit file offsets (package images may pass 2 GiB) and 64-bit time_t (build
# times after 2038). The project sets both for every 32-bit build; they are set
# here too so that GoogleTest, built with this same file, agrees with the tests
# on the layout of struct stat and time_t. glibc 2.34 and later accept
# _TIME_BITS=64 together with _FILE_OFFSET_BITS=64.
set(_i386_flags "-isystem ${I386_SYSROOT}/usr/include/i386-linux-gnu -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_C_FLAGS_INIT "${_i386_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_i386_flags}")

# zlib and OpenSSL come from the sysroot at run time too; Debian 12 keeps some
# shared libraries in /lib and their development links in /usr/lib.
set(CMAKE_BUILD_RPATH "${I386_SYSROOT}/usr/lib/i386-linux-gnu;${I386_SYSROOT}/lib/i386-linux-gnu")
