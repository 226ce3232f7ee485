# SPDX-License-Identifier: MIT
# Shared by the scripts in this folder: install what a fresh Debian or Ubuntu
# machine lacks, then configure and build.

set -euo pipefail

# CI runs without a standard input, and libtool fails on a closed one: the
# scripts read nothing from it, so a closed one becomes /dev/null.
if { exec 3<&0; } 2>/dev/null; then exec 3<&-; else exec </dev/null; fi

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
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

install_missing() {
    local missing=() pkg
    for pkg in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${missing[*]}"
    # apt-get update does not wait for the lists' lock: try again while it
    # is held, and fail at once on any other error.
    local tries err
    err=$(mktemp)
    for tries in $(seq 60); do
        "${sudo[@]}" apt-get "${APT_WAIT[@]}" update -q 2>"$err" && break
        if ! grep -q "lock" "$err" || [ "$tries" -eq 60 ]; then
            cat "$err" >&2
            rm -f "$err"
            return 1
        fi
        echo "apt is busy: waiting for its lock"
        sleep 10
    done
    rm -f "$err"
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get "${APT_WAIT[@]}" install -y -q \
        --no-install-recommends "${missing[@]}"
}

# configure DIR [cmake options...]
configure() {
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" "$@" >/dev/null
}

# build DIR [cmake options...]: configures DIR and builds all of it.
build() {
    configure "$@"
    cmake --build "$1" -j "$JOBS"
}
