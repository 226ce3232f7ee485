# SPDX-License-Identifier: MIT
#
# Turns CHANGELOG.md into a Debian changelog, for the package's
# /usr/share/doc/melda/changelog.gz:
#
#   awk -v maintainer="Name <address>" -f changelog.awk CHANGELOG.md
#
# Each "## VERSION (YYYY-MM-DD HH:MM UTC)" section becomes an entry; each
# "- " item a "  * " line, its continuation lines indented to match.

function close_entry() {
    if (version != "")
        printf "\n -- %s  %s\n", maintainer, rfc2822
    version = ""
}

/^## / {
    close_entry()
    if (entries++)
        print ""
    version = $2
    when = $0
    sub(/^[^(]*\(/, "", when)
    sub(/\).*$/, "", when)
    cmd = "date -u -R -d '" when "'"
    cmd | getline rfc2822
    close(cmd)
    printf "melda (%s) unstable; urgency=medium\n\n", version
    next
}

version != "" && /^- / { print "  * " substr($0, 3); next }
version != "" && /^  [^ ]/ { print "    " substr($0, 3); next }

END { close_entry() }
