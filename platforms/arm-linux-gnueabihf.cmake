# SPDX-License-Identifier: MIT
#
# Cross-compiling melda for Debian's armhf (32-bit ARM Linux: Raspberry Pi OS,
# industrial gateways) with Debian's cross compiler and multiarch libmodbus:
#
#   dpkg --add-architecture armhf && apt-get update
#   apt-get install g++-arm-linux-gnueabihf libmodbus-dev:armhf
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=platforms/arm-linux-gnueabihf.cmake
#
# scripts/package armhf does this and makes the Debian package.
set(melda_triplet arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
