"""korvel-ls: a run at a glance, from the HDF5 file of korvel-h5. Exit
status: 0 listed; 2 usage error, or a file that is not korvel-h5's (one
line on standard error naming the file and the reason)."""

import argparse
import json
import sys

from ._file import KorvelError
from ._names import UnknownChannel
from ._summary import text
from ._version_info import __version__
from .run import open_run

USAGE = "korvel-ls RUN.h5 [--channels PATTERN] [--json]"
DESCRIPTION = """\
Lists a run from the HDF5 file of korvel-h5 (layout version 1 or 2): its
events, first and last event id and time, event rate and rows cut short,
and per channel its kind, units, shape of one event's values, type and the
share of events with data. Items of a name-value block are named
CHANNEL/ITEM, members of a spectrum CHANNEL[k]."""
EPILOG = """\
exit status: 0 listed; 2 usage error, a missing file, a file that is not
korvel-h5's or of an unknown layout version, or a pattern that matches no
channel."""


class Usage(Exception):
    """A command-line error; the message is one line."""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Usage(message)


def parse_args(argv):
    p = Parser(prog="korvel-ls", usage=USAGE, description=DESCRIPTION, epilog=EPILOG,
               formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("run", metavar="RUN.h5", help="the file written by korvel-h5")
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
