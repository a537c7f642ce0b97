#!/usr/bin/env bash
# check_parallel.sh APPS_DIR SOURCE_DIR: fits several folders at once with GNU parallel, and
# through the Slurm array script run as its tasks would be, and checks that every folder's
# standard output and result files are byte for byte those of a lone run of the same folder.
set -euo pipefail
apps=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
export PATH="$apps:$PATH"

script="$source_dir/examples/slurm/pairfit-array.sh"
bash -n "$script" || fail "$script does not parse"
command -v parallel > /dev/null || fail "GNU parallel is missing (tools/install_deps.sh installs it)"

# Four different series: the example's first 3..6 slices, and one imported from a real
# pseudo-2D relaxation series.
example="$source_dir/examples/titration"
for slices in 3 4 5 6; do
    folder="$work/lone/titration$slices"
    mkdir -p "$folder"
    cp "$example/peaks.txt" "$folder/"
    awk -v keep="$slices" 'blocks < keep {print} /^&/ {blocks++}' "$example/2d.txt" > "$folder/2d.txt"
done
pairfit-import -o "$work/lone/relaxation" --window 3.6 3.3 \
    "$source_dir/tests/data/bruker/inversion_recovery/1/pdata/1" > /dev/null
printf '3.46 3.40\n3.6 3.3\n' > "$work/lone/relaxation/peaks.txt"
cp -r "$work/lone" "$work/parallel"
cp -r "$work/lone" "$work/array"

for folder in "$work"/lone/*/; do
    (cd "$folder" && pairfit4 > fit.log)
done
ls -d "$work"/parallel/*/ | parallel --will-cite -j2 --halt now,fail=1 'cd {} && pairfit4 > fit.log' ||
    fail "parallel run failed"
ls -d "$work"/array/*/ > "$work/folders.txt"
count=$(wc -l < "$work/folders.txt")
for task in $(seq 1 "$count"); do
    SLURM_ARRAY_TASK_ID=$task bash "$script" "$work/folders.txt" > /dev/null &
done
wait

for folder in "$work"/lone/*/; do
    name=$(basename "$folder")
    for file in fit.log results.txt dat.txt sim_a.txt sim_b.txt res.txt; do
        [ -s "$folder/$file" ] || fail "lone run of $name wrote no $file"
        for way in parallel array; do
            cmp -s "$folder/$file" "$work/$way/$name/$file" || fail "$way run of $name: $file differs"
        done
    done
done
echo "$count folders: parallel and array runs equal lone runs"
