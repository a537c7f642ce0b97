#!/usr/bin/env bash
# check_import_race.sh APPS_DIR SOURCE_DIR: imports that replace 2d.txt and z.txt again and
# again in one folder while fits run there; every fit must see one whole import (all ten
# slices, ten z values) and succeed, never half a file nor a pair from two imports: the two
# imports differ in both files (intensities twice as large, the first delay 11 s for 10 s).
set -euo pipefail
apps=$(cd "$1" && pwd)
data=$(cd "$2" && pwd)/tests/data/bruker/inversion_recovery/1/pdata/1
work=$(mktemp -d)
trap 'kill $(jobs -p) 2> /dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cp -r "$data/../.." "$work/ms"
sed -i 's/^10s/11s/' "$work/ms/vdlist"
sed -i 's/^##\$NC_proc= -4/##$NC_proc= -3/' "$work/ms/pdata/1/procs"
other="$work/ms/pdata/1"
mkdir "$work/run"
cd "$work/run"
"$apps/pairfit-import" --window 0.76 0.69 "$data" > /dev/null
printf '0.7293 0.7176\n0.76 0.69\n' > peaks.txt
# Two imports of different windows (95 and 8192 points a slice) take turns.
(for i in $(seq 1 60); do
    "$apps/pairfit-import" "$other" > /dev/null 2>&1
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
    # Slice 0's z and the scale factor come from one import.
    pair=$(awk -F, 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == "scale_factor") c = i }
                    NR == 2 { print $2 "," $c }' report.csv)
    case "$pair" in
        10,2994675.75|11,5989351.5) ;;
        *) fail "fit $fits read z and scale factor $pair of two imports" ;;
    esac
    fits=$((fits + 1))
done
wait "$importer"
[ "$fits" -ge 10 ] || fail "only $fits fits ran beside the imports"
echo "$fits fits beside 120 imports, each of one whole import"
