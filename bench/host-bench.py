#!/usr/bin/python3
"""Benchmarks of the vertical stream inside the real host app (run after a normal build):

  bench/host-bench.py cpu [--seconds 30]   CPU cost of the vertical stream against the host's own
                                           main stream at the same size, rate, encoder and bitrate
  bench/host-bench.py soak [--minutes 10] [--main-only]
                                           the host's memory and dropped frames with both streams on
                                           (or, for comparison, the main stream alone)
  bench/host-bench.py fanout [--seconds 15] [--rounds 4]
                                           CPU of the vertical side (the host and its file muxer
                                           processes, less the main stream alone) with 1 destination,
                                           3 destinations, and 1 destination with the recording and
                                           the replay buffer on; rounds in rotated order, with the
                                           load average, because the cores are shared
  bench/host-bench.py isolation [--seconds 30]
                                           three runs, each link behind a throttling relay: both
                                           open, the vertical link at a quarter of its stream, the
                                           main link at a quarter; the main stream's rate and
                                           longest delivery stall, the vertical's, how long
                                           StopStream takes, and the packet callback's hold times
  bench/host-bench.py slow-link [--seconds 90] [--runs 1]
                                           the vertical link open, then at a quarter of its stream,
                                           then open again, then stalled 1.2 s: the adaptive
                                           bitrate's frames dropped, delivered rate, the main
                                           stream's rate and stalls, how soon the set bitrate is
                                           back, and the audio gaps at a player

Both stream to nginx with its RTMP module on loopback, in a host configuration of their own,
under an Xvfb of their own. Results go to standard output as Markdown rows for docs/benchmarks.md.
"""

import argparse
import os
import shutil
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts" / "host"))

from obshost import ModuleFiles, ObsHost, Profile, SceneCollection, color_input, lavfi_input, wait_until, xvfb  # noqa: E402
from rtmpserver import NginxRtmp, wait_for_stream  # noqa: E402
from throttle import Throttle  # noqa: E402

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


def host_for(server: NginxRtmp, display: str, name: str, autostart: bool) -> ObsHost:
    # Main 640x360 and vertical 360x640: the same number of pixels, 30 fps, x264 ultrafast, 800 kbps.
    profile = Profile("Bench", width=640, height=360, fps=30, video_bitrate=800, stream_server=server.url,
                      stream_key="main", module_settings={
                          "rtmpurl": server.url, "streamkey": "vertical", "videobitrate": 800,
                          "encoderpreset": "ultrafast", "canvaswidth": 360, "canvasheight": 640,
                          "fpsnum": 30, "fpsden": 1, "autostartwithmain": "true" if autostart else "false"})
    slots = {"Scenes": {"count": 1, "activescene": "V", "scene_0_name": "V", "scene_0_source": "Bench"}}
    return ObsHost(name, module=module_files(), display=display, profiles=[profile], collection=scene(),
                   module_global_settings=slots)


def measure(pid: int, seconds: float) -> float:
    start_cpu, start = process_cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return (process_cpu_seconds(pid) - start_cpu) / (time.monotonic() - start)


def phase(server: NginxRtmp, display: str, autostart: bool, seconds: float) -> tuple[float, float]:
    """Host CPU (cores) idle, then with the main stream on (and the vertical one with auto-start)."""
    name = "bench-cpu-both" if autostart else "bench-cpu-main"
    with host_for(server, display, name, autostart) as host:
        run = host.start()
        ws = host.websocket()
        time.sleep(3)
        idle = measure(run.process.pid, seconds)
        ws.request("StartStream")
        wait_for_stream(server, "main")
        if autostart:
            wait_for_stream(server, "vertical")
        time.sleep(3)
        streaming = measure(run.process.pid, seconds)
        ws.request("StopStream")
        host.quit()
    return idle, streaming


def cpu(args) -> None:
    # Two starts of the host in one run of the benchmark, on the same machine state: main stream
    # alone (auto-start off), then main and vertical (auto-start on). The vertical canvas's mix is
    # rendered only while its encoder runs, so its cost includes rendering the scene a second time.
    with xvfb() as display, NginxRtmp() as server:
        idle, main = phase(server, display, False, args.seconds)
        idle_again, both = phase(server, display, True, args.seconds)
    main_cost, vertical_cost = main - idle, both - main
    print("| state | host CPU (cores) |\n|---|---|")
    print(f"| idle, nothing streaming (first start / second start) | {idle:.3f} / {idle_again:.3f} |")
    print(f"| main stream | {main:.3f} |")
    print(f"| main + vertical stream | {both:.3f} |")
    print(f"\nmain stream costs {main_cost:.3f} cores, the vertical stream {vertical_cost:.3f} cores: "
          f"ratio vertical/main {vertical_cost / main_cost:.2f}")


def soak(args) -> None:
    vertical = not args.main_only
    with xvfb() as display, NginxRtmp() as server, host_for(server, display, "bench-soak", autostart=vertical) as host:
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
            status, stats = ws.request("GetStreamStatus"), ws.request("GetStats")
            print(f"| {minute} | {process_rss_mib(pid):.1f} | {status['outputTotalFrames']} | "
                  f"{status['outputSkippedFrames']} | {stats['renderSkippedFrames']} |", flush=True)
            if time.monotonic() >= end:
                break
            time.sleep(min(60, max(0.0, end - time.monotonic())))
            minute += 1
        published = server.publishing()
        ws.request("StopStream")
        run = host.quit()
        dropped = [line for line in run.lines() if "Number of dropped frames due to insufficient bandwidth" in line
                   or "Total frames output" in line or "skipped frames" in line]
        print("\nstill publishing at the end:", sorted(published))
        print("\n".join(dropped))
        print(f"host ended cleanly: {run.clean()}, memory leaks: {run.leaks()}")


def bytes_in(server: NginxRtmp, name: str) -> int:
    import xml.etree.ElementTree as ElementTree
    for stream in ElementTree.fromstring(server.stat_xml() or "<x/>").iter("stream"):
        if stream.findtext("name") == name:
            return int(stream.findtext("bytes_in") or 0)
    return 0


class Player:
    """Plays a stream from the server and notes when its bytes arrive: the longest gap between
    two arrivals is the viewer's longest delivery stall."""

    def __init__(self, url: str):
        import subprocess
        import threading
        self.proc = subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", "-i", url, "-c", "copy", "-f", "flv",
                                      "-flush_packets", "1", "-"], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        self.times: list[float] = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        while self.proc.stdout.read1(65536):
            self.times.append(time.monotonic())

    def longest_stall_ms(self, since: float, until: float) -> float:
        times = [t for t in self.times if since <= t <= until]
        return max((b - a for a, b in zip(times, times[1:])), default=float("nan")) * 1000

    def close(self) -> None:
        self.proc.kill()
        self.proc.wait()


MAIN_KBPS, VERTICAL_KBPS, MAIN_AUDIO_KBPS, VERTICAL_AUDIO_KBPS = 600, 1500, 128, 160


def isolation_run(display: str, servers: dict, congested: str | None, seconds: float, kill_vertical: bool) -> dict:
    # A quarter of the whole stream (video and audio) of the congested side, in bytes per second.
    quarter = {"main": (MAIN_KBPS + MAIN_AUDIO_KBPS) * 1000 / 8 / 4,
               "vertical": (VERTICAL_KBPS + VERTICAL_AUDIO_KBPS) * 1000 / 8 / 4}
    relays = {side: Throttle(servers[side].rtmp_port, quarter[side] if side == congested else None)
              for side in servers}
    url = {side: f"rtmp://127.0.0.1:{relays[side].port}/live" for side in relays}
    profile = Profile("Bench", width=640, height=360, fps=30, video_bitrate=MAIN_KBPS, stream_server=url["main"],
                      stream_key="main", module_settings={
                          "rtmpurl": url["vertical"], "streamkey": "vertical", "videobitrate": VERTICAL_KBPS,
                          "encoderpreset": "ultrafast", "canvaswidth": 360, "canvasheight": 640,
                          "fpsnum": 30, "fpsden": 1, "autostartwithmain": "true"})
    from obshost import Input
    pattern = Input("Pattern", "ffmpeg_source", {
        "is_local_file": False, "input": "testsrc2=size=640x360:rate=30", "input_format": "lavfi",
        "looping": True, "close_when_inactive": False})
    tone = Input("Tone", "ffmpeg_source", {
        "is_local_file": False, "input": "sine=frequency=440:sample_rate=48000", "input_format": "lavfi",
        "looping": True, "close_when_inactive": False})
    collection = SceneCollection("Bench", {"Bench": [color_input("Back", 0xFF202020, 640, 360), pattern, tone]})
    slots = {"Scenes": {"count": 1, "activescene": "V", "scene_0_name": "V", "scene_0_source": "Bench"}}
    result = {}
    with ObsHost("bench-isolation", module=module_files(), display=display, profiles=[profile],
                 collection=collection, module_global_settings=slots) as host:
        host.start()
        ws = host.websocket()
        ws.request("StartStream")
        for side in servers:
            servers[side].wait_publishing(side, 30)
        players = {side: Player(servers[side].play_url(side)) for side in servers}
        ours = next(o["outputName"] for o in ws.request("GetOutputList")["outputs"]
                    if o["outputName"].startswith("bl_mux_output"))
        time.sleep(3)
        before = {side: bytes_in(servers[side], side) for side in servers}
        frames0 = ws.request("GetOutputStatus", {"outputName": ours})
        start = time.monotonic()
        time.sleep(seconds)
        end = time.monotonic()
        for side in servers:
            result[f"{side}_kbps"] = (bytes_in(servers[side], side) - before[side]) * 8 / 1000 / (end - start)
            result[f"{side}_stall_ms"] = players[side].longest_stall_ms(start, end)
        frames1 = ws.request("GetOutputStatus", {"outputName": ours})
        total = frames1["outputTotalFrames"] - frames0["outputTotalFrames"]
        skipped = frames1["outputSkippedFrames"] - frames0["outputSkippedFrames"]
        result["vertical_dropped"] = skipped / total if total else float("nan")
        result["vertical_congestion"] = frames1["outputCongestion"]
        if kill_vertical:
            # Reconnect mode for a while, for the packet callback's hold times while reconnecting.
            servers["vertical"].stop(kill=True)
            time.sleep(8)
            servers["vertical"].start()
        stopping = time.monotonic()
        ws.request("StopStream")
        wait_until(lambda: not ws.request("GetStreamStatus")["outputActive"] and not ws.request(
            "GetOutputStatus", {"outputName": ours})["outputActive"], 60, "both outputs to stop")
        result["stop_s"] = time.monotonic() - stopping
        for player in players.values():
            player.close()
        run = host.quit()
        result["log"] = [line for line in run.lines() if "packet callback hold" in line or "CPU per packet" in line
                         or "dropped frames due to insufficient bandwidth" in line or "encoding lag" in line
                         or "Shutdown timeout" in line or "shutdown timeout" in line]
    for relay in relays.values():
        relay.close()
    for side in servers:
        servers[side].wait_publishing(side, 30, publishing=False)
    return result


def isolation(args) -> None:
    os.environ["BL_MEASURE_HOLD"] = "1"
    runs = (("both links open", None, False), ("vertical link at 1/4", "vertical", False),
            ("main link at 1/4 (then the vertical server down 8 s)", "main", True))
    with xvfb() as display, NginxRtmp() as main_server, NginxRtmp() as vertical_server:
        servers = {"main": main_server, "vertical": vertical_server}
        results = [(label, isolation_run(display, servers, congested, args.seconds, kill))
                   for label, congested, kill in runs]
    print("| run | main kbit/s | main longest stall ms | vertical kbit/s | vertical longest stall ms | "
          "vertical frames dropped | StopStream took s |\n|---|---|---|---|---|---|---|")
    for label, r in results:
        print(f"| {label} | {r['main_kbps']:.0f} | {r['main_stall_ms']:.0f} | {r['vertical_kbps']:.0f} | "
              f"{r['vertical_stall_ms']:.0f} | {r['vertical_dropped']:.1%} | {r['stop_s']:.2f} |")
    for label, r in results:
        print(f"\n{label}:")
        print("\n".join(r["log"]))


def tree_cpu_seconds(pid: int) -> float:
    """CPU of a process and its descendants (the host's file muxer runs as a child of the app)."""
    children = {}
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            children.setdefault(int(stat.read_text().rsplit(")", 1)[1].split()[1]), []).append(int(stat.parent.name))
        except (OSError, ValueError):
            continue  # ended meanwhile
    total, todo = 0.0, [pid]
    while todo:
        current = todo.pop()
        try:
            total += process_cpu_seconds(current)
        except OSError:
            continue
        todo += children.get(current, [])
    return total


def threads_cpu_seconds(pid: int, tids) -> float:
    total = 0.0
    for tid in tids:
        try:
            fields = Path(f"/proc/{pid}/task/{tid}/stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue  # ended meanwhile
        total += (int(fields[11]) + int(fields[12])) / CLOCK_TICKS
    return total


def fanout(args) -> None:
    # One host, the main stream on throughout (auto-start off). Each phase measures the main stream
    # alone, then sets up the vertical outputs, settles 3 s and is measured: the vertical side's cost
    # is the difference. The rounds rotate the order of the phases.
    names = ["One", "Two", "Three"]
    phases = {"1 destination": (["One"], False), "3 destinations": (names, False),
              "1 destination + recording + replay buffer": (["One"], True)}
    call = lambda ws, request, **data: ws.request("CallVendorRequest", {  # noqa: E731
        "vendorName": "brasslight-vertical", "requestType": request, **({"requestData": data} if data else {})})
    folder = Path(os.environ.get("TMPDIR", "/tmp")) / f"bench-fanout-{os.getpid()}"
    costs = {label: [] for label in phases}
    own_costs = {label: [] for label in phases}
    loads = []
    with xvfb() as display, NginxRtmp() as server:
        host = host_for(server, display, "bench-fanout", autostart=False)
        host.profiles[0].module_settings.update({
            "destinationcount": 3, "destination1name": "One", "recordfolder": folder, "replayseconds": 30,
            **{f"destination{n}{k}": v for n in (2, 3) for k, v in (("name", names[n - 1]), ("url", server.url),
                                                                      ("key", f"vertical{n}"))}})
        with host:
            host.start()
            ws = host.websocket()
            ws.request("StartStream")
            wait_for_stream(server, "main")
            time.sleep(3)
            for round_ in range(args.rounds):
                order = list(phases)[round_ % 3:] + list(phases)[:round_ % 3]
                for label in order:
                    pid = host.process.pid
                    before = set(os.listdir(f"/proc/{pid}/task"))
                    base = measure_tree(pid, args.seconds)  # right before: the load drifts
                    started, files = phases[label]
                    for name in started:
                        call(ws, "StartDestination", destinationName=name)
                    if files:
                        call(ws, "StartRecording")
                        call(ws, "StartReplayBuffer")
                    for name in started:
                        server.wait_publishing("vertical" if name == "One" else f"vertical{names.index(name) + 1}")
                    time.sleep(3)
                    # The vertical side's own threads (its encoders', the senders') and the file
                    # muxer processes: CPU time that the shared cores' load hardly changes.
                    own = lambda: threads_cpu_seconds(pid, set(os.listdir(f"/proc/{pid}/task")) - before) + \
                        tree_cpu_seconds(pid) - process_cpu_seconds(pid)  # noqa: E731
                    own_start, start = own(), time.monotonic()
                    costs[label].append(measure_tree(pid, args.seconds) - base)
                    own_costs[label].append((own() - own_start) / (time.monotonic() - start))
                    if files:
                        call(ws, "StopRecording")
                        call(ws, "StopReplayBuffer")
                    call(ws, "StopStream")
                    time.sleep(2)
                loads.append(Path("/proc/loadavg").read_text().split()[0])
                print(f"round {round_ + 1}: load {loads[-1]}", file=sys.stderr)
            ws.request("StopStream")
            host.quit()
    shutil.rmtree(folder, ignore_errors=True)
    for title, table in (("the host and its muxer processes, less the main stream alone", costs),
                         ("the vertical side's own threads and muxer processes", own_costs)):
        print(f"\n{title}\n\n| vertical side | cores, median | min to max | each round |\n|---|---|---|---|")
        for label, values in table.items():
            print(f"| {label} | {statistics.median(values):.3f} | {min(values):.3f} to {max(values):.3f} | "
                  f"{' '.join(f'{v:.3f}' for v in values)} |")
    print(f"\n{args.rounds} rounds of {args.seconds:.0f} s per phase; load average (1 min) after each round: "
          f"{' '.join(loads)}")


def measure_tree(pid: int, seconds: float) -> float:
    start_cpu, start = tree_cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return (tree_cpu_seconds(pid) - start_cpu) / (time.monotonic() - start)


class AudioPlayer:
    """Reads a stream from the server with ffprobe and notes when each audio packet arrives."""

    def __init__(self, url: str):
        import subprocess
        import threading
        self.proc = subprocess.Popen(["stdbuf", "-oL", "ffprobe", "-v", "quiet", "-rw_timeout", "30000000",
                                      "-select_streams", "a", "-show_entries", "packet=pts_time", "-of", "csv=p=0",
                                      url], stdout=subprocess.PIPE, text=True)
        self.arrivals: list[tuple[float, float]] = []  # (arrival, pts)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        for line in self.proc.stdout:
            if line.strip():
                self.arrivals.append((time.monotonic(), float(line.strip().rstrip(","))))

    def longest_gap_ms(self, since: float, until: float) -> float:
        times = [since] + [t for t, _ in self.arrivals if since < t <= until] + [until]
        return max(b - a for a, b in zip(times, times[1:])) * 1000

    def longest_pts_gap_ms(self, since: float, until: float) -> float:
        pts = [p for t, p in self.arrivals if since < t <= until]
        return max((b - a for a, b in zip(pts, pts[1:])), default=float("nan")) * 1000

    def close(self) -> None:
        self.proc.kill()
        self.proc.wait()


SLOW_VERTICAL_KBPS = 4000  # the module's default


def slow_link_run(display: str, servers: dict, seconds: float, run: int) -> dict:
    # A quarter of the vertical stream's whole rate (video and audio), in bytes per second.
    quarter = (SLOW_VERTICAL_KBPS + VERTICAL_AUDIO_KBPS) * 1000 / 8 / 4
    relay = Throttle(servers["vertical"].rtmp_port, None)
    profile = Profile("Bench", width=640, height=360, fps=30, video_bitrate=MAIN_KBPS, stream_server=servers["main"].url,
                      stream_key="main", module_settings={
                          "rtmpurl": f"rtmp://127.0.0.1:{relay.port}/live", "streamkey": "vertical",
                          "videobitrate": SLOW_VERTICAL_KBPS, "encoderpreset": "ultrafast", "canvaswidth": 360,
                          "canvasheight": 640, "fpsnum": 30, "fpsden": 1, "autostartwithmain": "true"})
    from obshost import Input
    inputs = [Input(name, "ffmpeg_source", {"is_local_file": False, "input": graph, "input_format": "lavfi",
                                           "looping": True, "close_when_inactive": False})
              for name, graph in (("Pattern", "testsrc2=size=640x360:rate=30"),
                                  ("Tone", "sine=frequency=440:sample_rate=48000"))]
    collection = SceneCollection("Bench", {"Bench": [color_input("Back", 0xFF202020, 640, 360), *inputs]})
    slots = {"Scenes": {"count": 1, "activescene": "V", "scene_0_name": "V", "scene_0_source": "Bench"}}
    r = {}
    with ObsHost(f"bench-slow-link-{run}", module=module_files(), display=display, profiles=[profile],
                 collection=collection, module_global_settings=slots) as host:
        host.start()
        ws = host.websocket()
        vendor = lambda request: ws.request("CallVendorRequest", {  # noqa: E731
            "vendorName": "brasslight-vertical", "requestType": request})["responseData"]
        ws.request("StartStream")
        for side in servers:
            servers[side].wait_publishing(side, 30)
        main_player, audio = Player(servers["main"].play_url("main")), AudioPlayer(servers["vertical"].play_url("vertical"))
        ours = next(o["outputName"] for o in ws.request("GetOutputList")["outputs"]
                    if o["outputName"].startswith("bl_mux_output"))
        frames = lambda: ws.request("GetOutputStatus", {"outputName": ours})  # noqa: E731

        def window(length: float) -> dict:
            b0 = {side: bytes_in(servers[side], side) for side in servers}
            f0, start = frames(), time.monotonic()
            time.sleep(length)
            end, f1 = time.monotonic(), frames()
            total = f1["outputTotalFrames"] - f0["outputTotalFrames"]
            return {"main_kbps": (bytes_in(servers["main"], "main") - b0["main"]) * 8 / 1000 / (end - start),
                    "vertical_kbps": (bytes_in(servers["vertical"], "vertical") - b0["vertical"]) * 8 / 1000 / (end - start),
                    "main_stall_ms": main_player.longest_stall_ms(start, end),
                    "dropped": (f1["outputSkippedFrames"] - f0["outputSkippedFrames"]) / total if total else float("nan")}

        time.sleep(3)
        r["open"] = window(30)
        mark = len(host.lines())
        relay.rate = quarter
        r["first20"] = window(20)
        r["throttled"] = window(seconds - 20)
        r["bitrate_throttled"] = vendor("GetStatus")["bitrateKbps"]
        relay.rate = None
        restored = time.monotonic()
        wait_until(lambda: vendor("GetStatus")["bitrateKbps"] == SLOW_VERTICAL_KBPS, 180, "the set bitrate")
        r["back_s"] = time.monotonic() - restored
        r["changes"] = [line.split("] ", 1)[1] for line in host.lines()[mark:] if "Adaptive bitrate:" in line]
        time.sleep(5)
        relay.rate = 0.0
        time.sleep(1.2)
        relay.rate = None
        resumed = time.monotonic()
        time.sleep(5)
        r["audio_gap_after_ms"] = audio.longest_gap_ms(resumed, resumed + 5)
        r["audio_gap_ms"] = audio.longest_gap_ms(resumed - 4, resumed + 5)
        r["audio_pts_gap_ms"] = audio.longest_pts_gap_ms(resumed - 4, resumed + 5)
        main_player.close()
        audio.close()
        ws.request("StopStream")
        host.quit()
    relay.close()
    for side in servers:
        servers[side].wait_publishing(side, 30, publishing=False)
    r["link_kbps"] = quarter * 8 / 1000
    return r


def slow_link(args) -> None:
    with xvfb() as display, NginxRtmp() as main_server, NginxRtmp() as vertical_server:
        servers = {"main": main_server, "vertical": vertical_server}
        results = [slow_link_run(display, servers, args.seconds, run) for run in range(args.runs)]
    print(f"vertical set to {SLOW_VERTICAL_KBPS} kbit/s + {VERTICAL_AUDIO_KBPS} audio; link at a quarter: "
          f"{results[0]['link_kbps']:.0f} kbit/s; main {MAIN_KBPS} + {MAIN_AUDIO_KBPS}\n")
    print("| run | main kbit/s open / slow | main longest stall ms open / slow | vertical dropped, first 20 s / "
          "after | vertical kbit/s after 20 s (of the link) | bitrate at the end, kbit/s | set bitrate back after s "
          "| audio: longest gap after the stall ms / across it / in pts | vertical kbit/s open |\n|---|---|---|---|---|---|---|---|---|")
    for i, r in enumerate(results, 1):
        o, f, t = r["open"], r["first20"], r["throttled"]
        print(f"| {i} | {o['main_kbps']:.0f} / {t['main_kbps']:.0f} | {o['main_stall_ms']:.0f} / "
              f"{t['main_stall_ms']:.0f} | {f['dropped']:.1%} / {t['dropped']:.1%} | {t['vertical_kbps']:.0f} "
              f"({t['vertical_kbps'] / r['link_kbps']:.0%}) | {r['bitrate_throttled']} | {r['back_s']:.1f} | "
              f"{r['audio_gap_after_ms']:.0f} / {r['audio_gap_ms']:.0f} / {r['audio_pts_gap_ms']:.0f} | "
              f"{o['vertical_kbps']:.0f} |")
    for i, r in enumerate(results, 1):
        print(f"\nrun {i}:")
        print("\n".join(r["changes"]))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="what", required=True)
    c = sub.add_parser("cpu")
    c.add_argument("--seconds", type=float, default=30)
    s = sub.add_parser("soak")
    s.add_argument("--minutes", type=float, default=10)
    s.add_argument("--main-only", action="store_true", help="the same without the vertical stream, for comparison")
    i = sub.add_parser("isolation")
    i.add_argument("--seconds", type=float, default=30)
    f = sub.add_parser("fanout")
    f.add_argument("--seconds", type=float, default=15)
    f.add_argument("--rounds", type=int, default=4)
    sl = sub.add_parser("slow-link")
    sl.add_argument("--seconds", type=float, default=90)
    sl.add_argument("--runs", type=int, default=1)
    args = parser.parse_args()
    {"cpu": cpu, "soak": soak, "isolation": isolation, "fanout": fanout, "slow-link": slow_link}[args.what](args)


if __name__ == "__main__":
    main()
