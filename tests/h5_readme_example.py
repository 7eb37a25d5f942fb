"""The README's Python example runs as it stands.

The demo's run is made again in a temporary directory (the sample
recording replayed with the demo's words, its table converted), and the
code block that follows the "readme-example" marker in README.md is run
there with Debian's Python. The frame it builds must hold the sample's
event ids and BPM/X values, read back from the recording itself.
"""
import json
import os
import re
import subprocess
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class ReadmeExample(unittest.TestCase):
    def test_the_example_reads_the_demo_run(self):
        readme = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
        m = re.search(r"<!-- readme-example[^>]*-->\s*```python\n(.*?)```", readme, re.S)
        self.assertIsNotNone(m, "no example block after the readme-example marker")
        code = m.group(1)
        sample = os.path.join(ROOT, "examples", "sample.jsonl")
        with tempfile.TemporaryDirectory() as top:
            out = os.path.join(top, "out")
            os.makedirs(os.path.join(out, "images"))
            with open(os.path.join(out, "replay-stdout.txt"), "wb") as so:
                subprocess.run([os.environ["KORVEL_REPLAY"], "--no-progress", sample, "--",
                                "-evstat", "-xdump", "-imdump", "images"],
                               cwd=out, stdout=so, check=True)
            subprocess.run([os.environ["KORVEL_H5"], "--no-progress", "user_out.txt"],
                           cwd=out, check=True, stderr=subprocess.DEVNULL)
            scope = {}
            cwd = os.getcwd()
            os.chdir(top)
            try:
                exec(compile(code, "README.md", "exec"), scope)
            finally:
                os.chdir(cwd)
            df = scope["df"]
        want_ids, want_x = [], []
        with open(sample, encoding="utf-8") as rec:
            next(rec)
            for line in rec:
                if not line.strip():
                    continue
                ev = json.loads(line)
                if ev.get("fail"):
                    continue
                want_ids.append(ev["id"])
                x = ev.get("channels", {}).get("BPM/X", {}).get("value")
                want_x.append(x)
        self.assertEqual(list(df["id"]), want_ids)
        for got, want in zip(df["x"], want_x):
            if want is None:
                self.assertNotEqual(got, got)  # NaN where the channel had no value
            else:
                self.assertAlmostEqual(got, want, delta=5e-7 + 1e-6 * abs(want))


if __name__ == "__main__":
    unittest.main()
