#!/usr/bin/python3
"""Settings that apply, in the real host app: a stored 29.97 fps streams at 29.97; a bitrate saved
in the settings dialog applies at once, a canvas size at the next start."""

import os
import sys
import time
import unittest
from xml.etree import ElementTree

# The host-app runner shared with the demo and the benchmarks.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "host"))

from obshost import ModuleFiles, ObsHost, Profile, SceneCollection, color_input, wait_until  # noqa: E402
from rtmpserver import NginxRtmp, wait_for_stream  # noqa: E402

KEY = "vertical-apply"
AUDIO_KBPS = 160


def video_kbps(server: NginxRtmp, seconds: float = 4) -> float:
    """What the server receives of the vertical stream over a window, less its audio."""
    def received() -> int:
        streams = ElementTree.fromstring(server.stat_xml() or "<x/>").iter("stream")
        return sum(int(s.findtext("bytes_in") or 0) for s in streams if s.findtext("name") == KEY)
    first, began = received(), time.monotonic()
    time.sleep(seconds)
    return (received() - first) * 8 / 1000 / (time.monotonic() - began) - AUDIO_KBPS


class SettingsApplyTest(unittest.TestCase):
    def edit_settings(self, host: ObsHost, keys: str) -> None:
        """Tools > our entry (the last one: user plug-ins load last), then the keys in the dialog,
        which opens with the URL field focused; Tab selects a field's whole text, Return saves."""
        main = host.main_window()
        before = set(host.windows())
        host.xdotool("key", "--window", main, "alt+t")
        wait_until(lambda: set(host.windows()) - before, 5, "the Tools menu to open")
        host.xdotool("key", "Up", "Return")
        dialog = host.wait_for_window("^Vertical Canvas — Settings$")
        # One paced sequence. Not checked: the dialog is gone before the release of Return.
        host.xdotool("key", "--window", dialog, "--delay", 60, *keys.split(), "Return", check=False)
        wait_until(lambda: not host.windows("^Vertical Canvas — Settings$"), 10, "the dialog to close")

    def test_saved_settings_apply_at_once_or_at_the_next_start(self):
        with NginxRtmp() as server:
            settings = {"rtmpurl": server.url, "streamkey": KEY, "videobitrate": 400, "encoderpreset": "ultrafast",
                        "canvaswidth": 360, "canvasheight": 640, "fpsnum": 30000, "fpsden": 1001}
            profile = Profile("Apply", stream_server=server.url, module_settings=settings)
            collection = SceneCollection("Show", {"Show": [color_input("Backdrop", 0xFF3060C0, 640, 360)]})
            with ObsHost("settings-apply", module=ModuleFiles.from_env(), profiles=[profile],
                         collection=collection) as host:
                host.start("--startstreaming")
                host.wait_for_log(r"Runtime created: 360x640 @ 30000/1001 fps")
                video = wait_for_stream(server, KEY)["video"]
                # The server rewrites the declared rate as a whole number; the timestamps keep it.
                self.assertEqual(("h264", 360, 640, "30000/1001"),
                                 (video["codec_name"], video["width"], video["height"], video["r_frame_rate"]))
                before = video_kbps(server)
                self.assertLess(before, 700)

                # Bitrate 1200, width 240, height 428, saved while streaming.
                self.edit_settings(host, "Tab Tab Tab 1 2 0 0 Tab Tab 2 4 0 Tab 4 2 8")
                # x264 undershoots on a still picture: the rate is compared, not its value.
                now = video_kbps(server)
                self.assertGreater(now, 1.8 * before, "the bitrate did not apply at once")
                ws = host.websocket()
                ws.stop_stream()
                server.wait_not_publishing(KEY)
                ws.start_stream()
                host.wait_for_log(r"Canvas settings changed — rebuilding the vertical canvas")
                video = wait_for_stream(server, KEY)["video"]
                self.assertEqual((240, 428), (video["width"], video["height"]))
                self.assertGreater(video_kbps(server), 1.8 * before)

                run = host.quit()
                self.assertTrue(run.clean, run.describe())
                self.assertEqual(0, run.leaks)


if __name__ == "__main__":
    unittest.main(verbosity=2)
