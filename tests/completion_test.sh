#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Drives melda's bash completion through bash's own completion machinery.
set -u
source "$(dirname "$0")/lib.sh"
source "$1"

# complete WORD... : the candidates for the last word of "melda WORD...".
complete_words() {
    COMP_WORDS=(melda "$@")
    COMP_CWORD=$#
    COMP_LINE="melda $*"
    COMP_POINT=${#COMP_LINE}
    _melda
    printf '%s\n' "${COMPREPLY[@]}" | sort
}

check "registered for melda" "$(complete -p melda)" "complete -o filenames -F _melda melda"
check "all five bauds" "$(complete_words /dev/ttyS0 1 4 "")" "$(printf '%s\n' 115200 19200 38400 57600 9600)"
check "bauds by prefix" "$(complete_words /dev/ttyS0 1 4 1)" "$(printf '%s\n' 115200 19200)"
check "no baud for a wrong prefix" "$(complete_words /dev/ttyS0 1 4 3000)" ""
check "nothing for start" "$(complete_words /dev/ttyS0 "")" ""
check "nothing for ncoils" "$(complete_words /dev/ttyS0 1 "")" ""
check "nothing after the baud" "$(complete_words /dev/ttyS0 1 4 9600 "")" ""

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
touch "$dir/ttyA" "$dir/ttyB" "$dir/other" "$dir/a[1]" "$dir/a*b" "$dir/a b"
check "port completes files" "$(complete_words "$dir/tty")" "$(printf '%s\n' "$dir/ttyA" "$dir/ttyB")"
check "names with glob characters and blanks, each once" "$(complete_words "$dir/a")" \
    "$(printf '%s\n' "$dir/a b" "$dir/a*b" "$dir/a[1]" | sort)"
check "no files for a word without a slash" "$(cd "$dir" && complete_words tty)" ""

# Under /dev, serial devices only: never /dev/null, /dev/zero or a disk.
offered=$(complete_words /dev/)
check "nothing but serial devices under /dev" \
    "$(printf '%s\n' "$offered" | grep -v '^$' | grep -Evc '^/dev/(tty(S|USB|ACM|AMA)[0-9]+|serial/by-id/.+)$')" "0"
check "no /dev/null" "$(printf '%s\n' "$offered" | grep -c '^/dev/null$')" "0"
if compgen -G '/dev/ttyS*' >/dev/null; then
    first=$(compgen -G '/dev/ttyS*' | sort | head -1)
    check_contains "port completes serial devices" "$(complete_words /dev/ttyS)" "$first"
fi
# Pseudo-terminals once the word is under /dev/pts/: this shell's own, when
# it has one; never the multiplexer.
check "no pty multiplexer" "$(complete_words /dev/pts/ | grep -c ptmx)" "0"
if pty=$(tty 2>/dev/null) && [[ $pty == /dev/pts/* ]]; then
    check_contains "ptys under /dev/pts/" "$(complete_words /dev/pts/)" "$pty"
fi

finish
