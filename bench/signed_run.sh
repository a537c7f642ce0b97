#!/usr/bin/env bash
# bench/signed_run.sh [SCRATCH] [RUNS]: pairfit4 and pairfit4 --signed in turns, RUNS times
# each (default 7), on the big series (1024 x 8192 points, 2048 in the window) and on 1000
# slices of 2048 points all in the window; prints wall, user and system seconds of each run
# and the median ratio of the wall times (the figures of bench/README.md, "--signed").
# BUILD=FOLDER takes the programs of a build folder as they are instead of building
# build-bench.
set -euo pipefail
cd "$(dirname "$0")/.."
scratch=${1:-run/bench-signed}
runs=${2:-7}
build=${BUILD:-}
if [ -z "$build" ]; then
    build=build-bench
    bash tools/install_deps.sh
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPAIRFIT_TESTS=OFF -DPAIRFIT_BENCH=ON \
        > /dev/null
    cmake --build "$build" -j2 --target pairfit4 make_series > /dev/null
fi
build=$(cd "$build" && pwd)
program=$build/apps/pairfit4
mkdir -p "$scratch/big" "$scratch/k"
scratch=$(cd "$scratch" && pwd)
"$build/make_series" "$scratch/big" slices=1024 points=8192 noise=0.01 window_low=0.65 \
    window_high=1.4 > /dev/null
"$build/make_series" "$scratch/k" slices=1000 points=2048 noise=0.01 window_low=-0.6 \
    window_high=2.6 > /dev/null
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
for series in big k; do
    echo "== $series: pairfit4 | pairfit4 --signed (wall user system, s)"
    ratios=()
    for _ in $(seq "$runs"); do
        (cd "$scratch/$series" &&
            /usr/bin/time -o "$scratch/plain.time" -f "%e %U %S" "$program" > /dev/null 2>&1)
        (cd "$scratch/$series" && /usr/bin/time -o "$scratch/signed.time" -f "%e %U %S" \
            "$program" --signed > /dev/null 2>&1)
        plain=$(cat "$scratch/plain.time")
        signed=$(cat "$scratch/signed.time")
        echo "$plain | $signed"
        ratios+=("$(awk -v a="${plain%% *}" -v b="${signed%% *}" 'BEGIN { printf "%.3f", b / a }')")
    done
    printf '%s\n' "${ratios[@]}" | sort -n | awk '{ r[NR] = $1 } END { print "median ratio", r[int((NR + 1) / 2)] }'
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
