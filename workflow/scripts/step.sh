#!/usr/bin/env bash
# One step of one run of the workflow: step.sh STEP RUN_DIR -- COMMAND...
# runs COMMAND with its standard output and error in RUN_DIR/log/STEP.log.
# The run's markers say what became of it (korvel-ls --catalog reads them):
# both are cleared when a step starts, so that a run being redone is never
# taken as done; RUN_DIR/log/failed ("STEP STATUS") is written when
# COMMAND does not end with status 0, whose status is this script's.
#
# Every step of every run passes through here, so nothing but COMMAND is
# started when all goes well: a process start costs a few milliseconds
# (tens on a busy machine), which on small runs added up to a good share
# of the workflow's time over the programs alone. The log directory is
# usually there already (Snakemake makes it for the step's log) and the
# markers are usually absent; mkdir and rm run only when they are needed.
set -u
step=$1 run_dir=$2
shift 2
[ "${1:-}" = -- ] && shift
log_dir=$run_dir/log
[ -d "$log_dir" ] || mkdir -p "$log_dir"
for marker in "$log_dir/failed" "$log_dir/done"; do
  if [ -e "$marker" ] || [ -L "$marker" ]; then
    rm -f "$marker"
  fi
done
"$@" >"$log_dir/$step.log" 2>&1
status=$?
if [ "$status" -ne 0 ]; then
  printf '%s %d\n' "$step" "$status" >"$log_dir/failed.part"
  mv -f "$log_dir/failed.part" "$log_dir/failed"
  echo "korvel workflow: $step of ${run_dir##*/} failed with status $status;" \
       "see $log_dir/$step.log" >&2
fi
exit "$status"
