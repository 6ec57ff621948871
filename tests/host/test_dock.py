#!/usr/bin/python3
"""The module in the real host app: the load and unload sequences it logs (the log lines are the
interface here) with the settings read, a clean exit; the dock: floating on a first run, the Assign
flow, the preview at 9:16, and its place (floating, docked left, a stored area naming none,
hidden) across restarts."""

import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "host"))
from obshost import (BANNER, DOCK_TITLE, GLOBAL_INI_RELPATH, MODULE_TAG, ModuleFiles, ObsHost, Profile,  # noqa: E402
                     SceneCollection, color_input, read_ini, retried, wait_until, write_ini)

SLOT = "Main"
COLLECTION = SceneCollection("Dock", {"Scene": [], "Vertical Colour": [color_input("Orange", 0xFFFF8800, 640, 360)]})
SLOTS = {"count": 1, "activescene": SLOT, "scene_0_name": SLOT, "scene_0_source": ""}
LEFT, RIGHT = "1", "2"  # Qt's dock areas as the host's layout reports them
DOUBLE_CLICK_GAP = 1.0  # longer than Qt's double-click interval (400 ms)
# Distinctive enough that finding it anywhere in the output can only mean it leaked.
KEY = "bl-smoke-key-7Qx2Vw9"
# Values unlike the defaults, so that a default cannot pass for a value read.
SETTINGS = {"rtmpurl": "rtmp://127.0.0.1:1935/vertical", "streamkey": KEY, "videobitrate": 2500, "canvaswidth": 360,
            "canvasheight": 640, "autostartwithmain": "false"}
LOAD_UNLOAD = [[BANNER, f"{MODULE_TAG} Loading version 1.0.0", BANNER,
                f"{MODULE_TAG} Registered output type: bl_vertical_mux_rtmp"],
               [f"{MODULE_TAG} {line}" for line in ("Loaded successfully", "Canvas : 360x640 @ 30/1 fps",
                "RTMP : rtmp://127.0.0.1:1935/vertical", "Bitrate: 2500 kbps", "Auto-start with main: no")] + [BANNER],
               [f"{MODULE_TAG} Unloading"], [f"{MODULE_TAG} Unloaded"]]


def orange_box(picture):
    """(x, y, w, h) around the orange pixels of a screenshot, or None."""
    out = subprocess.run(["convert", str(picture), "-fuzz", "6%", "-fill", "#FF00FF", "-opaque", "#FF8800", "-fill",
                          "black", "+opaque", "#FF00FF", "-format", "%@", "info:"],
                         capture_output=True, text=True, timeout=60).stdout.strip()
    m = re.fullmatch(r"(\d+)x(\d+)\+(\d+)\+(\d+)", out)
    return (int(m[3]), int(m[4]), int(m[1]), int(m[2])) if m and int(m[1]) > 1 and int(m[2]) > 1 else None


def inside(box, area) -> bool:
    return area[0] <= box[0] and area[1] <= box[1] and box[0] + box[2] <= area[0] + area[2] \
        and box[1] + box[3] <= area[1] + area[3]


class DockInRealHostTest(unittest.TestCase):
    def start(self, host: ObsHost, floating: bool):
        host.start()
        # Widgets of another Qt major version could not live in the host's window.
        self.assertEqual({"5"}, {m[1] for m in map(re.compile(r"libQt(\d)Core").match, host.mapped_libraries()) if m})
        host.wait_for_log(re.escape(f"{MODULE_TAG} Vertical Canvas dock registered"))
        if not floating:
            return None
        host.wait_for_log(r"^\[brasslight\] VerticalPreviewWidget: display created \(\d+x\d+\)$")
        frame = host.wait_for_window(f"^{DOCK_TITLE}$", 20)
        self.assertTrue(host.is_top_level(frame), "the dock frame should float")
        return frame

    def assert_preview(self, host: ObsHost, name: str, area) -> None:
        """Screenshots until the preview's orange shows inside `area`, at 9:16."""
        seen = {}

        def probe():
            picture = host.screenshot(name)
            seen["box"] = orange_box(picture)
            return picture if seen["box"] and inside(seen["box"], area) else None

        wait_until(probe, 20, f"the preview's orange inside {area}", lambda: f"orange at {seen['box']}", 0.5)
        self.assertAlmostEqual(seen["box"][2] / seen["box"][3], 9 / 16, delta=0.03, msg=f"preview {seen['box']}")

    def assert_quit_saved(self, host: ObsHost, floating: str, area: str | None = None, visible: str = "yes"):
        run = host.quit()
        self.assertEqual((True, 0, []), (run.clean, run.leaks, run.dismissed), run.describe())
        lines, at = run.module_lines(), 0
        for block in LOAD_UNLOAD:  # each as consecutive lines, after the one before
            at = next((i for i in range(at, len(lines)) if lines[i:i + len(block)] == block), None)
            self.assertIsNotNone(at, "expected in order\n  " + "\n  ".join(block) + "\nlogged\n  " + "\n  ".join(lines))
            at += len(block)
        self.assertIn(f"{MODULE_TAG} Dock state saved (floating={floating}, visible={visible})", lines)
        self.assertEqual([], [l for l in run.lines() if "Failed to save" in l or "config_save_safe" in l])
        self.assertNotIn(KEY, run.text() + run.stdout(), "the stream key reached the log")
        keys = read_ini(host.config_dir / GLOBAL_INI_RELPATH)["VerticalCanvas"]
        if area:
            self.assertEqual((area, "false"), (keys.get("dockarea"), keys.get("dockfloating")), keys)
        return run

    def drag(self, host: ObsHost, start: tuple, end: tuple, steps: int = 25) -> None:
        # In small moves, so that Qt sees a drag start and the dock areas passed.
        host.xdotool("mousemove", *start, "mousedown", 1)
        for i in range(1, steps + 1):
            host.xdotool("mousemove", start[0] + (end[0] - start[0]) * i // steps,
                         start[1] + (end[1] - start[1]) * i // steps, "sleep", 0.04)
        host.xdotool("sleep", 0.5, "mouseup", 1)

    def test_dock_placement_preview_and_restore(self):
        with ObsHost("dock", module=ModuleFiles.from_env(), collection=COLLECTION,
                     profiles=[Profile("Dock", module_settings=SETTINGS)],
                     module_global_settings={"Scenes": SLOTS}) as host:
            # First run, no dock keys: floating and visible. The user moves it.
            frame = self.start(host, floating=True)
            x, y, w, h = host.window_rect(frame)
            self.drag(host, (x + 60, y + 14), (x + 560, y + 214))
            wait_until(lambda: host.window_rect(frame)[0] > x + 400, 10, "the floating frame to move")
            moved = host.window_rect(frame)
            self.assert_quit_saved(host, "yes")

            # Second run: floating where it was left. Assign the colour scene through the dock's
            # own dialog; its button keeps its place relative to the frame's bottom-right corner.
            frame = self.start(host, floating=True)
            x, y, w, h = host.window_rect(frame)
            self.assertEqual(moved[:2], (x, y), "the floating frame moved by itself")
            dialog = retried(lambda: host.click(x + w - 79, y + h - 84),
                             lambda: host.wait_for_window(f"^Assign OBS Scene — {SLOT}$", 3))
            host.xdotool("key", "--window", dialog, "Down", "Down")
            # Return accepts and closes the dialog at once: the key's release then finds no window.
            host.xdotool("key", "--window", dialog, "Return", check=False)
            host.wait_for_log(re.escape(f"{MODULE_TAG} Scene '{SLOT}': source assigned → 'Vertical Colour'"))
            host.wait_for_log(re.escape(f"{MODULE_TAG} Scene list saved (1 scene(s))"))
            self.assert_preview(host, "dock-floating", (x, y, w, h))

            # A double click on the title docks it (right area), a drag of the title takes it left.
            host.click(x + 60, y + 14, repeat=2)
            wait_until(lambda: not host.is_top_level(frame), 10, "the dock frame to dock")
            mx, my, mw, mh = host.window_rect(host.main_window())
            def drag_left():
                # Not a bare wait: a press within the double-click interval would not start a drag.
                time.sleep(DOUBLE_CLICK_GAP)
                fx, fy, _, _ = host.window_rect(frame)
                self.drag(host, (fx + 60, fy + 12), (mx + 12, my + mh // 2))
            retried(drag_left, lambda: wait_until(lambda: not host.is_top_level(frame) and host.window_rect(frame)[0]
                                                  < mx + mw // 4, 5, "the dock frame in the left area"))
            self.assert_quit_saved(host, "no", LEFT)

            # Third run: docked left again with the stored slot on screen. A frame that never
            # floated in this run has no title of its own: it is found by its picture.
            self.start(host, floating=False)
            mx, my, mw, mh = host.window_rect(host.main_window())
            self.assert_preview(host, "dock-docked-left-restart", (mx, my, mw // 3, mh))
            self.assertEqual([], [w for w in host.windows(f"^{DOCK_TITLE}$") if host.is_top_level(w)])
            self.assert_quit_saved(host, "no", LEFT)

            # Stored areas that name no single dock area (0; 3 would be left and right at once)
            # dock it on the right; stored hidden, it stays hidden and creates no display.
            slots = dict(SLOTS, scene_0_source="Vertical Colour")
            for area, visible in (("0", True), ("3", False)):
                write_ini(host.config_dir / GLOBAL_INI_RELPATH, {"Scenes": slots, "VerticalCanvas": {
                    "dockfloating": False, "dockarea": area, "dockvisible": visible}})
                self.start(host, floating=False)
                if visible:
                    mx, my, mw, mh = host.window_rect(host.main_window())
                    self.assert_preview(host, f"dock-area-{area}", (mx + mw * 2 // 3, my, mw - mw * 2 // 3, mh))
                run = self.assert_quit_saved(host, "no", RIGHT, "yes" if visible else "no")
                self.assertEqual(visible, any("display created" in line for line in run.lines()))


if __name__ == "__main__":
    unittest.main(verbosity=2)
