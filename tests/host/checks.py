"""Checks on what reached the RTMP server, shared by the host tests."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "host"))
from rtmpserver import grab_frame  # noqa: E402


def frame_colours(url: str) -> list[str]:
    """The pure colours closest (despite compression) to five points across a frame's middle row."""
    row = grab_frame(url, "-vf", "format=rgb24,crop=iw:1:0:ih/2", "-f", "rawvideo", "-")
    width, names = len(row) // 3, {"100": "red", "010": "green", "001": "blue", "000": "black"}
    rgbs = [row[x * 3:x * 3 + 3] for x in (4, width // 4, width // 2, width * 3 // 4, width - 5)]
    return [names.get("".join("1" if v > 150 else "0" if v < 100 else "?" for v in rgb), f"rgb{tuple(rgb)}")
            for rgb in rgbs]
