#!/usr/bin/python3
"""Slots follow the host's scenes in the real app (renamed, then a restart; another scene collection
and back; removed, with nothing of it alive at exit) and saved settings apply: a stored 29.97 fps
streams at 29.97, a bitrate saved in the settings dialog applies at once, a canvas size at the next
start."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "host"))
from obshost import GLOBAL_INI_RELPATH, ModuleFiles, ObsHost, Profile, SceneCollection, color_input, read_ini, wait_until  # noqa: E402,E501
from rtmpserver import NginxRtmp, colours_across, grab_rgb, wait_for_stream  # noqa: E402

SLOTS = {"Scenes": {"count": 1, "activescene": "Slot", "scene_0_name": "Slot", "scene_0_source": "Blue"}}
AUDIO_KBPS = 160


def video_kbps(server: NginxRtmp, seconds: float = 4) -> float:
    """What the server receives of the vertical stream over a window, less its audio."""
    first, began = server.stream("vert").get("bytes_in", 0), time.monotonic()
    time.sleep(seconds)
    return (server.stream("vert").get("bytes_in", 0) - first) * 8 / 1000 / (time.monotonic() - began) - AUDIO_KBPS


def edit_settings(host: ObsHost, keys: str) -> None:
    """Tools > our entry (the last one: user plug-ins load last), then the keys in the dialog,
    which opens with the URL field focused; Tab selects a field's whole text, Return saves."""
    before = set(host.windows())
    host.xdotool("key", "--window", host.main_window(), "alt+t")
    wait_until(lambda: set(host.windows()) - before, 5, "the Tools menu to open")
    host.xdotool("key", "Up", "Return")
    dialog = host.wait_for_window("^Vertical Canvas — Settings$")
    # Not checked: the dialog is gone before the release of Return.
    host.xdotool("key", "--window", dialog, "--delay", 60, *keys.split(), "Return", check=False)
    wait_until(lambda: not host.windows("^Vertical Canvas — Settings$"), 10, "the dialog to close")


class FollowHostTest(unittest.TestCase):
    def test_scenes_followed_and_settings_applied(self):
        with NginxRtmp() as server:
            profile = Profile("Main", stream_server=server.url, module_settings={
                "rtmpurl": server.url, "streamkey": "vert", "videobitrate": 400, "encoderpreset": "ultrafast",
                "canvaswidth": 360, "canvasheight": 640, "fpsnum": 30000, "fpsden": 1001, "autostartwithmain": "true"})
            collection = SceneCollection("Show", {"Other": [color_input("Red", 0xFFFF0000, 640, 360)],
                                                  "Blue": [color_input("Fill", 0xFF0000FF, 640, 360)]})
            with ObsHost("follow-host", module=ModuleFiles.from_env(), profiles=[profile], collection=collection,
                         module_global_settings=SLOTS) as host:
                host.start()
                mark = len(host.run.lines())
                host.websocket().request("SetSceneName", {"sceneName": "Blue", "newSceneName": "Blue Renamed"})
                host.wait_for_log(r"Scene list saved", start=mark)
                self.assertTrue(host.quit().clean)
                host.start()
                ws = host.websocket()
                host.wait_for_log(r"Scene 'Slot': source assigned → 'Blue Renamed'")
                host.wait_for_log(r"Runtime created: 360x640 @ 30000/1001 fps")
                self.assertNotIn("OBS source not found", host.run.text(), "the renamed scene was not found")

                # Away to a new collection, which has no such scene, and back.
                mark = len(host.run.lines())
                ws.request("CreateSceneCollection", {"sceneCollectionName": "Empty"})
                host.wait_for_log(r"Host scenes released", start=mark)
                ws.request("SetCurrentSceneCollection", {"sceneCollectionName": "Show"})
                host.wait_for_log(r"Scene 'Slot': source assigned → 'Blue Renamed'", start=mark)

                ws.start_stream()
                video = wait_for_stream(server, "vert")["video"]
                # The server rewrites the declared rate as a whole number; the timestamps keep it.
                self.assertEqual(("h264", 360, 640, "30000/1001"),
                                 (video["codec_name"], video["width"], video["height"], video["r_frame_rate"]))
                self.assertEqual(["blue"] * 5, colours_across(*grab_rgb(server.play_url("vert"), video)))
                before = video_kbps(server)
                self.assertLess(before, 700)
                # Bitrate 1200, width 240, height 428, saved while streaming. x264 undershoots on a
                # still picture: the rate is compared, not its value.
                edit_settings(host, "Tab Tab Tab 1 2 0 0 Tab Tab 2 4 0 Tab 4 2 8")
                self.assertGreater(video_kbps(server), 1.8 * before, "the bitrate did not apply at once")
                ws.stop_stream()
                server.wait_not_publishing("vert")
                ws.start_stream()
                host.wait_for_log(r"Canvas settings changed — rebuilding the vertical canvas")
                video = wait_for_stream(server, "vert")["video"]
                self.assertEqual((240, 428), (video["width"], video["height"]))
                self.assertGreater(video_kbps(server), 1.8 * before)

                ws.request("RemoveScene", {"sceneName": "Blue Renamed"})
                host.wait_for_log(r"Scene 'Slot': host scene 'Blue Renamed' removed — released")
                seen = []
                wait_until(lambda: seen.append(colours_across(*grab_rgb(server.play_url("vert"), video)))
                           or seen[-1] == ["black"] * 5, 30, "a black vertical frame", lambda: str(seen[-1:]))
                ws.stop_stream()
                server.wait_not_publishing("vert")
                run = host.quit()
                self.assertTrue(run.clean, run.describe())
                self.assertEqual(0, run.leaks)
                self.assertEqual("Blue Renamed", read_ini(host.config_dir / GLOBAL_INI_RELPATH)["Scenes"]["scene_0_source"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
