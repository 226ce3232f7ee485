# SPDX-License-Identifier: MIT
#
# Cross-compiling melda for 64-bit Windows with Debian's mingw-w64:
#
#   PKG_CONFIG_LIBDIR=PREFIX/lib/pkgconfig \
#     cmake -S . -B build-windows/melda \
#       -DCMAKE_TOOLCHAIN_FILE=platforms/mingw-w64.cmake
#
# PREFIX holds a libmodbus built for Windows (scripts/build-windows makes
# one). PKG_CONFIG_LIBDIR is given in cmake's environment: set here, it
# would be lost when CMake reads this file again for its compiler checks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# libmodbus's private prefix lies outside mingw's root; pkg-config names
# its folders exactly.
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
