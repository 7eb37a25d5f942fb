"""korvel-look's command line and the order of the work: open and check the
file, select channels and events, have the report read and drawn (module
report) into a fresh directory and put it in place. Exit status: 0 report
written; 1 the report could not be written; 2 usage error or a file that
cannot be reported on; 130 and 143 interrupted (SIGINT, SIGTERM), the work
directory removed.
"""

import argparse
import os
import shutil
import signal
import sys

from . import VERSION, output, report, runfile, selection
from .progress import Progress
from .selection import Usage


USAGE = ("korvel-look RUN.h5 [-o DIR] [--channels PATTERN] "
         "[--events FIRST:LAST | --ids FIRST:LAST]")
DESCRIPTION = """\
Writes a static report of a run from the HDF5 file of korvel-h5: DIR/index.html
(default: RUN.look/ beside RUN.h5) and its PNG figures. It opens from the
file system in any browser; no server, no network, no script.

The report: run summary (the run's key and metadata, events, first and last
event id and time, duration, event rate, rows cut short with the channel
whose query failed, per channel its kind and share of events with data);
the presence of every channel in every event as one image; value channels
and name-value items against event id (a min/max envelope per block of
events when there are more events than pixel columns) with a table of their
units, mean, standard deviation, minimum and maximum; spectra (per member the
mean with a 5-95 % band, and a waterfall); cameras (first, last and mean
frame, maximum projection, frame sum against event id).

The file is read in slices of whole chunks: memory stays flat whatever the
run's length. An existing DIR is replaced only when it holds a report and
nothing else (the files its report.json lists); a file of your own saved
into it keeps it from being replaced."""
EPILOG = """\
exit status: 0 report written; 1 the report could not be written (a file
of it named); 2 usage error, a missing file, a file that is not korvel-h5's,
damaged or of an unknown layout version; 130 interrupted (SIGINT), 143
terminated (SIGTERM)."""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Usage(message)


def parse_args(argv):
    p = Parser(prog="korvel-look", usage=USAGE, description=DESCRIPTION, epilog=EPILOG,
               formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("run", metavar="RUN.h5", help="the file written by korvel-h5")
    p.add_argument("-o", "--output", metavar="DIR",
                   help="the report's directory (default: RUN.look beside RUN.h5)")
    p.add_argument("--channels", metavar="PATTERN", action="append",
                   help="only channels whose title matches PATTERN (shell wildcards * ? "
                        "[...]; several patterns separated by commas or given again)")
    p.add_argument("--events", metavar="FIRST:LAST",
                   help="only the file's rows FIRST to LAST-1 (0-based, as a Python slice; "
                        "either may be left out, negative counts from the end: --events=-100:)")
    p.add_argument("--ids", metavar="FIRST:LAST",
                   help="only the events with ids FIRST to LAST, both included (either may "
                        "be left out): the first stretch of rows whose ids all lie in that "
                        "range; ids of the range that occur again later (ids that are not "
                        "increasing) are named in a note")
    p.add_argument("--progress", action="store_true",
                   help="show the progress line even when standard error is not a terminal")
    p.add_argument("--no-progress", action="store_true", help="never show it")
    p.add_argument("--version", action="version", version="korvel-look " + VERSION)
    return p.parse_args(argv)


def rows_shown(f, args):
    """[first, last) of the rows to show and a note on the selection."""
    n = runfile.event_count(f)
    if args.ids is not None and args.events is not None:
        raise Usage("--ids and --events exclude each other: give one of them")
    if args.ids is not None:
        return selection.id_range(args.ids, f["entry/event/id"])
    first, last = selection.event_range(args.events, n)
    return first, last, ""


def default_output(run):
    base = run[:-3] if run.endswith(".h5") else run
    return base + ".look"


class Stopped(BaseException):
    """SIGINT or SIGTERM arrived: the run ends with status 128 + signal.
    A BaseException, so that no handler of read errors takes it."""

    def __init__(self, signum):
        super().__init__(signum)
        self.status = 128 + signum


# hold: set by the first signal, and while the finished report is moved
# into place; a signal then waits for the move or the clean-up to end
# instead of cutting it in the middle. late: such a signal. raised: the
# signal whose Stopped was raised.
SIGNALS = {"hold": False, "late": None, "raised": None}


def on_signal(signum, _frame):
    if SIGNALS["hold"]:
        SIGNALS["late"] = signum
        return
    SIGNALS["hold"] = True
    SIGNALS["raised"] = signum
    raise Stopped(signum)


def on_lost_stop(unraisable):
    """sys.unraisablehook: h5py calls Python (its logging) from HDF5's C
    callbacks, which drop an exception raised there; a Stopped dropped so
    is raised again a moment later (on_alarm), outside the callback,
    instead of being printed. Anything else is printed as Python prints
    it."""
    if isinstance(unraisable.exc_value, Stopped):
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        return
    sys.__unraisablehook__(unraisable)


def on_alarm(_signum, _frame):
    if SIGNALS["raised"]:
        raise Stopped(SIGNALS["raised"])


def settle_stop():
    """The Stopped of a signal has arrived: no alarm is to raise it again."""
    signal.setitimer(signal.ITIMER_REAL, 0)
    SIGNALS["raised"] = None


def stop_if_swallowed():
    """Ends the run for a signal whose Stopped was dropped and has not
    been raised again yet (on_lost_stop): the report must not be put in
    place as if no signal had come."""
    if SIGNALS["raised"]:
        raise Stopped(SIGNALS["raised"])


def release_signals():
    """Ends a hold: a signal that came meanwhile ends the run now."""
    if SIGNALS["late"]:
        raise Stopped(SIGNALS["late"])
    SIGNALS["hold"] = False


def catch_signals():
    """SIGINT and SIGTERM end the run through Stopped (the work directory
    is removed on the way out); SIGXFSZ is ignored, so that a file-size
    limit makes the write fail with EFBIG, reported like any write error.
    SIGALRM and the unraisable hook raise again a Stopped that a C callback
    dropped (on_lost_stop)."""
    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    signal.signal(signal.SIGALRM, on_alarm)
    sys.unraisablehook = on_lost_stop


def main(argv=None):
    SIGNALS.update(hold=False, late=None, raised=None)
    catch_signals()
    try:
        return run(sys.argv[1:] if argv is None else argv)
    except Stopped as e:  # a signal while a failure was being reported
        settle_stop()
        return fail(None, stopped_text(e), status=e.status)


def stopped_text(e):
    return "%s; no report written" % ("interrupted" if e.status == 130 else "terminated")


def run(argv):
    """The whole run; returns the exit status."""
    try:
        args = parse_args(argv)
    except Usage as e:
        return fail(None, str(e) + " (korvel-look --help tells more)")
    progress = Progress(args.progress or (not args.no_progress and sys.stderr.isatty()))
    out = args.output or default_output(args.run)
    work = None
    try:
        with runfile.open_run(args.run) as f:
            shown = prepare(f, args, out)
            SIGNALS["hold"] = True  # the work directory is known before a signal ends the run
            work = output.make_work(out)
            release_signals()
            report.write(report.Context(f, args.run, shown, work, progress))
        progress.finish()
        SIGNALS["hold"] = True
        stop_if_swallowed()
        warning = output.put_in_place(work, out)
        work = None
    except Usage as e:
        return fail(None, str(e))
    except runfile.BadFile as e:
        progress.finish()
        return fail(args.run, str(e))
    except output.WriteFailed as e:
        progress.finish()
        return fail(shown_path(e.path, work, out), e.reason + "; no report written", status=1)
    except OSError as e:
        progress.finish()
        return fail(e.filename or out, e.strerror or str(e), status=1)
    except Stopped as e:
        settle_stop()
        progress.finish()
        return fail(None, stopped_text(e), status=e.status)
    except Exception as e:  # noqa: BLE001 - a file nobody foresaw: one line, not a traceback
        progress.finish()
        return fail(args.run, "cannot be reported on (%s: %s)" % (type(e).__name__, e))
    finally:
        SIGNALS["hold"] = True  # the work directory goes, whatever comes
        if work is not None:
            shutil.rmtree(work, ignore_errors=True)
    if SIGNALS["late"]:
        warning = "; ".join(w for w in (warning, "a signal came while the finished report "
                                        "was put in place; it is complete") if w)
    if warning:
        sys.stderr.write("korvel-look: warning: %s\n" % warning)
    print("korvel-look: report in %s" % os.path.join(out, "index.html"))
    return 0


def prepare(f, args, out):
    """Everything checked before any work: the rows and channels shown
    (report.Shown), and that out may be replaced."""
    first, last, note = rows_shown(f, args)
    chans = runfile.channels(f)
    shown = selection.chosen(chans, args.channels)
    if args.channels and not shown:
        raise Usage("--channels %s: no channel of the file matches" % ",".join(args.channels))
    output.check_output(out)
    return report.Shown(first, last, note, shown, len(chans))


def shown_path(path, work, out):
    """A file of the report under the name it would have had in out, not
    in the hidden work directory that is gone by the time it is read."""
    if work and os.path.dirname(path) == work:
        return os.path.join(out, os.path.basename(path))
    return path


def fail(name, message, status=2):
    sys.stderr.write("korvel-look: %s%s\n" % (name + ": " if name else "", message))
    return status
