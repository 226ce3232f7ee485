# SPDX-License-Identifier: MIT
# Assertions for the shell tests; finish prints the tally and sets the status.
passed=0
failed=0

check() { # name actual expected
    if [ "$2" == "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL: %s\n  expected: %q\n  actual:   %q\n' "$1" "$3" "$2"
    fi
}

check_contains() { # name text part
    if [[ $2 == *"$3"* ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL: %s\n  %q does not contain %q\n' "$1" "$2" "$3"
    fi
}

finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
