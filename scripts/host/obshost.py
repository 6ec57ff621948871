#!/usr/bin/python3
"""Runs the real OBS Studio app with the module under an Xvfb of its own, in a scratch HOME, kept under
BL_HOST_ARTIFACTS when the block fails or BL_HOST_KEEP=1. Needs Debian's python3-websocket (/usr/bin/python3)."""

from __future__ import annotations

import base64
import configparser
import contextlib
import ctypes
import dataclasses
import hashlib
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

MODULE_NAME = "brasslight-obs-vertical"
MODULE_TAG = f"[{MODULE_NAME}]"
BANNER = "=" * 60
PROFILE_INI_NAME = "brasslight-vertical-canvas.ini"
GLOBAL_INI_RELPATH = Path("plugin_config") / MODULE_NAME / "settings-global.ini"
DOCK_TITLE = "Vertical Canvas"  # the dock frame's: a window of the main view, not a dialog


class _ClientMessage(ctypes.Structure):  # Xlib's XClientMessageEvent
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


def close_window(display: str, window: int) -> None:
    """What a window manager's close button sends (WM_DELETE_WINDOW): Qt closes the window from its event loop.
    Not SIGINT: the app 29.0's Ctrl-C handler closes the main window inside the signal handler, in the middle of
    whatever its user-interface thread was doing, which has crashed and deadlocked the shutdown."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype, x11.XOpenDisplay.argtypes = ctypes.c_void_p, [ctypes.c_char_p]
    x11.XInternAtom.restype, x11.XInternAtom.argtypes = ctypes.c_ulong, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    connection = x11.XOpenDisplay(display.encode())
    if not connection:
        raise HostError(f"cannot open the X display {display} to close window {window}")
    event = (ctypes.c_long * 24)()  # an XEvent
    message = _ClientMessage.from_buffer(event)
    message.type, message.window, message.format = 33, window, 32  # ClientMessage
    message.message_type = x11.XInternAtom(connection, b"WM_PROTOCOLS", 0)
    message.data[0] = x11.XInternAtom(connection, b"WM_DELETE_WINDOW", 0)
    x11.XSendEvent(connection, window, 0, 0, event)
    x11.XCloseDisplay(connection)  # flushes


class HostError(Exception):
    pass


class HostTimeout(HostError):
    pass


def wait_until(probe, timeout: float, what: str, report=None, interval: float = 0.1):
    deadline = time.monotonic() + timeout
    while not (value := probe()):
        if time.monotonic() >= deadline:
            raise HostTimeout(f"gave up after {timeout:.1f} s waiting for {what}" + (f"\n{report()}" if report else ""))
        time.sleep(interval)
    return value


def free_loopback_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _die_with_parent() -> None:
    # Children die with a harness killed by CTest; their own session keeps a Ctrl-C for the harness.
    ctypes.CDLL("libc.so.6").prctl(1, signal.SIGKILL)


def _spawn(argv, out, **kwargs) -> subprocess.Popen:
    return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                            start_new_session=True, preexec_fn=_die_with_parent, **kwargs)


@contextlib.contextmanager
def xvfb(width: int = 1280, height: int = 800):
    read_fd, write_fd = os.pipe()
    proc = _spawn(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{width}x{height}x24", "-nolisten", "tcp",
                   "-noreset"], subprocess.DEVNULL, pass_fds=(write_fd,))
    os.close(write_fd)
    try:
        with os.fdopen(read_fd, "rb") as pipe:
            number = pipe.readline().strip() if select.select([pipe], [], [], 15)[0] else None
        if not number:
            raise HostError(f"Xvfb reported no display (exit code {proc.poll()})")
        yield ":" + number.decode()
    finally:
        proc.kill()
        proc.wait()


@dataclasses.dataclass
class ModuleFiles:
    library: Path
    data: Path | None = None


@dataclasses.dataclass
class Profile:
    """One host profile; the defaults keep the main stream cheap on two cores."""

    name: str = "Test"
    width: int = 640
    height: int = 360
    fps: int = 30
    video_bitrate: int = 800
    # Nothing listens on port 1: a main stream started by accident fails at once.
    stream_server: str = "rtmp://127.0.0.1:1/live"
    stream_key: str = "main"
    module_settings: dict | None = None  # the module's profile file ([VerticalCanvas]); None writes none

    def write(self, profiles_dir: Path) -> None:
        folder = profiles_dir / self.name
        write_ini(folder / "basic.ini", {"General": {"Name": self.name},
            "Video": {"BaseCX": self.width, "BaseCY": self.height, "OutputCX": self.width,
                      "OutputCY": self.height, "FPSType": 1, "FPSInt": self.fps},
            "Audio": {"SampleRate": 48000, "ChannelSetup": "Stereo"}, "Output": {"Mode": "Simple"},
            "SimpleOutput": {"StreamEncoder": "x264", "VBitrate": self.video_bitrate, "ABitrate": 128,
                             "Preset": "ultrafast", "UseAdvanced": False}})
        (folder / "service.json").write_text(json.dumps({"type": "rtmp_custom", "settings": {
            "server": self.stream_server, "key": self.stream_key, "use_auth": False}}))
        if self.module_settings is not None:
            write_ini(folder / PROFILE_INI_NAME, {"VerticalCanvas": self.module_settings})


@dataclasses.dataclass
class Input:
    name: str
    kind: str
    settings: dict = dataclasses.field(default_factory=dict)
    x: float = 0.0
    y: float = 0.0
    mixers: int | None = None  # audio tracks as a bit mask


def color_input(name: str, argb: int, width: int, height: int, x: float = 0, y: float = 0) -> Input:
    abgr = (argb & 0xFF00FF00) | ((argb >> 16) & 0xFF) | ((argb & 0xFF) << 16)  # as color_source_v3 stores it
    return Input(name, "color_source_v3", {"color": abgr, "width": width, "height": height}, x, y)


def lavfi_input(name: str, graph: str, x: float = 0, y: float = 0, mixers: int | None = None) -> Input:
    return Input(name, "ffmpeg_source", {"is_local_file": False, "input": graph, "input_format": "lavfi",
                                         "looping": True, "close_when_inactive": False}, x, y, mixers)


@dataclasses.dataclass
class SceneCollection:
    name: str = "Test"
    scenes: dict = dataclasses.field(default_factory=lambda: {"Scene": []})  # inputs bottom to top

    def write(self, scenes_dir: Path) -> None:
        sources = {}
        for scene, inputs in self.scenes.items():
            for inp in inputs:
                sources[inp.name] = {"name": inp.name, "id": inp.kind, "versioned_id": inp.kind, "enabled": True,
                                     "settings": inp.settings, **({} if inp.mixers is None else {"mixers": inp.mixers})}
            items = [{"name": inp.name, "id": i, "visible": True, "pos": {"x": inp.x, "y": inp.y},
                      "scale": {"x": 1.0, "y": 1.0}, "align": 5, "bounds_type": 0}
                     for i, inp in enumerate(inputs, start=1)]
            sources[scene] = {"name": scene, "id": "scene", "versioned_id": "scene",
                              "settings": {"items": items, "id_counter": len(items)}}
        first = next(iter(self.scenes))
        scenes_dir.mkdir(parents=True, exist_ok=True)
        (scenes_dir / f"{self.name}.json").write_text(json.dumps({
            "name": self.name, "current_scene": first, "current_program_scene": first,
            "scene_order": [{"name": s} for s in self.scenes], "sources": list(sources.values()),
            "groups": [], "transitions": [], "current_transition": "Fade", "transition_duration": 300}))


def write_ini(path: Path, sections: dict) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("".join(f"[{section}]\n" + "".join(
        f"{k}={str(v).lower() if isinstance(v, bool) else v}\n" for k, v in values.items()) + "\n"
        for section, values in sections.items()), encoding="utf-8")


def read_ini(path: Path) -> dict:
    parser = configparser.ConfigParser(delimiters=("=",), interpolation=None, strict=False)
    parser.optionxform = str  # keys keep their case
    parser.read(path, encoding="utf-8")
    return {name: dict(parser[name]) for name in parser.sections()}


class ObsWebSocket:
    def __init__(self, port: int, password: str):
        import websocket  # only who talks to the app needs it

        def connect():
            with contextlib.suppress(OSError, websocket.WebSocketException):
                return websocket.create_connection(f"ws://127.0.0.1:{port}", timeout=10)

        self.socket = wait_until(connect, 20, f"obs-websocket on port {port}", interval=0.2)
        self.events: list[dict] = []  # those received (only vendor events are asked for), for a caller to look at
        auth = self._receive(0)["authentication"]
        secret = base64.b64encode(hashlib.sha256((password + auth["salt"]).encode()).digest()).decode()
        answer = base64.b64encode(hashlib.sha256((secret + auth["challenge"]).encode()).digest()).decode()
        self.socket.send(json.dumps({"op": 1, "d": {"rpcVersion": 1, "authentication": answer,
                                                    "eventSubscriptions": 1 << 9}}))
        self._receive(2)

    def _receive(self, op: int, request_id: str | None = None) -> dict:
        # The socket's own time-out bounds each read: an app that stops answering fails the test.
        while True:
            message = json.loads(self.socket.recv())
            if message["op"] == 5:
                self.events.append(message["d"])
            if message["op"] == op and (request_id is None or message["d"]["requestId"] == request_id):
                return message["d"]

    def answer(self, request_type: str, data: dict | None = None) -> dict:
        request_id = str(time.monotonic_ns())
        self.socket.send(json.dumps({"op": 6, "d": {"requestType": request_type, "requestId": request_id,
                                                  "requestData": data or {}}}))
        return self._receive(7, request_id)

    def request(self, request_type: str, data: dict | None = None) -> dict:
        answer = self.answer(request_type, data)
        if not answer["requestStatus"]["result"]:
            raise HostError(f"{request_type} failed: {answer['requestStatus']}")
        return answer.get("responseData") or {}


class ObsHost:
    """The real app with the first profile, and the state of its last start. module None: installed already;
    config_home: kept (the demo's); display None: an Xvfb of our own."""

    def __init__(self, name: str, *, profiles=(), collection: SceneCollection | None = None,
                 module: ModuleFiles | None = None, config_home: Path | None = None, display: str | None = None,
                 module_global_settings: dict | None = None):
        self.name, self.module, self.display = name, module, display
        self.module_global_settings = module_global_settings
        self.profiles = list(profiles) or [Profile()]
        self.collection = collection or SceneCollection()
        self.websocket_port = free_loopback_port()
        self.websocket_password = os.urandom(16).hex()  # obs-websocket listens on every interface
        self._own_home = config_home is None
        self.home = Path(config_home).resolve() if config_home else None
        self.starts, self.process, self.failed_run = 0, None, False
        self._cleanup = contextlib.ExitStack()
        self._ws: ObsWebSocket | None = None

    def __enter__(self) -> ObsHost:
        try:
            self._prepare()
        except BaseException:
            self.close(failed=True)
            raise
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        self.close(failed=exc_type is not None)

    def _prepare(self) -> None:
        if self.home is None:
            artifacts = Path(os.environ.get("BL_HOST_ARTIFACTS") or f"{tempfile.gettempdir()}/brasslight-host-runs")
            artifacts.mkdir(parents=True, exist_ok=True)
            self.home = Path(tempfile.mkdtemp(prefix=f"{self.name}-{time.strftime('%Y%m%d-%H%M%S')}-", dir=artifacts))
        self.config_dir = self.home / "obs-studio"
        first = self.profiles[0]
        self.set_app_settings({
            # No set-up wizard; no prompts that would block an exit and the stream requests.
            # LastVersion: 29.0.2; an older one brings what's-new and migration prompts. Pre31Migrated:
            # hosts 31 and later would otherwise move global.ini to user.ini, and stop at an error box
            # because user.ini is there already.
            "General": {"FirstRun": True, "LastVersion": 486539266, "ConfirmOnExit": False, "Pre31Migrated": True},
            "Basic": {"Profile": first.name, "ProfileDir": first.name, "SceneCollection": self.collection.name,
                      "SceneCollectionFile": self.collection.name},
            "BasicWindow": {"WarnBeforeStartingStream": False, "WarnBeforeStoppingStream": False,
                            "SysTrayEnabled": False},
            # obs-websocket before 5.5 (hosts 29 and 30) reads its settings here.
            "OBSWebSocket": {"ServerEnabled": True, "ServerPort": self.websocket_port, "AuthRequired": True,
                             "ServerPassword": self.websocket_password, "FirstLoad": False, "AlertsEnabled": False}})
        # obs-websocket 5.5 and later (host 31 on) read only their own file.
        websocket_config = self.config_dir / "plugin_config" / "obs-websocket" / "config.json"
        websocket_config.parent.mkdir(parents=True, exist_ok=True)
        websocket_config.write_text(json.dumps({
            "server_enabled": True, "server_port": self.websocket_port, "auth_required": True,
            "server_password": self.websocket_password, "alerts_enabled": False, "first_load": False}))
        for profile in self.profiles:
            profile.write(self.config_dir / "basic" / "profiles")
        self.collection.write(self.config_dir / "basic" / "scenes")
        if self.module_global_settings is not None:
            write_ini(self.config_dir / GLOBAL_INI_RELPATH, self.module_global_settings)
        if self.module is not None:
            plugin = self.config_dir / "plugins" / MODULE_NAME
            (plugin / "bin" / "64bit").mkdir(parents=True, exist_ok=True)
            shutil.copy2(self.module.library, plugin / "bin" / "64bit" / f"{MODULE_NAME}.so")
            if self.module.data is not None:
                shutil.copytree(self.module.data, plugin / "data", dirs_exist_ok=True)
        # Qt wants a private runtime folder; a short path keeps its socket names short.
        self._runtime_dir = self._cleanup.enter_context(tempfile.TemporaryDirectory(prefix="bl-xdg-"))
        if self.display is None:
            self.display = self._cleanup.enter_context(xvfb())

    def set_app_settings(self, sections: dict) -> None:
        """Merges `sections` into the app's own settings in both the files hosts read them from: global.ini
        (29 and 30), user.ini (31 and later: the profile, scene collection and windows; each host ignores the
        other's file)."""
        for name in ("global.ini", "user.ini"):
            path = self.config_dir / name
            merged = read_ini(path) if path.exists() else {}
            for section, values in sections.items():
                merged.setdefault(section, {}).update(values)
            write_ini(path, merged)

    def env(self) -> dict:
        env = dict(os.environ, XDG_CONFIG_HOME=str(self.home), HOME=str(self.home), DISPLAY=self.display,
                   XDG_RUNTIME_DIR=self._runtime_dir, LANG="C.UTF-8", LC_ALL="C.UTF-8")
        # Not a word with a desktop session the harness runs inside. A session bus that cannot exist,
        # rather than none: with none, libdbus would fork a bus launcher from the app (and leave a
        # bus daemon behind where one is installed).
        env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=/dev/null/no-session-bus"
        return {k: v for k, v in env.items() if k != "WAYLAND_DISPLAY"}

    def start(self, *args: str, timeout: float = 60) -> ObsHost:
        self.starts += 1
        self._old_logs = set((self.config_dir / "logs").glob("*"))
        self.stdout_path = self.home / f"obs-output-{self.starts}.txt"
        self.returncode, self.killed, self.dismissed = None, False, []  # dismissed: dialogs closed to quit
        with open(self.stdout_path, "wb") as out:
            self.process = _spawn(["obs", "--multi", "--disable-shutdown-check", *args], out, cwd=self.home,
                                  env=self.env())
        self.wait_for_log(rf"\[obs-websocket\] .*Server started successfully on port {self.websocket_port}\b", timeout)
        self.main_window()
        return self

    def running(self) -> bool:
        return self.process.poll() is None

    def log_path(self) -> Path | None:
        return max(set((self.config_dir / "logs").glob("*.txt")) - self._old_logs, key=lambda p: p.stat().st_mtime,
                   default=None)

    def text(self) -> str:
        return self.log_path().read_text(encoding="utf-8", errors="replace") if self.log_path() else ""

    def stdout(self) -> str:
        return self.stdout_path.read_text(encoding="utf-8", errors="replace")

    def lines(self) -> list[str]:
        """What the app logged, read from its standard output: the app writes its log file from every thread
        through one unlocked stream, which has written a line twice when another thread's line came between."""
        return [re.sub(r"^(info|warning|error|debug): ", "", line) for line in self.stdout().split("\n")[:-1]]

    def module_lines(self) -> list[str]:
        return [l for l in self.lines() if l.startswith((MODULE_TAG, "[brasslight]")) or l == BANNER]

    def leaks(self) -> int | None:
        found = re.findall(r"^Number of memory leaks: (\d+)$", "\n".join(self.lines()), re.M)
        return int(found[-1]) if found else None

    def clean(self) -> bool:
        return not self.killed and self.returncode == 0 and self.leaks() is not None

    def describe(self) -> str:
        state = "running" if self.returncode is None else "killed" if self.killed else f"exit code {self.returncode}"
        tail = self.lines()[-20:]
        return f"start {self.starts} ({state}); log {self.log_path()}; last lines:\n  " + "\n  ".join(tail)

    def _wait(self, find, timeout: float, what: str, report=None, interval: float = 0.1):
        def probe():  # fails at once when the app ends
            running = self.running()  # before find(): what it wrote on its way out still counts
            found = find()
            if not found and not running:
                raise HostError(f"the app ended while waiting for {what}: {self.describe()}")
            return found

        return wait_until(probe, timeout, what, report or self.describe, interval)

    def wait_for_log(self, pattern: str, timeout: float = 30, start: int = 0) -> re.Match:
        regex = re.compile(pattern)
        return self._wait(lambda: next(filter(None, map(regex.search, self.lines()[start:])), None), timeout,
                          f"a log line matching /{pattern}/")

    def websocket(self) -> ObsWebSocket:
        if self._ws is None:
            ws = ObsWebSocket(self.websocket_port, self.websocket_password)
            # obs-websocket of host 30 and later refuses requests (207, not ready) until the app has loaded.
            wait_until(lambda: ws.answer("GetStats")["requestStatus"]["code"] != 207, 30, "obs-websocket to be ready")
            self._ws = ws
        return self._ws

    def tool(self, *argv, check: bool = True, timeout: float = 20) -> str:
        result = subprocess.run(list(map(str, argv)), env=self.env(), capture_output=True, text=True, timeout=timeout)
        if check and result.returncode != 0:
            raise HostError(f"{' '.join(map(str, argv))} failed: {result.stderr.strip()}")
        return result.stdout

    def xdotool(self, *args, check: bool = True) -> str:
        return self.tool("xdotool", *args, check=check)

    def windows(self, name: str = "") -> list[int]:
        return [int(w) for w in self.xdotool("search", "--all", "--onlyvisible", "--pid", self.process.pid,
                                             "--name", name, check=False).split()]

    def wait_for_window(self, name: str, timeout: float = 15) -> int:
        return self._wait(lambda: next(iter(self.windows(name)), None), timeout, f"a window titled /{name}/",
                          lambda: f"windows seen: {sorted(self.dialogs().values())}", 0.2)

    def main_window(self, timeout: float = 30) -> int:
        return self.wait_for_window("^OBS ", timeout)

    def dialogs(self) -> dict[int, str]:
        """The app's message boxes and dialogs: not the main window, the dock frame, Qt's helpers ("obs")."""
        titles = {w: self.xdotool("getwindowname", w, check=False).strip() for w in self.windows()}
        return {w: t for w, t in titles.items() if t and t not in ("obs", DOCK_TITLE) and not t.startswith("OBS ")}

    def close_dialogs(self, timeout: float = 10) -> list[str]:
        """Closes the dialogs as their close button does (no focus needed, unlike a typed Escape), and gives their
        titles. Of modal boxes stacked one over another only the top one takes the close
        (Qt ignores it for a window that a modal above it blocks), so the rest get it again until none is left."""
        closed: dict[int, str] = {}

        def all_closed():
            left = self.dialogs()
            for window, title in left.items():
                closed.setdefault(window, title)
                close_window(self.display, window)  # it may be gone by now
            return not left

        with contextlib.suppress(HostTimeout):
            wait_until(all_closed, timeout, "the dialogs to close", interval=0.3)
        return list(closed.values())

    def window_rect(self, window: int) -> tuple[int, int, int, int]:
        """(x, y, width, height) on the screen (xdotool counts a child window's offset twice)."""
        info = self.tool("xwininfo", "-id", window, check=False)
        return tuple(int(re.search(rf"{label}:\s+(-?\d+)", info)[1])
                     for label in ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))

    def screenshot(self, name: str, path: Path | None = None) -> Path:
        path = Path(path or self.home / "shots" / f"{name}.png")
        path.parent.mkdir(parents=True, exist_ok=True)
        self.tool("import", "-window", "root", path, timeout=60)
        return path

    def quit(self, timeout: float = 60) -> ObsHost:
        """Closes the dialogs left open (dismissed), then the main window as a window manager would."""
        if self._ws is not None:
            with contextlib.suppress(OSError):  # the app dropped the connection first
                self._ws.socket.close()
            self._ws = None
        # A box still open would block the main window's close, and has been seen to keep the next start's
        # boxes from showing.
        self.dismissed += self.close_dialogs()
        close_window(self.display, self.main_window())
        try:
            wait_until(lambda: not self.running(), timeout, "the app to shut down")
        except HostTimeout as e:
            self.killed = True
            self.process.kill()
            print(f"obshost: {self.name}: killed the app: {e}", file=sys.stderr)
        self.returncode = self.process.wait()
        self.failed_run |= self.killed or self.returncode != 0
        return self

    def crash(self) -> None:
        """As the app crashes with its helper processes (the host's file muxer among them): SIGKILL to its group."""
        os.killpg(self.process.pid, signal.SIGKILL)
        self.returncode, self.killed, self._ws = self.process.wait(), True, None

    def close(self, failed: bool = False) -> None:
        if self.process and self.running():
            self.quit(timeout=30)
        self._cleanup.close()
        if not self._own_home or self.home is None:
            return
        if failed or self.failed_run or os.environ.get("BL_HOST_KEEP") == "1":
            print(f"obshost: {self.name}: kept {self.home}", file=sys.stderr)
        else:
            shutil.rmtree(self.home, ignore_errors=True)


# A polite termination becomes SystemExit, so that `with` blocks still quit the app and Xvfb.
with contextlib.suppress(ValueError):  # not in the main thread
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
