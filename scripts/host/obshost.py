#!/usr/bin/python3
"""Runs the real OBS Studio app with the module installed into a configuration of its own.

The front-end paths of the module (its load inside the real app, host events, the dock, the
stream that starts with the main stream) only exist in the real app, so tests and the demo drive
`obs` itself: under an Xvfb of their own, with XDG_CONFIG_HOME and HOME pointing into a scratch
folder, so that the user's own ~/.config/obs-studio is never read or written.

    with ObsHost("smoke", module=ModuleFiles.from_env(),
                 profiles=[Profile("Smoke", module_settings={"rtmpurl": "rtmp://127.0.0.1/live"})]) as host:
        host.start()                              # waits until the app has finished loading
        host.wait_for_log(r"\\[brasslight-obs-vertical\\] Loaded successfully")
        status = host.websocket().request("GetStreamStatus")
        host.screenshot("main")
        run = host.quit()                         # File > Exit, as a user would
        assert run.clean and run.leaks == 0, run.tail()

Leaving the `with` block always stops what the harness started (the app, then Xvfb). The scratch
folder is deleted after a run that went well and kept, with its path printed, when the block
ends with an exception, when the app had to be killed, or when BL_HOST_KEEP=1.

Only the Python standard library and Debian's python3-websocket are used: run with /usr/bin/python3.
"""

from __future__ import annotations

import base64
import ctypes
import dataclasses
import hashlib
import json
import os
import re
import secrets
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Iterable

MODULE_NAME = "brasslight-obs-vertical"
MODULE_TAG = "[brasslight-obs-vertical]"
BANNER = "=" * 60
PROFILE_INI_NAME = "brasslight-vertical-canvas.ini"
PROFILE_INI_SECTION = "VerticalCanvas"
GLOBAL_INI_RELPATH = Path("plugin_config") / MODULE_NAME / "settings-global.ini"
# The module's dock frame carries this title; as a window of its own (floating, or a native child
# of the main window once docked) it is part of the app's main view, not a dialog.
DOCK_TITLE = "Vertical Canvas"

# The app's version code for 29.0.2 as it stores it in global.ini. Without it the app treats the
# configuration as one from an older version and may show what's-new or migration prompts.
HOST_LAST_VERSION = 486539266

# The log file prefixes every line with "HH:MM:SS.mmm: ".
_TIMESTAMP = re.compile(r"^\d\d:\d\d:\d\d\.\d\d\d: ")
_LEAKS = re.compile(r"^Number of memory leaks: (\d+)$")
SHUTDOWN_LINE = "==== Shutting down =================================================="


class HostError(Exception):
    """The host app or a tool around it did not do what the harness needed."""


class HostTimeout(HostError):
    """A wait ran past its deadline; the message says what was last seen."""


class HostDied(HostError):
    """The app ended while the harness still expected it to run."""


def log(message: str) -> None:
    print(f"obshost: {message}", file=sys.stderr, flush=True)


def wait_until(probe: Callable[[], object], timeout: float, what: str,
               report: Callable[[], str] | None = None, interval: float = 0.1):
    """Polls `probe` until it returns something truthy, and returns that.

    On the deadline raises HostTimeout naming `what`, followed by `report()` (what was last seen).
    """
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() >= deadline:
            detail = f"\n{report()}" if report else ""
            raise HostTimeout(f"gave up after {timeout:.1f} s waiting for {what}{detail}")
        time.sleep(interval)


def free_loopback_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _die_with_parent() -> None:
    # Runs in the child between fork and exec: if the harness itself is killed (a CTest time-out,
    # say), its children must not linger holding displays and ports. The children also get a
    # session of their own, so that a Ctrl-C in the terminal reaches only the harness, which then
    # quits the app properly instead of losing its X server under it.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def _stop_process(proc: subprocess.Popen, grace: float) -> bool:
    """Terminates one process we started, killing it after `grace` seconds. True when killed."""
    if proc.poll() is not None:
        return False
    proc.terminate()
    try:
        proc.wait(grace)
        return False
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return True


# --------------------------------------------------------------------------------------------
# Display


class Xvfb:
    """An X server of our own. Xvfb picks a free display number itself (-displayfd), so parallel
    runs never race for one."""

    def __init__(self, width: int = 1280, height: int = 800, log_path: Path | None = None):
        self.width, self.height = width, height
        self.log_path = log_path
        self.display: str | None = None
        self._proc: subprocess.Popen | None = None

    def start(self, timeout: float = 15) -> "Xvfb":
        read_fd, write_fd = os.pipe()
        out = open(self.log_path, "wb") if self.log_path else subprocess.DEVNULL
        try:
            self._proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{self.width}x{self.height}x24",
                 "-nolisten", "tcp", "-noreset"],
                pass_fds=(write_fd,), stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                start_new_session=True, preexec_fn=_die_with_parent)
        finally:
            os.close(write_fd)
            if out is not subprocess.DEVNULL:
                out.close()
        got = b""
        deadline = time.monotonic() + timeout
        try:
            while not got.endswith(b"\n"):
                remaining = deadline - time.monotonic()
                ready, _, _ = select.select([read_fd], [], [], max(0.0, remaining))
                if not ready:
                    self.stop()
                    raise HostTimeout(f"Xvfb did not report a display within {timeout:.0f} s")
                chunk = os.read(read_fd, 64)
                if not chunk:
                    code = self._proc.wait()
                    raise HostError(f"Xvfb ended with code {code} before reporting a display"
                                    + (f" (see {self.log_path})" if self.log_path else ""))
                got += chunk
        finally:
            os.close(read_fd)
        self.display = ":" + got.decode().strip()
        return self

    def stop(self) -> None:
        if self._proc is not None:
            _stop_process(self._proc, 5)
            self._proc = None

    def __enter__(self) -> "Xvfb":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


# --------------------------------------------------------------------------------------------
# What goes into the isolated configuration


@dataclasses.dataclass
class ModuleFiles:
    """The built module file and its data folder, copied into the configuration's plug-in folder
    in the layout the app loads user plug-ins from (the same one `cmake --install` produces)."""

    library: Path
    data: Path | None = None

    @classmethod
    def from_env(cls) -> "ModuleFiles":
        """From BL_MODULE_FILE and BL_MODULE_DATA_DIR, which CTest sets for host tests."""
        library = os.environ.get("BL_MODULE_FILE")
        if not library:
            raise HostError("BL_MODULE_FILE is not set: run through ctest, or set it to the built "
                            f"{MODULE_NAME}.so")
        data = os.environ.get("BL_MODULE_DATA_DIR")
        return cls(Path(library), Path(data) if data else None)

    def install(self, config_dir: Path) -> Path:
        if not self.library.is_file():
            raise HostError(f"module file {self.library} does not exist: build it first")
        root = config_dir / "plugins" / MODULE_NAME
        bin_dir = root / "bin" / "64bit"
        bin_dir.mkdir(parents=True, exist_ok=True)
        shutil.copy2(self.library, bin_dir / f"{MODULE_NAME}.so")
        if self.data is not None:
            shutil.copytree(self.data, root / "data", dirs_exist_ok=True)
        return root


@dataclasses.dataclass
class Profile:
    """One host profile. The defaults keep the main canvas and stream cheap on two cores."""

    name: str = "Test"
    width: int = 640
    height: int = 360
    fps: int = 30
    video_bitrate: int = 800
    audio_bitrate: int = 128
    # Where the main stream goes. Nothing listens on port 1, so a stream started by accident
    # fails at once instead of reaching anything.
    stream_server: str = "rtmp://127.0.0.1:1/live"
    stream_key: str = "main"
    # The module's per-profile file: None writes none; a dict becomes [VerticalCanvas] key=value.
    module_settings: dict | None = None
    # More basic.ini entries, {"Section": {"Key": value}}, applied over the defaults.
    basic_ini: dict = dataclasses.field(default_factory=dict)

    def write(self, profiles_dir: Path) -> Path:
        folder = profiles_dir / self.name
        folder.mkdir(parents=True, exist_ok=True)
        sections = {
            "General": {"Name": self.name},
            "Video": {"BaseCX": self.width, "BaseCY": self.height, "OutputCX": self.width,
                      "OutputCY": self.height, "FPSType": 1, "FPSInt": self.fps},
            "Audio": {"SampleRate": 48000, "ChannelSetup": "Stereo"},
            "Output": {"Mode": "Simple"},
            "SimpleOutput": {"StreamEncoder": "x264", "VBitrate": self.video_bitrate,
                             "ABitrate": self.audio_bitrate, "Preset": "ultrafast",
                             "UseAdvanced": "false"},
        }
        for section, values in self.basic_ini.items():
            sections.setdefault(section, {}).update(values)
        write_ini(folder / "basic.ini", sections)
        service = {"type": "rtmp_custom",
                   "settings": {"server": self.stream_server, "key": self.stream_key, "use_auth": False}}
        (folder / "service.json").write_text(json.dumps(service, indent=1))
        module_ini = folder / PROFILE_INI_NAME
        if self.module_settings is None:
            module_ini.unlink(missing_ok=True)
        else:
            write_ini(module_ini, {PROFILE_INI_SECTION: self.module_settings})
        return folder


@dataclasses.dataclass
class Input:
    """A source placed in a scene at (x, y), scaled by `scale`."""

    name: str
    kind: str
    settings: dict = dataclasses.field(default_factory=dict)
    x: float = 0.0
    y: float = 0.0
    scale: float = 1.0


def color_input(name: str, argb: int, width: int, height: int, x: float = 0, y: float = 0) -> Input:
    """A plain colour rectangle (the host's color_source_v3; colour as 0xAARRGGBB)."""
    abgr = (argb & 0xFF00FF00) | ((argb >> 16) & 0xFF) | ((argb & 0xFF) << 16)
    return Input(name, "color_source_v3", {"color": abgr, "width": width, "height": height}, x, y)


@dataclasses.dataclass
class SceneCollection:
    """A scene collection file: scenes in order, each with its inputs bottom to top."""

    name: str = "Test"
    scenes: dict = dataclasses.field(default_factory=lambda: {"Scene": []})

    def to_json(self) -> dict:
        sources, seen = [], set()
        for scene_name, inputs in self.scenes.items():
            items = []
            for index, inp in enumerate(inputs, start=1):
                items.append({
                    "name": inp.name, "id": index, "visible": True, "locked": False,
                    "pos": {"x": inp.x, "y": inp.y}, "scale": {"x": inp.scale, "y": inp.scale},
                    "rot": 0.0, "align": 5, "bounds_type": 0, "bounds_align": 0,
                    "bounds": {"x": 0.0, "y": 0.0},
                    "crop_left": 0, "crop_top": 0, "crop_right": 0, "crop_bottom": 0,
                })
                if inp.name not in seen:
                    seen.add(inp.name)
                    sources.append({"name": inp.name, "id": inp.kind, "versioned_id": inp.kind,
                                    "settings": inp.settings, "enabled": True})
            sources.append({"name": scene_name, "id": "scene", "versioned_id": "scene",
                            "settings": {"items": items, "id_counter": len(items),
                                         "custom_size": False}})
        first = next(iter(self.scenes), "Scene")
        return {"name": self.name, "current_scene": first, "current_program_scene": first,
                "scene_order": [{"name": s} for s in self.scenes], "sources": sources,
                "groups": [], "transitions": [], "current_transition": "Fade",
                "transition_duration": 300}

    def write(self, scenes_dir: Path) -> Path:
        scenes_dir.mkdir(parents=True, exist_ok=True)
        path = scenes_dir / f"{self.name}.json"
        path.write_text(json.dumps(self.to_json(), indent=1))
        return path


def write_ini(path: Path, sections: dict) -> None:
    """Writes an ini file as the host's settings store reads it (no quoting, no interpolation)."""
    lines = []
    for section, values in sections.items():
        lines.append(f"[{section}]")
        for key, value in values.items():
            if isinstance(value, bool):
                value = "true" if value else "false"
            lines.append(f"{key}={value}")
        lines.append("")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(lines), encoding="utf-8")


def read_ini(path: Path) -> dict:
    """Reads an ini file of the host's settings store into {section: {key: value}}."""
    sections: dict = {}
    current = None
    for raw in path.read_text(encoding="utf-8", errors="replace").splitlines():
        line = raw.strip()
        if line.startswith("[") and line.endswith("]"):
            current = sections.setdefault(line[1:-1], {})
        elif current is not None and "=" in line:
            key, value = line.split("=", 1)
            current[key] = value
    return sections


# --------------------------------------------------------------------------------------------
# The app's log


class HostLog:
    """The log file of one run of the app (the newest file that run added to obs-studio/logs),
    read as it grows. Lines come without the time stamp the app puts in front of them."""

    def __init__(self, logs_dir: Path, existing: set, stdout_path: Path):
        self.logs_dir = logs_dir
        self.stdout_path = stdout_path
        self.path: Path | None = None
        self._existing = existing
        self._offset = 0
        self._partial = b""
        self._lines: list[str] = []

    def _find(self) -> Path | None:
        if self.path is None and self.logs_dir.is_dir():
            fresh = [p for p in self.logs_dir.iterdir() if p.name not in self._existing and p.suffix == ".txt"]
            if fresh:
                self.path = max(fresh, key=lambda p: p.stat().st_mtime)
        return self.path

    def refresh(self) -> list[str]:
        """Reads what was appended since the last call; returns all complete lines so far."""
        if self._find() is None:
            return self._lines
        with open(self.path, "rb") as f:
            f.seek(self._offset)
            data = f.read()
        self._offset += len(data)
        data = self._partial + data
        *complete, self._partial = data.split(b"\n")
        for raw in complete:
            self._lines.append(_TIMESTAMP.sub("", raw.decode("utf-8", errors="replace")))
        return self._lines

    def lines(self) -> list[str]:
        return list(self.refresh())

    def text(self) -> str:
        self.refresh()
        return self.path.read_text(encoding="utf-8", errors="replace") if self.path else ""

    def stdout(self) -> str:
        try:
            return self.stdout_path.read_text(encoding="utf-8", errors="replace")
        except FileNotFoundError:
            return ""

    def module_lines(self) -> list[str]:
        """The lines the module wrote: its tagged lines, the dock's and its banners."""
        return [l for l in self.lines() if l.startswith(("[brasslight-obs-vertical]", "[brasslight]"))
                or l == BANNER]

    def find(self, pattern: str | re.Pattern, start: int = 0) -> tuple[int, re.Match] | None:
        regex = re.compile(pattern) if isinstance(pattern, str) else pattern
        for index, line in enumerate(self.refresh()[start:], start=start):
            match = regex.search(line)
            if match:
                return index, match
        return None

    def tail(self, count: int = 20) -> str:
        lines = self.refresh()
        if not lines:
            out = self.stdout().splitlines()[-count:]
            return "(no log file yet; the app's output ends with)\n  " + "\n  ".join(out)
        return "  " + "\n  ".join(lines[-count:])


# --------------------------------------------------------------------------------------------
# obs-websocket 5


class RequestFailed(HostError):
    def __init__(self, request_type: str, status: dict):
        self.code = status.get("code")
        self.comment = status.get("comment", "")
        super().__init__(f"{request_type} failed with code {self.code}: {self.comment}")


class ObsWebSocket:
    """A small client of the app's obs-websocket 5 server: requests and the events around them."""

    ALL_EVENTS = 0x7FF  # every event group that is not high-volume

    def __init__(self, port: int, password: str | None = None, timeout: float = 20,
                 events: int = ALL_EVENTS):
        import websocket  # Debian's python3-websocket; imported here so the rest works without it

        self._timeout_error = websocket.WebSocketTimeoutException
        self.events: list[dict] = []
        self._next_id = 0
        url = f"ws://127.0.0.1:{port}"
        # The server starts only once the app has finished loading.
        self._ws = wait_until(lambda: self._try_connect(websocket, url), timeout,
                              f"obs-websocket to accept connections on {url}", interval=0.2)
        hello = self._recv_op(0, 10)
        identify = {"rpcVersion": 1, "eventSubscriptions": events}
        auth = hello.get("authentication")
        if auth:
            if password is None:
                raise HostError("obs-websocket asks for a password and none was given")
            secret = base64.b64encode(hashlib.sha256((password + auth["salt"]).encode()).digest()).decode()
            identify["authentication"] = base64.b64encode(
                hashlib.sha256((secret + auth["challenge"]).encode()).digest()).decode()
        self._send(1, identify)
        self._recv_op(2, 10)

    @staticmethod
    def _try_connect(websocket, url):
        try:
            return websocket.create_connection(url, timeout=5)
        except (ConnectionError, OSError, websocket.WebSocketException):
            return None

    def _send(self, op: int, data: dict) -> None:
        self._ws.send(json.dumps({"op": op, "d": data}))

    def _recv(self, deadline: float) -> dict | None:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return None
        self._ws.settimeout(remaining)
        try:
            message = json.loads(self._ws.recv())
        except self._timeout_error:
            return None
        if message.get("op") == 5:
            self.events.append(message["d"])
        return message

    def _recv_op(self, op: int, timeout: float) -> dict:
        deadline = time.monotonic() + timeout
        while True:
            message = self._recv(deadline)
            if message is None:
                raise HostTimeout(f"obs-websocket sent no op {op} message within {timeout:.0f} s")
            if message.get("op") == op:
                return message["d"]

    def request(self, request_type: str, data: dict | None = None, timeout: float = 15) -> dict:
        """Sends one request and returns its responseData ({} when there is none)."""
        self._next_id += 1
        request_id = f"bl-{self._next_id}"
        payload = {"requestType": request_type, "requestId": request_id}
        if data is not None:
            payload["requestData"] = data
        self._send(6, payload)
        deadline = time.monotonic() + timeout
        while True:
            message = self._recv(deadline)
            if message is None:
                raise HostTimeout(f"no answer to {request_type} within {timeout:.0f} s")
            d = message.get("d", {})
            if message.get("op") == 7 and d.get("requestId") == request_id:
                if not d["requestStatus"]["result"]:
                    raise RequestFailed(request_type, d["requestStatus"])
                return d.get("responseData") or {}

    def wait_event(self, event_type: str, timeout: float = 15,
                   match: Callable[[dict], bool] | None = None) -> dict:
        """Returns the eventData of the first event of that type (received before or during the
        wait) that `match` accepts, and forgets it and everything before it."""
        deadline = time.monotonic() + timeout
        seen = 0
        while True:
            for index in range(seen, len(self.events)):
                event = self.events[index]
                data = event.get("eventData") or {}
                if event.get("eventType") == event_type and (match is None or match(data)):
                    del self.events[:index + 1]
                    return data
            seen = len(self.events)
            if self._recv(deadline) is None:
                last = [e.get("eventType") for e in self.events[-8:]]
                raise HostTimeout(f"no {event_type} event within {timeout:.0f} s; last events: {last}")

    # The requests tests use most, by name.
    def start_stream(self) -> dict:
        return self.request("StartStream")

    def stop_stream(self) -> dict:
        return self.request("StopStream")

    def stream_status(self) -> dict:
        return self.request("GetStreamStatus")

    def stats(self) -> dict:
        return self.request("GetStats")

    def set_current_profile(self, name: str) -> dict:
        return self.request("SetCurrentProfile", {"profileName": name})

    def create_scene(self, name: str) -> dict:
        return self.request("CreateScene", {"sceneName": name})

    def create_input(self, scene: str, name: str, kind: str, settings: dict | None = None) -> dict:
        return self.request("CreateInput", {"sceneName": scene, "inputName": name, "inputKind": kind,
                                            "inputSettings": settings or {}, "sceneItemEnabled": True})

    def close(self) -> None:
        try:
            self._ws.close()
        except Exception:  # closing a socket the app already dropped: nothing left to do
            pass


# --------------------------------------------------------------------------------------------
# The app


@dataclasses.dataclass
class HostRun:
    """One start of the app, from launch to its end."""

    index: int
    args: list
    process: subprocess.Popen
    log: HostLog
    launched: float
    ready_after: float | None = None
    quit_took: float | None = None
    returncode: int | None = None
    killed: bool = False
    dismissed: list = dataclasses.field(default_factory=list)  # titles of dialogs closed to quit

    @property
    def running(self) -> bool:
        return self.process.poll() is None

    @property
    def leaks(self) -> int | None:
        """The count from the app's own "Number of memory leaks: N" line, None when absent."""
        for line in reversed(self.log.lines()):
            match = _LEAKS.match(line)
            if match:
                return int(match.group(1))
        return None

    @property
    def clean(self) -> bool:
        """Ended by itself with code 0 after a full shutdown."""
        return (not self.killed and self.returncode == 0 and self.leaks is not None)

    def lines(self) -> list[str]:
        return self.log.lines()

    def text(self) -> str:
        return self.log.text()

    def tail(self, count: int = 20) -> str:
        return self.log.tail(count)

    def describe(self) -> str:
        state = "running" if self.returncode is None else (
            "killed" if self.killed else f"exited with code {self.returncode}")
        return f"run {self.index} ({state}); log {self.log.path}; last lines:\n{self.log.tail()}"


class ObsHost:
    """The real app in an isolated configuration; a context manager that always cleans up.

    name      a label; also names the scratch folder
    profiles  the profiles to write; the first is the one the app starts with
    collection  a SceneCollection to write (default: one empty scene)
    module    ModuleFiles to install into the configuration, None when it is installed already
    config_home  use this folder as XDG_CONFIG_HOME/HOME and keep it (the demo's); default: a
              fresh scratch folder under `artifacts`
    display   an X display to use (":0"); default: an Xvfb of our own
    """

    def __init__(self, name: str, *, profiles: Iterable[Profile] = (), collection: SceneCollection | None = None,
                 module: ModuleFiles | None = None, config_home: Path | None = None,
                 display: str | None = None, screen: tuple = (1280, 800), artifacts: Path | None = None,
                 keep: bool = False, global_ini: dict | None = None, module_global_settings: dict | None = None):
        self.name = name
        self.profiles = list(profiles) or [Profile()]
        self.collection = collection or SceneCollection()
        self.module = module
        self.screen = screen
        self.keep = keep or os.environ.get("BL_HOST_KEEP") == "1"
        self.extra_global_ini = global_ini or {}
        self.module_global_settings = module_global_settings
        self.websocket_port = free_loopback_port()
        # obs-websocket listens on every interface, not just loopback: never leave it open
        # without a password.
        self.websocket_password = secrets.token_hex(16)
        self.display = display
        self.runs: list[HostRun] = []
        self._own_home = config_home is None
        self._artifacts = Path(artifacts or os.environ.get("BL_HOST_ARTIFACTS")
                               or Path(tempfile.gettempdir()) / "brasslight-host-runs")
        # XDG_CONFIG_HOME and HOME of the app; a scratch folder is made when the host is prepared.
        self.home: Path | None = Path(config_home).resolve() if config_home else None
        self._xvfb: Xvfb | None = None
        self._runtime_dir: str | None = None
        self._ws: ObsWebSocket | None = None

    # -- set-up ------------------------------------------------------------------------------

    def __enter__(self) -> "ObsHost":
        try:
            self.prepare()
        except BaseException:
            self.close(failed=True)
            raise
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        self.close(failed=exc_type is not None)

    @property
    def config_dir(self) -> Path:
        """The app's own configuration folder, obs-studio/ in the home."""
        if self.home is None:
            raise HostError("the host has not been prepared (use it in a `with` block)")
        return self.home / "obs-studio"

    def prepare(self) -> None:
        if self.home is None:
            self._artifacts.mkdir(parents=True, exist_ok=True)
            stamp = time.strftime("%Y%m%d-%H%M%S")
            self.home = Path(tempfile.mkdtemp(prefix=f"{self.name}-{stamp}-", dir=self._artifacts))
        self.config_dir.mkdir(parents=True, exist_ok=True)
        self.write_global_ini()
        for profile in self.profiles:
            profile.write(self.config_dir / "basic" / "profiles")
        self.collection.write(self.config_dir / "basic" / "scenes")
        if self.module_global_settings is not None:
            write_ini(self.config_dir / GLOBAL_INI_RELPATH, self.module_global_settings)
        if self.module is not None:
            self.module.install(self.config_dir)
        # Qt wants a private runtime folder; a short path of its own keeps socket names short.
        self._runtime_dir = tempfile.mkdtemp(prefix="bl-xdg-")
        if self.display is None:
            self._xvfb = Xvfb(*self.screen, log_path=self.home / "xvfb.log").start()
            self.display = self._xvfb.display

    def write_global_ini(self) -> None:
        first = self.profiles[0]
        sections = {
            # FirstRun skips the set-up wizard.
            "General": {"FirstRun": True, "LastVersion": HOST_LAST_VERSION, "ConfirmOnExit": False},
            "Basic": {"Profile": first.name, "ProfileDir": first.name,
                      "SceneCollection": self.collection.name, "SceneCollectionFile": self.collection.name},
            # Confirmation prompts would block File > Exit and the stream requests.
            "BasicWindow": {"WarnBeforeStartingStream": False, "WarnBeforeStoppingStream": False,
                            "WarnBeforeStoppingRecord": False, "SysTrayEnabled": False},
            "OBSWebSocket": {"ServerEnabled": True, "ServerPort": self.websocket_port,
                             "AuthRequired": True, "ServerPassword": self.websocket_password,
                             "FirstLoad": False, "AlertsEnabled": False},
        }
        for section, values in self.extra_global_ini.items():
            sections.setdefault(section, {}).update(values)
        write_ini(self.config_dir / "global.ini", sections)

    def env(self) -> dict:
        env = dict(os.environ)
        env.update({"XDG_CONFIG_HOME": str(self.home), "HOME": str(self.home), "DISPLAY": self.display,
                    "XDG_RUNTIME_DIR": self._runtime_dir or "", "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"})
        # The app must not talk to a desktop session the harness runs inside.
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        env.pop("WAYLAND_DISPLAY", None)
        return env

    # -- running -----------------------------------------------------------------------------

    @property
    def run(self) -> HostRun:
        if not self.runs:
            raise HostError("the app has not been started")
        return self.runs[-1]

    def start(self, *args: str, profile: str | None = None, collection: str | None = None,
              wait_ready: bool = True, timeout: float = 60) -> HostRun:
        """Launches the app with extra command-line arguments (e.g. "--startstreaming")."""
        if self.runs and self.run.running:
            raise HostError("the app is running already")
        logs_dir = self.config_dir / "logs"
        existing = {p.name for p in logs_dir.iterdir()} if logs_dir.is_dir() else set()
        index = len(self.runs) + 1
        argv = ["obs", "--multi", "--disable-shutdown-check", *args]
        if profile:
            argv += ["--profile", profile]
        if collection:
            argv += ["--collection", collection]
        stdout_path = self.home / f"obs-output-{index}.txt"
        with open(stdout_path, "wb") as out:
            proc = subprocess.Popen(argv, cwd=self.home, env=self.env(), stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=subprocess.STDOUT, start_new_session=True,
                                    preexec_fn=_die_with_parent)
        run = HostRun(index, argv, proc, HostLog(logs_dir, existing, stdout_path), time.monotonic())
        self.runs.append(run)
        if wait_ready:
            self.wait_ready(timeout)
        return run

    def wait_ready(self, timeout: float = 60) -> None:
        """Waits until the app has finished loading: obs-websocket starts its server on the
        finished-loading event, and the main window is on screen."""
        port = self.websocket_port
        self.wait_for_log(rf"\[obs-websocket\] \[WebSocketServer::Start\] Server started successfully on port {port}\b",
                          timeout)
        self.main_window(timeout)
        self.run.ready_after = time.monotonic() - self.run.launched

    def wait_for_log(self, pattern: str | re.Pattern, timeout: float = 30, start: int = 0) -> re.Match:
        """Waits for a log line of the current run that matches `pattern` (a regular expression,
        searched) at or after line `start`; returns the match."""
        run = self.run

        def probe():
            found = run.log.find(pattern, start)
            if found:
                return found
            if not run.running:
                found = run.log.find(pattern, start)  # what it wrote on its way out
                if found:
                    return found
                raise HostDied(f"the app ended while waiting for /{pattern}/: {run.describe()}")
            return None

        return wait_until(probe, timeout, f"a log line matching /{pattern}/", run.describe)[1]

    def websocket(self, timeout: float = 20) -> ObsWebSocket:
        if self._ws is None:
            self._ws = ObsWebSocket(self.websocket_port, self.websocket_password, timeout)
        return self._ws

    def _close_websocket(self) -> None:
        if self._ws is not None:
            self._ws.close()
            self._ws = None

    # -- windows, keys, pictures -------------------------------------------------------------

    def xdotool(self, *args, check: bool = True) -> str:
        result = subprocess.run(["xdotool", *map(str, args)], env=self.env(), capture_output=True, text=True,
                                timeout=20)
        if check and result.returncode != 0:
            raise HostError(f"xdotool {' '.join(map(str, args))} failed: {result.stderr.strip()}")
        return result.stdout

    def windows(self, name: str = "") -> list[int]:
        """The visible windows of the current run whose title matches `name` (a regex)."""
        out = self.xdotool("search", "--all", "--onlyvisible", "--pid", self.run.process.pid, "--name", name,
                           check=False)
        return [int(w) for w in out.split()]

    def window_title(self, window: int) -> str:
        return self.xdotool("getwindowname", window).rstrip("\n")

    def main_window(self, timeout: float = 30) -> int:
        run = self.run

        def probe():
            if not run.running:
                raise HostDied(f"the app ended before showing its main window: {run.describe()}")
            found = self.windows("^OBS ")
            return found[0] if found else None

        return wait_until(probe, timeout, "the app's main window", run.describe, interval=0.2)

    def wait_for_window(self, name: str, timeout: float = 15) -> int:
        """Waits for a visible window of the app whose title matches `name` (a regex)."""
        run = self.run

        def probe():
            found = self.windows(name)
            if not found and not run.running:
                raise HostDied(f"the app ended while waiting for a window /{name}/: {run.describe()}")
            return found[0] if found else None

        return wait_until(probe, timeout, f"a window titled /{name}/",
                          lambda: f"windows seen: {sorted(self.dialogs().values())}", interval=0.2)

    def dialogs(self) -> dict[int, str]:
        """The app's visible windows other than its main window, the module's dock frame and Qt's
        untitled helper windows (which carry the program name), by id: message boxes and other
        dialogs."""
        found = {}
        for window in self.windows():
            title = self.xdotool("getwindowname", window, check=False).rstrip("\n")
            if title and title not in ("obs", DOCK_TITLE) and not title.startswith("OBS "):
                found[window] = title
        return found

    def dismiss_dialog(self, window: int, key: str = "Return") -> None:
        """Answers a dialog with its default button (or another key)."""
        self.xdotool("windowfocus", window, check=False)
        self.xdotool("key", "--window", window, key)

    def screenshot(self, name: str, window: int | None = None, path: Path | None = None) -> Path:
        """Saves a PNG of the whole screen (or one window), by default as shots/NAME.png in the
        scratch folder, which is kept with the log when the test fails."""
        path = Path(path) if path else self.home / "shots" / f"{name}.png"
        path.parent.mkdir(parents=True, exist_ok=True)
        target = "root" if window is None else hex(window)
        result = subprocess.run(["import", "-window", target, str(path)], env=self.env(), capture_output=True,
                                text=True, timeout=60)
        if result.returncode != 0:
            raise HostError(f"screenshot failed: {result.stderr.strip()}")
        return path

    def mapped_libraries(self) -> set[str]:
        """File names of the shared libraries mapped into the running app."""
        maps = Path(f"/proc/{self.run.process.pid}/maps").read_text()
        return {Path(line.split()[-1]).name for line in maps.splitlines()
                if len(line.split()) >= 6 and ".so" in line.split()[-1]}

    # -- ending ------------------------------------------------------------------------------

    def _open_file_menu_and_exit(self, window: int) -> None:
        before = set(self.windows())
        # Without a window manager these fail harmlessly; with one they bring the window up.
        self.xdotool("windowactivate", window, check=False)
        self.xdotool("windowfocus", window, check=False)
        self.xdotool("key", "--window", window, "alt+f")
        # The File menu is a popup window of its own; "x" is the mnemonic of its Exit entry.
        wait_until(lambda: set(self.windows()) - before, 3, "the File menu to open")
        self.xdotool("key", "x")

    def quit(self, timeout: float = 60) -> HostRun:
        """Ends the app as a user would, through File > Exit, and waits for it to finish its
        shutdown; kills it only when that fails (run.killed then says so). Returns the run."""
        run = self.run
        self._close_websocket()
        begun = time.monotonic()
        problems = []
        dismissed_windows: set = set()
        for attempt in range(1, 4):
            if not run.running:
                break
            try:
                # A modal dialog left open (an error box, say) would swallow the keys.
                for window, title in self.dialogs().items():
                    if window not in dismissed_windows:
                        dismissed_windows.add(window)
                        run.dismissed.append(title)
                        log(f"{self.name}: dismissing the dialog '{title}' to quit")
                    # Escape, not Return: the module's error boxes have no default button.
                    self.dismiss_dialog(window, "Escape")
                self._open_file_menu_and_exit(self.main_window(10))
            except HostDied:
                break
            except HostError as e:
                problems.append(f"attempt {attempt}: {e}")
                continue
            try:
                # The app logs this as it begins to shut down; only then is a long wait worth it.
                self.wait_for_log(re.escape(SHUTDOWN_LINE), 5)
            except HostDied:
                break
            except HostTimeout:
                problems.append(f"attempt {attempt}: File > Exit started no shutdown")
                continue
            try:
                wait_until(lambda: not run.running, timeout, "the app to finish its shutdown")
            except HostTimeout as e:
                problems.append(f"attempt {attempt}: {e}; last lines:\n{run.tail()}")
                break
        if run.running:
            run.killed = True
            run.process.kill()
            log(f"{self.name}: killed the app after File > Exit failed:\n" + "\n".join(problems))
        run.returncode = run.process.wait()
        run.quit_took = time.monotonic() - begun
        run.log.refresh()
        ready = f"{run.ready_after:.1f} s" if run.ready_after is not None else "-"
        log(f"{self.name} run {run.index}: ready after {ready}, quit took {run.quit_took:.1f} s, "
            f"exit code {run.returncode}{' (killed)' if run.killed else ''}, leaks {run.leaks}")
        return run

    def close(self, failed: bool = False) -> None:
        """Stops whatever is still running; keeps the scratch folder when something went wrong."""
        self._close_websocket()
        if self.runs and self.run.running:
            self.quit(timeout=30)
        if self._xvfb is not None:
            self._xvfb.stop()
            self._xvfb = None
        if self._runtime_dir:
            shutil.rmtree(self._runtime_dir, ignore_errors=True)
            self._runtime_dir = None
        troubled = failed or any(r.killed or r.returncode not in (0, None) for r in self.runs)
        if not self._own_home or self.home is None:
            return
        if troubled or self.keep:
            logs = ", ".join(str(r.log.path) for r in self.runs if r.log.path) or "none"
            log(f"{self.name}: kept {self.home} (host logs: {logs})")
        else:
            shutil.rmtree(self.home, ignore_errors=True)


def _exit_on_sigterm() -> None:
    # A polite termination becomes SystemExit, so that `with` blocks still quit the app and Xvfb.
    try:
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    except ValueError:  # imported outside the main thread: leave signals to the importer
        pass


_exit_on_sigterm()
