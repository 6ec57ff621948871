#!/usr/bin/python3
"""The vertical stream in the real host app: it starts with the main stream, both reach a real
RTMP server at their own sizes, and it stops with the main stream."""

import os
import sys
import unittest

# The host-app runner shared with the demo and the benchmarks.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "host"))

from obshost import ModuleFiles, ObsHost, Profile, SceneCollection, color_input  # noqa: E402
from rtmpserver import NginxRtmp, wait_for_stream  # noqa: E402

VERTICAL_KEY = "vertical-key-Zq81"


class VerticalStreamInRealHostTest(unittest.TestCase):
    def test_starts_and_stops_with_the_main_stream(self):
        with NginxRtmp() as server:
            profile = Profile("Streaming", stream_server=server.url, stream_key="main", module_settings={
                "rtmpurl": server.url, "streamkey": VERTICAL_KEY, "videobitrate": 600,
                "encoderpreset": "ultrafast", "canvaswidth": 360, "canvasheight": 640,
                "autostartwithmain": "true"})
            collection = SceneCollection("Show", {"Show": [color_input("Backdrop", 0xFF3060C0, 640, 360)]})
            with ObsHost("vertical-stream", module=ModuleFiles.from_env(), profiles=[profile],
                         collection=collection) as host:
                host.start("--startstreaming")
                main = wait_for_stream(server, "main")
                vertical = wait_for_stream(server, VERTICAL_KEY)
                self.assertEqual((main["video"]["width"], main["video"]["height"]), (640, 360))
                self.assertEqual((vertical["video"]["codec_name"], vertical["video"]["width"],
                                  vertical["video"]["height"], vertical["video"]["avg_frame_rate"]),
                                 ("h264", 360, 640, "30/1"))
                self.assertEqual((vertical["audio"]["codec_name"], vertical["audio"]["sample_rate"],
                                  vertical["audio"]["channels"]), ("aac", "48000", 2))
                host.wait_for_log(r"Main stream starting — auto-starting vertical output")

                host.websocket().stop_stream()
                server.wait_not_publishing("main")
                server.wait_not_publishing(VERTICAL_KEY)
                host.wait_for_log(r"Main stream stopped — stopping vertical output")

                run = host.quit()
                self.assertTrue(run.clean, run.describe())
                self.assertEqual(0, run.leaks)
                self.assertNotIn(VERTICAL_KEY, run.text(), "the stream key reached the log")


if __name__ == "__main__":
    unittest.main(verbosity=2)
