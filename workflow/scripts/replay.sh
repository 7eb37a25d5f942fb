#!/usr/bin/env bash
# Replay one recording: replay.sh KORVEL_REPLAY RECORDING OUT_DIR [WORD...]
# The plug-in writes into OUT_DIR.part (table.csv, descr.xml, its standard
# output in stdout.txt, image files if the words ask for them), which
# becomes OUT_DIR only when korvel-replay ends with status 0: a run that
# failed or was cut off never leaves a table that looks whole. The
# plug-in's file names hold no '-', which -xdump would not take as a name.
set -euo pipefail
replay=$1 recording=$(realpath -- "$2") out=$3
shift 3
rm -rf -- "$out.part" "$out"
mkdir -p -- "$out.part"
cd -- "$out.part"
"$replay" --no-progress "$recording" -- "$@" -out table.csv -xdump descr.xml >stdout.txt
cd - >/dev/null
mv -- "$out.part" "$out"
