#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
#
# The release's SBOM check: the SBOM scripts/release made passes it, and a
# digest changed, a download left out, a field the schema does not know or
# an analysis state it does not know each fail it.
#
#   sbom_test.sh RELEASE_DIR TOOLS_DIR VERSION
set -u
source "$(dirname "$0")/lib.sh"
release=$1 tools=$2 version=$3
sbom="melda-$version.cdx.json"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

node "$tools/sbom.mjs" check "$release" "$version" >/dev/null
check "the release's SBOM passes" "$?" "0"

# tamper NAME EXPRESSION: the check fails on a copy whose SBOM (b) the
# JavaScript EXPRESSION changed.
tamper() {
    rm -rf "$work/copy"
    mkdir "$work/copy"
    cp "$release/SHA256SUMS" "$release/$sbom" "$work/copy/"
    node -e 'const fs = require("fs"), f = process.argv[1], b = JSON.parse(fs.readFileSync(f));
             '"$2"'; fs.writeFileSync(f, JSON.stringify(b))' "$work/copy/$sbom"
    node "$tools/sbom.mjs" check "$work/copy" "$version" >/dev/null 2>&1
    check "$1: refused" "$?" "1"
}
tamper "a digest changed" 'b.components[0].hashes[0].content = "0".repeat(64)'
tamper "a download left out" 'b.components.splice(4, 1)'
tamper "a field the schema does not know" 'b.components[0].colour = "red"'
tamper "an unknown analysis state" 'b.vulnerabilities[0].analysis.state = "fine"'
finish
