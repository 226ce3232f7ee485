#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Renders each man page with groff and lints it with mandoc: any warning fails.
set -u
source "$(dirname "$0")/lib.sh"

for page in "$@"; do
    name=$(basename "$page")
    check "$name: groff -man -ww" "$(groff -man -ww -z "$page" 2>&1)" ""
    check "$name: mandoc -T lint" "$(mandoc -T lint -W warning "$page" 2>&1)" ""
    text=$(MANWIDTH=80 groff -man -Tutf8 -P-cbou "$page" 2>/dev/null)
    for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" EXAMPLES DIAGNOSTICS "SEE ALSO"; do
        check_contains "$name: has $section" "$text" $'\n'"$section"$'\n'
    done
done

finish
