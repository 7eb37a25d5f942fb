"""korvel-ls: a run at a glance, from the HDF5 file of korvel-h5, or the
catalogue of a directory of runs (--catalog DIR). Exit status: 0 listed;
2 usage error, or a file that is not korvel-h5's (one line on standard
error naming the file and the reason)."""

import argparse
import json
import os
import sys

from ._catalog import catalog_runs, write_catalog
from ._file import KorvelError
from ._names import UnknownChannel
from ._summary import text
from ._version_info import __version__
from .run import open_run

USAGE = "korvel-ls RUN.h5 [--channels PATTERN] [--json] | korvel-ls --catalog DIR"
DESCRIPTION = """\
Lists a run from the HDF5 file of korvel-h5 (layout version 1 or 2): its
events, first and last event id and time, event rate and rows cut short,
and per channel its kind, units, shape of one event's values, type and the
share of events with data. Items of a name-value block are named
CHANNEL/ITEM, members of a spectrum CHANNEL[k].

With --catalog DIR, writes DIR/runs.csv and DIR/runs.html: one row per run
directory DIR/KEY/ of the workflow (workflow/Snakefile), with its status
(done, failed with the first line of the reason from its log, incomplete),
events, first and last event id and time, rate, channels, rows cut short,
warnings and lossy channels, and a link to its report."""
EPILOG = """\
exit status: 0 listed (a catalogue is written whatever the runs' status);
2 usage error, a missing file, a file that is not korvel-h5's or of an
unknown layout version, a pattern that matches no channel, or a directory
whose catalogue cannot be listed or written."""


class Usage(Exception):
    """A command-line error; the message is one line."""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Usage(message)


def parse_args(argv):
    p = Parser(prog="korvel-ls", usage=USAGE, description=DESCRIPTION, epilog=EPILOG,
               formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("run", metavar="RUN.h5", nargs="?", help="the file written by korvel-h5")
    p.add_argument("--catalog", metavar="DIR",
                   help="write DIR/runs.csv and DIR/runs.html, the catalogue of the runs "
                        "the workflow wrote into DIR")
    p.add_argument("--channels", metavar="PATTERN", action="append",
                   help="only channels whose name matches PATTERN (shell wildcards * ? "
                        "[...]; several patterns separated by commas or given again)")
    p.add_argument("--json", action="store_true", help="write the listing as JSON")
    p.add_argument("--version", action="version", version="korvel-ls " + __version__)
    return p.parse_args(argv)


def main(argv=None):
    try:
        args = parse_args(sys.argv[1:] if argv is None else argv)
    except Usage as e:
        print("korvel-ls: %s (usage: %s)" % (e, USAGE), file=sys.stderr)
        return 2
    if (args.run is None) == (args.catalog is None):
        print("korvel-ls: give either a run's file or --catalog DIR (usage: %s)" % USAGE,
              file=sys.stderr)
        return 2
    if args.catalog is not None:
        return catalog(args.catalog)
    try:
        with open_run(args.run) as run:
            if args.channels:
                patterns = [p for arg in args.channels for p in arg.split(",") if p]
                run = run.select(patterns)
            listing = run.summary()
    except (KorvelError, UnknownChannel) as e:
        print("korvel-ls: %s" % e, file=sys.stderr)
        return 2
    if args.json:
        json.dump(listing, sys.stdout, indent=1)
        sys.stdout.write("\n")
    else:
        sys.stdout.write(text(listing))
    return 0


def catalog(out_dir):
    """Write the catalogue of out_dir; status 2 when it cannot be."""
    try:
        rows = catalog_runs(out_dir)
        write_catalog(out_dir, rows)
    except (KorvelError, OSError) as e:
        print("korvel-ls: %s" % e, file=sys.stderr)
        return 2
    failed = sum(r["status"] != "done" for r in rows)
    print("korvel-ls: %s: %d runs, %d not done" % (os.path.join(out_dir, "runs.csv"),
                                                  len(rows), failed), file=sys.stderr)
    return 0
