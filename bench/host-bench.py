#!/usr/bin/python3
"""Benchmarks of the vertical stream inside the real host app (run after a normal build):

  bench/host-bench.py cpu [--seconds 30]   CPU cost of the vertical stream against the host's own
                                           main stream at the same size, rate, encoder and bitrate
  bench/host-bench.py soak [--minutes 10] [--main-only]
                                           the host's memory and dropped frames with both streams on
                                           (or, for comparison, the main stream alone)

Both stream to nginx with its RTMP module on loopback, in a host configuration of their own,
under an Xvfb of their own. Results go to standard output as Markdown rows for docs/benchmarks.md.
"""

import argparse
import os
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts" / "host"))

from obshost import ModuleFiles, ObsHost, Profile, SceneCollection, Xvfb, color_input, lavfi_input  # noqa: E402
from rtmpserver import NginxRtmp, wait_for_stream  # noqa: E402

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def process_cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def process_rss_mib(pid: int) -> float:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0.0


def module_files() -> ModuleFiles:
    build = Path(os.environ.get("BL_BUILD_DIR", ROOT / "build"))
    return ModuleFiles(build / "brasslight-obs-vertical.so", ROOT / "data")


def scene() -> SceneCollection:
    # Something that changes every frame, so that both encoders have real work.
    pattern = lavfi_input("Pattern", "testsrc2=size=640x360:rate=30")
    return SceneCollection("Bench", {"Bench": [color_input("Back", 0xFF202020, 640, 360), pattern]})


def host_for(server: NginxRtmp, xvfb: Xvfb, name: str, autostart: bool) -> ObsHost:
    # Main 640x360 and vertical 360x640: the same number of pixels, 30 fps, x264 ultrafast, 800 kbps.
    profile = Profile("Bench", width=640, height=360, fps=30, video_bitrate=800, stream_server=server.url,
                      stream_key="main", module_settings={
                          "rtmpurl": server.url, "streamkey": "vertical", "videobitrate": 800,
                          "encoderpreset": "ultrafast", "canvaswidth": 360, "canvasheight": 640,
                          "fpsnum": 30, "fpsden": 1, "autostartwithmain": "true" if autostart else "false"})
    slots = {"Scenes": {"count": 1, "activescene": "V", "scene_0_name": "V", "scene_0_source": "Bench"}}
    return ObsHost(name, module=module_files(), display=xvfb.display, profiles=[profile], collection=scene(),
                   module_global_settings=slots)


def measure(pid: int, seconds: float) -> float:
    start_cpu, start = process_cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return (process_cpu_seconds(pid) - start_cpu) / (time.monotonic() - start)


def phase(server: NginxRtmp, xvfb: Xvfb, autostart: bool, seconds: float) -> tuple[float, float]:
    """Host CPU (cores) idle, then with the main stream on (and the vertical one with auto-start)."""
    name = "bench-cpu-both" if autostart else "bench-cpu-main"
    with host_for(server, xvfb, name, autostart) as host:
        run = host.start()
        ws = host.websocket()
        time.sleep(3)
        idle = measure(run.process.pid, seconds)
        ws.start_stream()
        wait_for_stream(server, "main")
        if autostart:
            wait_for_stream(server, "vertical")
        time.sleep(3)
        streaming = measure(run.process.pid, seconds)
        ws.stop_stream()
        host.quit()
    return idle, streaming


def cpu(args) -> None:
    # Two starts of the host in one run of the benchmark, on the same machine state: main stream
    # alone (auto-start off), then main and vertical (auto-start on). The vertical canvas's mix is
    # rendered only while its encoder runs, so its cost includes rendering the scene a second time.
    with Xvfb() as xvfb, NginxRtmp() as server:
        idle, main = phase(server, xvfb, False, args.seconds)
        idle_again, both = phase(server, xvfb, True, args.seconds)
    main_cost, vertical_cost = main - idle, both - main
    print("| state | host CPU (cores) |\n|---|---|")
    print(f"| idle, nothing streaming (first start / second start) | {idle:.3f} / {idle_again:.3f} |")
    print(f"| main stream | {main:.3f} |")
    print(f"| main + vertical stream | {both:.3f} |")
    print(f"\nmain stream costs {main_cost:.3f} cores, the vertical stream {vertical_cost:.3f} cores: "
          f"ratio vertical/main {vertical_cost / main_cost:.2f}")


def soak(args) -> None:
    vertical = not args.main_only
    with Xvfb() as xvfb, NginxRtmp() as server, host_for(server, xvfb, "bench-soak", autostart=vertical) as host:
        run = host.start("--startstreaming")
        pid = run.process.pid
        wait_for_stream(server, "main")
        if vertical:
            wait_for_stream(server, "vertical")
        ws = host.websocket()
        print("| minute | host RSS MiB | main frames | main skipped | render lagged |\n|---|---|---|---|---|")
        end = time.monotonic() + args.minutes * 60
        minute = 0
        while True:
            status, stats = ws.stream_status(), ws.stats()
            print(f"| {minute} | {process_rss_mib(pid):.1f} | {status['outputTotalFrames']} | "
                  f"{status['outputSkippedFrames']} | {stats['renderSkippedFrames']} |", flush=True)
            if time.monotonic() >= end:
                break
            time.sleep(min(60, max(0.0, end - time.monotonic())))
            minute += 1
        published = server.publishing()
        ws.stop_stream()
        run = host.quit()
        dropped = [line for line in run.lines() if "Number of dropped frames due to insufficient bandwidth" in line
                   or "Total frames output" in line or "skipped frames" in line]
        print("\nstill publishing at the end:", sorted(published))
        print("\n".join(dropped))
        print(f"host ended cleanly: {run.clean}, memory leaks: {run.leaks}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="what", required=True)
    c = sub.add_parser("cpu")
    c.add_argument("--seconds", type=float, default=30)
    s = sub.add_parser("soak")
    s.add_argument("--minutes", type=float, default=10)
    s.add_argument("--main-only", action="store_true", help="the same without the vertical stream, for comparison")
    args = parser.parse_args()
    {"cpu": cpu, "soak": soak}[args.what](args)


if __name__ == "__main__":
    main()
