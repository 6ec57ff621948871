#!/usr/bin/python3
"""Shows the module in the real host app: runs `obs` in a configuration of its own with the
module installed, on $DISPLAY when one answers or else under Xvfb, and prints what the module
logged. scripts/demo builds and installs first and then runs this.

Exit status 0 when the module loaded and the app ended cleanly without leaks.
"""

import argparse
import os
import signal
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from obshost import (HostError, ModuleFiles, ObsHost, Profile, SceneCollection,  # noqa: E402
                     color_input, MODULE_TAG)

LOADED = f"{MODULE_TAG} Loaded successfully"


def usable_display(force_xvfb: bool) -> str | None:
    display = os.environ.get("DISPLAY")
    if force_xvfb or not display:
        return None
    probe = subprocess.run(["xdpyinfo", "-display", display], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    return display if probe.returncode == 0 else None


def demo_scene() -> SceneCollection:
    # Three bands of colour across the main canvas: easy to recognise in a picture.
    return SceneCollection("Demo", {"Demo": [
        color_input("Top band", 0xFFD04020, 640, 120, 0, 0),
        color_input("Middle band", 0xFFF0C030, 640, 120, 0, 120),
        color_input("Bottom band", 0xFF2060D0, 640, 120, 0, 240),
    ]})


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
    return parser.parse_args(argv)


def interrupt(*_):
    raise KeyboardInterrupt


def main(argv) -> int:
    args = parse_args(argv)
    # Ctrl-C or a plain kill ends the wait and still quits the app through its menu and reports.
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

    with ObsHost("demo", config_home=home, module=module, display=usable_display(args.xvfb),
                 profiles=[Profile("Demo")], collection=demo_scene()) as host:
        run = host.start()
        print(f"demo: the host app runs on display {host.display} (pid {run.process.pid}), "
              f"configuration {host.config_dir}")
        printed = print_module_lines(run, 0)
        try:
            if args.keep_open:
                print("demo: close the app's window, or press Ctrl-C here, to end", flush=True)
                run.process.wait()
            else:
                try:
                    run.process.wait(timeout=args.seconds)
                except subprocess.TimeoutExpired:
                    pass  # ran as long as asked
        except KeyboardInterrupt:
            print("\ndemo: interrupted: quitting the app", flush=True)
        shot = None
        if run.running:
            try:
                shot = host.screenshot("host-window", host.main_window(5), out / "host-window.png")
            except HostError as e:
                print(f"demo: no screenshot: {e}")
        run = host.quit()
        print_module_lines(run, printed)
        loaded = LOADED in run.lines()
        print(f"demo: host log {run.log.path}")
        if shot:
            print(f"demo: screenshot {shot}")
        state = "killed" if run.killed else f"exit code {run.returncode}"
        print(f"demo: module {'loaded' if loaded else 'did NOT load'}; the app ended ({state}), "
              f"memory leaks: {run.leaks if run.leaks is not None else 'not reported'}")
        return 0 if loaded and run.clean and run.leaks == 0 else 1


def print_module_lines(run, already: int) -> int:
    lines = run.log.module_lines()
    for line in lines[already:]:
        print(f"  {line}")
    sys.stdout.flush()
    return len(lines)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
