#!/usr/bin/python3
"""The module inside the real host app: it loads, reports its settings, and leaves cleanly.

Run by CTest (label "host"), which sets BL_MODULE_FILE, BL_MODULE_DATA_DIR and BL_HOST_ARTIFACTS.
One app start per profile case; both share one Xvfb.
"""

import os
import re
import sys
import unittest

# The host-app runner shared with the demo and the benchmarks.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "host"))

import obshost  # noqa: E402
from obshost import BANNER, MODULE_TAG, ModuleFiles, ObsHost, Profile, Xvfb  # noqa: E402

# Distinctive enough that finding it anywhere in the log can only mean it leaked.
STREAM_KEY = "bl-smoke-key-7Qx2Vw9"


def tagged(message: str) -> str:
    return f"{MODULE_TAG} {message}"


class ModuleInRealHostTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.module = ModuleFiles.from_env()
        cls.xvfb = Xvfb().start()
        cls.addClassCleanup(cls.xvfb.stop)

    def host_with(self, name, module_settings):
        """The app with the module and one profile. Assert inside its `with`: a failure there
        keeps the scratch folder and the log."""
        return ObsHost(name, module=self.module, display=self.xvfb.display,
                       profiles=[Profile("Smoke", module_settings=module_settings)])

    def assert_block(self, lines, block, what):
        """`block` appears as consecutive lines among the module's own lines."""
        for start in range(len(lines) - len(block) + 1):
            if lines[start:start + len(block)] == block:
                return start
        self.fail(f"{what}: expected these consecutive lines\n  " + "\n  ".join(block)
                  + "\nbut the module logged\n  " + "\n  ".join(lines))

    def assert_loaded_and_left_cleanly(self, run, summary):
        lines = run.log.module_lines()
        load_start = self.assert_block(lines, [
            BANNER,
            tagged("Loading version 1.0.0"),
            BANNER,
            tagged("Registered output type: bl_vertical_mux_rtmp"),
        ], "start of the load")
        summary_start = self.assert_block(lines, [tagged("Loaded successfully"), *summary, BANNER],
                                          "end of the load with its summary")
        self.assertLess(load_start, summary_start, "the summary came before the banner")

        # The app's own end: it unloads every module, then counts what was never freed, which
        # covers the module's allocations too.
        self.assertTrue(run.clean, f"the app did not end by itself after File > Exit: {run.describe()}")
        self.assertEqual([], run.dismissed, "dialogs were open at exit")
        all_lines = run.lines()
        unloading = all_lines.index(tagged("Unloading")) if tagged("Unloading") in all_lines else -1
        unloaded = all_lines.index(tagged("Unloaded")) if tagged("Unloaded") in all_lines else -1
        self.assertGreater(unloading, 0, f"no Unloading line: {run.describe()}")
        self.assertGreater(unloaded, unloading, f"no Unloaded line after Unloading: {run.describe()}")
        self.assertEqual(0, run.leaks, "the app counted memory leaks")
        # Untouched settings stores are not a reason to complain at exit.
        failed_saves = [line for line in all_lines if "Failed to save" in line or "config_save_safe" in line]
        self.assertEqual([], failed_saves, "saving the settings failed at exit")

    def test_profile_settings_are_reported_and_the_key_is_not(self):
        settings = {
            "rtmpurl": "rtmp://127.0.0.1:1935/vertical",
            "streamkey": STREAM_KEY,
            "videobitrate": 2500,
            # Values unlike the defaults, so that a default cannot pass for a value read.
            "canvaswidth": 360,
            "canvasheight": 640,
            "fpsnum": 30000,
            "fpsden": 1001,
            "autostartwithmain": "false",
        }
        with self.host_with("smoke-settings", settings) as host:
            host.start()
            libraries = host.mapped_libraries()
            run = host.quit()
            self.assertNotIn(STREAM_KEY, run.text(), "the stream key reached the host's log")
            self.assertNotIn(STREAM_KEY, run.log.stdout(), "the stream key reached the app's output")
            self.assert_loaded_and_left_cleanly(run, [
                tagged("Canvas : 360x640 @ 30000/1001 fps"),
                tagged("RTMP : rtmp://127.0.0.1:1935/vertical"),
                tagged("Bitrate: 2500 kbps"),
                tagged("Auto-start with main: no"),
            ])

            # The module's widgets must live in the host's own Qt: a QWidget of another major
            # version has no QApplication and cannot be parented to the host's main window.
            host_qt = {re.match(r"libQt(\d)Core", lib).group(1) for lib in libraries
                       if re.match(r"libQt\dCore", lib)}
            self.assertEqual(1, len(host_qt), f"two Qt versions in the host process: {sorted(host_qt)}")

    def test_defaults_are_reported_without_a_profile_file(self):
        with self.host_with("smoke-defaults", None) as host:
            host.start()
            run = host.quit()
            self.assert_loaded_and_left_cleanly(run, [
                tagged("Canvas : 1080x1920 @ 30/1 fps"),
                tagged("RTMP : "),
                tagged("Bitrate: 4000 kbps"),
                tagged("Auto-start with main: yes"),
            ])


if __name__ == "__main__":
    obshost.log(f"python {sys.version.split()[0]}, module {os.environ.get('BL_MODULE_FILE')}")
    unittest.main(verbosity=2)
