#!/usr/bin/env bash
# pairfit-array.sh LIST [PROGRAM]: one fit per folder as a Slurm job array. LIST holds one
# folder per line (each with its peaks.txt and 2d.txt); array task N fits the folder on
# line N with PROGRAM (default pairfit4, found on PATH) and leaves the result files and the
# program's standard output (fit.log) there. Submit from the folder the paths are relative to:
#
#   ls -d "$PWD"/series/*/ > folders.txt
#   sbatch --array=1-$(wc -l < folders.txt)%100 examples/slurm/pairfit-array.sh folders.txt
#
# (%100: at most 100 tasks at once). A task fails with the program's exit status, so
# `sacct -j JOBID` (or, on a cluster without accounting, `scontrol show job JOBID` for a few
# minutes after the end) shows which folders need a look; their messages are in the task logs.
#SBATCH --job-name=pairfit
#SBATCH --cpus-per-task=1
#SBATCH --mem=1G
#SBATCH --time=01:00:00
#SBATCH --output=pairfit-%A_%a.log
set -euo pipefail
list=${1:?usage: sbatch --array=1-N pairfit-array.sh LIST [PROGRAM]}
program=${2:-pairfit4}
task=${SLURM_ARRAY_TASK_ID:?run it with sbatch --array, or set SLURM_ARRAY_TASK_ID}
folder=$(sed -n "${task}p" "$list")
if [ -z "$folder" ]; then
    echo "pairfit-array: $list has no line $task" >&2
    exit 1
fi
cd "$folder"
echo "pairfit-array: task $task, $program in $folder"
"$program" > fit.log
