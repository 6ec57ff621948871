#!/usr/bin/python3
"""The module as a streamer meets it, in the real host app against real RTMP servers: what the
vertical stream shows, profile switches and restarts, and the failures that must not hurt the
main stream."""

import os
import sys
import time
import unittest

# The host-app runner shared with the demo and the benchmarks.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "host"))

from obshost import (GLOBAL_INI_RELPATH, PROFILE_INI_NAME, ModuleFiles, ObsHost, Profile,  # noqa: E402
                     SceneCollection, Xvfb, color_input, free_loopback_port, read_ini)
from rtmpserver import NginxRtmp, SilentServer, colours_across, grab_rgb, wait_for_stream  # noqa: E402

ERROR_TITLE = "Vertical Canvas — Stream Error"


def bands() -> SceneCollection:
    """One host scene of three vertical colour bands: red, green and blue thirds of 640x360."""
    return SceneCollection("Bands", {"Bands": [
        color_input("Red", 0xFFFF0000, 214, 360, 0, 0),
        color_input("Green", 0xFF00FF00, 213, 360, 214, 0),
        color_input("Blue", 0xFF0000FF, 213, 360, 427, 0),
    ]})


def vertical(url: str, key: str, width: int = 360, height: int = 640, **more) -> dict:
    return {"rtmpurl": url, "streamkey": key, "videobitrate": 500, "encoderpreset": "ultrafast",
            "canvaswidth": width, "canvasheight": height, "autostartwithmain": "true", **more}


SLOTS = {"Scenes": {"count": 2, "activescene": "Bands Slot", "scene_0_name": "Intro", "scene_0_source": "",
                    "scene_1_name": "Bands Slot", "scene_1_source": "Bands"}}


class EndToEndTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.module = ModuleFiles.from_env()
        cls.xvfb = Xvfb().start()
        cls.addClassCleanup(cls.xvfb.stop)

    def host(self, name, profiles, **kwargs) -> ObsHost:
        kwargs.setdefault("collection", bands())
        kwargs.setdefault("module_global_settings", SLOTS)
        return ObsHost(name, module=self.module, display=self.xvfb.display, profiles=profiles, **kwargs)

    def assert_clean_exit(self, run, dialogs=()):
        """A full, leak-free shutdown; `dialogs` are the titles of the boxes the test expected
        to be open at the end (the harness closes them before File > Exit)."""
        self.assertTrue(run.clean, run.describe())
        self.assertEqual(0, run.leaks)
        self.assertEqual(list(dialogs), run.dismissed, "unexpected dialogs were open at exit")

    def test_vertical_shows_the_slot_cover_fitted_and_the_slots_survive_a_restart(self):
        with NginxRtmp() as server:
            profile = Profile("Main", stream_server=server.url, module_settings=vertical(server.url, "vert"))
            with self.host("e2e-picture", [profile]) as host:
                host.start("--startstreaming")
                main = wait_for_stream(server, "main")
                vert = wait_for_stream(server, "vert")
                # The 16:9 scene fills the 9:16 canvas's height: only its green middle is left.
                self.assertEqual(["green"] * 5, colours_across(*grab_rgb(server.play_url("vert"), vert["video"])))
                # The main stream shows the whole scene.
                self.assertEqual(["red", "red", "green", "blue", "blue"],
                                 colours_across(*grab_rgb(server.play_url("main"), main["video"])))
                host.websocket().stop_stream()
                server.wait_not_publishing("vert")
                self.assert_clean_exit(host.quit())

                stored = read_ini(host.config_dir / GLOBAL_INI_RELPATH)["Scenes"]
                self.assertEqual(("2", "Bands Slot", "Bands"),
                                 (stored["count"], stored["activescene"], stored["scene_1_source"]))
                host.start()
                host.wait_for_log(r"Restored 2 scene\(s\), active: Bands Slot")
                self.assert_clean_exit(host.quit())

    def test_a_profile_switch_streams_the_new_canvas_size_with_the_same_slots(self):
        with NginxRtmp() as server:
            first = Profile("Tall", stream_server=server.url, module_settings=vertical(server.url, "tall"))
            second = Profile("Small", stream_server=server.url,
                             module_settings=vertical(server.url, "small", 240, 428))
            with self.host("e2e-profiles", [first, second]) as host:
                host.start()
                ws = host.websocket()
                mark = len(host.run.lines())
                ws.set_current_profile("Small")
                host.wait_for_log(r"Runtime created: 240x428 @ 30/1 fps", start=mark)
                host.wait_for_log(r"Restored 2 scene\(s\), active: Bands Slot", start=mark)
                ws.start_stream()
                probe = wait_for_stream(server, "small")
                self.assertEqual((240, 428), (probe["video"]["width"], probe["video"]["height"]))
                self.assertEqual(["green"] * 5, colours_across(*grab_rgb(server.play_url("small"), probe["video"])))
                ws.stop_stream()
                server.wait_not_publishing("small")
                self.assert_clean_exit(host.quit())

    def test_a_refused_server_shows_the_error_and_the_main_stream_runs_on(self):
        with NginxRtmp() as server:
            refused = f"rtmp://127.0.0.1:{free_loopback_port()}/live"
            profile = Profile("Main", stream_server=server.url, module_settings=vertical(refused, "vert"))
            with self.host("e2e-refused", [profile]) as host:
                host.start("--startstreaming")
                host.wait_for_window(f"^{ERROR_TITLE}$", 30)
                host.wait_for_log(r"open_muxer fatal — stopping output")
                self.assertTrue(host.websocket().stream_status()["outputActive"])
                server.wait_publishing("main")
                host.websocket().stop_stream()
                self.assert_clean_exit(host.quit(), [ERROR_TITLE])

    def test_a_dropped_server_is_reconnected_without_a_dialog(self):
        with NginxRtmp() as main_server, NginxRtmp() as vertical_server:
            profile = Profile("Main", stream_server=main_server.url,
                              module_settings=vertical(vertical_server.url, "vert"))
            with self.host("e2e-reconnect", [profile]) as host:
                host.start("--startstreaming")
                vertical_server.wait_publishing("vert")
                mark = len(host.run.lines())
                vertical_server.kill()
                host.wait_for_log(r"entering reconnect mode", 20, start=mark)
                time.sleep(2)  # the server stays away for a while, as a crashed one does
                vertical_server.start()
                vertical_server.wait_publishing("vert", 30)
                host.wait_for_log(r"reconnect succeeded", 10, start=mark)
                self.assertEqual({}, host.dialogs(), "the host showed a dialog for a dropped connection")
                self.assertIn("main", main_server.publishing())
                host.websocket().stop_stream()
                self.assert_clean_exit(host.quit())

    def test_a_hung_server_does_not_hurt_the_main_stream(self):
        silent = SilentServer()
        self.addCleanup(silent.close)
        with NginxRtmp() as server:
            profile = Profile("Main", stream_server=server.url, module_settings=vertical(silent.url, "vert"))
            with self.host("e2e-hung", [profile]) as host:
                host.start()
                ws = host.websocket()
                before = ws.stats()
                ws.start_stream()
                server.wait_publishing("main")
                host.wait_for_log(r"open_muxer fatal — stopping output", 20)
                host.wait_for_window(f"^{ERROR_TITLE}$", 10)
                time.sleep(2)  # a stretch of main stream after the vertical output gave up
                after = ws.stats()
                frames = after["outputTotalFrames"] - before["outputTotalFrames"]
                skipped = after["outputSkippedFrames"] - before["outputSkippedFrames"]
                lagged = after["renderSkippedFrames"] - before["renderSkippedFrames"]
                self.assertGreater(frames, 0)
                self.assertLessEqual(skipped, max(3, frames // 20), f"{skipped} of {frames} frames skipped")
                self.assertLessEqual(lagged, max(3, frames // 20), f"{lagged} of {frames} frames lagged")
                self.assertTrue(ws.stream_status()["outputActive"])
                ws.stop_stream()
                self.assert_clean_exit(host.quit(), [ERROR_TITLE])

    def test_bad_settings_give_clear_errors_or_sane_values_and_are_kept(self):
        bad = vertical("not a url at all", "key with spaces/and/slashes", 100000, 0, fpsnum=0)
        with NginxRtmp() as server:
            profiles = [Profile("Bad", stream_server=server.url, module_settings=bad),
                        Profile("NoKey", stream_server=server.url, module_settings=vertical(server.url, ""))]
            with self.host("e2e-bad-input", profiles) as host:
                host.start("--startstreaming")
                host.wait_for_log(r"Canvas width 100000 is out of range \(16 to 7680, even\) — using 7680")
                host.wait_for_log(r"Canvas height 0 is out of range \(16 to 7680, even\) — using 16")
                host.wait_for_window(f"^{ERROR_TITLE}$", 30)
                host.websocket().stop_stream()
                self.assert_clean_exit(host.quit(), [ERROR_TITLE])
                # The user's values stay as typed: nothing of theirs is rewritten.
                stored = read_ini(host.config_dir / "basic" / "profiles" / "Bad" / PROFILE_INI_NAME)
                self.assertEqual(("not a url at all", "100000", "0"),
                                 (stored["VerticalCanvas"]["rtmpurl"], stored["VerticalCanvas"]["canvaswidth"],
                                  stored["VerticalCanvas"]["canvasheight"]))

                host.start("--startstreaming", profile="NoKey")
                host.wait_for_log(r"Vertical output start failed: RTMP URL or key is empty")
                server.wait_publishing("main")
                # The main stream goes live; the user is told, once, that the vertical one did not.
                host.wait_for_window(f"^{ERROR_TITLE}$")
                host.websocket().stop_stream()
                self.assert_clean_exit(host.quit(), [ERROR_TITLE])


if __name__ == "__main__":
    unittest.main(verbosity=2)
