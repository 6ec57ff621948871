"""A real nginx-rtmp on loopback for the demo, benchmarks and tests; ffprobe/ffmpeg on what arrived."""

import contextlib
import json
import shutil
import subprocess
import tempfile
import urllib.request
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from obshost import HostError, _spawn, free_loopback_port, wait_until

NGINX_MODULES = "/usr/lib/nginx/modules"


class NginxRtmp:
    """Application "live"; start() again keeps the ports (as a server back from a crash)."""

    live_config = "live on; record off;"  # the application's directives

    def __init__(self):
        self.dir = d = Path(tempfile.mkdtemp(prefix="bl-nginx-"))
        self.rtmp_port = free_loopback_port()  # released before nginx binds it: the next call may return it again
        self.http_port = next(p for p in iter(free_loopback_port, 0) if p != self.rtmp_port)
        self.url = f"rtmp://127.0.0.1:{self.rtmp_port}/live"
        self.proc: subprocess.Popen | None = None
        temp_paths = " ".join(f"{k}_temp_path {d}/{k};" for k in "client_body proxy fastcgi uwsgi scgi".split())
        (d / "nginx.conf").write_text(
            f"load_module {NGINX_MODULES}/ngx_rtmp_module.so;\n{self.more_config()}\n"
            f"daemon off; master_process off; pid {d}/nginx.pid; error_log {d}/error.log info;\n"
            "events { worker_connections 128; }\n"
            f"rtmp {{ server {{ listen 127.0.0.1:{self.rtmp_port}; chunk_size 4096; "
            f"application live {{ {self.live_config} }} }} }}\n"
            f"http {{ access_log off; {temp_paths} server {{ listen 127.0.0.1:{self.http_port}; "
            "location /stat { rtmp_stat all; } } }\n")

    def more_config(self) -> str:  # top-level nginx configuration (modules, servers) a subclass adds
        return ""

    def start(self) -> "NginxRtmp":
        if not self.running():
            self.proc = _spawn(["nginx", "-p", str(self.dir), "-c", str(self.dir / "nginx.conf"), "-e",
                                str(self.dir / "error.log")], subprocess.DEVNULL)
            # It listens on all its ports before it serves the status page.
            wait_until(lambda: self.running() and self.stat_xml() is not None, 15, "nginx to answer",
                       lambda: (self.dir / "error.log").read_text(errors="replace")[-2000:])
        return self

    def running(self) -> bool:
        return self.proc is not None and self.proc.poll() is None

    def stop(self, kill: bool = False) -> None:  # kill: as a crash does
        if self.running():
            self.proc.kill() if kill else self.proc.terminate()
            self.proc.wait(10)

    def close(self) -> None:
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self) -> "NginxRtmp":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()

    def play_url(self, name: str) -> str:
        return f"{self.url}/{name}"

    def stat_xml(self) -> str | None:  # None while nginx does not answer
        with contextlib.suppress(OSError):
            with urllib.request.urlopen(f"http://127.0.0.1:{self.http_port}/stat", timeout=2) as reply:
                return reply.read().decode()

    def streams(self) -> dict[str, dict]:
        xml = self.stat_xml()
        return {s.findtext("name"): {"publishing": s.find("publishing") is not None,
                                     "bytes_in": int(s.findtext("bytes_in") or 0)}
                for s in (ElementTree.fromstring(xml).iter("stream") if xml else ())}

    def publishing(self) -> set[str]:
        return {name for name, s in self.streams().items() if s["publishing"]}

    def wait_publishing(self, name: str, timeout: float = 20, publishing: bool = True) -> None:
        wait_until(lambda: (name in self.publishing()) == publishing, timeout,
                   f"stream '{name}' {'to be published' if publishing else 'to end'}",
                   lambda: f"publishing: {sorted(self.publishing())}")


def wait_for_stream(server: NginxRtmp, name: str, timeout: float = 30) -> dict:
    """What ffprobe sees of a stream ({"video": {...}, "audio": {...}}) once it has video and audio."""
    server.wait_publishing(name, timeout)
    seen = {}

    def probe():
        nonlocal seen
        result = subprocess.run(["ffprobe", "-v", "error", "-rw_timeout", "10000000", "-show_entries",
                                 "stream=codec_type,codec_name,width,height,avg_frame_rate,r_frame_rate,sample_rate,"
                                 "channels", "-of", "json", server.play_url(name)],
                                capture_output=True, text=True, timeout=15)
        seen = {s["codec_type"]: s for s in json.loads(result.stdout).get("streams", [])} if result.returncode == 0 \
            else result.stderr.strip()
        return isinstance(seen, dict) and "video" in seen and "audio" in seen and seen

    return wait_until(probe, timeout, f"stream '{name}' with video and audio", lambda: f"last probe: {seen}", 0.5)


def grab_frame(url: str, *output: str) -> bytes:
    """One decoded frame of a stream, written as `output` says (to a file, or to "-": returned)."""
    result = subprocess.run(["ffmpeg", "-v", "error", "-y", "-rw_timeout", "20000000", "-i", url, "-frames:v", "1",
                             *output], capture_output=True, timeout=25)
    if result.returncode != 0:
        raise HostError(f"no frame from {url}: {result.stderr.decode(errors='replace').strip()}")
    return result.stdout
