#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
#
# The Debian package: scripts/package in two fresh copies of the tree, in
# different folders, must give the same .deb byte for byte; that .deb is
# then inspected, linted, unpacked into a scratch root and run from there.
#
#   package_test.sh SOURCE_DIR VERSION [ARCH [RUNNER...]]
#
# ARCH is the machine's own by default; another one's programs run through
# RUNNER (qemu-user). With MELDA_PACKAGE_ROOT set, the unpacked package is
# left there for the caller.
set -u
source "$(dirname "$0")/lib.sh"
source_dir=$1
version=$2
arch=${3:-$(dpkg --print-architecture)}
runner=("${@:4}")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
name="melda_${version}_${arch}.deb"

# Two copies of the tree as it is (a clone, a source tarball, a copied
# checkout alike), without its build trees and git's own files, packaged
# with the date the tree itself would give them.
SOURCE_DATE_EPOCH=$(bash -c 'source "$1/scripts/lib.sh" && set_source_date && echo "$SOURCE_DATE_EPOCH"' \
    bash "$source_dir")
export SOURCE_DATE_EPOCH
for clone in "$work/one" "$work/elsewhere/two"; do
    mkdir -p "$clone"
    tar -C "$source_dir" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$clone" -xf -
    "$clone/scripts/package" "$arch" >"$work/package.log" 2>&1 ||
        { cat "$work/package.log"; exit 1; }
done
deb="$work/one/build-package/$name"
check "package file name" "$(cd "$work/one/build-package" && ls ./*.deb)" "./$name"
check "two clones, the same .deb" "$(cmp "$deb" "$work/elsewhere/two/build-package/$name" 2>&1)" ""

check "Package" "$(dpkg-deb -f "$deb" Package)" "melda"
check "Architecture" "$(dpkg-deb -f "$deb" Architecture)" "$arch"
check "Version" "$(dpkg-deb -f "$deb" Version)" "$version"
check "Section" "$(dpkg-deb -f "$deb" Section)" "utils"
check_contains "Maintainer" "$(dpkg-deb -f "$deb" Maintainer)" "@"
check_contains "Description" "$(dpkg-deb -f "$deb" Description)" "Modbus RTU"
check_contains "depends on libmodbus5" "$(dpkg-deb -f "$deb" Depends)" "libmodbus5"

files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/melda ./usr/bin/melda-sim ./usr/share/man/man1/melda.1.gz \
         ./usr/share/man/man1/melda-sim.1.gz ./usr/share/bash-completion/completions/melda \
         ./usr/share/bash-completion/completions/melda-sim \
         ./usr/share/doc/melda/copyright ./usr/share/doc/melda/changelog.gz; do
    check_contains "package holds $f" "$files" "$f"
done

# lintian, pedantic and informational tags included, has nothing to say.
if command -v lintian >/dev/null; then
    check "lintian" "$(lintian -I --pedantic "$deb" 2>&1 | grep -v 'running with root privileges')" ""
else
    echo "lintian is not installed: not linted"
fi

root=${MELDA_PACKAGE_ROOT:-$work/root}
rm -rf "$root"
dpkg -x "$deb" "$root"
out=$("${runner[@]}" "$root/usr/bin/melda" 2>&1)
check "packaged melda without arguments: status" "$?" "255"
check_contains "packaged melda prints its usage" "$out" "Usage: melda port start ncoils [baud]"
check_contains "usage dated as the tree is" "$out" \
    "on $(LC_ALL=C TZ=UTC date -d "@$SOURCE_DATE_EPOCH" '+%b %e %Y at %H:%M:%S')"
"${runner[@]}" "$root/usr/bin/melda-sim" --help >/dev/null
check "packaged melda-sim --help: status" "$?" "0"
check "packaged man page is gzip" "$(gzip -dc "$root/usr/share/man/man1/melda.1.gz" | grep -m1 '^\.TH' | cut -c1-9)" ".TH MELDA"
check_contains "copyright: MIT" "$(cat "$root/usr/share/doc/melda/copyright")" "License: MIT"
check_contains "copyright: libmodbus's licence" "$(cat "$root/usr/share/doc/melda/copyright")" "LGPL-2.1"
check_contains "changelog: this version first" "$(gzip -dc "$root/usr/share/doc/melda/changelog.gz" | head -1)" "melda ($version)"
for b in melda melda-sim; do
    check "$b: no .comment section" "$(readelf -S "$root/usr/bin/$b" | grep -c '\.comment')" "0"
    check "$b: bound at start (BIND_NOW)" "$(readelf -d "$root/usr/bin/$b" | grep -c 'BIND_NOW')" "1"
    check "$b: position-independent" "$(readelf -h "$root/usr/bin/$b" | awk '/Type:/ {print $2}')" "DYN"
done

finish
