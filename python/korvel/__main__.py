"""python3 -m korvel --version: the package's version (the project's)."""

import sys

from ._version_info import __version__


def main(argv):
    if argv in (["--version"], ["-V"]):
        print("korvel " + __version__)
        return 0
    print("usage: python3 -m korvel --version\n"
          "The package is used from Python (import korvel); korvel-ls lists a run.",
          file=sys.stderr if argv not in (["-h"], ["--help"]) else sys.stdout)
    return 0 if argv in (["-h"], ["--help"]) else 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
