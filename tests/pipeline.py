"""The pipeline the Python tests run a recording through: korvel-replay in
a directory of its own, then korvel-h5 on the table it wrote. Shared by the
converter's round trips, the report's tests and the package's tests, so
that each checks both steps the same way.

Needs KORVEL_REPLAY and KORVEL_H5 (and optionally KORVEL_PLUGIN) in the
environment; CTest sets them (by hand, build/'s are taken). Run with Debian's /usr/bin/python3."""

import os
import subprocess

# Run by hand, the programs of build/ are taken.
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPLAY = os.environ.get("KORVEL_REPLAY", os.path.join(ROOT, "build", "korvel-replay"))
CONVERTER = os.environ.get("KORVEL_H5", os.path.join(ROOT, "build", "korvel-h5"))
PLUGIN = os.environ.get("KORVEL_PLUGIN")


def replay(directory, text, words, options=()):
    """Writes text as directory/run.jsonl and replays it with the plug-in
    words; returns the finished process (standard error captured)."""
    with open(os.path.join(directory, "run.jsonl"), "w", encoding="utf-8") as f:
        f.write(text)
    cmd = [REPLAY, "--no-progress"] + (["--plugin", PLUGIN] if PLUGIN else []) + list(options)
    return subprocess.run(cmd + ["run.jsonl", "--"] + list(words), cwd=directory,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def replay_and_convert(directory, text, words, args, replay_options=()):
    """Replays text in directory (korvel-replay's own options in
    replay_options), then runs korvel-h5 with args there.
    Returns (replay, convert); convert is None when the replay failed, so
    that a table it left behind is never taken for a run's."""
    first = replay(directory, text, words, replay_options)
    if first.returncode != 0:
        return first, None
    second = subprocess.run([CONVERTER] + list(args), cwd=directory,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return first, second


def messages(*steps):
    """The standard error of the steps that ran, as text."""
    return b"".join(s.stderr for s in steps if s is not None).decode(errors="replace")
