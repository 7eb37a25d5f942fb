"""korvel-look: a static HTML report of a run from the HDF5 file of korvel-h5.

Modules, one per subsystem:
  cli       command line, order of the work, exit status
  report    the report: every channel read once, its figures picked by
            its kind; the page and report.json written
  runfile   opening and checking the file, channel table, attributes,
            presence codes, chunk-aligned reads
  selection the channels and the rows shown (--channels, --events, --ids)
  bins      event blocks and the reductions kept per block
  progress  the progress line on standard error
  summary   run summary and the rows cut short
  axis      the event axis of the figures (event ids), saving figures
  presence  the channels x events image of presence states
  figures   value, name-value, spectrum and camera figures
  page      the HTML page
  output    the report's directory: work directory, replacing, write failures

The project's version (VERSION) is kept here, for the command line and the
report alike.
"""

import os
import re


def project_version():
    """The project's version. CMake writes it into _version.py where it
    configures the package (the build tree, and from there the install);
    the package in the source tree has no such file, and reads it from the
    project's CMakeLists.txt two levels up instead."""
    try:
        from ._version import VERSION as configured
        return configured
    except ImportError:
        pass
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")
    try:
        with open(top, encoding="utf-8") as f:
            found = re.search(r"^project\(\s*korvel\s+VERSION\s+([0-9][0-9.]*)", f.read(), re.M)
    except (OSError, UnicodeDecodeError):
        found = None
    return found.group(1) if found else "unknown"


VERSION = project_version()
