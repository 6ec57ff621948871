#!/usr/bin/python3
"""Failures of the vertical stream in the real host app, a profile and a start of the app each: a
dropped server is reconnected without a dialog; a refused or hung server and bad settings give the
error dialog or a clear log line, never hurt the main stream, and leave the user's values as typed."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "host"))
from obshost import (PROFILE_INI_NAME, ModuleFiles, ObsHost, Profile, free_loopback_port,  # noqa: E402
                     read_ini, wait_until)
from rtmpserver import NginxRtmp, SilentServer  # noqa: E402

ERROR_TITLE = "Vertical Canvas — Stream Error"
BAD = {"rtmpurl": "not a url at all", "canvaswidth": "100000", "canvasheight": "0"}


def vertical(url, key="vert", **more):
    return {"rtmpurl": url, "streamkey": key, "videobitrate": 500, "encoderpreset": "ultrafast",
            "canvaswidth": 360, "canvasheight": 640, "autostartwithmain": "true", **more}


def more_frames(ws, before, count):
    stats = ws.stats()
    return stats if stats["outputTotalFrames"] >= before["outputTotalFrames"] + count else None


class FailuresInRealHostTest(unittest.TestCase):
    def test_failures_never_hurt_the_main_stream(self):
        silent = SilentServer()
        self.addCleanup(silent.close)
        with NginxRtmp() as main_server, NginxRtmp() as vertical_server:
            # Profile, log lines after the main stream's start, whether the error box shows. One
            # start each: a box posted for a failure after a profile switch has been seen not to show.
            cases = [
                ("Drop", vertical(vertical_server.url), [], False),
                ("Refused", vertical(f"rtmp://127.0.0.1:{free_loopback_port()}/live"),
                 [r"open_muxer fatal — stopping output"], True),
                ("Hung", vertical(silent.url), [r"open_muxer fatal — stopping output"], True),
                ("Bad", {**vertical("", "key with spaces/and/slashes", fpsnum=0), **BAD},
                 [r"Canvas width 100000 is out of range \(16 to 7680, even\) — using 7680",
                  r"Canvas height 0 is out of range \(16 to 7680, even\) — using 16",
                  r"Canvas frame rate 0/1 is out of range \(1 to 240 fps\) — using 30/1"], True),
                ("NoKey", vertical(vertical_server.url, ""),
                 [r"Vertical output start failed: RTMP URL or key is empty"], True),
            ]
            profiles = [Profile(name, stream_server=main_server.url, module_settings=s) for name, s, _, _ in cases]
            with ObsHost("e2e", module=ModuleFiles.from_env(), profiles=profiles) as host:
                for name, _, lines, dialog in cases:
                    host.start(profile=name)
                    ws = host.websocket()
                    before = ws.stats()
                    ws.start_stream()
                    main_server.wait_publishing("main")
                    for line in lines:
                        host.wait_for_log(line, 30)
                    if name == "Drop":
                        self.reconnect(host, vertical_server)
                    if dialog:
                        host.wait_for_window(f"^{ERROR_TITLE}$", 30)
                    # A stretch of main stream after the vertical output gave up.
                    stats = wait_until(lambda: more_frames(ws, before, 60), 20, "60 frames of main stream")
                    frames = stats["outputTotalFrames"] - before["outputTotalFrames"]
                    skipped = stats["outputSkippedFrames"] - before["outputSkippedFrames"]
                    self.assertLessEqual(skipped, max(3, frames // 20), f"{name}: {skipped} of {frames} frames skipped")
                    self.assertTrue(ws.stream_status()["outputActive"])
                    ws.stop_stream()
                    main_server.wait_not_publishing("main")
                    run = host.quit()
                    self.assertEqual((True, 0, [ERROR_TITLE] if dialog else []), (run.clean, run.leaks, run.dismissed),
                                     run.describe())
                stored = read_ini(host.config_dir / "basic" / "profiles" / "Bad" / PROFILE_INI_NAME)["VerticalCanvas"]
                self.assertEqual(BAD, {key: stored[key] for key in BAD})

    def reconnect(self, host, server):
        server.wait_publishing("vert")
        mark = len(host.run.lines())
        server.kill()
        host.wait_for_log(r"entering reconnect mode", 20, start=mark)
        time.sleep(2)  # the server stays away for a while, as a crashed one does
        server.start()
        server.wait_publishing("vert", 30)
        host.wait_for_log(r"reconnect succeeded", 10, start=mark)


if __name__ == "__main__":
    unittest.main(verbosity=2)
