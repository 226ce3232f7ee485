#!/usr/bin/env bash
# Builds the Debian package from the build tree, inspects it, unpacks it into
# a scratch root and runs the packaged commands from there.
set -u
source "$(dirname "$0")/lib.sh"
build_dir=$1
version=$2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build_dir" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; exit 1; }
deb="$work/out/melda_${version}_$(dpkg --print-architecture).deb"
check "package file name" "$(ls "$work/out"/*.deb)" "$deb"

check "Package" "$(dpkg-deb -f "$deb" Package)" "melda"
check "Version" "$(dpkg-deb -f "$deb" Version)" "$version"
check "Section" "$(dpkg-deb -f "$deb" Section)" "utils"
check_contains "Maintainer" "$(dpkg-deb -f "$deb" Maintainer)" "@"
check_contains "Description" "$(dpkg-deb -f "$deb" Description)" "Modbus RTU"
check_contains "depends on libmodbus5" "$(dpkg-deb -f "$deb" Depends)" "libmodbus5"

files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/melda ./usr/bin/melda-sim ./usr/share/man/man1/melda.1.gz \
         ./usr/share/man/man1/melda-sim.1.gz ./usr/share/bash-completion/completions/melda; do
    check_contains "package holds $f" "$files" "$f"
done

dpkg -x "$deb" "$work/root"
out=$("$work/root/usr/bin/melda" 2>&1)
check "packaged melda without arguments: status" "$?" "255"
check_contains "packaged melda prints its usage" "$out" "Usage: melda port start ncoils [baud]"
"$work/root/usr/bin/melda-sim" --help >/dev/null
check "packaged melda-sim --help: status" "$?" "0"
check "packaged man page is gzip" "$(gzip -dc "$work/root/usr/share/man/man1/melda.1.gz" | head -1 | cut -c1-9)" ".TH MELDA"

finish
