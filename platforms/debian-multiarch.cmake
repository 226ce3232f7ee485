# SPDX-License-Identifier: MIT
#
# Cross-compiling for another Debian architecture with Debian's cross
# compiler and its multiarch libraries, for the toolchain files beside this
# one, which set melda_triplet (the GNU triplet, e.g. aarch64-linux-gnu) and
# CMAKE_SYSTEM_PROCESSOR before they include it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${melda_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${melda_triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${melda_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config reads the target's .pc files, the multiarch ones.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${melda_triplet}/pkgconfig:/usr/share/pkgconfig)
