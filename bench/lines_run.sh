#!/usr/bin/env bash
# bench/lines_run.sh [SCRATCH]: the figures of pairfit-lines in bench/README.md, in one command.
#  - the fit stage of pairfit-lines beside pairfit4's on the big series (1024 x 8192 points,
#    2048 in the window), two Lorentzian lines with free half-widths (build/bench/lines_bench);
#  - on 1024 slices x 2048 window points of six pseudo-Voigt lines on a linear baseline with
#    --float 0.01 (bench/lines_series.py): the fit stage of pairfit-lines, of a SciPy
#    least_squares loop and of a curve_fit loop (bench/lines_scipy_bench.py, on the first
#    SCIPY_SLICES slices, per slice), and the peak memory of pairfit-lines and pairfit4 as
#    whole runs on the same file;
#  - --widths sum and fixed on one thread and on two.
set -euo pipefail
cd "$(dirname "$0")/.."
scratch=${1:-run/bench-lines}
scipy_slices=${SCIPY_SLICES:-64}
bash tools/install_deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DPAIRFIT_TESTS=OFF -DPAIRFIT_BENCH=ON \
    > /dev/null
cmake --build build-bench -j2 --target pairfit4 pairfit-lines make_series lines_bench > /dev/null
mkdir -p "$scratch/big" "$scratch/six"
scratch=$(cd "$scratch" && pwd)
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "commit: $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
build-bench/make_series "$scratch/big" slices=1024 points=8192 noise=0.01 window_low=0.65 \
    window_high=1.4 > /dev/null
/usr/bin/python3 bench/lines_series.py "$scratch/six" 1024 2048
six=(--shape pseudo-voigt --baseline linear --float 0.01 --window 0 2)

echo
echo "== big series, two Lorentzian lines, free half-widths (fit stage, three runs)"
for run in 1 2 3; do build-bench/bench/lines_bench "$scratch/big" | tail -n 3 | tr '\n' ' '; echo; done

echo
echo "== six pseudo-Voigt lines on a linear baseline, --float 0.01, 1024 x 2048"
for run in 1 2 3; do
    build-bench/bench/lines_bench "$scratch/six" "${six[@]}" | tail -n 2 | tr '\n' ' '; echo
done
(cd "$scratch/six" && /usr/bin/time -f "pairfit-lines whole run: %e s, peak %M KiB" \
    "$OLDPWD/build-bench/apps/pairfit-lines" "${six[@]}" > /dev/null)
(cd "$scratch/six" && /usr/bin/time -o ../pairfit4-time.txt \
    -f "pairfit4 whole run on the same file: %e s, peak %M KiB" \
    "$OLDPWD/build-bench/apps/pairfit4" > /dev/null 2>&1) || true
cat "$scratch/pairfit4-time.txt"
/usr/bin/python3 bench/lines_scipy_bench.py "$scratch/six" "$scipy_slices" 0.01

echo
echo "== --widths sum and fixed: two threads, then one"
for mode in sum fixed; do
    echo "--widths $mode:"
    build-bench/bench/lines_bench "$scratch/six" "${six[@]}" --widths "$mode" | tail -n 2
done
