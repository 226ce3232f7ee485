#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
#
# Without GoogleTest the tree still configures and builds melda and
# melda-sim, and says in one line that the tests are off.
set -u
source "$(dirname "$0")/lib.sh"
source_dir=$1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log=$(cmake -S "$source_dir" -B "$work" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON 2>&1)
check "configures" "$?" "0"
check "one line says the tests are off" "$(grep -c 'tests are off' <<<"$log")" "1"
cmake --build "$work" -j "$(nproc)" >"$work/build.log" 2>&1
check "builds" "$?" "0"
check "melda and melda-sim built" "$(ls "$work/melda" "$work/melda-sim" 2>&1)" "$work/melda
$work/melda-sim"
check "no test binaries" "$(ls "$work/tests" 2>/dev/null)" ""
"$work/melda" >/dev/null
check "melda runs" "$?" "255"

finish
