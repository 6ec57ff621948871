#!/usr/bin/python3
"""Shows the module streaming in the real host app: starts a local RTMP server (nginx with its
RTMP module on loopback), runs `obs` in a configuration of its own with the module installed, on
$DISPLAY when one answers or else under Xvfb, with a moving demo scene shown in a vertical slot,
starts the main stream, and reports what reached the server on both streams, one frame of the
vertical stream as a PNG, a screenshot of the host window, and what the module logged.
scripts/demo builds and installs first and then runs this.

Exit status 0 when both streams arrived and the app ended cleanly without leaks.
"""

import argparse
import os
import signal
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from obshost import (HostError, ModuleFiles, ObsHost, Profile, SceneCollection,  # noqa: E402
                     color_input, lavfi_input, MODULE_TAG)
from rtmpserver import NginxRtmp, grab_frame, wait_for_stream  # noqa: E402

MAIN_KEY = "main"
VERTICAL_KEY = "vertical-demo"

LOADED = f"{MODULE_TAG} Loaded successfully"


def usable_display(force_xvfb: bool) -> str | None:
    display = os.environ.get("DISPLAY")
    if force_xvfb or not display:
        return None
    probe = subprocess.run(["xdpyinfo", "-display", display], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    return display if probe.returncode == 0 else None


def demo_scene() -> SceneCollection:
    # Three bands of colour across the main canvas, easy to recognise in a picture, and FFmpeg's
    # moving test pattern with a running clock in the middle, so that the streams visibly move.
    pattern = lavfi_input("Moving pattern", "testsrc2=size=320x180:rate=30", 160, 90)
    return SceneCollection("Demo", {"Demo": [
        color_input("Left band", 0xFFD04020, 214, 360, 0, 0),
        color_input("Middle band", 0xFFF0C030, 213, 360, 214, 0),
        color_input("Right band", 0xFF2060D0, 213, 360, 427, 0),
        pattern,
    ]})


def describe(probe: dict) -> str:
    video, audio = probe.get("video", {}), probe.get("audio", {})
    return (f"{video.get('codec_name')} {video.get('width')}x{video.get('height')} "
            f"@ {video.get('avg_frame_rate')} fps, {audio.get('codec_name')} "
            f"{audio.get('sample_rate')} Hz {audio.get('channels')} ch")


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--config-home", type=Path, required=True,
                        help="the folder the app uses as XDG_CONFIG_HOME and HOME (kept afterwards)")
    parser.add_argument("--out", type=Path, help="where to put the screenshot (default: --config-home)")
    parser.add_argument("--module", type=Path,
                        help="copy this built module file in; without it the module must be installed already")
    parser.add_argument("--data", type=Path, help="the module's data folder, copied with --module")
    parser.add_argument("--seconds", type=float, default=5,
                        help="how long the app runs once it has loaded (default 5)")
    parser.add_argument("--keep-open", action="store_true",
                        help="leave the app running until it is closed or Ctrl-C is pressed")
    parser.add_argument("--xvfb", action="store_true", help="use an Xvfb of its own even when $DISPLAY works")
    parser.add_argument("--width", type=int, default=540, help="vertical canvas width (default 540)")
    parser.add_argument("--height", type=int, default=960, help="vertical canvas height (default 960)")
    return parser.parse_args(argv)


def interrupt(*_):
    raise KeyboardInterrupt


def main(argv) -> int:
    args = parse_args(argv)
    # Ctrl-C or a plain kill ends the wait and still quits the app properly and reports.
    signal.signal(signal.SIGINT, interrupt)
    signal.signal(signal.SIGTERM, interrupt)
    home = args.config_home.resolve()
    if home == (Path.home() / ".config").resolve():
        sys.exit("demo: refusing to use the user's own configuration folder")
    module = ModuleFiles(args.module, args.data) if args.module else None
    if module is None and not (home / "obs-studio" / "plugins" / "brasslight-obs-vertical").is_dir():
        sys.exit(f"demo: the module is not installed under {home}: pass --module, or run scripts/demo")
    out = (args.out or home).resolve()
    out.mkdir(parents=True, exist_ok=True)

    with NginxRtmp() as server:
        return run_demo(args, home, module, out, server)


def run_demo(args, home: Path, module, out: Path, server: NginxRtmp) -> int:
    print(f"demo: RTMP server (nginx) on {server.url}")
    profile = Profile("Demo", stream_server=server.url, stream_key=MAIN_KEY, module_settings={
        "rtmpurl": server.url, "streamkey": VERTICAL_KEY, "videobitrate": 1500, "encoderpreset": "veryfast",
        "canvaswidth": args.width, "canvasheight": args.height, "autostartwithmain": "true"})
    # One vertical slot that shows the demo scene, as a user would set it up in the dock.
    slots = {"Scenes": {"count": 1, "activescene": "Vertical", "scene_0_name": "Vertical",
                        "scene_0_source": "Demo"}}
    ok = False
    with ObsHost("demo", config_home=home, module=module, display=usable_display(args.xvfb),
                 profiles=[profile], collection=demo_scene(), module_global_settings=slots) as host:
        run = host.start("--startstreaming")
        print(f"demo: the host app runs on display {host.display} (pid {run.process.pid}), "
              f"configuration {host.config_dir}")
        printed = print_module_lines(run, 0)
        frame = shot = None
        try:
            main = wait_for_stream(server, MAIN_KEY)
            vertical = wait_for_stream(server, VERTICAL_KEY)
            print(f"demo: main stream     {server.play_url(MAIN_KEY)}: {describe(main)}")
            print(f"demo: vertical stream {server.play_url('<key>')}: {describe(vertical)}")
            frame = out / "vertical-frame.png"
            grab_frame(server.play_url(VERTICAL_KEY), str(frame))
            ok = True
        except HostError as error:
            print(f"demo: the streams did not arrive: {error}")
        try:
            if args.keep_open:
                print("demo: streaming; close the app's window, or press Ctrl-C here, to end", flush=True)
                run.process.wait()
            else:
                try:
                    run.process.wait(timeout=args.seconds)
                except subprocess.TimeoutExpired:
                    pass  # ran as long as asked
        except KeyboardInterrupt:
            print("\ndemo: interrupted: quitting the app", flush=True)
        if run.running():
            try:
                # The whole screen: the dock floats beside the main window on a first run.
                shot = host.screenshot("host-window", out / "host-window.png")
            except HostError as e:
                print(f"demo: no screenshot: {e}")
            try:
                host.websocket().request("StopStream")
                server.wait_publishing(VERTICAL_KEY, 15, publishing=False)
            except HostError as e:
                print(f"demo: stopping the streams: {e}")
        run = host.quit()
        print_module_lines(run, printed)
        loaded = LOADED in run.lines()
        print(f"demo: host log {run.log_path()}")
        if frame and frame.exists():
            print(f"demo: a frame of the vertical stream: {frame}")
        if shot:
            print(f"demo: screenshot of the host window: {shot}")
        state = "killed" if run.killed else f"exit code {run.returncode}"
        print(f"demo: module {'loaded' if loaded else 'did NOT load'}; the app ended ({state}), "
              f"memory leaks: {run.leaks() if run.leaks() is not None else 'not reported'}")
        return 0 if ok and loaded and run.clean() and run.leaks() == 0 else 1


def print_module_lines(run, already: int) -> int:
    lines = run.module_lines()
    for line in lines[already:]:
        print(f"  {line}")
    sys.stdout.flush()
    return len(lines)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
