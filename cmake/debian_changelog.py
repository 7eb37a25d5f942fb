#!/usr/bin/python3
"""The Debian changelog of the package, made from CHANGELOG.md.

    debian_changelog.py --package NAME --version VERSION --maintainer WHO
                        CHANGELOG.md OUT

CHANGELOG.md keeps the "Keep a Changelog" form: release headings
"## [X.Y.Z] - YYYY-MM-DD", an "## [Unreleased]" heading for work since the
last release, category headings ("### Added", ...) and "- " items whose
continuation lines are indented. The package is native (its version has no
Debian revision), so Debian reads this file as usr/share/doc/NAME/changelog.gz:

    NAME (X.Y.Z) unstable; urgency=medium

      * Added:
        - the item's text, wrapped
          below 79 columns

     -- WHO  Wed, 09 Dec 2026 00:00:00 +0000

A release is dated at midnight UTC of its day. Unreleased work becomes a
first entry of distribution UNRELEASED: its version is VERSION when VERSION
is newer than every release, else VERSION+unreleased (the project's version
was not raised after the release); it is dated SOURCE_DATE_EPOCH when that
is set, else like the newest release, so that the same sources always give
the same file. Exit status 1 with "FILE:LINE: reason" on a heading this
cannot read.
"""
import argparse
import datetime
import email.utils
import os
import re
import sys
import textwrap

RELEASE = re.compile(r"^## \[(?P<version>[^\]]+)\](?: - (?P<date>\S+))?\s*$")
VERSION = re.compile(r"^[0-9][0-9A-Za-z.+~]*$")
CATEGORY = re.compile(r"^### (?P<name>.+?)\s*$")
ITEM = re.compile(r"^- (?P<text>.*)$")
# Lintian flags a line of an entry from 80 characters on, counting one
# more than the file holds.
WIDTH = 78


class ChangelogError(Exception):
    """A line of CHANGELOG.md that cannot be read; str() is FILE:LINE: reason."""


def parse(path, text):
    """The sections of CHANGELOG.md, newest first.

    Returns a list of dicts: version (None for Unreleased), date
    (datetime.date or None), categories (a list of (name, [item text])).
    Text before the first "## " heading is the file's preamble, not an entry.
    """
    sections = []
    current = None
    for number, line in enumerate(text.splitlines(), start=1):
        if line.startswith("## "):
            current = read_heading(path, number, line)
            sections.append(current)
        elif current is None:
            continue
        elif CATEGORY.match(line):
            current["categories"].append((CATEGORY.match(line).group("name"), []))
        elif ITEM.match(line):
            items_of(current).append(ITEM.match(line).group("text").strip())
        elif line.strip():
            items = items_of(current)
            if not items:
                items.append("")
            items[-1] = (items[-1] + " " + line.strip()).strip()
    return sections


def read_heading(path, number, line):
    """A release or Unreleased heading as a new, empty section."""
    match = RELEASE.match(line)
    if not match:
        raise ChangelogError("%s:%d: not a release heading "
                             "('## [X.Y.Z] - YYYY-MM-DD' or '## [Unreleased]'): %s"
                             % (path, number, line))
    version, date = match.group("version"), match.group("date")
    if version == "Unreleased":
        return {"version": None, "date": None, "categories": []}
    if not VERSION.match(version):
        raise ChangelogError("%s:%d: '%s' is not a package version" % (path, number, version))
    try:
        day = datetime.date.fromisoformat(date or "")
    except ValueError:
        raise ChangelogError("%s:%d: release %s has no date YYYY-MM-DD"
                             % (path, number, version))
    return {"version": version, "date": day, "categories": []}


def items_of(section):
    """The item list that the next item goes into; items before any
    category heading go into one without a name."""
    if not section["categories"]:
        section["categories"].append(("", []))
    return section["categories"][-1][1]


def version_key(version):
    """A sort key for dotted numeric versions (enough for X.Y.Z)."""
    return [int(p) if p.isdigit() else -1 for p in re.split(r"[.+~]", version)]


def unreleased_version(package_version, released):
    """The version of the Unreleased entry (see the module's text)."""
    if all(version_key(package_version) > version_key(v) for v in released):
        return package_version
    return package_version + "+unreleased"


def rfc2822(when):
    """A Debian changelog date: 'Wed, 09 Dec 2026 00:00:00 +0000'."""
    return email.utils.format_datetime(when).replace("-0000", "+0000")


def entry_date(section, newest_release):
    """The date of an entry's trailer line; the Unreleased entry's comes
    from SOURCE_DATE_EPOCH, else from the newest release."""
    if section["date"] is None:
        epoch = os.environ.get("SOURCE_DATE_EPOCH", "")
        if epoch.isdigit():
            return datetime.datetime.fromtimestamp(int(epoch), tz=datetime.timezone.utc)
        section = newest_release
    day = section["date"]
    return datetime.datetime(day.year, day.month, day.day, tzinfo=datetime.timezone.utc)


def wrap(text, first, rest):
    """Text wrapped below WIDTH columns; words (option names, paths) are
    never split."""
    return textwrap.wrap(text, width=WIDTH, initial_indent=first, subsequent_indent=rest,
                         break_long_words=False, break_on_hyphens=False)


def changes(section):
    """The indented change lines of one entry."""
    lines = []
    for name, items in section["categories"]:
        if not items:
            continue
        if name:
            lines.append("  * %s:" % name)
            for item in items:
                lines.extend(wrap(item, "    - ", "      "))
        else:
            for item in items:
                lines.extend(wrap(item, "  * ", "    "))
    return lines


def render(sections, package, version, maintainer):
    """The whole Debian changelog as text. Sections without items are
    left out; a release without items still gets an entry."""
    released = [s for s in sections if s["version"] is not None]
    newest = released[0] if released else None
    out = []
    for section in sections:
        lines = changes(section)
        if section["version"] is None:
            if not lines:
                continue
            head = "%s (%s) UNRELEASED; urgency=medium" % (
                package, unreleased_version(version, [s["version"] for s in released]))
        else:
            head = "%s (%s) unstable; urgency=medium" % (package, section["version"])
            lines = lines or ["  * Release %s." % section["version"]]
        trailer = " -- %s  %s" % (maintainer, rfc2822(entry_date(section, newest)))
        out += [head, ""] + lines + ["", trailer, ""]
    return "\n".join(out)


def main(argv):
    parser = argparse.ArgumentParser(
        description="The Debian changelog made from CHANGELOG.md.")
    parser.add_argument("--package", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--maintainer", required=True)
    parser.add_argument("changelog")
    parser.add_argument("out")
    args = parser.parse_args(argv)
    try:
        with open(args.changelog, encoding="utf-8") as f:
            sections = parse(args.changelog, f.read())
    except (OSError, UnicodeDecodeError) as e:
        print("debian_changelog: %s: %s" % (args.changelog, e), file=sys.stderr)
        return 1
    except ChangelogError as e:
        print("debian_changelog: %s" % e, file=sys.stderr)
        return 1
    if not any(s["version"] for s in sections):
        print("debian_changelog: %s: no release heading '## [X.Y.Z] - YYYY-MM-DD'"
              % args.changelog, file=sys.stderr)
        return 1
    text = render(sections, args.package, args.version, args.maintainer)
    try:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write(text)
    except OSError as e:
        print("debian_changelog: %s: %s" % (args.out, e), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
