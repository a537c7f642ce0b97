#!/usr/bin/env bash
# update_golden.sh BUILD_DIR: rewrites the expected outputs of the golden test from the
# programs in BUILD_DIR. Run it only for a change that is meant to move the results, and
# review the diff digit by digit.
set -euo pipefail
build=$(cd "$1" && pwd)
golden=$(cd "$(dirname "$0")/../tests/golden" && pwd)
for program in pairfit4 pairfit2; do
    work=$(mktemp -d)
    cp "$golden/2d.txt" "$golden/peaks.txt" "$work/"
    (cd "$work" && "$build/apps/$program" > stdout.txt)
    mkdir -p "$golden/$program"
    for file in stdout.txt results.txt dat.txt sim_a.txt sim_b.txt res.txt; do
        cp "$work/$file" "$golden/$program/$file"
    done
    rm -rf "$work"
done
