"""The package's version: written into _version.py by the project's build
(the build tree and the Debian package), else the installed distribution's
(pip install), else "unknown" (run from the source tree)."""

try:
    from ._version import VERSION as __version__
except ImportError:
    try:
        from importlib.metadata import PackageNotFoundError, version
        __version__ = version("korvel")
    except (ImportError, PackageNotFoundError):
        __version__ = "unknown"
