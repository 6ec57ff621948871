#!/usr/bin/python3
"""The dock inside the real host app: it is there once the app has finished loading (floating and
visible on a first run), its Assign flow lists the host's own scenes, its preview shows the
assigned colour scene, and where the user left it (floating at a place, or docked in the left
area) survives a restart.

Run by CTest (label "host"). The two screenshots the issue asks for are written to
BL_HOST_ARTIFACTS/dock/ and kept whatever the outcome:
    dock-floating.png             the host window with the floating dock, its preview showing the scene
    dock-docked-left-restart.png  after docking it left, quitting and starting again
"""

import os
import re
import shutil
import subprocess
import sys
import time
import unittest
from pathlib import Path

# The host-app runner shared with the demo and the benchmarks.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "host"))

import obshost  # noqa: E402
from obshost import (DOCK_TITLE, GLOBAL_INI_RELPATH, MODULE_TAG, ModuleFiles, ObsHost, Profile,  # noqa: E402
                     SceneCollection, Xvfb, color_input, read_ini, wait_until)

ORANGE = "#FF8800"
COLOUR_SCENE = "Vertical Colour"
SLOT = "Main"
LEFT_AREA = "1"
# Longer than Qt's double-click interval (400 ms by default).
DOUBLE_CLICK_GAP = 1.0  # Qt::LeftDockWidgetArea, as the host's dock layout reports it


def tagged(message: str) -> str:
    return f"{MODULE_TAG} {message}"


class Rect:
    def __init__(self, x: int, y: int, w: int, h: int):
        self.x, self.y, self.w, self.h = x, y, w, h

    @property
    def right(self) -> int:
        return self.x + self.w

    @property
    def bottom(self) -> int:
        return self.y + self.h

    def contains(self, other: "Rect") -> bool:
        return (self.x <= other.x and self.y <= other.y and other.right <= self.right
                and other.bottom <= self.bottom)

    def __repr__(self) -> str:
        return f"{self.w}x{self.h}+{self.x}+{self.y}"


def xwininfo(host: ObsHost, window: int, *args: str) -> str:
    return subprocess.run(["xwininfo", "-id", str(window), *args], env=host.env(), capture_output=True, text=True,
                          timeout=20).stdout


def window_rect(host: ObsHost, window: int) -> Rect:
    """The window's place on the screen. (xdotool's geometry counts a child window's offset twice.)"""
    info = xwininfo(host, window)

    def value(label: str) -> int:
        return int(re.search(rf"{label}:\s+(-?\d+)", info).group(1))

    return Rect(value("Absolute upper-left X"), value("Absolute upper-left Y"), value("Width"), value("Height"))


def is_top_level(host: ObsHost, window: int) -> bool:
    """Floating dock frames are windows of their own; docked ones live inside the main window."""
    tree = xwininfo(host, window, "-tree")
    return "(the root window)" in tree.split("Parent window id:", 1)[-1].splitlines()[0]


def colour_box(picture: Path, colour: str) -> Rect | None:
    """The bounding box of the pixels of that colour in a screenshot (ImageMagick's trim box)."""
    out = subprocess.run(["convert", str(picture), "-fuzz", "6%", "-fill", "#FF00FF", "-opaque", colour,
                          "-fill", "black", "+opaque", "#FF00FF", "-format", "%@", "info:"],
                         capture_output=True, text=True, timeout=60).stdout.strip()
    match = re.fullmatch(r"(\d+)x(\d+)\+(\d+)\+(\d+)", out)
    if not match or int(match.group(1)) <= 1 or int(match.group(2)) <= 1:
        return None
    return Rect(int(match.group(3)), int(match.group(4)), int(match.group(1)), int(match.group(2)))


class DockInRealHostTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.module = ModuleFiles.from_env()
        cls.artifacts = Path(os.environ.get("BL_HOST_ARTIFACTS", "/tmp/brasslight-host-runs")) / "dock"
        cls.artifacts.mkdir(parents=True, exist_ok=True)
        cls.xvfb = Xvfb(1280, 800).start()
        cls.addClassCleanup(cls.xvfb.stop)

    def frame(self, host: ObsHost) -> int:
        return host.wait_for_window(f"^{DOCK_TITLE}$", 20)

    def click(self, host: ObsHost, x: int, y: int, repeat: int = 1) -> None:
        host.xdotool("mousemove", x, y)
        time.sleep(0.1)
        host.xdotool("click", "--repeat", repeat, "--delay", 80, 1)

    def open_by_click(self, host: ObsHost, at: tuple, title: str) -> int:
        """Clicks a button that opens a dialog; a click that lands while the frame is still being
        laid out after it was mapped is lost, so it is repeated a few times."""
        for attempt in range(3):
            self.click(host, *at)
            try:
                return host.wait_for_window(title, 3)
            except obshost.HostTimeout:
                obshost.log(f"no window /{title}/ after click {attempt + 1} at {at}")
        return host.wait_for_window(title, 1)

    def drag(self, host: ObsHost, start: tuple, end: tuple, steps: int = 25) -> None:
        """A user's drag with the left button, in small moves so that Qt sees a drag start and the
        dock areas it passes."""
        host.xdotool("mousemove", *start)
        host.xdotool("mousedown", 1)
        for i in range(1, steps + 1):
            x = start[0] + (end[0] - start[0]) * i // steps
            y = start[1] + (end[1] - start[1]) * i // steps
            host.xdotool("mousemove", x, y)
            time.sleep(0.04)
        time.sleep(0.5)
        host.xdotool("mouseup", 1)

    def shot_showing_preview(self, host: ObsHost, name: str, inside: Rect) -> tuple:
        """Screenshots until the preview's orange shows inside `inside`; returns (picture, box)."""
        seen = {}

        def probe():
            picture = host.screenshot(name)
            seen["box"] = colour_box(picture, ORANGE)
            return (picture, seen["box"]) if seen["box"] and inside.contains(seen["box"]) else None

        picture, box = wait_until(probe, 20, f"the preview's orange inside the dock frame {inside}",
                                  lambda: f"orange seen at {seen.get('box')}", interval=0.5)
        kept = self.artifacts / f"{name}.png"
        shutil.copy2(picture, kept)
        obshost.log(f"screenshot: {kept}")
        return picture, box

    def assert_preview_is_nine_sixteenths(self, box: Rect) -> None:
        self.assertAlmostEqual(box.w / box.h, 9 / 16, delta=0.03, msg=f"preview picture {box} is not 9:16")

    def assert_quit_saved(self, host: ObsHost, floating: str, area: str | None = None, visible: str = "yes") -> dict:
        run = host.quit()
        self.assertTrue(run.clean, run.describe())
        self.assertEqual(0, run.leaks)
        self.assertEqual([], run.dismissed, "dialogs were open at exit")
        self.assertIn(tagged(f"Dock state saved (floating={floating}, visible={visible})"), run.log.module_lines())
        keys = read_ini(host.config_dir / GLOBAL_INI_RELPATH)["VerticalCanvas"]
        if area is not None:
            self.assertEqual(area, keys.get("dockarea"), f"stored dock keys: {keys}")
        return keys

    def start_and_find_frame(self, host: ObsHost) -> int:
        host.start()
        host.wait_for_log(re.escape(tagged("Vertical Canvas dock registered")))
        host.wait_for_log(r"^\[brasslight\] VerticalPreviewWidget: display created \(\d+x\d+\)$")
        frame = self.frame(host)
        wait_until(lambda: "IsViewable" in xwininfo(host, frame), 10, "the dock frame on screen")
        return frame

    def test_dock_floats_first_shows_its_scene_and_comes_back_where_the_user_left_it(self):
        collection = SceneCollection("Dock", {
            "Scene": [],
            COLOUR_SCENE: [color_input("Orange", 0xFFFF8800, 640, 360)],
        })
        stored_slots = {"Scenes": {"count": 1, "activescene": SLOT, "scene_0_name": SLOT, "scene_0_source": ""}}
        profile = Profile("Dock", module_settings={"canvaswidth": 360, "canvasheight": 640})
        with ObsHost("dock", module=self.module, display=self.xvfb.display, profiles=[profile],
                     collection=collection, module_global_settings=stored_slots) as host:
            # First run: no dock keys stored, so the frame floats and is visible. The user moves it.
            frame = self.start_and_find_frame(host)
            self.assertTrue(is_top_level(host, frame), "on a first run the dock frame should float")
            first = window_rect(host, frame)
            self.drag(host, (first.x + 60, first.y + 14), (first.x + 60 + 500, first.y + 14 + 200))
            wait_until(lambda: window_rect(host, frame).x > first.x + 400, 10, "the floating frame to move",
                       lambda: f"frame at {window_rect(host, frame)}")
            moved = window_rect(host, frame)
            self.assert_quit_saved(host, "yes")

            # Second run: floating where it was left.
            frame = self.start_and_find_frame(host)
            self.assertTrue(is_top_level(host, frame), "a frame saved floating should float again")
            floating = window_rect(host, frame)
            self.assertEqual((moved.x, moved.y), (floating.x, floating.y), "the floating frame moved by itself")

            # Assign the colour scene through the dock's own dialog, which lists the host's scenes.
            # The buttons keep their place relative to the frame's bottom-right corner.
            dialog = self.open_by_click(host, (floating.right - 79, floating.bottom - 84),
                                        f"^Assign OBS Scene — {SLOT}$")
            host.xdotool("key", "--window", dialog, "Down", "Down")
            # Return accepts and closes the dialog at once: the key's release then finds no window.
            host.xdotool("key", "--window", dialog, "Return", check=False)
            host.wait_for_log(re.escape(tagged(f"Scene '{SLOT}': source assigned → '{COLOUR_SCENE}'")))
            host.wait_for_log(re.escape(tagged("Scene list saved (1 scene(s))")))
            _, box = self.shot_showing_preview(host, "dock-floating", floating)
            self.assert_preview_is_nine_sixteenths(box)

            # The user docks it: a double click on the title docks it in the right area, a drag of
            # the title takes it to the left area.
            self.click(host, floating.x + 60, floating.y + 14, repeat=2)
            wait_until(lambda: not is_top_level(host, frame), 10, "the dock frame to dock")
            docked = window_rect(host, frame)
            main = window_rect(host, host.main_window())
            # Not a bare wait for something to happen: a press within the double-click interval
            # of the last click would be read as part of it rather than as the start of a drag.
            time.sleep(DOUBLE_CLICK_GAP)
            # A synthetic drag on a bare X server now and then loses the press to Qt's drag
            # threshold; a user would simply drag again, and so does the test (three tries).
            def docked_left():
                return not is_top_level(host, frame) and window_rect(host, frame).x < main.x + main.w // 4

            for attempt in range(3):
                at = window_rect(host, frame)
                self.drag(host, (at.x + 60, at.y + 12), (main.x + 12, main.y + main.h // 2))
                try:
                    wait_until(docked_left, 5, "the dock frame in the left area",
                               lambda: f"frame at {window_rect(host, frame)}, main window {main}")
                    break
                except obshost.HostTimeout:
                    if attempt == 2:
                        raise
                    time.sleep(DOUBLE_CLICK_GAP)
            self.assertEqual("false", self.assert_quit_saved(host, "no", LEFT_AREA).get("dockfloating"))

            # Third run: docked in the left area again, with the stored slot on screen. A frame
            # that never floated in this run has no window title of its own, so it is found by
            # its picture: the preview's orange in the left part of the main window, and no
            # floating frame anywhere.
            host.start()
            host.wait_for_log(re.escape(tagged("Vertical Canvas dock registered")))
            main = window_rect(host, host.main_window())
            _, box = self.shot_showing_preview(host, "dock-docked-left-restart",
                                               Rect(main.x, main.y, main.w // 3, main.h))
            self.assert_preview_is_nine_sixteenths(box)
            self.assertEqual([], [w for w in host.windows(f"^{DOCK_TITLE}$") if is_top_level(host, w)],
                             "the dock frame floats again after a restart")
            self.assert_quit_saved(host, "no", LEFT_AREA)


    def test_a_stored_area_that_names_no_dock_area_docks_on_the_right(self):
        collection = SceneCollection("Dock", {
            "Scene": [],
            COLOUR_SCENE: [color_input("Orange", 0xFFFF8800, 640, 360)],
        })
        slots = {"count": 1, "activescene": SLOT, "scene_0_name": SLOT, "scene_0_source": COLOUR_SCENE}
        profile = Profile("Dock", module_settings={"canvaswidth": 360, "canvasheight": 640})
        with ObsHost("dock-area", module=self.module, display=self.xvfb.display, profiles=[profile],
                     collection=collection,
                     module_global_settings={"Scenes": slots,
                                             "VerticalCanvas": {"dockfloating": False, "dockarea": 0}}) as host:
            host.start()
            host.wait_for_log(re.escape(tagged("Vertical Canvas dock registered")))
            main = window_rect(host, host.main_window())
            self.shot_showing_preview(host, "dock-area-0",
                                      Rect(main.x + main.w * 2 // 3, main.y, main.w - main.w * 2 // 3, main.h))
            self.assert_quit_saved(host, "no", "2")

            # A hand-edited area that is no single dock area (3 would be left and right at once):
            # docked on the right as well, and a frame stored hidden stays hidden.
            obshost.write_ini(host.config_dir / GLOBAL_INI_RELPATH, {
                "Scenes": slots,
                "VerticalCanvas": {"dockfloating": False, "dockarea": 3, "dockvisible": False}})
            host.start()
            host.wait_for_log(re.escape(tagged("Vertical Canvas dock registered")))
            run = host.run
            self.assert_quit_saved(host, "no", "2", visible="no")
            self.assertFalse([line for line in run.lines() if "display created" in line],
                             "a hidden dock created a display")


if __name__ == "__main__":
    obshost.log(f"python {sys.version.split()[0]}, module {os.environ.get('BL_MODULE_FILE')}")
    unittest.main(verbosity=2)
