#!/usr/bin/python3
"""Slots follow the host's scenes in the real app: renamed, then a restart; another scene
collection and back; removed, with nothing of it alive at exit."""

import os
import sys
import unittest

# The host-app runner shared with the demo and the benchmarks.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "host"))

from obshost import GLOBAL_INI_RELPATH, ModuleFiles, ObsHost, Profile, SceneCollection, color_input, read_ini, wait_until  # noqa: E402,E501
from rtmpserver import NginxRtmp, colours_across, grab_rgb, wait_for_stream  # noqa: E402

SLOTS = {"Scenes": {"count": 1, "activescene": "Slot", "scene_0_name": "Slot", "scene_0_source": "Blue"}}


class FollowHostTest(unittest.TestCase):
    def test_rename_restart_collection_switch_and_removal(self):
        with NginxRtmp() as server:
            profile = Profile("Main", stream_server=server.url, module_settings={
                "rtmpurl": server.url, "streamkey": "vert", "videobitrate": 500, "encoderpreset": "ultrafast",
                "canvaswidth": 360, "canvasheight": 640, "autostartwithmain": "true"})
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
                self.assertIsNone(host.run.log.find(r"OBS source not found"), "the renamed scene was not found")

                # Away to a new collection, which has no such scene, and back.
                mark = len(host.run.lines())
                ws.request("CreateSceneCollection", {"sceneCollectionName": "Empty"})
                host.wait_for_log(r"Host scenes released", start=mark)
                ws.request("SetCurrentSceneCollection", {"sceneCollectionName": "Show"})
                host.wait_for_log(r"Scene 'Slot': source assigned → 'Blue Renamed'", start=mark)

                ws.start_stream()
                video = wait_for_stream(server, "vert")["video"]
                self.assertEqual(["blue"] * 5, colours_across(*grab_rgb(server.play_url("vert"), video)))

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
