#!/usr/bin/env bash
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
touch "$dir/ttyA" "$dir/ttyB" "$dir/other"
check "port completes files" "$(complete_words "$dir/tty")" "$(printf '%s\n' "$dir/ttyA" "$dir/ttyB")"
if compgen -G '/dev/ttyS*' >/dev/null; then
    first=$(compgen -G '/dev/ttyS*' | sort | head -1)
    check_contains "port completes serial devices" "$(complete_words /dev/ttyS)" "$first"
fi

finish
