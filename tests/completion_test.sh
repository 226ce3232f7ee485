#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Drives the bash completions of melda and melda-sim through bash's own
# completion machinery:
#
#   completion_test.sh COMPLETION_DIR MELDA_SIM
set -u
source "$(dirname "$0")/lib.sh"
source "$1/melda-sim" # loads melda's, whose ports it completes
sim=$2

# complete_for COMMAND FUNCTION WORD... : the candidates for the last word.
complete_for() {
    local command=$1 function=$2
    shift 2
    COMP_WORDS=("$command" "$@")
    COMP_CWORD=$#
    COMP_LINE="$command $*"
    COMP_POINT=${#COMP_LINE}
    "$function" 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | sort
}
complete_words() { complete_for melda _melda "$@"; }
complete_sim() { complete_for melda-sim _melda_sim "$@"; }

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

# melda-sim: its options, its faults and speeds as its --help lists them,
# a file for --log, ports for the device.
check "registered for melda-sim" "$(complete -p melda-sim)" \
    "complete -o filenames -F _melda_sim melda-sim"
help=$("$sim" --help)
check "every option in --help" "$(complete_sim --)" \
    "$(grep -o -- '--[a-z]*' <<<"$help" | sort -u)"
check "every fault in --help" "$(complete_sim --fault "")" \
    "$(sed -n '/^Faults:/,$p' <<<"$help" | awk 'NR > 1 {print $1}' | sed 's/N$//' | sort)"
check "faults by prefix" "$(complete_sim -f ba)" "$(printf '%s\n' bad-count bad-crc)"
check "speeds the simulator takes" "$(complete_sim --baud 11)" "115200"
check "nine speeds" "$(complete_sim -b "" | wc -l)" "9"
check "nothing for a count" "$(complete_sim --requests "")" ""
check "a file for --log" "$(complete_sim --log "$dir/oth")" "$dir/other"
check "a port for the device" "$(complete_sim --pace "$dir/tty")" \
    "$(printf '%s\n' "$dir/ttyA" "$dir/ttyB")"
check "no /dev/null for the device" "$(complete_sim /dev/ | grep -c '^/dev/null$')" "0"

finish
