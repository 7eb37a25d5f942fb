#!/usr/bin/python3
"""The report in a real browser: headless Chromium (Debian's chromium and
chromium-driver, through python3-selenium) opens index.html from the file
system; every image must load (natural width above 0) and a screenshot of
the page must not be blank. Skipped, saying why, where Chromium cannot
start.

Needs KORVEL_LOOK, KORVEL_REPLAY, KORVEL_H5 (CTest sets them); Debian's
/usr/bin/python3."""

import io
import os
import shutil
import tempfile
import unittest

import matplotlib.image
import numpy as np

from look_common import report_of

try:
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
except ImportError:  # python3-selenium not installed
    webdriver = None


def start_chromium(profile):
    """A headless Chromium driver whose profile and temporary files stay in
    the directory `profile`, or (None, why it could not start)."""
    if webdriver is None:
        return None, "python3-selenium is not installed"
    driver_path = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    if not os.path.exists(driver_path):
        return None, "chromedriver (Debian's chromium-driver) is not installed"
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu",
                "--disable-dev-shm-usage", "--window-size=1200,900",
                "--allow-file-access-from-files", "--user-data-dir=" + profile):
        options.add_argument(arg)
    # Chromium puts its singleton files under TMPDIR: keep them in the
    # test's directory too, so that nothing is left in /tmp.
    os.environ["TMPDIR"] = profile
    try:
        service = webdriver.ChromeService(executable_path=driver_path) \
            if hasattr(webdriver, "ChromeService") else \
            webdriver.chrome.service.Service(executable_path=driver_path)
        return webdriver.Chrome(service=service, options=options), None
    except WebDriverException as e:
        return None, "Chromium could not start: %s" % str(e).strip().splitlines()[0]


class BrowserTest(unittest.TestCase):

    def test_page_opens_with_every_image(self):
        events = [{"id": e, "time": [200 + e, 0], "channels": {
            "V": {"value": float(e % 7)},
            "NV": {"items": [["x", float(e)]]},
            "S": {"members": [{"values": [e % 3, 2, 3]}]},
            "C": {"image": {"width": 3, "height": 2, "pixels": "%02x" % e * 6}}}}
            for e in range(30)]
        _, out = report_of(self, [("V", 2), ("NV", 2), ("S", 3), ("C", 4)], events, "run.look")

        profile = tempfile.mkdtemp(prefix="korvel-look-chromium-")
        self.addCleanup(shutil.rmtree, profile, True)
        driver, why = start_chromium(profile)
        if driver is None:
            self.skipTest(why)
        self.addCleanup(driver.quit)
        driver.get("file://" + os.path.join(out, "index.html"))
        self.assertIn("korvel-look", driver.title)
        images = driver.execute_script(
            "return Array.from(document.images).map("
            "i => [i.getAttribute('src'), i.complete, i.naturalWidth]);")
        srcs = [src for src, _, _ in images]
        for want in ("presence.png", "values-1.png", "camera-3.png", "spectrum-2.png"):
            self.assertIn(want, srcs)
        for src, complete, width in images:
            self.assertTrue(complete, src)
            self.assertGreater(width, 0, "%s did not load" % src)
        shot = matplotlib.image.imread(io.BytesIO(driver.get_screenshot_as_png()), format="png")
        colours = np.unique(shot[..., :3].reshape(-1, 3), axis=0)
        self.assertGreater(len(colours), 1, "the screenshot is blank")


if __name__ == "__main__":
    unittest.main()
