#!/usr/bin/env bash
# check_pip_install.sh SOURCE_DIR PAIRFIT4: copies the files git tracks in SOURCE_DIR (a clean
# tree, as a fresh clone has them), makes a virtual environment with --system-site-packages,
# runs pip install --no-build-isolation --no-index . there, and fits the bundled example with
# the installed module: every value is report.csv's from PAIRFIT4 --report, bit for bit.
# Exits with 77 (skipped) when SOURCE_DIR is no git checkout.
set -euo pipefail
source_dir=$(cd "$1" && pwd)
pairfit4=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

git -C "$source_dir" rev-parse --is-inside-work-tree > /dev/null 2>&1 ||
    { echo "$source_dir is no git checkout: no clean tree to copy"; exit 77; }
echo "== a clean copy of the tree"
mkdir "$work/tree"
(cd "$source_dir" && git ls-files -z | while IFS= read -r -d '' file; do
     # A file deleted in the working tree is listed still.
     if [ -e "$file" ] || [ -L "$file" ]; then printf '%s\0' "$file"; fi
 done | tar --null -T - -cf -) | tar -xf - -C "$work/tree"
[ -f "$work/tree/pyproject.toml" ] || fail "pyproject.toml is not tracked"

echo "== pip install . in a fresh virtual environment, offline"
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
(cd "$work/tree" && "$work/venv/bin/python" -m pip install --no-build-isolation --no-index . \
    > "$work/pip.log" 2>&1) || { tail -n 40 "$work/pip.log" >&2; fail "pip install . failed"; }

echo "== the installed module fits the bundled example as pairfit4 does"
mkdir "$work/titration"
cp "$source_dir/examples/titration/2d.txt" "$source_dir/examples/titration/peaks.txt" \
    "$work/titration/"
(cd "$work/titration" && "$pairfit4" --report > /dev/null) || fail "pairfit4 --report failed"
version=$(sed -n 's/^project(pairfit VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
(cd "$work" && "$work/venv/bin/python" - "$work/venv" "$work/titration" "$version" <<'PY') ||
import csv
import math
import os
import sys
from importlib import metadata

import pairfit

venv, folder, version = sys.argv[1:]
package = os.path.dirname(pairfit.__file__)
assert package.startswith(venv), package  # the environment's, not a system-wide one
for name in ("py.typed", "__init__.pyi"):
    assert os.path.isfile(os.path.join(package, name)), name
assert metadata.version("pairfit") == version, (metadata.version("pairfit"), version)
series, peaks = pairfit.read_series(folder)
fit = pairfit.fit(series, peaks["peak_A"], peaks["peak_B"])
with open(os.path.join(folder, "report.csv"), newline="") as report:
    rows = list(csv.reader(report))
assert rows[0] == fit.columns and len(rows) - 1 == len(fit), (rows[0], len(rows))
for index, name in enumerate(fit.columns):
    for s, row in enumerate(rows[1:]):
        value = fit[name][s]
        if name == "status":
            assert value == row[index], (name, s)
        elif row[index] == "":
            assert math.isnan(value), (name, s, value)
        else:
            assert float(row[index]) == value, (name, s, row[index], repr(value))
print(f"{len(fit)} slices, {len(fit.columns)} columns as report.csv")
PY
    fail "the module installed by pip does not give pairfit4's numbers"
echo "pip install checks passed"
