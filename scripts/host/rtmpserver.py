"""A real nginx with its RTMP module on loopback for the host-app tests, and ffprobe on what
arrived. The same set-up as the C++ fixture (tests/support/rtmp-server.cpp): one process, no
daemon, no master, a folder of its own, an XML status page."""

import json
import shutil
import subprocess
import tempfile
import time
import urllib.request
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from obshost import HostError, free_loopback_port, wait_until

RTMP_MODULE = "/usr/lib/nginx/modules/ngx_rtmp_module.so"


class NginxRtmp:
    """Application "live" on a free loopback port; ports are kept across restart()."""

    def __init__(self):
        self.dir = Path(tempfile.mkdtemp(prefix="bl-nginx-"))
        self.rtmp_port = free_loopback_port()
        self.http_port = free_loopback_port()
        self.proc: subprocess.Popen | None = None

    def _write_config(self) -> Path:
        for sub in ("logs", "tmp"):
            (self.dir / sub).mkdir(exist_ok=True)
        conf = self.dir / "nginx.conf"
        conf.write_text(f"""
load_module {RTMP_MODULE};
daemon off;
master_process off;
pid {self.dir}/nginx.pid;
error_log {self.dir}/logs/error.log info;
events {{ worker_connections 128; }}
rtmp {{
    server {{
        listen 127.0.0.1:{self.rtmp_port};
        chunk_size 4096;
        application live {{ live on; record off; }}
    }}
}}
http {{
    access_log off;
    client_body_temp_path {self.dir}/tmp/body;
    proxy_temp_path {self.dir}/tmp/proxy;
    fastcgi_temp_path {self.dir}/tmp/fastcgi;
    uwsgi_temp_path {self.dir}/tmp/uwsgi;
    scgi_temp_path {self.dir}/tmp/scgi;
    server {{
        listen 127.0.0.1:{self.http_port};
        location /stat {{ rtmp_stat all; }}
    }}
}}
""")
        return conf

    def start(self) -> "NginxRtmp":
        conf = self._write_config()
        self.proc = subprocess.Popen(["nginx", "-p", str(self.dir), "-c", str(conf), "-e",
                                      str(self.dir / "logs" / "error.log")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
        wait_until(lambda: self.stat_xml() is not None, 15, "nginx to answer",
                   lambda: (self.dir / "logs" / "error.log").read_text(errors="replace")[-2000:])
        return self

    def kill(self) -> None:
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)

    def stop(self) -> None:
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.kill()

    def close(self) -> None:
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self) -> "NginxRtmp":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()

    @property
    def url(self) -> str:
        """The server part of a publish target: rtmp://127.0.0.1:PORT/live"""
        return f"rtmp://127.0.0.1:{self.rtmp_port}/live"

    def play_url(self, name: str) -> str:
        return f"{self.url}/{name}"

    def stat_xml(self) -> str | None:
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{self.http_port}/stat", timeout=2) as reply:
                return reply.read().decode()
        except OSError:
            return None

    def publishing(self) -> set[str]:
        """The names of the streams being published right now."""
        xml = self.stat_xml()
        if not xml:
            return set()
        names = set()
        for stream in ElementTree.fromstring(xml).iter("stream"):
            if stream.find("publishing") is not None and stream.findtext("name"):
                names.add(stream.findtext("name"))
        return names

    def wait_publishing(self, name: str, timeout: float = 20) -> None:
        wait_until(lambda: name in self.publishing(), timeout, f"stream '{name}' to be published",
                   lambda: f"publishing: {sorted(self.publishing())}")

    def wait_not_publishing(self, name: str, timeout: float = 20) -> None:
        wait_until(lambda: name not in self.publishing(), timeout, f"stream '{name}' to end",
                   lambda: f"publishing: {sorted(self.publishing())}")


def probe(url: str, timeout: float = 20) -> dict:
    """What ffprobe sees: {"video": {...}, "audio": {...}} with codec, size, rates, channels."""
    command = ["ffprobe", "-v", "error", "-rw_timeout", str(int(timeout * 1e6)), "-show_entries",
               "stream=codec_type,codec_name,width,height,avg_frame_rate,r_frame_rate,sample_rate,channels",
               "-of", "json", url]
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=timeout + 5)
    except subprocess.TimeoutExpired as error:
        raise HostError(f"ffprobe {url} did not finish") from error
    if result.returncode != 0:
        raise HostError(f"ffprobe {url} failed: {result.stderr.strip()}")
    found = {}
    for stream in json.loads(result.stdout).get("streams", []):
        found.setdefault(stream.get("codec_type"), stream)
    return found


def grab_png(url: str, path: Path, timeout: float = 20) -> None:
    """Decodes one video frame of a stream into a PNG file."""
    command = ["ffmpeg", "-v", "error", "-y", "-rw_timeout", str(int(timeout * 1e6)), "-i", url,
               "-frames:v", "1", str(path)]
    result = subprocess.run(command, capture_output=True, text=True, timeout=timeout + 5)
    if result.returncode != 0 or not path.exists():
        raise HostError(f"no frame from {url}: {result.stderr.strip()}")


def wait_for_stream(server: NginxRtmp, name: str, timeout: float = 30) -> dict:
    """Waits until a stream is published with both video and audio, and returns the probe."""
    server.wait_publishing(name, timeout)
    deadline = time.monotonic() + timeout
    seen: dict | str = {}
    while time.monotonic() < deadline:
        try:
            seen = probe(server.play_url(name), 10)
            if "video" in seen and "audio" in seen:
                return seen
        except HostError as error:
            seen = str(error)
        time.sleep(0.5)
    raise HostError(f"stream '{name}' never showed video and audio; last probe: {seen}")


def grab_rgb(url: str, video: dict, timeout: float = 20) -> tuple[int, int, bytes]:
    """One decoded video frame of a stream as (width, height, RGB bytes); `video` is what
    probe() said of its video (wait_for_stream's result["video"])."""
    width, height = int(video["width"]), int(video["height"])
    command = ["ffmpeg", "-v", "error", "-rw_timeout", str(int(timeout * 1e6)), "-i", url, "-frames:v", "1",
               "-f", "rawvideo", "-pix_fmt", "rgb24", "-"]
    result = subprocess.run(command, capture_output=True, timeout=timeout + 5)
    if result.returncode != 0 or len(result.stdout) < width * height * 3:
        raise HostError(f"no frame from {url}: {result.stderr.decode(errors='replace').strip()}")
    return width, height, result.stdout


def colour_name(rgb: tuple[int, int, int]) -> str:
    """The pure colour a pixel is closest to, tolerant of compression."""
    r, g, b = rgb
    high, low = (lambda v: v > 150), (lambda v: v < 100)
    for name, test in (("red", (high, low, low)), ("green", (low, high, low)), ("blue", (low, low, high)),
                       ("black", (low, low, low))):
        if all(t(v) for t, v in zip(test, (r, g, b))):
            return name
    return f"rgb{rgb}"


def colours_across(width: int, height: int, pixels: bytes) -> list[str]:
    """The colours at five points across the middle row of a frame, left to right."""
    y = height // 2
    names = []
    for x in (4, width // 4, width // 2, width * 3 // 4, width - 5):
        offset = (y * width + x) * 3
        names.append(colour_name(tuple(pixels[offset:offset + 3])))
    return names


class SilentServer:
    """A loopback TCP listener that accepts connections and never answers: a hung ingest."""

    def __init__(self):
        import socket
        import threading
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.accepted = []
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.accepted.append(conn)

    @property
    def url(self) -> str:
        return f"rtmp://127.0.0.1:{self.port}/live"

    def close(self):
        self.sock.close()
        for conn in self.accepted:
            conn.close()
