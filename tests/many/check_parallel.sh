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

source "$(dirname "$0")/series.sh"
make_series "$source_dir" "$work" parallel array

ls -d "$work"/parallel/*/ | parallel --will-cite -j2 --halt now,fail=1 'cd {} && pairfit4 > fit.log' ||
    fail "parallel run failed"
ls -d "$work"/array/*/ > "$work/folders.txt"
count=$(wc -l < "$work/folders.txt")
tasks=()
for task in $(seq 1 "$count"); do
    SLURM_ARRAY_TASK_ID=$task bash "$script" "$work/folders.txt" > /dev/null &
    tasks+=($!)
done
for task in "${!tasks[@]}"; do
    wait "${tasks[$task]}" || fail "array task $((task + 1)) failed"
done

same_as_lone "$work" parallel
same_as_lone "$work" array
echo "$count folders: parallel and array runs equal lone runs"
