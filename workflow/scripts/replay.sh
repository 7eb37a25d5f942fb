#!/usr/bin/env bash
# Replay one recording: replay.sh KORVEL_REPLAY RECORDING OUT_DIR [WORD...]
# The plug-in writes into OUT_DIR.part (table.csv, descr.xml, its standard
# output in stdout.txt, image files if the words ask for them), which
# becomes OUT_DIR only when korvel-replay ends with status 0: a run that
# failed or was cut off never leaves a table that looks whole. The
# plug-in's file names hold no '-', which -xdump would not take as a name.
# Like step.sh, it starts no process it can do without: the recording's
# path is made absolute by the shell, and the leftovers of an interrupted
# replay are removed only when there are any.
set -euo pipefail
replay=$1 out=$3
case $2 in
  /*) recording=$2 ;;
  *) recording=$PWD/$2 ;;
esac
shift 3
for old in "$out.part" "$out"; do
  if [ -e "$old" ] || [ -L "$old" ]; then
    rm -rf -- "$old"
  fi
done
mkdir -p -- "$out.part"
cd -- "$out.part"
"$replay" --no-progress "$recording" -- "$@" -out table.csv -xdump descr.xml >stdout.txt
cd -- "$OLDPWD"
mv -- "$out.part" "$out"
