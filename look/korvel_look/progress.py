"""The progress line: one line on standard error, rewritten in place."""

import sys
import time


class Progress:
    """Writes "korvel-look: WHAT (k/n)" over itself, at most ten times a
    second; silent when not enabled. finish() ends the line."""

    def __init__(self, enabled):
        self.enabled = enabled
        self.last = 0.0
        self.width = 0

    def show(self, text, force=False):
        if not self.enabled:
            return
        now = time.monotonic()
        if not force and now - self.last < 0.1:
            return
        self.last = now
        line = "korvel-look: " + text
        pad = max(0, self.width - len(line))
        self.width = len(line)
        sys.stderr.write("\r" + line + " " * pad)
        sys.stderr.flush()

    def finish(self):
        if self.enabled and self.width:
            sys.stderr.write("\r" + " " * self.width + "\r")
            sys.stderr.flush()
            self.width = 0
