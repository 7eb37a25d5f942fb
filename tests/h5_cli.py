#!/usr/bin/python3
"""korvel-h5's answers to odd requests: each case a small hand-written table
(and what lies beside it), the command line, the exit status and the words
the answer must hold. On every failure the old output stays as it was and
no OUT.part is left; where the conversion goes ahead, what it stored is
checked against the values written into the table.

Needs KORVEL_H5 in the environment (CTest sets it). Run with Debian's
/usr/bin/python3 (h5py, numpy).
"""

import os
import resource
import signal
import subprocess
import sys
import tempfile
import unittest

import h5py

CONVERTER = os.environ.get("KORVEL_H5")

OLD = b"an older output that must survive\n"

# Two channels, V (values) and S (spectra), three events; line 3 holds a
# number that does not parse, which --strict refuses.
VS_TABLE = ("EventId,Time,TimeISO,V,S\n"
            "1,100:0,1970-01-01T00:01:40Z,[[0.500000]],[[1e+00 2e+00]]\n"
            "2,101:0,1970-01-01T00:01:41Z,[[0.2x0000]],[[3e+00 4e+00]]\n"
            "3,102:0,1970-01-01T00:01:42Z,[[0.125000]],[[5e+00 6e+00]]\n")

# One camera C8 of 3 x 2 pixels, two events.
C8_TABLE = ("EventId,Time,TimeISO,C8\n"
            "1,100:0,1970-01-01T00:01:40Z,[[0 17 128 255 127 1]]\n"
            "2,101:0,1970-01-01T00:01:41Z,[[255 0 1 2 254 128]]\n")
C8_PIXELS = [[0, 17, 128, 255, 127, 1], [255, 0, 1, 2, 254, 128]]

# A header of 2**20 + 1 channels: the chunks being filled may hold 64 MiB,
# at least 64 bytes a channel, which allows 2**20 channels.
WIDE_TABLE = "EventId,Time,TimeISO," + ",".join(["W"] * (2**20 + 1)) + "\n"


def image_record(width, height):
    return ('<dimensions name="C8" num="1"><image index="0" width="%s" height="%s" '
            'bpp="1" /></dimensions>' % (width, height))


def description(*records):
    return '<?xml version="1.0"?>\n<channels>\n%s\n</channels>\n' % "\n".join(records)


class Answers(unittest.TestCase):
    """One run of korvel-h5 in a fresh directory that holds the table as
    t.txt, an old out.h5 and the files a case adds."""

    def run_case(self, table, args, files=None, preexec=None):
        tmp = tempfile.TemporaryDirectory(prefix="korvel-h5cli-")
        self.addCleanup(tmp.cleanup)
        where = tmp.name
        with open(os.path.join(where, "t.txt"), "wb") as f:
            f.write(table.encode())
        with open(os.path.join(where, "out.h5"), "wb") as f:
            f.write(OLD)
        for name, content in (files or {}).items():
            path = os.path.join(where, name)
            if content is None:
                os.mkfifo(path)
            else:
                with open(path, "w") as f:
                    f.write(content)
        res = subprocess.run([CONVERTER, "--no-progress"] + args, cwd=where,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             preexec_fn=preexec, timeout=60)
        return where, res

    def check(self, where, res, status, words):
        err = res.stderr.decode(errors="replace")
        self.assertEqual(res.returncode, status, err)
        self.assertIn(words, err)
        self.assertFalse([n for n in os.listdir(where) if n.endswith(".part")], err)
        if status != 0:
            with open(os.path.join(where, "out.h5"), "rb") as f:
                self.assertEqual(f.read(), OLD)

    def converted(self, where):
        f = h5py.File(os.path.join(where, "out.h5"), "r")
        self.addCleanup(f.close)
        return f


class RefusalsTest(Answers):
    """Requests that cannot be met are refused before any work, naming the
    reason."""

    CASES = [
        # (what, table, args, files beside, status, words)
        ("the output directory checked before the survey, with the reason", VS_TABLE,
         ["--strict", "t.txt", "-o", "missing/out.h5"], {}, 1,
         "missing/out.h5.part: cannot create: No such file or directory"),
        ("--kind twice for one channel", VS_TABLE,
         ["--kind", "V=value", "--kind", "V=marker", "t.txt", "-o", "out.h5"], {}, 2,
         "--kind names 'V' twice with different kinds"),
        ("--image-shape twice for one channel", C8_TABLE,
         ["--image-shape", "C8=3x2", "--image-shape", "C8=6x1", "t.txt", "-o", "out.h5"], {}, 2,
         "--image-shape names 'C8' twice with different shapes"),
        ("--image-shape on a channel --kind makes a value", C8_TABLE,
         ["--image-shape", "C8=3x2", "--kind", "C8=value", "t.txt", "-o", "out.h5"], {}, 2,
         "channel 'C8' has an --image-shape, but --kind makes it value"),
        ("--threads past what the converter starts", VS_TABLE,
         ["--threads", "257", "t.txt", "-o", "out.h5"], {}, 2,
         "--threads wants a number from 1 to 256: '257'"),
        ("--xml naming a directory", VS_TABLE,
         ["--xml", ".", "t.txt", "-o", "out.h5"], {}, 2,
         ".: is a directory, not an XML description"),
        ("an empty user_descr.xml beside the table", VS_TABLE,
         ["t.txt", "-o", "out.h5"], {"user_descr.xml": ""}, 2,
         "--xml none converts without one"),
        ("a table wider than the chunks being filled allow, refused from its header",
         WIDE_TABLE, ["t.txt", "-o", "out.h5"], {}, 2,
         "t.txt:1: 1048577 channels, more than the 1048576 this converter takes "
         "(the chunks being filled may hold 64 MiB together, at least 64 bytes a channel)"),
        ("a FIFO as the table", VS_TABLE,
         ["fifo", "-o", "out.h5"], {"fifo": None}, 2,
         "fifo: cannot open: not a regular file"),
    ]

    def test_refused_with_the_reason(self):
        for what, table, args, files, status, words in self.CASES:
            with self.subTest(what):
                where, res = self.run_case(table, args, files)
                self.check(where, res, status, words)

    def test_a_file_size_limit_is_a_failed_write(self):
        # The limit's signal in its default disposition, as a shell leaves
        # it: the write past the limit must fail and be reported, not end
        # the process with OUT.part behind.
        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

        rows = "".join("%d,%d:0,1970-01-01T00:01:40Z,[[0.500000]],[[%s]]\n" % (
            n, 100 + n, " ".join("%de%+03d" % (1 + (n * k) % 9, (n + k) % 30) for k in range(300)))
            for n in range(1, 60))
        table = "EventId,Time,TimeISO,V,S\n" + rows
        for options in (["--compression", "none", "--threads", "1"], ["--threads", "2"]):
            with self.subTest(options=options):
                where, res = self.run_case(table, options + ["t.txt", "-o", "out.h5"],
                                           preexec=small_files)
                self.check(where, res, 1, "out.h5")


class AcceptedTest(Answers):
    """Inputs the converter takes, with what it says of them."""

    def test_crlf_lines_keep_the_last_channel(self):
        where, res = self.run_case(VS_TABLE.replace("\n", "\r\n"), ["t.txt", "-o", "out.h5"])
        self.check(where, res, 0, "3 events (0 cut short), 2 channels")
        f = self.converted(where)
        self.assertEqual(f["entry/channel_table/title"][()].tolist(), [b"V", b"S"])
        s = f["entry/channels/S"]
        self.assertEqual(s["present"][()].tolist(), [1, 1, 1])
        self.assertEqual(s["data"][:, 0, :].tolist(), [[1, 2], [3, 4], [5, 6]])

    def test_a_patterns_shape_yields_to_a_later_kind(self):
        where, res = self.run_case(VS_TABLE, ["--image-shape", "*=2x1", "--kind", "V=value",
                                              "--kind", "S=spectrum", "t.txt", "-o", "out.h5"])
        self.check(where, res, 0, "3 events (0 cut short), 2 channels")
        kinds = self.converted(where)["entry/channel_table/kind"][()].tolist()
        self.assertEqual(kinds, [b"value", b"spectrum"])

    def test_xml_image_records(self):
        cases = [
            # (records, words, shape of data stored)
            ([image_record("1e300", 2)], "width '1e300' and height '2', not whole numbers",
             (2, 6)),
            ([image_record(6, 1), image_record(3, 2)],
             "2 <dimensions> records of channel C8; the last is used", (2, 2, 3)),
        ]
        for records, words, shape in cases:
            with self.subTest(words):
                where, res = self.run_case(C8_TABLE, ["t.txt", "-o", "out.h5"],
                                           {"user_descr.xml": description(*records)})
                self.check(where, res, 0, words)
                data = self.converted(where)["entry/channels/C8/data"]
                self.assertEqual(data.shape, shape)
                self.assertEqual(data[()].reshape(2, 6).tolist(), C8_PIXELS)

    def test_an_earlier_file_gives_kinds_and_shapes(self):
        # C8 once converted with its shape; the same table then takes the
        # kind and the frame shape from that file alone, and a table of
        # other channels is refused.
        where, res = self.run_case(C8_TABLE, ["--image-shape", "C8=3x2", "t.txt", "-o",
                                              "first.h5"])
        self.check(where, res, 0, "2 events (0 cut short)")
        cases = [(["vs.txt", "-o", "out.h5"], 2,
                  "vs.txt: --like first.h5: another set of channels (channel 1 is 'V' "
                  "in the table and 'C8' there); not converted"),
                 (["t.txt", "-o", "out.h5"], 0, "2 events (0 cut short)")]
        with open(os.path.join(where, "vs.txt"), "w") as f:
            f.write(VS_TABLE)
        for args, status, words in cases:
            with self.subTest(args=args):
                res = subprocess.run([CONVERTER, "--no-progress", "--like", "first.h5"] + args,
                                     cwd=where, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     timeout=60)
                self.check(where, res, status, words)
        data = self.converted(where)["entry/channels/C8/data"]
        self.assertEqual(data.shape, (2, 2, 3))
        self.assertEqual(data[()].reshape(2, 6).tolist(), C8_PIXELS)

    def test_an_earlier_file_that_is_none_is_refused(self):
        def empty(f):
            f.create_group("entry")

        def too_long(f):  # more titles than any table may have channels
            for name in ("title", "group", "kind"):
                f.create_dataset("entry/channel_table/" + name, shape=(2**20 + 1,), dtype="S1")

        for make in (empty, too_long):
            with self.subTest(make.__name__):
                where, _ = self.run_case(C8_TABLE, ["--version"])  # the table and old out.h5
                with h5py.File(os.path.join(where, "earlier.h5"), "w") as f:
                    make(f)
                res = subprocess.run([CONVERTER, "--no-progress", "--like", "earlier.h5",
                                      "t.txt", "-o", "out.h5"], cwd=where,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
                self.check(where, res, 2, "earlier.h5: --like: not a file of korvel-h5 "
                                          "(no readable /entry/channel_table)")

    def test_the_channel_count_from_the_header_and_the_rows(self):
        # Header "A,B"; twenty rows, each with A = n and B = n + 0.5, and a
        # third cell [[9.000000]] in the rows listed.
        def table(longer):
            rows = ["EventId,Time,TimeISO,A,B"]
            for n in range(1, 21):
                extra = ",[[9.000000]]" if n in longer else ""
                rows.append("%d,%d:0,1970-01-01T00:01:40Z,[[%d.000000]],[[%d.500000]]%s"
                            % (n, 100 + n, n, n, extra))
            return "\n".join(rows) + "\n"

        cases = [
            # (what, rows with three cells, status, words)
            ("the header and the first two rows agree: later longer rows are damaged",
             range(3, 21), 0, "t.txt:4: warning: cannot read the cell of channel B"),
            ("a longer first row: the rows' majority agrees with the header",
             [1], 0, "20 events (0 cut short), 2 channels"),
            ("every row longer: the header cannot name the rows' channels",
             range(1, 21), 2, "the header has 2 titles but the rows have 3 channels"),
        ]
        for what, longer, status, words in cases:
            with self.subTest(what):
                where, res = self.run_case(table(longer), ["t.txt", "-o", "out.h5"])
                self.check(where, res, status, words)
                if status == 0:
                    a = self.converted(where)["entry/channels/A/data"][()]
                    self.assertEqual(a.tolist(), [float(n) for n in range(1, 21)])

    def test_a_wrong_xml_shape_is_counted_and_refused_with_strict(self):
        files = {"user_descr.xml": description(image_record(4, 2))}
        where, res = self.run_case(C8_TABLE, ["t.txt", "-o", "out.h5"], files)
        self.check(where, res, 0, "2 frames of them not fitting the image shape 4x2")
        self.assertIn("from the XML description", res.stderr.decode())
        where, res = self.run_case(C8_TABLE, ["--strict", "t.txt", "-o", "out.h5"], files)
        self.check(where, res, 2, "does not fit its image shape 4x2")


def main():
    if not CONVERTER:
        sys.exit("h5_cli.py: set KORVEL_H5 (CTest does)")
    unittest.main()


if __name__ == "__main__":
    main()
