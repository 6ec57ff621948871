#!/usr/bin/python3
"""The vertical stream in the real host app, one run: auto-start off, yet the main stream's stop
ends a stream started from the dock; a profile switch applies the new canvas and auto-start to the
same slots; the stream carries the slot's scene cover-fitted and the slot's own tone on track 6."""

import array
import math
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "host"))
from obshost import (DOCK_TITLE, HostError, ModuleFiles, ObsHost, Profile, SceneCollection,  # noqa: E402
                     color_input, lavfi_input, retried)
from rtmpserver import NginxRtmp, colours_across, grab_rgb, wait_for_stream  # noqa: E402

KEYS = {"Manual": "manual-Zq81", "Auto": "auto-Zq82"}
BANDS = [color_input("Red", 0xFFFF0000, 214, 360, 0, 0), color_input("Green", 0xFF00FF00, 213, 360, 214, 0),
         color_input("Blue", 0xFF0000FF, 213, 360, 427, 0)]
# Both tones on track 1 only: track 6 carries the slot's tone only if the module routes it there.
# The host mixes only what its main output plays, so the slot's tone is in the main scene too.
# FFmpeg's sine source plays at an amplitude of 1/8.
SLOT_TONE = lavfi_input("Slot tone", "sine=frequency=1000:sample_rate=48000", mixers=0x1)
COLLECTION = SceneCollection("Show", {
    "Main": BANDS + [lavfi_input("Main tone", "sine=frequency=440:sample_rate=48000", mixers=0x1), SLOT_TONE],
    "Portrait": BANDS + [SLOT_TONE]})
SLOTS = {"Scenes": {"count": 2, "activescene": "Portrait Slot", "scene_0_name": "Intro", "scene_0_source": "",
                    "scene_1_name": "Portrait Slot", "scene_1_source": "Portrait"}}


def profile(name, server, width, height, autostart):
    return Profile(name, stream_server=server.url, module_settings={
        "rtmpurl": server.url, "streamkey": KEYS[name], "videobitrate": 500, "encoderpreset": "ultrafast",
        "canvaswidth": width, "canvasheight": height, "autostartwithmain": autostart})


def tone_amplitudes(url, frequencies, seconds=1):
    """The amplitude (full scale 1.0) at each frequency in the left channel of `seconds` of a
    stream's decoded audio, by the Goertzel algorithm over whole cycles."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-rw_timeout", "20000000", "-i", url, "-map", "0:a", "-t",
                          str(seconds + 0.5), "-ar", "48000", "-ac", "2", "-f", "s16le", "-"],
                         capture_output=True, timeout=40).stdout
    left = array.array("h", raw[:len(raw) // 4 * 4])[0::2][-48000 * seconds:]
    if len(left) < 48000 * seconds:
        raise HostError(f"only {len(left)} audio samples from {url}")
    amplitudes = []
    for frequency in frequencies:
        coeff, s1, s2 = 2 * math.cos(2 * math.pi * frequency / 48000), 0.0, 0.0
        for x in left:
            s1, s2 = x + coeff * s1 - s2, s1
        amplitudes.append(2 * math.sqrt(max(0.0, s1 * s1 + s2 * s2 - coeff * s1 * s2)) / len(left) / 32768)
    return amplitudes


class VerticalStreamInRealHostTest(unittest.TestCase):
    def test_stream_follows_the_main_stream_profiles_and_slot(self):
        with NginxRtmp() as server, ObsHost(
                "vertical-stream", module=ModuleFiles.from_env(), collection=COLLECTION,
                module_global_settings=SLOTS, profiles=[profile("Manual", server, 360, 640, "false"),
                                                        profile("Auto", server, 240, 428, "true")]) as host:
            host.start()
            ws = host.websocket()
            # Auto-start off: the main stream starts alone.
            ws.start_stream()
            server.wait_publishing("main")
            self.assertEqual([], [l for l in host.run.lines() if "auto-starting vertical output" in l])
            self.assertNotIn(KEYS["Manual"], server.publishing())
            # Started by hand from the dock (floating on a first run), the vertical stream still
            # ends with the main stream.
            self.click_start(host, server, KEYS["Manual"])
            ws.stop_stream()
            server.wait_not_publishing(KEYS["Manual"], 10)
            host.wait_for_log(r"Main stream stopped — stopping vertical output")

            mark = len(host.run.lines())
            ws.request("SetCurrentProfile", {"profileName": "Auto"})
            host.wait_for_log(r"Runtime created: 240x428 @ 30/1 fps", start=mark)
            host.wait_for_log(r"Restored 2 scene\(s\), active: Portrait Slot", start=mark)
            ws.start_stream()
            main = wait_for_stream(server, "main")
            vertical = wait_for_stream(server, KEYS["Auto"])
            host.wait_for_log(r"Main stream starting — auto-starting vertical output", start=mark)
            self.assertEqual((640, 360), (main["video"]["width"], main["video"]["height"]))
            self.assertEqual(("h264", 240, 428, "30/1", "aac", "48000", 2), tuple(
                vertical[kind][key] for kind, key in [("video", "codec_name"), ("video", "width"), ("video", "height"),
                                                      ("video", "avg_frame_rate"), ("audio", "codec_name"),
                                                      ("audio", "sample_rate"), ("audio", "channels")]))
            # The 16:9 scene covers the 9:16 canvas: its height fills it, only the green middle
            # is left.
            url = server.play_url(KEYS["Auto"])
            self.assertEqual(["green"] * 5, colours_across(*grab_rgb(url, vertical["video"])))
            slot_tone, main_tone = tone_amplitudes(url, [1000, 440])
            self.assertTrue(0.125 * 0.9 < slot_tone < 0.125 * 1.1, f"slot's tone at amplitude {slot_tone:.4f}")
            self.assertLess(main_tone, 0.005, "the main scene's tone reached the vertical stream")

            ws.stop_stream()
            server.wait_not_publishing("main")
            server.wait_not_publishing(KEYS["Auto"], 10)
            run = host.quit()
            self.assertTrue(run.clean, run.describe())
            self.assertEqual((0, []), (run.leaks, run.dismissed))
            self.assertEqual([], [k for k in KEYS.values() if k in run.text()], "a stream key reached the log")

    def click_start(self, host, server, key):
        """Clicks the dock's Start button."""
        frame = host.wait_for_window(f"^{DOCK_TITLE}$", 20)
        x, y, w, h = host.window_rect(frame)
        retried(lambda: host.click(x + w // 4, y + h - 50), lambda: server.wait_publishing(key, 10))


if __name__ == "__main__":
    unittest.main(verbosity=2)
