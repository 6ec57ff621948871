#!/usr/bin/python3
"""The module inside the real host app: the load and unload sequences it logs (the log lines are
the interface here), the settings it reports, and a clean, leak-free exit."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "host"))
from obshost import BANNER, MODULE_TAG, ModuleFiles, ObsHost, Profile, Xvfb  # noqa: E402

# Distinctive enough that finding it anywhere in the output can only mean it leaked.
STREAM_KEY = "bl-smoke-key-7Qx2Vw9"
CASES = [
    # Values unlike the defaults, so that a default cannot pass for a value read.
    ({"rtmpurl": "rtmp://127.0.0.1:1935/vertical", "streamkey": STREAM_KEY, "videobitrate": 2500,
      "canvaswidth": 360, "canvasheight": 640, "fpsnum": 30000, "fpsden": 1001, "autostartwithmain": "false"},
     ["Canvas : 360x640 @ 30000/1001 fps", "RTMP : rtmp://127.0.0.1:1935/vertical", "Bitrate: 2500 kbps",
      "Auto-start with main: no"]),
    # No profile file: the defaults.
    (None, ["Canvas : 1080x1920 @ 30/1 fps", "RTMP : ", "Bitrate: 4000 kbps", "Auto-start with main: yes"]),
]


class ModuleInRealHostTest(unittest.TestCase):
    def test_load_report_and_clean_unload(self):
        with Xvfb() as xvfb:
            for settings, summary in CASES:
                with self.subTest(settings=settings), ObsHost(
                        "smoke", module=ModuleFiles.from_env(), display=xvfb.display,
                        profiles=[Profile("Smoke", module_settings=settings)]) as host:
                    host.start()
                    qt = {m[1] for m in map(re.compile(r"libQt(\d)Core").match, host.mapped_libraries()) if m}
                    run = host.quit()
                    tagged = [f"{MODULE_TAG} {line}" for line in summary]
                    self.assert_in_order(run.module_lines(), [
                        [BANNER, f"{MODULE_TAG} Loading version 1.0.0", BANNER,
                         f"{MODULE_TAG} Registered output type: bl_vertical_mux_rtmp"],
                        [f"{MODULE_TAG} Loaded successfully", *tagged, BANNER],
                        [f"{MODULE_TAG} Unloading"], [f"{MODULE_TAG} Unloaded"]])
                    self.assertTrue(run.clean, run.describe())
                    self.assertEqual((0, []), (run.leaks, run.dismissed))
                    self.assertEqual([], [l for l in run.lines() if "Failed to save" in l or "config_save_safe" in l])
                    self.assertNotIn(STREAM_KEY, run.text() + run.stdout(), "the stream key reached the log")
                    # Widgets of another Qt major version could not live in the host's window.
                    self.assertEqual({"5"}, qt, "the host process holds the wrong or two Qt versions")

    def assert_in_order(self, lines, blocks):
        """Each block appears as consecutive lines, after the block before it."""
        at = 0
        for block in blocks:
            at = next((i for i in range(at, len(lines)) if lines[i:i + len(block)] == block), None)
            self.assertIsNotNone(at, "expected these consecutive lines\n  " + "\n  ".join(block)
                                 + "\nin this order, but the module logged\n  " + "\n  ".join(lines))
            at += len(block)


if __name__ == "__main__":
    unittest.main(verbosity=2)
