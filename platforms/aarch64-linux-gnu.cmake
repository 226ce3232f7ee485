# SPDX-License-Identifier: MIT
#
# Cross-compiling melda for Debian's arm64 (64-bit ARM Linux: Raspberry Pi OS,
# industrial gateways) with Debian's cross compiler and multiarch libmodbus:
#
#   dpkg --add-architecture arm64 && apt-get update
#   apt-get install g++-aarch64-linux-gnu libmodbus-dev:arm64
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=platforms/aarch64-linux-gnu.cmake
#
# scripts/package arm64 does this and makes the Debian package.
set(melda_triplet aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
