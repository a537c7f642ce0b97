#!/usr/bin/env bash
# check_import_kill.sh APPS_DIR SOURCE_DIR: imports killed (SIGKILL) at once and after growing
# delays, some while writing 2d.txt and z.txt, then one import to its end: that one leaves no
# temporary of the killed ones in the folder, and the pair it wrote is whole.
set -euo pipefail
apps=$(cd "$1" && pwd)
data=$(cd "$2" && pwd)/tests/data/bruker/inversion_recovery/1/pdata/1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cd "$work"
left=0
for delay in 0 0.001 0.002 0.004 0.006 0.008 0.01 0.015 0.02 0.03 0.05 0.08; do
    "$apps/pairfit-import" "$data" > /dev/null 2>&1 &
    sleep "$delay"
    kill -KILL $! 2> /dev/null || true
    wait $! 2> /dev/null || true
    left=$((left + $(ls -A | grep -c 'pairfit-' || true)))
done
# A temporary as a killed import leaves it, whatever the timing above did.
echo "half of 2d.txt" > .2d.txt.pairfit-Xy12Ab
echo "half of z.txt" > .z.txt.pairfit-Xy12Ac.old
"$apps/pairfit-import" --window 0.76 0.69 "$data" > /dev/null || fail "the last import failed"
leftovers=$(ls -A | grep 'pairfit-' || true)
[ -z "$leftovers" ] || fail "temporaries left after a whole import: $leftovers"
[ "$(grep -c '^&' 2d.txt)" -eq 10 ] && [ "$(grep -vc '^#' z.txt)" -eq 10 ] ||
    fail "the last import's pair is not whole"
echo "killed imports: $left temporaries seen, none left after the next import"
