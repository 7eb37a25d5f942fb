#!/usr/bin/env bash
# One step of one run of the workflow: step.sh STEP RUN_DIR -- COMMAND...
# runs COMMAND with its standard output and error in RUN_DIR/log/STEP.log.
# The run's markers say what became of it (korvel-ls --catalog reads them):
# both are cleared when a step starts, so that a run being redone is never
# taken as done; RUN_DIR/log/failed ("STEP STATUS") is written when
# COMMAND does not end with status 0, whose status is this script's.
set -u
step=$1 run_dir=$2
shift 2
[ "${1:-}" = -- ] && shift
log_dir=$run_dir/log
mkdir -p "$log_dir"
rm -f "$log_dir/failed" "$log_dir/done"
"$@" >"$log_dir/$step.log" 2>&1
status=$?
if [ "$status" -ne 0 ]; then
  printf '%s %d\n' "$step" "$status" >"$log_dir/failed.part"
  mv -f "$log_dir/failed.part" "$log_dir/failed"
  echo "korvel workflow: $step of $(basename "$run_dir") failed with status $status;" \
       "see $log_dir/$step.log" >&2
fi
exit "$status"
