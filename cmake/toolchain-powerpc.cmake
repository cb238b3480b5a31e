# Cross build for the router: 32-bit big-endian PowerPC Linux (powerpc-linux-gnu),
# with Debian's cross compiler (package g++-powerpc-linux-gnu).
#
# POWERPC_SYSROOT (a cache variable, or the environment variable of that name):
# the directory that holds the target's zlib and OpenSSL libcrypto, built by the
# integrator for the router. Either layout is found:
#
#   a plain install prefix        POWERPC_SYSROOT/include/zlib.h
#                                 POWERPC_SYSROOT/include/openssl/sha.h
#                                 POWERPC_SYSROOT/lib/libz.a
#                                 POWERPC_SYSROOT/lib/libcrypto.a
#   a target root file system     POWERPC_SYSROOT/usr/include/...,
#                                 POWERPC_SYSROOT/usr/lib/[powerpc-linux-gnu/]...
#
# zlib's "./configure --static --prefix=DIR" and OpenSSL's "./Configure linux-ppc
# no-shared --prefix=DIR --libdir=lib" both install in the first layout;
# scripts/build-powerpc.sh builds both that way and shows the whole build.
#
# The router runs the installer linked statically:
#
#   cmake -S . -B build-ppc -G Ninja -DCMAKE_BUILD_TYPE=Release \
#       -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-powerpc.cmake \
#       -DPOWERPC_SYSROOT=/path/to/prefix -DINSTALLER_STATIC=ON \
#       -DINSTALLER_BUILD_TESTS=OFF -DINSTALLER_BUILD_BENCH=OFF
#   cmake --build build-ppc --target installer
#
# The static link takes POWERPC_SYSROOT's libz.a and libcrypto.a (the first ones
# found under it, searched before the compiler's own directory). To name other
# files, set ZLIB_STATIC_LIBRARY and CRYPTO_STATIC_LIBRARY to their paths (and
# ZLIB_INCLUDE_DIR, OPENSSL_INCLUDE_DIR to their headers). The C and C++
# runtime come from the cross compiler (/usr/powerpc-linux-gnu).
#
# Programs built here run under qemu-user: "qemu-ppc ./installer --show".

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(POWERPC_TRIPLET powerpc-linux-gnu)
set(CMAKE_C_COMPILER ${POWERPC_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${POWERPC_TRIPLET}-g++)
# CMake looks for the binutils beside the compiler; naming strip makes sure the
# target's strip is used, never the host's.
find_program(CMAKE_STRIP NAMES ${POWERPC_TRIPLET}-strip)

# Try-compile projects re-read this file; hand the setting on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES POWERPC_SYSROOT)
if(NOT POWERPC_SYSROOT AND DEFINED ENV{POWERPC_SYSROOT})
  set(POWERPC_SYSROOT "$ENV{POWERPC_SYSROOT}")
endif()
if(NOT POWERPC_SYSROOT)
  message(FATAL_ERROR "Set POWERPC_SYSROOT to the directory holding the router's zlib and "
                      "libcrypto (include/ and lib/, or a root with usr/include and usr/lib).")
endif()
if(NOT IS_DIRECTORY "${POWERPC_SYSROOT}")
  message(FATAL_ERROR "POWERPC_SYSROOT \"${POWERPC_SYSROOT}\" is not a directory.")
endif()
set(POWERPC_SYSROOT "${POWERPC_SYSROOT}" CACHE PATH
    "Directory holding the target's zlib and libcrypto (headers and static libraries)")

# Libraries, headers and packages are looked up only below the target
# directories; programs (strip, perl) only on the host.
set(CMAKE_FIND_ROOT_PATH "${POWERPC_SYSROOT}" /usr/${POWERPC_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Debian-style roots keep libraries in multiarch folders.
set(CMAKE_LIBRARY_ARCHITECTURE ${POWERPC_TRIPLET})
# A static installer wants the archives even where shared objects lie beside them.
set(ZLIB_USE_STATIC_LIBS ON)
set(OPENSSL_USE_STATIC_LIBS ON)

find_program(POWERPC_QEMU NAMES qemu-ppc qemu-ppc-static)
if(POWERPC_QEMU)
  # -L: where a dynamically linked program (pkgtool) finds the target's loader.
  set(CMAKE_CROSSCOMPILING_EMULATOR "${POWERPC_QEMU};-L;/usr/${POWERPC_TRIPLET}")
endif()
