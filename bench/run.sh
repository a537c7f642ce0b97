#!/usr/bin/env bash
# bench/run.sh [SCRATCH]: the benchmark of bench/README.md, in one command.
#
# Builds the programs, the reference programs (tests/reference) and the benchmarks into
# build-bench/, makes a medium series (128 slices x 4096 points) and a big one (1024 x 8192),
# both with a window of a quarter of the axis, in SCRATCH (default run/bench), and reports:
#  - for pairfit4 and pairfit2 and their reference programs as whole processes, the median
#    wall time of RUNS runs (default 3, fast and reference runs taking turns) and the median
#    peak resident memory, and whether all six outputs are the same byte for byte;
#  - stage_bench on the big series: reading 2d.txt, one objective evaluation and writing
#    the result files, each beside its reference stage.
# Every speed figure is a ratio of two timings taken in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scratch=${1:-run/bench}
runs=${RUNS:-3}

bash tools/install_deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DPAIRFIT_TESTS=OFF -DPAIRFIT_BENCH=ON \
    > /dev/null
cmake --build build-bench -j2 --target pairfit4 pairfit2 pairfit4_reference \
    pairfit2_reference make_series stage_bench > /dev/null
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "commit: $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
echo

mkdir -p "$scratch/medium" "$scratch/big"
window=(window_low=0.65 window_high=1.4) # a quarter of the 3 ppm axis, around both lines
"build-bench/make_series" "$scratch/medium" slices=128 points=4096 noise=0.01 "${window[@]}"
"build-bench/make_series" "$scratch/big" slices=1024 points=8192 noise=0.01 "${window[@]}"

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# run_once PROGRAM FOLDER TIMES: one run in FOLDER; appends "seconds kilobytes" to TIMES.
run_once() {
    local start end
    start=$(date +%s%N)
    (cd "$2" && /usr/bin/time -f "%M" -o ../peak.txt "$1" > stdout.txt 2> stderr.txt) || true
    end=$(date +%s%N)
    echo "$(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }') $(tail -n1 "$2/../peak.txt")" \
        >> "$3"
}

printf '%-7s %-9s %10s %10s %7s %10s %10s %s\n' series program "fast (s)" "ref (s)" ratio \
    "fast (MiB)" "ref (MiB)" "outputs"
for series in medium big; do
    for program in pairfit4 pairfit2; do
        work="$scratch/$series-$program"
        rm -rf "$work"
        mkdir -p "$work/fast" "$work/reference"
        for variant in fast reference; do
            cp "$scratch/$series/2d.txt" "$scratch/$series/peaks.txt" "$work/$variant/"
        done
        for ((i = 0; i < runs; i++)); do
            run_once "$root/build-bench/apps/$program" "$work/fast" "$work/fast.times"
            run_once "$root/build-bench/tests/reference/${program}_reference" "$work/reference" \
                "$work/reference.times"
        done
        same=identical
        for file in stdout.txt stderr.txt results.txt dat.txt sim_a.txt sim_b.txt res.txt; do
            cmp -s "$work/fast/$file" "$work/reference/$file" || same="DIFFERENT ($file)"
        done
        fast_s=$(cut -d' ' -f1 "$work/fast.times" | median)
        ref_s=$(cut -d' ' -f1 "$work/reference.times" | median)
        fast_kb=$(cut -d' ' -f2 "$work/fast.times" | median)
        ref_kb=$(cut -d' ' -f2 "$work/reference.times" | median)
        awk -v s="$series" -v p="$program" -v f="$fast_s" -v r="$ref_s" -v fk="$fast_kb" \
            -v rk="$ref_kb" -v same="$same" \
            'BEGIN { printf "%-7s %-9s %10.3f %10.3f %6.1fx %10.1f %10.1f %s\n",
                     s, p, f, r, r / f, fk / 1024, rk / 1024, same }'
        rm -rf "$work/fast"/*.txt "$work/reference"/*.txt
    done
done
echo

echo "stage_bench on the big series (medians of 3 repetitions, wall clock):"
PAIRFIT_BENCH_SERIES="$scratch/big" build-bench/bench/stage_bench \
    --benchmark_report_aggregates_only=true > "$scratch/stage_bench.txt"
grep -E '_median' "$scratch/stage_bench.txt"
echo
# "Read_fast/.../real_time_median  518 ms ...": each stage's median, fast beside reference
# (both in the same unit).
awk '/_median/ {
        name = $1; sub(/\/.*/, "", name)
        stage = name; sub(/_(fast|reference)$/, "", stage)
        if (name ~ /_fast$/) fast[stage] = $2; else reference[stage] = $2
    }
    END {
        for (stage in fast) {
            printf "%-10s reference / fast = %.1fx\n", stage, reference[stage] / fast[stage]
        }
    }' "$scratch/stage_bench.txt" | sort

# How pairfit4 scales: time and memory for four sizes, all with a window of a quarter of the
# axis; the time per window point per slice should stay flat and the memory follow the window
# points, not the file. The largest series takes 1 GB of disk while it runs.
echo "scaling of pairfit4 (one run each):"
printf '%-13s %12s %8s %9s %22s\n' "slices x points" "window points" seconds MiB "ns per point per slice"
for size in 128x4096 512x8192 1024x8192 2048x16384; do
    slices=${size%x*}
    points=${size#*x}
    folder="$scratch/scale-$size"
    mkdir -p "$folder"
    "build-bench/make_series" "$folder" slices="$slices" points="$points" noise=0.01 \
        "${window[@]}" > /dev/null
    rm -f "$folder.times"
    run_once "$root/build-bench/apps/pairfit4" "$folder" "$folder.times"
    window_points=$(wc -l < "$folder/dat.txt")
    read -r seconds kilobytes < "$folder.times"
    awk -v size="$size" -v s="$slices" -v w="$window_points" -v t="$seconds" -v k="$kilobytes" \
        'BEGIN { printf "%-15s %12d %8.3f %9.1f %22.1f\n", size, w, t, k / 1024, t * 1e9 / (s * w) }'
    rm -rf "$folder" "$folder.times"
done
echo
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
