#!/usr/bin/python3
"""The JSON Schema of a recording line against the recordings and the reader.

docs/recording.schema.json describes one line of a recording; the stand-in's
reader (korvel-replay) is what actually accepts or refuses a recording.
These tests keep the two from drifting apart:

- every recording of the repository (the *.jsonl files under examples/ and
  tests/) validates line by line, its first line as the run header and the
  others as events;
- hand-written bad lines (unknown keys, wrong types, counts above the
  limit, control characters in names, ...) are refused by the schema AND by
  korvel-replay (status 2, a FILE:LINE: message naming that line);
- for the fuzzing corpus of the recording reader (valid and broken inputs
  alike), a line the schema refuses is never accepted by the reader: it
  stops with status 2 at that line or before.

The reverse of the last point does not hold and is not tested: the reader
also checks what one line cannot show (see the schema's $comment).

Needs KORVEL_REPLAY (and optionally KORVEL_PLUGIN) in the environment;
CTest sets them. Run with Debian's /usr/bin/python3 (python3-jsonschema).
"""

import json
import os
import pathlib
import subprocess
import tempfile
import unittest

import jsonschema

REPLAY = os.environ.get("KORVEL_REPLAY")
PLUGIN = os.environ.get("KORVEL_PLUGIN")
ROOT = pathlib.Path(__file__).resolve().parent.parent
SCHEMA_FILE = ROOT / "docs" / "recording.schema.json"
FUZZ_CORPUS = ROOT / "fuzz" / "corpus" / "fuzz_recording"

LIMIT = 16777216  # the largest count a recording may give (16 Mi)

# The run header the bad event lines are replayed after: one channel of
# each kind, and one with a sub-channel number.
HEADER = {
    "format": "korvel-recording", "version": 1,
    "channels": [
        {"name": "M", "type": 1}, {"name": "V"}, {"name": "S", "type": 3},
        {"name": "C", "type": 4}, {"name": "E", "type": 5},
        {"name": "B", "sub": 1, "type": 4},
    ],
}


def with_header(**changes):
    header = dict(HEADER)
    header.update(changes)
    return header


def entry(channel, **keys):
    """An event line whose only channel entry is `keys` under `channel`."""
    return {"id": 1, "channels": {channel: keys}}


# Bad header lines: (what is wrong, the line).
BAD_HEADERS = [
    ("unknown key in the header", with_header(chanels=[])),
    ("unknown key in a channel", with_header(channels=[{"name": "A", "typ": 2}])),
    ("unknown key in a description",
     with_header(descriptions=[{"daq_name": "A", "unit": "mm"}])),
    ("missing channels", {"format": "korvel-recording", "version": 1}),
    ("missing format", {"version": 1, "channels": []}),
    ("wrong format", with_header(format="korvel")),
    ("version 2", with_header(version=2)),
    ("version as a string", with_header(version="1")),
    ("channel name a number", with_header(channels=[{"name": 5}])),
    ("channel without a name", with_header(channels=[{"sub": 1}])),
    ("sub above int32", with_header(channels=[{"name": "A", "sub": 2**31}])),
    ("events as a fraction", with_header(events=1.5)),
    ("nbunch below int32", with_header(nbunch=-2**31 - 1)),
    ("channel name with a tab", with_header(channels=[{"name": "A\tB"}])),
    ("channel name with a line end", with_header(channels=[{"name": "A\nB"}])),
    ("channel name with a carriage return", with_header(channels=[{"name": "A\rB"}])),
    ("channel name with a NUL", with_header(channels=[{"name": "A\u0000B"}])),
    ("daq_name with a tab", with_header(descriptions=[{"daq_name": "A\tB"}])),
    ("daq_name of 256 bytes", with_header(descriptions=[{"daq_name": "D" * 256}])),
    ("desc with a NUL", with_header(descriptions=[{"daq_name": "A", "desc": "x\u0000"}])),
    ("header not an object", [HEADER]),
]

# Bad event lines: (what is wrong, the line).
BAD_EVENTS = [
    # Unknown keys, at every level of an event.
    ("unknown key in the event", {"id": 1, "chanels": {}}),
    ("unknown key in image_block", {"id": 1, "image_block": {"tim": [0, 0]}}),
    ("unknown key in a channel entry", entry("V", valu=1)),
    ("unknown key in block", entry("V", block={"nchans": 1})),
    ("unknown key in chan", entry("V", chan={"nam": "x"})),
    ("unknown key in a member", entry("S", members=[{"value": [1]}])),
    ("unknown key in stat", entry("S", members=[{"stat": {"mask": 1, "vals": {}}}])),
    ("unknown key in roi", entry("S", roi={"data1": []})),
    ("unknown key in image", entry("C", image={"pixel": "00"})),
    ("unknown frame header field", entry("C", image={"header": {"rotation": 1}})),
    ("unknown key in eq", entry("E", eq={"value": [1]})),
    ("unknown key in a value object", entry("V", value={"bits": 1, "x": 0})),
    # Wrong types and ranges.
    ("id as a string", {"id": "1"}),
    ("id negative", {"id": -1}),
    ("id above uint32", {"id": 2**32}),
    ("missing id", {"type": 1}),
    ("status above int32", {"id": 1, "status": 2**31}),
    ("time of three numbers", {"id": 1, "time": [1, 2, 3]}),
    ("time with a negative second", {"id": 1, "time": [-1, 0]}),
    ("fail as a number", {"id": 1, "fail": 1}),
    ("channels as an array", {"id": 1, "channels": []}),
    ("a channel entry as a number", {"id": 1, "channels": {"V": 1}}),
    ("value as an unknown string", entry("V", value="NaN")),
    ("value as a bool", entry("V", value=True)),
    ("bits above int32", entry("V", value={"bits": 2**31})),
    ("value with items", entry("V", value=1, items=[])),
    ("value with count", entry("V", value=1, count=2)),
    ("an item of one element", entry("V", items=[["a"]])),
    ("an item name a number", entry("V", items=[[1, 2]])),
    ("stat key 32", entry("S", members=[{"stat": {"val": {"32": 1}}}])),
    ("stat key with a leading zero", entry("S", members=[{"stat": {"val": {"01": 1}}}])),
    ("stat mask negative", entry("S", members=[{"stat": {"mask": -1}}])),
    ("pixels of odd length", entry("C", image={"pixels": "001"})),
    ("pixels not hex", entry("C", image={"pixels": "0g"})),
    ("pixels with a space", entry("C", image={"pixels": "00 11"})),
    ("frame field frame negative", entry("C", image={"header": {"frame": -1}})),
    ("eq value as a bool", entry("E", eq={"values": [True]})),
    # Counts above the limit.
    ("nmemb above the limit", entry("S", nmemb=LIMIT + 1)),
    ("count above the limit", entry("V", count=LIMIT + 1)),
    ("block.nchan above the limit", entry("V", block={"nchan": LIMIT + 1})),
    ("ndata1 above the limit", entry("S", roi={"ndata1": LIMIT + 1})),
    ("image len above the limit", entry("C", image={"len": LIMIT + 1})),
    ("image size above the limit", entry("C", image={"size": LIMIT + 1})),
    # Control characters in names.
    ("item name with a tab", entry("V", items=[["a\tb", 1]])),
    ("item name with a line end", entry("V", items=[["a\nb", 1]])),
    ("chan.name with a carriage return", entry("V", chan={"name": "a\rb"})),
    ("chan.name with a NUL", entry("V", chan={"name": "a\u0000b"})),
    # A header where an event belongs.
    ("a second header", HEADER),
    ("event not an object", [1]),
]


def load_schema():
    with open(SCHEMA_FILE, encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


def text_lines(data):
    """(line number, text) of the lines the reader reads: split at line
    feeds only, lines of spaces, tabs and carriage returns skipped."""
    for number, raw in enumerate(data.split(b"\n"), 1):
        if raw.strip(b" \t\r"):
            yield number, raw


def schema_problem(validator, raw, first):
    """Why the schema (or JSON itself) refuses one line, or None.

    `first` tells whether this is line 1, which must be the header (the
    schema takes a line with "format" as a header, any other as an event).
    """
    try:
        line = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as e:
        return "not JSON: %s" % e
    errors = sorted(validator.iter_errors(line), key=lambda e: list(e.path))
    if errors:
        return "%s at %s" % (errors[0].message, list(errors[0].absolute_path))
    is_header = isinstance(line, dict) and "format" in line
    if is_header != first:
        return "a header line after line 1" if is_header else "line 1 is not a header"
    return None


def first_schema_problem(validator, data):
    """(line number, why) of the first line the schema refuses, or None."""
    first = True
    for number, raw in text_lines(data):
        why = schema_problem(validator, raw, first)
        if why:
            return number, why
        first = False
    return None


def replay(path, cwd):
    """Replay `path` without writing the table: (status, standard error)."""
    cmd = [REPLAY, "--no-progress"]
    if PLUGIN:
        cmd += ["--plugin", PLUGIN]
    cmd += [str(path), "--", "-nodump"]
    done = subprocess.run(cmd, cwd=cwd, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, timeout=120)
    return done.returncode, done.stderr.decode("utf-8", "replace")


def reported_line(stderr, path):
    """The LINE of the first "PATH:LINE: " message that is not a warning."""
    prefix = str(path) + ":"
    for message in stderr.splitlines():
        if message.startswith(prefix):
            number, _, rest = message[len(prefix):].partition(": ")
            if number.isdigit() and not rest.startswith("warning:"):
                return int(number)
    return None


def repository_recordings():
    return sorted(p for d in ("examples", "tests") for p in (ROOT / d).rglob("*.jsonl"))


class RepositoryRecordings(unittest.TestCase):
    """Every recording of the repository is valid, line by line."""

    def test_every_recording_validates(self):
        validator = load_schema()
        files = repository_recordings()
        self.assertIn(ROOT / "examples" / "sample.jsonl", files)
        for path in files:
            with self.subTest(recording=str(path.relative_to(ROOT))):
                data = path.read_bytes()
                self.assertTrue(any(True for _ in text_lines(data)), "empty recording")
                self.assertIsNone(first_schema_problem(validator, data))


@unittest.skipUnless(REPLAY, "KORVEL_REPLAY is not set")
class BadLines(unittest.TestCase):
    """Hand-written bad lines: refused by the schema and by korvel-replay."""

    def setUp(self):
        self.validator = load_schema()
        self.tmp = tempfile.TemporaryDirectory(prefix="korvel-schema-")
        self.dir = pathlib.Path(self.tmp.name)

    def tearDown(self):
        self.tmp.cleanup()

    def check_refused(self, lines, bad_line):
        """`lines` (JSON values) as a recording whose line `bad_line` is bad."""
        path = self.dir / "bad.jsonl"
        data = "".join(json.dumps(x) + "\n" for x in lines).encode("utf-8")
        path.write_bytes(data)
        found = first_schema_problem(self.validator, data)
        self.assertIsNotNone(found, "the schema accepts the bad line")
        self.assertEqual(found[0], bad_line, found[1])
        status, stderr = replay(path, self.dir)
        self.assertEqual(status, 2, stderr)
        self.assertEqual(reported_line(stderr, path), bad_line, stderr)

    def test_good_lines_of_the_same_run_replay(self):
        # The bad lines differ from these in one point only, so a refusal
        # is due to that point and not to the run around it.
        good = [
            HEADER,
            {"id": 1, "image_block": {"time": [0, 0]}, "channels": {
                "M": {}, "V": {"value": {"bits": 1}, "block": {"nchan": LIMIT},
                               "chan": {"name": "x"}},
                "S": {"nmemb": LIMIT, "members": [{"values": [1, "nan", "inf"], "stat": {
                    "mask": 1, "val": {"31": 1}}}], "roi": {"ndata1": 1}},
                "C": {"image": {"width": 1, "height": 1, "pixels": "0a",
                                "header": {"frame": 1}}},
                "B:1": {"image": {"bpp": 2, "width": 1, "height": 1, "pixels": "012c"}},
                "E": {"eq": {"values": ["nan", 1]}}}},
            {"id": 2, "channels": {"V": {"items": [["a b", 1], [None, "-0"]],
                                         "count": LIMIT}}},
        ]
        path = self.dir / "good.jsonl"
        data = "".join(json.dumps(x) + "\n" for x in good).encode("utf-8")
        path.write_bytes(data)
        self.assertIsNone(first_schema_problem(self.validator, data))
        status, stderr = replay(path, self.dir)
        self.assertEqual(status, 0, stderr)

    def test_bad_headers_are_refused(self):
        for what, line in BAD_HEADERS:
            with self.subTest(what):
                self.check_refused([line, {"id": 1}], 1)

    def test_bad_event_lines_are_refused(self):
        for what, line in BAD_EVENTS:
            with self.subTest(what):
                self.check_refused([HEADER, {"id": 1}, line], 3)


@unittest.skipUnless(REPLAY, "KORVEL_REPLAY is not set")
class FuzzCorpus(unittest.TestCase):
    """What the schema refuses in the reader's fuzzing corpus, the reader
    refuses too, at the same line or an earlier one."""

    def test_schema_refusals_are_reader_refusals(self):
        validator = load_schema()
        files = sorted(FUZZ_CORPUS.glob("*"))
        refused = 0
        with tempfile.TemporaryDirectory(prefix="korvel-schema-") as tmp:
            for path in files:
                found = first_schema_problem(validator, path.read_bytes())
                if not found:
                    continue
                refused += 1
                with self.subTest(recording=path.name, line=found[0], why=found[1]):
                    status, stderr = replay(path, tmp)
                    self.assertEqual(status, 2, stderr)
                    line = reported_line(stderr, path)
                    self.assertIsNotNone(line, stderr)
                    self.assertLessEqual(line, found[0], stderr)
        # The corpus holds broken inputs on purpose; without any, this test
        # would prove nothing.
        self.assertGreater(refused, 0)


if __name__ == "__main__":
    unittest.main()
