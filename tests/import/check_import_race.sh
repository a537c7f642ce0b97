#!/usr/bin/env bash
# check_import_race.sh APPS_DIR SOURCE_DIR: imports that replace 2d.txt and z.txt again and
# again in one folder while fits run there; every fit must see one whole import (all ten
# slices, ten z values) and succeed, never half a file nor a pair from two imports.
set -euo pipefail
apps=$(cd "$1" && pwd)
data=$(cd "$2" && pwd)/tests/data/bruker/inversion_recovery/1/pdata/1
work=$(mktemp -d)
trap 'kill $(jobs -p) 2> /dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cd "$work"
"$apps/pairfit-import" --window 0.76 0.69 "$data" > /dev/null
printf '0.7293 0.7176\n0.76 0.69\n' > peaks.txt
# Two imports of different windows (95 and 8192 points a slice) take turns.
(for i in $(seq 1 60); do
    "$apps/pairfit-import" "$data" > /dev/null 2>&1
    "$apps/pairfit-import" --window 0.76 0.69 "$data" > /dev/null 2>&1
done) &
importer=$!
fits=0
while kill -0 "$importer" 2> /dev/null && [ "$fits" -lt 200 ]; do
    status=0
    "$apps/pairfit4" --signed --z z.txt > fit.log 2> fit.err || status=$?
    [ "$status" -eq 0 ] || fail "fit $fits ended with status $status: $(cat fit.err)"
    slices=$(grep -c '^ *[0-9][0-9]*  ' fit.log || true)
    [ "$slices" -eq 10 ] || fail "fit $fits fitted $slices slices, not 10"
    fits=$((fits + 1))
done
wait "$importer"
[ "$fits" -ge 10 ] || fail "only $fits fits ran beside the imports"
echo "$fits fits beside 120 imports, each of one whole import"
