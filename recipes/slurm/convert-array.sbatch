#!/bin/sh
# A Slurm array job that converts one CSV file per task: the task's line of
# LIST names FILE.csv, which becomes FILE.txt beside it, with the program's
# messages in FILE.csv.log. Any further arguments are trovanex's options.
#
#   ls /data/exports/*.csv >files.txt
#   sbatch --array=1-"$(wc -l <files.txt)" convert-array.sbatch files.txt -R
#
# A task ends with the program's status, so a failed file is a FAILED task
# (ExitCode 1 in sacct or scontrol) and its log says why. A cancelled or
# timed-out task gets SIGTERM first, and the program gives the old output
# back; run that task again with sbatch --array=N. Each task's folder is the
# one sbatch was run in: it holds the intermediate file, so it must be
# writable.
#SBATCH --job-name=trovanex
#SBATCH --cpus-per-task=2
#SBATCH --mem=64M
#SBATCH --output=/dev/null
set -eu
list=$1
shift
file=$(sed -n "${SLURM_ARRAY_TASK_ID}p" "$list")
case $file in -* | +*) file=./$file ;; esac  # never read as options
exec trovanex "$file" "${file%.csv}.txt" "$@" >"$file.log" 2>&1
