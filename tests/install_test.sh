#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# cmake --install honours the install prefix and DESTDIR.
set -u
source "$(dirname "$0")/lib.sh"
build_dir=$1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

expected="bin/melda
bin/melda-sim
share/bash-completion/completions/melda
share/bash-completion/completions/melda-sim
share/doc/melda/changelog.gz
share/doc/melda/copyright
share/man/man1/melda-sim.1.gz
share/man/man1/melda.1.gz"

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
check "files under the prefix" "$(cd "$work/prefix" && find . -type f | sed 's|^\./||' | sort)" "$expected"

DESTDIR="$work/dest" cmake --install "$build_dir" --prefix /opt/melda >/dev/null
check "files under DESTDIR" "$(cd "$work/dest/opt/melda" && find . -type f | sed 's|^\./||' | sort)" "$expected"
check "nothing outside DESTDIR's prefix" "$(cd "$work/dest" && ls)" "opt"

"$work/prefix/bin/melda" >/dev/null
check "installed melda runs" "$?" "255"

finish
