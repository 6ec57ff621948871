"""What the host tests share on top of scripts/host; the hung ingest serves the C++ tests' RTMP fixture too."""

import contextlib
import json
import os
import re
import socket
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "host"))
from obshost import HostError, HostTimeout, ModuleFiles  # noqa: E402
from rtmpserver import grab_frame  # noqa: E402


# The major version of the host app the module was built for and runs in (as CTest sets it).
HOST_VERSION = int(os.environ.get("BL_HOST_VERSION", "29"))


# Host 32 itself, the module loaded or not (tried), races at exit with its own destruction of sources:
# - about one run in three ends with "Number of memory leaks: 3" (traced with an allocation hook: the
#   control block of its main canvas, made at start-up, and that canvas's scene-name table, made while
#   the scene collection loads): there, those 3 are the host's own;
# - about one run in ten logs that not all sources were cleared and then crashes in libobs while
#   freeing its context, after every module has unloaded.
HOST32_OWN_LEAKS = 3


def host32_own_crash(run) -> bool:
    lines = run.lines()
    return (not run.killed and run.returncode is not None and run.returncode < 0
            and "Not all sources were cleared when clearing scene data:" in lines
            and "[brasslight-obs-vertical] Unloaded" in lines and lines[-1].startswith(("Freeing OBS", "\t")))


def module_files() -> ModuleFiles:  # as CTest sets them
    return ModuleFiles(Path(os.environ["BL_MODULE_FILE"]), Path(os.environ["BL_MODULE_DATA_DIR"]))


def retried(action, check):
    """action() then check(), three times at most: on a bare X server, clicks during a layout get lost."""
    for _ in range(2):
        action()
        with contextlib.suppress(HostTimeout):
            return check()
    action()
    return check()


def frame_colours(url: str) -> list[str]:
    """The pure colours closest (despite compression) to five points across a frame's middle row."""
    row = grab_frame(url, "-vf", "format=rgb24,crop=iw:1:0:ih/2", "-f", "rawvideo", "-")
    width, names = len(row) // 3, {"100": "red", "010": "green", "001": "blue", "000": "black"}
    rgbs = [row[x * 3:x * 3 + 3] for x in (4, width // 4, width // 2, width * 3 // 4, width - 5)]
    return [names.get("".join("1" if v > 150 else "0" if v < 100 else "?" for v in rgb), f"rgb{tuple(rgb)}")
            for rgb in rgbs]


def tone_level(url, frequency):
    """The RMS level (dBFS) of a tone of `frequency` in the first 1.5 s of a stream or file's audio."""
    band = f"bandpass=f={frequency}:width_type=q:w=10"  # twice: an octave away, -57 dB
    out = subprocess.run(["ffmpeg", "-nostdin", "-rw_timeout", "20000000", "-i", url, "-map", "0:a", "-t", "1.5", "-af",
                          f"pan=mono|c0=c0,{band},{band},astats=measure_perchannel=none:measure_overall=RMS_level",
                          "-f", "null", "-"], capture_output=True, text=True, timeout=40)
    found = re.findall(r"RMS level dB: (\S+)", out.stderr)
    if not found:
        raise HostError(f"no audio level from {url}: {out.stderr[-500:]}")
    return float(found[-1])


def probe_file(path, *more: str) -> dict:
    """ffprobe on a file: {"video": ..., "audio": ..., "duration": seconds}; `more` asks for more (-count_frames)."""
    out = subprocess.run(["ffprobe", "-v", "error", *more, "-show_entries", "format=duration:stream=codec_type,"
                          "codec_name,width,height,r_frame_rate,nb_read_frames", "-of", "json", path],
                         capture_output=True, text=True, timeout=60, check=True)
    found = json.loads(out.stdout)
    return {**{s["codec_type"]: s for s in found["streams"]}, "duration": float(found["format"].get("duration", "nan"))}


class HungIngest:
    """Takes connections on loopback (port 0: any free one) and never answers them."""

    def __init__(self, port: int = 0):
        self.sock, self.conns = socket.create_server(("127.0.0.1", port)), []
        self.sock.setblocking(False)  # the connections wait in its backlog until counted
        self.port = self.sock.getsockname()[1]

    def accepted(self) -> int:
        with contextlib.suppress(BlockingIOError):
            while True:
                self.conns.append(self.sock.accept()[0])
        return len(self.conns)

    def close(self) -> None:
        for sock in (self.sock, *self.conns):
            sock.close()


class HostTest(unittest.TestCase):
    def quit(self, host, keys=(), dismissed=()):
        """A clean exit without leaks, with the dialogs `dismissed` open before it and no stream key in the output."""
        run = host.quit()
        clean, leaks = run.clean(), run.leaks()
        if HOST_VERSION >= 32:
            if leaks == HOST32_OWN_LEAKS:
                leaks = 0
            if host32_own_crash(run):
                clean, leaks = True, 0
        self.assertEqual((True, 0, list(dismissed)), (clean, leaks, run.dismissed), run.describe())
        self.assertEqual([], [k for k in keys if k in run.text() + run.stdout()], "a stream key reached the log")
        return run
