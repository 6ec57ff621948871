#!/usr/bin/python3
"""The real host app: the obs-websocket vendor's requests and events, the hotkeys by key presses,
and the Debian package loaded from the system plug-in folders."""

import json
import os
import subprocess
import sys
import tempfile
import unittest
from unittest import mock
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "host"))

from obshost import (GLOBAL_INI_RELPATH, ModuleFiles, ObsHost, Profile, SceneCollection,  # noqa: E402
                     color_input, read_ini, wait_until)
from rtmpserver import NginxRtmp  # noqa: E402

KEY = "vertical-key-Hk42"
VENDOR = "brasslight-vertical"
SLOT_HOTKEY = "BrasslightVertical.Slot."


def binding(key: str) -> str:
    return json.dumps({"bindings": [{"key": key}]})


class AutomationTest(unittest.TestCase):
    def call(self, ws, request_type, data=None):
        request = {"vendorName": VENDOR, "requestType": request_type}
        if data:  # obs-websocket refuses an empty requestData
            request["requestData"] = data
        return ws.request("CallVendorRequest", request)["responseData"]

    def press(self, host, key):
        # Held for a moment: the host's hotkey thread samples the keyboard state.
        host.xdotool("keydown", key, "sleep", "0.3", "keyup", key)

    def ok(self, ws, *requests):
        for request in requests:
            self.assertNotIn("error", self.call(ws, *request), request)

    def wait_state(self, ws, state, event="StreamStateChanged", field="state"):
        ws.wait_event("VendorEvent", match=lambda d: d.get("eventType") == event and d["eventData"][field] == state)

    def wait_active(self, ws, slot):
        self.wait_state(ws, slot, "ActiveSlotChanged", "slotName")

    def test_websocket_and_hotkeys(self):
        with NginxRtmp() as server:
            settings = {"rtmpurl": server.url, "streamkey": KEY, "videobitrate": 600, "encoderpreset": "ultrafast",
                        "canvaswidth": 360, "canvasheight": 640, "autostartwithmain": "false"}
            no_key = Profile("NoKey", module_settings={**settings, "streamkey": ""})
            streaming = Profile("Streaming", module_settings=settings)
            collection = SceneCollection("Show", {"Cam": [color_input("Red", 0xFFC03030, 640, 360)],
                                                  "Wide": [color_input("Blue", 0xFF3030C0, 640, 360)]})
            stored = {"Scenes": {"count": 2, "activescene": "A", "scene_0_name": "A", "scene_0_source": "Cam",
                                 "scene_1_name": "B", "scene_1_source": ""},
                      "Hotkeys": {"BrasslightVertical.StartStream": binding("OBS_KEY_F5"),
                                  "BrasslightVertical.StopStream": binding("OBS_KEY_F6"),
                                  "BrasslightVertical.NextSlot": binding("OBS_KEY_F7"),
                                  SLOT_HOTKEY + "B": binding("OBS_KEY_F8")}}
            with ObsHost("automation", module=ModuleFiles.from_env(), profiles=[no_key, streaming],
                         collection=collection, module_global_settings=stored) as host:
                host.start()
                ws = host.websocket()
                host.wait_for_log(rf"obs-websocket vendor '{VENDOR}' registered with 9 request\(s\)")
                slots = self.call(ws, "GetSlots")
                self.assertEqual([(s["slotName"], s["sceneName"], s["active"]) for s in slots["slots"]],
                                 [("A", "Cam", True), ("B", "", False)])

                refusals = [("StartStream", {}, "no server URL or stream key"),
                            ("StopStream", {}, "the vertical stream is not running"),
                            ("SetActiveSlot", {"slotName": "Nope"}, 'unknown slot "Nope"'),
                            ("RemoveSlot", {"slotName": "Nope"}, 'unknown slot "Nope"'),
                            ("AddSlot", {"slotName": " A "}, 'a slot named "A" already exists'),
                            ("AddSlot", {"slotName": "  "}, "the slot name is empty"),
                            ("RenameSlot", {"slotName": "A", "newSlotName": "B"}, 'a slot named "B" already exists'),
                            ("RenameSlot", {"slotName": "Nope", "newSlotName": "C"}, 'unknown slot "Nope"'),
                            ("AssignScene", {"slotName": "B", "sceneName": "Missing"}, 'no OBS scene named "Missing"'),
                            ("AssignScene", {"slotName": "Nope", "sceneName": "Cam"}, 'unknown slot "Nope"'),
                            ("AssignScene", {"slotName": "B"}, 'missing field "sceneName"')]
                for request_type, data, message in refusals:
                    with self.subTest(request_type=request_type, data=data):
                        self.assertIn(message, self.call(ws, request_type, data).get("error", ""))
                host.wait_for_log(r"\[brasslight\] Dock: failed to start vertical output")
                # Nothing of a refused request stays behind.
                self.assertEqual(self.call(ws, "GetSlots")["slots"], slots["slots"])

                ws.request("SetCurrentProfile", {"profileName": "Streaming"})
                host.wait_for_log(r"Profile change — rebuilding vertical runtime")
                self.ok(ws, ["StartStream"])
                self.wait_state(ws, "streaming")
                server.wait_publishing(KEY)
                status = self.call(ws, "GetStatus")
                self.assertEqual((status["state"], status["canvasWidth"], status["canvasHeight"],
                                  status["fpsNumerator"], status["fpsDenominator"], status["bitrateKbps"],
                                  status["activeSlot"]), ("streaming", 360, 640, 30, 1, 600, "A"))
                self.assertLessEqual({"bytesSent", "droppedFrames", "congestion"}, set(status))

                self.ok(ws, ["SetActiveSlot", {"slotName": "B"}])
                self.wait_active(ws, "B")
                host.wait_for_log(r"\] Active scene: B$")
                self.press(host, "F7")  # next, from the last slot round to the first
                self.wait_active(ws, "A")

                self.ok(ws, ["StopStream"])
                self.wait_state(ws, "stopped")
                server.wait_not_publishing(KEY)
                for key, state in (("F5", "streaming"), ("F6", "stopped")):
                    self.press(host, key)
                    self.wait_state(ws, state)
                    wait_until(lambda: (KEY in server.publishing()) == (state == "streaming"), 20, f"{key}: {state}")

                self.ok(ws, ["AddSlot", {"slotName": "C"}], ["RenameSlot", {"slotName": "B", "newSlotName": "Bee"}],
                        ["AssignScene", {"slotName": "Bee", "sceneName": "Wide"}], ["RemoveSlot", {"slotName": "C"}])
                host.wait_for_log(r"Scene renamed: B -> Bee")
                run = host.quit()
                self.assertTrue(run.clean, run.describe())
                hotkeys = read_ini(host.config_dir / GLOBAL_INI_RELPATH)["Hotkeys"]
                self.assertIn("OBS_KEY_F8", hotkeys.get(SLOT_HOTKEY + "Bee", ""))
                self.assertNotIn(SLOT_HOTKEY + "B", hotkeys)

                # The slot key followed the rename across the restart.
                host.start()
                ws = host.websocket()
                host.wait_for_log(rf"obs-websocket vendor '{VENDOR}' registered")
                self.assertEqual([(s["slotName"], s["sceneName"]) for s in self.call(ws, "GetSlots")["slots"]],
                                 [("A", "Cam"), ("Bee", "Wide")])
                self.press(host, "F8")
                self.wait_active(ws, "Bee")
                run = host.quit()
                self.assertTrue(run.clean and run.leaks == 0, run.describe())
                self.assertNotIn(KEY, run.text(), "the stream key reached the log")

    def test_debian_package_loads_from_the_system_folders(self):
        build = Path(os.environ["BL_MODULE_FILE"]).parent
        with tempfile.TemporaryDirectory(prefix="bl-deb-") as tmp:
            tmp = Path(tmp)
            subprocess.run(["cpack", "-G", "DEB", "-B", str(tmp / "out")], cwd=build, check=True,
                           capture_output=True)
            deb = next((tmp / "out").glob("*.deb"))
            self.assertRegex(subprocess.check_output(["dpkg-deb", "-f", str(deb), "Depends"], text=True),
                             r"(^|, )obs-studio \(>= 29\)")
            subprocess.run(["dpkg", "-x", str(deb), str(tmp / "root")], check=True)
            # The app's own extra plug-in folders, pointed at the system folders inside the package.
            root = tmp / "root" / "usr"
            with mock.patch.dict(os.environ, {"OBS_PLUGINS_PATH": str(root / "lib/x86_64-linux-gnu/obs-plugins"),
                                              "OBS_PLUGINS_DATA_PATH": str(root / "share/obs/obs-plugins")}), ObsHost(
                    "package", module=None, profiles=[Profile(module_settings={"canvaswidth": 360,
                                                                               "canvasheight": 640})]) as host:
                host.start()
                host.wait_for_log(r"^\[brasslight-obs-vertical\] Loaded successfully$")
                run = host.quit()
                self.assertTrue(run.clean, run.describe())


if __name__ == "__main__":
    unittest.main(verbosity=2)
