"""The Debian changelog made from CHANGELOG.md (cmake/debian_changelog.py).

Expected texts are written out by hand from the Debian changelog format:
entry head, blank line, change lines indented by two, blank line, trailer
" -- WHO  DATE" with the date at midnight UTC of the release's day.
"""
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cmake",
                      "debian_changelog.py")
WHO = "Dev <dev@example.org>"

RELEASED = textwrap.dedent("""\
    # Changelog

    Preamble with a [link](https://example.org/).

    ## [0.2.0] - 2026-12-09

    ### Added

    - `tool --flag`, a long item that runs over more than one line of the
      Markdown file and must be wrapped again below seventy-nine columns.
    - Short.

    ### Fixed

    - A fix.

    ## [0.1.0] - 2026-12-08

    ### Added

    - First.
    """)

RELEASED_EXPECTED = textwrap.dedent("""\
    korvel (0.2.0) unstable; urgency=medium

      * Added:
        - `tool --flag`, a long item that runs over more than one line of the
          Markdown file and must be wrapped again below seventy-nine columns.
        - Short.
      * Fixed:
        - A fix.

     -- Dev <dev@example.org>  Wed, 09 Dec 2026 00:00:00 +0000

    korvel (0.1.0) unstable; urgency=medium

      * Added:
        - First.

     -- Dev <dev@example.org>  Tue, 08 Dec 2026 00:00:00 +0000
    """)


def run(markdown, version="0.2.0", env_extra=None):
    """(status, changelog text or None, stderr) of one conversion."""
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "CHANGELOG.md")
        out = os.path.join(tmp, "changelog")
        with open(src, "w", encoding="utf-8") as f:
            f.write(markdown)
        env = dict(os.environ)
        env.pop("SOURCE_DATE_EPOCH", None)
        env.update(env_extra or {})
        proc = subprocess.run(
            [sys.executable, SCRIPT, "--package", "korvel", "--version", version,
             "--maintainer", WHO, src, out],
            capture_output=True, text=True, env=env)
        text = None
        if os.path.exists(out):
            with open(out, encoding="utf-8") as f:
                text = f.read()
        return proc.returncode, text, proc.stderr


def unreleased(body):
    """RELEASED with an Unreleased section holding body on top."""
    head, _, rest = RELEASED.partition("## [0.2.0]")
    return head + "## [Unreleased]\n\n" + body + "\n## [0.2.0]" + rest


class Releases(unittest.TestCase):
    def test_releases_become_entries_newest_first(self):
        status, text, err = run(RELEASED)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(text, RELEASED_EXPECTED)

    def test_dpkg_reads_it(self):
        status, text, _ = run(RELEASED)
        with tempfile.NamedTemporaryFile("w", suffix=".changelog") as f:
            f.write(text)
            f.flush()
            fields = subprocess.run(["dpkg-parsechangelog", "-l", f.name, "-S", "Version"],
                                    capture_output=True, text=True, check=True).stdout
        self.assertEqual(fields.strip(), "0.2.0")


class Unreleased(unittest.TestCase):
    # (body, package version, SOURCE_DATE_EPOCH, expected first entry or None)
    CASES = [
        # no change since the release: no entry of its own
        ("### Added\n\n", "0.2.0", None, None),
        # the version was not raised after the release
        ("### Fixed\n\n- Later fix.\n", "0.2.0", None,
         "korvel (0.2.0+unreleased) UNRELEASED; urgency=medium\n\n"
         "  * Fixed:\n    - Later fix.\n\n"
         " -- Dev <dev@example.org>  Wed, 09 Dec 2026 00:00:00 +0000\n"),
        # the version was raised; SOURCE_DATE_EPOCH 86400 is 2 Jan 1970
        ("- Loose item.\n", "0.3.0", "86400",
         "korvel (0.3.0) UNRELEASED; urgency=medium\n\n"
         "  * Loose item.\n\n"
         " -- Dev <dev@example.org>  Fri, 02 Jan 1970 00:00:00 +0000\n"),
    ]

    def test_unreleased_entry(self):
        for body, version, epoch, first in self.CASES:
            with self.subTest(body=body, version=version):
                env = {"SOURCE_DATE_EPOCH": epoch} if epoch else {}
                status, text, err = run(unreleased(body), version, env)
                self.assertEqual((status, err), (0, ""))
                self.assertEqual(text, (first + "\n" if first else "") + RELEASED_EXPECTED)


class Refusals(unittest.TestCase):
    CASES = [
        ("## [0.2.0]\n- x\n", "CHANGELOG.md:1: release 0.2.0 has no date YYYY-MM-DD"),
        ("## [0.2.0] - 2026-13-01\n", "CHANGELOG.md:1: release 0.2.0 has no date"),
        ("x\n\n## 0.2.0 - 2026-12-09\n", "CHANGELOG.md:3: not a release heading"),
        ("## [two] - 2026-12-09\n", "CHANGELOG.md:1: 'two' is not a package version"),
        ("## [Unreleased]\n- x\n", "no release heading"),
    ]

    def test_refused_with_file_and_line(self):
        for markdown, message in self.CASES:
            with self.subTest(markdown=markdown):
                status, text, err = run(markdown)
                self.assertEqual(status, 1)
                self.assertIsNone(text)
                self.assertIn(message, err)


if __name__ == "__main__":
    unittest.main()
