#!/usr/bin/env bash
# Slurm job array for orvel-cli qc: task N analyses line N of a file list and writes its JSON
# lines to REPORTS/N.jsonl. Submit with one task per line:
#   sbatch --array=1-$(wc -l < files.txt) scripts/qc_slurm.sh files.txt reports/
# then merge: cat reports/*.jsonl > report.jsonl. Extra arguments after REPORTS go to
# orvel-cli qc (e.g. --preset atsc). ORVEL_CLI names the binary (default: orvel-cli on PATH).
#SBATCH --job-name=orvel-qc
#SBATCH --cpus-per-task=2
#SBATCH --mem=2G
#SBATCH --time=02:00:00
set -euo pipefail

list=${1:?usage: qc_slurm.sh FILE_LIST REPORT_DIR [qc options...]}
reports=${2:?usage: qc_slurm.sh FILE_LIST REPORT_DIR [qc options...]}
shift 2
task=${SLURM_ARRAY_TASK_ID:?run through sbatch --array (SLURM_ARRAY_TASK_ID is not set)}
file=$(sed -n "${task}p" "$list")
[[ -n $file ]] || { echo "qc_slurm: line $task of $list is empty" >&2; exit 1; }
mkdir -p "$reports"
# Exit codes as orvel-cli's: 0 analysed, 1 the file could not be, 2 bad arguments, 3 with
# --strict when an event is an error; Slurm records them per task.
exec "${ORVEL_CLI:-orvel-cli}" qc "$@" "$file" >"$reports/$task.jsonl"
