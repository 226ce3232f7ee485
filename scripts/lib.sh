# Shared by the scripts in this folder: install what a fresh Debian or Ubuntu
# machine lacks, then configure and build.

set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

# Build tools, the library melda links, and what the tests and the package
# use: GoogleTest, valgrind, socat, a man page linter, bash-completion and
# dpkg-dev for the package's dependencies.
PACKAGES=(g++ cmake make pkg-config libmodbus-dev libgtest-dev valgrind socat
          groff-base mandoc bash-completion dpkg-dev)

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
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
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
