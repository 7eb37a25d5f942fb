"""The report's directory: the hidden work directory the report is written
into beside its place, the list of the files it wrote (report.json's
"files"), the check that an existing directory holds nothing but such files
before it is replaced, putting the report in place, and write failures.

A report replaces its whole directory, so an existing one is replaced only
when every entry in it is a plain file that its report.json lists: a user's
own file saved into an old report, a subdirectory or a web page's directory
is never removed. A file that cannot be written ends the run (status 1),
unlike a channel that cannot be drawn, which gets a note.
"""

import contextlib
import json
import os
import stat
import tempfile

from .selection import Usage

REPORT_JSON = "report.json"

# A report.json larger than this is taken for a foreign file and not read
# (a report's holds some hundred bytes per channel).
REPORT_JSON_LIMIT = 1 << 30

# Entries named in a refusal; a directory of thousands names the first few.
NAMED = 5


class WriteFailed(Exception):
    """A file of the report could not be written: path and the reason."""

    def __init__(self, path, reason):
        super().__init__("%s: %s" % (path, reason))
        self.path = path
        self.reason = reason


@contextlib.contextmanager
def writing(path):
    """Turns an OSError raised while writing path into WriteFailed, so that
    it is not mistaken for a channel that could not be read."""
    try:
        yield
    except OSError as e:
        raise WriteFailed(path, e.strerror or str(e)) from e


def place(out):
    """(parent, name) of the report's directory out, made absolute so that
    "rep/" and "./rep" name it the same way."""
    full = os.path.abspath(out)
    return os.path.dirname(full), os.path.basename(full)


def make_work(out):
    """A fresh hidden directory beside out for the report to be written in;
    only this run writes into it."""
    parent, name = place(out)
    with writing(out):  # named as out: the hidden name would mean nothing
        return tempfile.mkdtemp(prefix="." + name + ".", dir=parent)


def check_output(out):
    """The files of the report at out that may be replaced: None when out
    does not exist, the set of its files when it is empty or holds only
    what its report wrote. Raises Usage for anything else (a file, a link,
    the current directory or one above it, a directory with foreign
    entries)."""
    if not os.path.lexists(out):
        return None
    if os.path.islink(out) or not os.path.isdir(out):
        raise Usage("%s: exists and is not a directory; not replaced" % out)
    if holds_cwd(out):
        raise Usage("%s: is the current directory or holds it; a report replaces its whole "
                    "directory: name another one" % out)
    entries = os.listdir(out)
    if not entries:
        return set()
    members = listed_members(out)
    if members is None:
        raise Usage("%s: exists and does not hold a report; not replaced" % out)
    foreign = sorted(e for e in entries if e not in members or not plain_file(out, e))
    if foreign:
        named = ", ".join(foreign[:NAMED]) + (", …" if len(foreign) > NAMED else "")
        raise Usage("%s: holds %d entr%s the report did not write (%s); not replaced"
                    % (out, len(foreign), "y" if len(foreign) == 1 else "ies", named))
    return set(entries)


def holds_cwd(out):
    """Whether out is the current directory or one of its ancestors (it
    could not be moved away, or would take the working directory along)."""
    top = os.path.realpath(out)
    here = os.path.realpath(os.getcwd())
    return here == top or here.startswith(top.rstrip("/") + "/")


def plain_file(directory, name):
    """Whether directory/name is a regular file itself, not a link to one."""
    try:
        return stat.S_ISREG(os.lstat(os.path.join(directory, name)).st_mode)
    except OSError:
        return False


def listed_members(out):
    """The file names the report at out wrote, read from its report.json;
    None when there is no report.json of a report."""
    if not plain_file(out, REPORT_JSON):
        return None
    path = os.path.join(out, REPORT_JSON)
    try:
        if os.path.getsize(path) > REPORT_JSON_LIMIT:
            return None
        with open(path, encoding="utf-8") as f:
            rep = json.load(f)
    except (OSError, ValueError, RecursionError):
        return None
    if not isinstance(rep, dict):
        return None
    files = rep.get("files")
    if files is None:
        files = older_members(rep)
    if not isinstance(files, list):
        return None
    return {name for name in files if isinstance(name, str)} | {REPORT_JSON}


def older_members(rep):
    """The files of a report written before report.json listed them: the
    page, the figures logged with their axes, the presence images."""
    if not isinstance(rep.get("figures"), dict):
        return None
    files = ["index.html"] + list(rep["figures"])
    p = rep.get("presence")
    if isinstance(p, dict):
        files += [p.get("figure"), p.get("raw")]
    return files


def members_of(work):
    """The names of the report's files, for report.json: everything in its
    work directory (only this run writes there), report.json included."""
    return sorted(set(os.listdir(work)) | {REPORT_JSON})


def put_in_place(work, out):
    """Moves the finished report from work to out. What is at out is
    checked again (it may have changed while the report was made); an old
    report there is moved aside first and its files removed only once the
    new report is in place; on failure the old one goes back. Returns a
    warning, or "" when all went as planned. Raises Usage as check_output
    does, WriteFailed naming out when a move fails."""
    old_files = check_output(out)
    os.chmod(work, 0o755)
    if old_files is None:
        with writing(out):
            os.rename(work, out)
        return ""
    parent, name = place(out)
    with writing(out):
        aside = tempfile.mkdtemp(prefix="." + name + ".old.", dir=parent)
    old = os.path.join(aside, "report")
    try:
        with writing(out):
            os.rename(out, old)
    except WriteFailed:
        os.rmdir(aside)
        raise
    try:
        with writing(out):
            os.rename(work, out)
    except WriteFailed as e:
        try:
            os.rename(old, out)
            os.rmdir(aside)
        except OSError:
            raise WriteFailed(out, "%s; the old report is kept in %s" % (e.reason, old)) from e
        raise
    return discard(aside, old, old_files)


def discard(aside, old, files):
    """Removes the old report's files and its directories; anything else
    found in it (put there while the new report was made) is kept, and
    the warning returned says where."""
    for name in files:
        try:
            os.unlink(os.path.join(old, name))
        except OSError:
            pass  # what cannot be removed stays, and rmdir below says so
    try:
        os.rmdir(old)
        os.rmdir(aside)
    except OSError:
        return "files added to the old report while the new one was made are kept in %s" % old
    return ""
