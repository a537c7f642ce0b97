#!/usr/bin/env bash
# Redraws the pictures the README shows, docs/fits.png and docs/trends.png, from the
# bundled example: runs tools/run_example.sh (fit and pairfit-plot in run/titration), then
# stores both PNGs with a 64-colour palette, which keeps them small and looks the same.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/run_example.sh > /dev/null
mkdir -p docs
for picture in fits.png trends.png; do
    /usr/bin/python3 -c '
import sys
from PIL import Image
Image.open(sys.argv[1]).convert("RGB").quantize(64).save(sys.argv[2], optimize=True)
' "run/titration/$picture" "docs/$picture"
done
ls -l docs/fits.png docs/trends.png
