# SPDX-License-Identifier: MIT
#
# The one libmodbus source every self-contained melda links (melda.exe and
# the static Linux binaries), sourced by the scripts that build them after
# lib.sh. It is Debian 12's libmodbus 3.1.6 with Debian's patches, the
# library the Debian packages of melda run with: the source package in
# ../shared/libmodbus/debian/ when it is there, else the one apt fetches,
# checked to be that version either way, so that both give the same
# binaries. LIBMODBUS_SOURCE (a source tarball or directory) takes another
# libmodbus instead.
#
#   build-libmodbus/static/debian-source/   the source package's three files
#   build-libmodbus/static/src/             the source tree, patches applied
#   build-libmodbus/static/HOST/            the static library built for HOST
#
# The caller's PACKAGES needs LIBMODBUS_PACKAGES.

LIBMODBUS_DEBIAN_VERSION=3.1.6-2.1+deb12u1
LIBMODBUS_DIR="$ROOT/build-libmodbus/static"
LIBMODBUS_PACKAGES=(make autoconf automake libtool dpkg-dev)

# What the source tree in $LIBMODBUS_DIR/src is to be.
libmodbus_wanted() {
    if [ -n "${LIBMODBUS_SOURCE:-}" ]; then
        echo "the libmodbus source in $(basename "$LIBMODBUS_SOURCE")"
    else
        echo "Debian $LIBMODBUS_DEBIAN_VERSION"
    fi
}

# Debian's source package, downloaded into $1 through a private list of
# deb-src lines made from the machine's own apt sources (the system's apt
# configuration is not touched). apt checks it against the archive's signed
# index.
libmodbus_download() {
    local get=$1 apt="$LIBMODBUS_DIR/apt" f
    rm -rf "$apt"
    mkdir -p "$apt/parts" "$apt/lists/partial"
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$apt/parts/$(basename "$f")"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] && sed -n 's/^deb /deb-src /p' "$f" >>"$apt/parts/sources.list"
    done
    local opts=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt/parts"
                -o "Dir::State::Lists=$apt/lists" "${APT_WAIT[@]}")
    apt_update "${opts[@]}" -qq
    # apt downloads as its own unprivileged user when run as root.
    [ "$(id -u)" -ne 0 ] || chown _apt "$get"
    (cd "$get" && apt-get "${opts[@]}" -qq source --download-only \
        "libmodbus=$LIBMODBUS_DEBIAN_VERSION")
}

# libmodbus_unpack SOURCE DEST: the libmodbus source in SOURCE (a source
# tarball or directory, or a Debian source package's .dsc, unpacked with its
# patches) made a tree in DEST (which must not exist), with a configure
# script: release trees from git carry none of their own.
libmodbus_unpack() {
    local source=$1 dest=$2
    mkdir -p "$(dirname "$dest")"
    if [ -d "$source" ]; then
        cp -a "$source/." "$dest"
    elif [[ $source == *.dsc ]]; then
        dpkg-source --no-check -x "$source" "$dest" >/dev/null
    else
        mkdir "$dest"
        tar -xzf "$source" -C "$dest" --strip-components=1
    fi || return 1
    (cd "$dest" && { [ -x configure ] || ./autogen.sh; }) >"$dest.autogen.log" 2>&1 ||
        { tail -20 "$dest.autogen.log" >&2; return 1; }
}

# libmodbus_source: the source tree in $LIBMODBUS_DIR/src, fetched and
# checked once; another source than the one there starts every build anew.
# One script at a time (the static and the Windows builds may run side by
# side).
libmodbus_source() {
    mkdir -p "$ROOT/build-libmodbus"
    (flock 9; libmodbus_source_unlocked) 9>"$ROOT/build-libmodbus/static.lock"
}
libmodbus_source_unlocked() {
    local wanted src="$LIBMODBUS_DIR/src" get="$LIBMODBUS_DIR/debian-source"
    local shared="$ROOT/../shared/libmodbus/debian" dsc
    wanted=$(libmodbus_wanted)
    [ -f "$src/configure" ] && [ "$(cat "$LIBMODBUS_DIR/source" 2>/dev/null)" = "$wanted" ] &&
        return 0
    rm -rf "$LIBMODBUS_DIR"
    mkdir -p "$LIBMODBUS_DIR"
    if [ -n "${LIBMODBUS_SOURCE:-}" ]; then
        echo "libmodbus from $LIBMODBUS_SOURCE" >&2
        libmodbus_unpack "$LIBMODBUS_SOURCE" "$src" || return 1
    else
        dsc="libmodbus_$LIBMODBUS_DEBIAN_VERSION.dsc"
        mkdir -p "$get"
        if [ -f "$shared/$dsc" ]; then
            echo "libmodbus $LIBMODBUS_DEBIAN_VERSION from $shared" >&2
            cp "$shared"/libmodbus_* "$get/"
        else
            echo "libmodbus $LIBMODBUS_DEBIAN_VERSION from Debian's source package" >&2
            libmodbus_download "$get" >&2
        fi
        # The files are the ones the source description names (apt checked
        # its own download against the archive; the .dsc's signature is not
        # checked here, as Debian's keyring is not installed).
        [ -f "$get/$dsc" ] || { echo "libmodbus: no $dsc" >&2; return 1; }
        (cd "$get" && sed -n '/^Checksums-Sha256:/,/^[^ ]/s/^ \([0-9a-f]*\) [0-9]* \(.*\)/\1  \2/p' \
            "$dsc" | sha256sum --quiet -c -) ||
            { echo "libmodbus: $get does not hold what $dsc names" >&2; return 1; }
        libmodbus_unpack "$get/$dsc" "$src" || return 1
    fi
    echo "$wanted" >"$LIBMODBUS_DIR/source"
}

# libmodbus_build HOST: libmodbus built statically for HOST (a GNU triplet)
# from that source, once, into $LIBMODBUS_DIR/HOST.
libmodbus_build() {
    local host=$1 prefix="$LIBMODBUS_DIR/$1"
    libmodbus_source
    if [ ! -f "$prefix/lib/libmodbus.a" ]; then
        echo "building libmodbus for $host into $prefix" >&2
        rm -rf "$prefix" "$prefix.build"
        mkdir -p "$prefix.build"
        (
            cd "$prefix.build"
            # Paths in the objects are relative to this folder, wherever it
            # is: the same source gives the same binaries in any checkout.
            "$LIBMODBUS_DIR/src/configure" --host="$host" --prefix="$prefix" --libdir="$prefix/lib" \
                --enable-static --disable-shared --disable-tests --without-documentation \
                CFLAGS="-g -O2 -ffile-prefix-map=$LIBMODBUS_DIR=libmodbus"
            make -j "$JOBS"
            make install
        ) >"$prefix.log" 2>&1 || { tail -30 "$prefix.log" >&2; rm -rf "$prefix"; return 1; }
    fi
}

# libmodbus_version PREFIX: the release a build in PREFIX is of.
libmodbus_version() {
    PKG_CONFIG_LIBDIR="$1/lib/pkgconfig" pkg-config --modversion libmodbus
}

# libmodbus_patches: Debian's patches in the source tree, one line each
# ("  NAME: SUBJECT"), in the order they are applied.
libmodbus_patches() {
    (cd "$LIBMODBUS_DIR/src/debian/patches" &&
        grep -v '^#' series | grep . | while read -r patch; do
            printf '  %s: %s\n' "$patch" \
                "$(grep -m1 -E '^(Subject|Description):' "$patch" | sed 's/^[A-Za-z]*: //')"
        done)
}
