# SPDX-License-Identifier: MIT
# Shared by the scripts in this folder: install what a fresh Debian or Ubuntu
# machine lacks, then configure and build.

set -euo pipefail

# CI runs without a standard input, and libtool fails on a closed one: the
# scripts read nothing from it, so a closed one becomes /dev/null.
if { exec 3<&0; } 2>/dev/null; then exec 3<&-; else exec </dev/null; fi

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# A step that fails says which, in one line, before the script ends.
trap 'echo "$(basename "$0"): failed: $BASH_COMMAND" >&2' ERR
JOBS=$(nproc 2>/dev/null || echo 2)

# Build tools, the library melda links, and what the tests and the package
# use: GoogleTest, valgrind, socat, a man page linter, bash-completion,
# dpkg-dev for the package's dependencies and lintian to check it. A script
# that needs less sets its own list.
PACKAGES=(g++ cmake make pkg-config libmodbus-dev libgtest-dev valgrind socat
          groff-base mandoc bash-completion dpkg-dev lintian)

# On a freshly booted machine unattended upgrades may hold apt's locks for
# a while: wait for them (10 minutes at most) rather than fail.
APT_WAIT=(-o DPkg::Lock::Timeout=600)

# Root's commands run as they are for root, through sudo for anyone else.
SUDO=()
[ "$(id -u)" -eq 0 ] || SUDO=(sudo)

# add_architecture ARCH: lets dpkg install ARCH's packages beside the
# machine's own (Debian's multiarch: a cross build's libraries); apt learns
# of them at install_missing's next update.
add_architecture() {
    dpkg --print-foreign-architectures | grep -qx "$1" || "${SUDO[@]}" dpkg --add-architecture "$1"
}

# apt_update [APT-OPTIONS...]: apt-get update that outlasts a busy machine
# and a mirror in the middle of a sync. It does not wait for the lists'
# lock: try again while it is held (10 minutes at most); after any other
# error (a Packages file of the wrong size while the mirror syncs) try
# again for about five minutes, then go on with the lists there are, saying
# so: apt then installs from the last good ones, and says itself what it
# cannot find.
apt_update() {
    local tries err others=0
    err=$(mktemp)
    for tries in $(seq 60); do
        "${SUDO[@]}" apt-get "${APT_WAIT[@]}" "$@" update -q 2>"$err" >/dev/null && break
        grep -q "lock" "$err" || others=$((others + 1))
        if [ "$others" -gt 10 ] || [ "$tries" -eq 60 ]; then
            cat "$err" >&2
            echo "apt-get update kept failing: going on with the package lists there are" >&2
            break
        fi
        echo "apt-get update failed ($(grep -m1 '^E:' "$err" || echo "its lock is held")): trying again" >&2
        sleep $((others > 0 ? 30 : 10))
    done
    rm -f "$err"
}

install_missing() {
    local missing=() pkg
    for pkg in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}" >&2
    apt_update
    DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get "${APT_WAIT[@]}" install -y -q \
        --no-install-recommends "${missing[@]}" >&2
}

# The date a build carries (the usage text's date and time, the files in a
# package or zip): SOURCE_DATE_EPOCH when set, else the last commit's in a
# git checkout where git is installed, else (a source tarball, a checkout
# copied where there is no git) that of CHANGELOG.md's latest entry.
# Exported for the compiler and the packaging tools.
set_source_date() {
    if [ -z "${SOURCE_DATE_EPOCH:-}" ] && [ -e "$ROOT/.git" ] && command -v git >/dev/null; then
        SOURCE_DATE_EPOCH=$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null) || SOURCE_DATE_EPOCH=
    fi
    [ -n "${SOURCE_DATE_EPOCH:-}" ] || SOURCE_DATE_EPOCH=$(changelog_date)
    export SOURCE_DATE_EPOCH
}

# The date of CHANGELOG.md's latest entry ("## 1.2.0 (2026-12-09 12:00 UTC)"),
# in seconds since the epoch.
changelog_date() {
    date -u -d "$(sed -n '0,/^## [0-9]/s/^## [^(]*(\(.*\) UTC).*/\1/p' "$ROOT/CHANGELOG.md")" +%s
}

# melda's version, as the top CMakeLists.txt gives it.
melda_version() {
    sed -n 's/^project(melda VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt"
}

# configure DIR [cmake options...]; compile DIR [cmake --build options...].
# One configure or build of a folder at a time: scripts run side by side
# (CI's lanes) share build/.
configure() {
    local dir=$1
    shift
    mkdir -p "$dir"
    flock "$dir/.lock" cmake -S "$ROOT" -B "$dir" "$@" >/dev/null
}
compile() {
    local dir=$1
    shift
    flock "$dir/.lock" cmake --build "$dir" -j "$JOBS" "$@"
}

# build DIR [cmake options...]: configures DIR and builds all of it.
build() {
    configure "$@"
    compile "$1"
}
