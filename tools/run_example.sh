#!/usr/bin/env bash
# Installs what is missing, builds, and runs pairfit4 on the bundled titration example in
# the scratch folder run/titration, then draws the fits there with pairfit-plot.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_deps.sh
cmake -S . -B build -DPAIRFIT_TESTS=OFF > /dev/null
cmake --build build -j"$(nproc)"
rm -rf run/titration
mkdir -p run/titration
cp examples/titration/2d.txt examples/titration/peaks.txt run/titration/
(cd run/titration && ../../build/apps/pairfit4)
(cd run/titration && ../../build/apps/pairfit-plot)
echo "Results are in $(pwd)/run/titration:"
ls -l run/titration
