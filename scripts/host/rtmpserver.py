"""The one RTMP server fixture (a real nginx-rtmp on loopback, one process with a folder of its
own, optionally behind a TLS front) of the host tests, demo and benchmarks, and through main()
of the C++ tests (tests/support/rtmp-server.cpp); ffprobe/ffmpeg on what arrived."""

import json
import signal
import socket
import sys
import shutil
import subprocess
import tempfile
import time
import urllib.request
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from obshost import HostError, _die_with_parent, free_loopback_port, wait_until
from throttle import Throttle

RTMP_MODULE = "/usr/lib/nginx/modules/ngx_rtmp_module.so"
STREAM_MODULE = "/usr/lib/nginx/modules/ngx_stream_module.so"


def port_accepts(port: int) -> bool:
    with socket.socket() as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


class NginxRtmp:
    """Application "live"; a new start() keeps the ports, as a server back from a crash. With
    tls, a TLS front on tls_port, its certificate signed by a CA in ca_file."""

    def __init__(self, tls: bool = False):
        self.dir = Path(tempfile.mkdtemp(prefix="bl-nginx-"))
        ports = set()
        while len(ports) < (3 if tls else 2):  # each is released before nginx binds it
            ports.add(free_loopback_port())
        self.rtmp_port, self.http_port, *rest = sorted(ports)
        self.tls_port = rest[0] if tls else 0
        self.ca_file = self.dir / "ca.pem"
        self.proc: subprocess.Popen | None = None
        if tls:
            self._make_certificates()

    def _make_certificates(self) -> None:
        d = self.dir
        (d / "ext.cnf").write_text("subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n")
        for step in (
            f"req -x509 -newkey rsa:2048 -nodes -keyout {d}/ca.key -out {d}/ca.pem -days 2 -subj /CN=test-CA "
            "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign",
            f"req -newkey rsa:2048 -nodes -keyout {d}/server.key -out {d}/server.csr -subj /CN=localhost",
            f"x509 -req -in {d}/server.csr -CA {d}/ca.pem -CAkey {d}/ca.key -CAcreateserial -out {d}/server.pem "
            f"-days 2 -extfile {d}/ext.cnf",
        ):
            subprocess.run(["openssl", *step.split()], check=True, capture_output=True, timeout=30)

    def _write_config(self) -> Path:
        for sub in ("logs", "tmp"):
            (self.dir / sub).mkdir(exist_ok=True)
        conf = self.dir / "nginx.conf"
        tls = f"""
load_module {STREAM_MODULE};
stream {{
    server {{
        listen 127.0.0.1:{self.tls_port} ssl;
        ssl_certificate {self.dir}/server.pem;
        ssl_certificate_key {self.dir}/server.key;
        proxy_pass 127.0.0.1:{self.rtmp_port};
    }}
}}""" if self.tls_port else ""
        conf.write_text(f"""
load_module {RTMP_MODULE};{tls}
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
        if self.running():
            return self
        conf = self._write_config()
        self.proc = subprocess.Popen(["nginx", "-p", str(self.dir), "-c", str(conf), "-e",
                                      str(self.dir / "logs" / "error.log")], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True, preexec_fn=_die_with_parent)
        ports = [p for p in (self.rtmp_port, self.tls_port) if p]
        wait_until(lambda: self.proc.poll() is None and self.stat_xml() is not None
                   and all(map(port_accepts, ports)), 15, "nginx to answer",
                   lambda: (self.dir / "logs" / "error.log").read_text(errors="replace")[-2000:])
        return self

    def running(self) -> bool:
        return self.proc is not None and self.proc.poll() is None

    def kill(self) -> None:
        self.stop(kill=True)

    def stop(self, kill: bool = False) -> None:
        if self.running():
            self.proc.kill() if kill else self.proc.terminate()
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
        return f"rtmp://127.0.0.1:{self.rtmp_port}/live"

    def play_url(self, name: str) -> str:
        return f"{self.url}/{name}"

    def stat_xml(self) -> str | None:
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{self.http_port}/stat", timeout=2) as reply:
                return reply.read().decode()
        except OSError:
            return None

    def stream(self, name: str) -> dict:
        """The status page's word on one stream ({} when absent)."""
        xml = self.stat_xml()
        for stream in ElementTree.fromstring(xml).iter("stream") if xml else ():
            if stream.findtext("name") == name:
                return {"publishing": stream.find("publishing") is not None,
                        "bytes_in": int(stream.findtext("bytes_in") or 0),
                        "width": int(stream.findtext("meta/video/width") or 0),
                        "height": int(stream.findtext("meta/video/height") or 0),
                        "video": stream.findtext("meta/video/codec") or "",
                        "audio": stream.findtext("meta/audio/codec") or ""}
        return {}

    def publishing(self) -> set[str]:
        xml = self.stat_xml()
        return {s.findtext("name") for s in (ElementTree.fromstring(xml).iter("stream") if xml else ())
                if s.find("publishing") is not None and s.findtext("name")}

    def wait_publishing(self, name: str, timeout: float = 20) -> None:
        wait_until(lambda: name in self.publishing(), timeout, f"stream '{name}' to be published",
                   lambda: f"publishing: {sorted(self.publishing())}")

    def wait_not_publishing(self, name: str, timeout: float = 20) -> None:
        wait_until(lambda: name not in self.publishing(), timeout, f"stream '{name}' to end",
                   lambda: f"publishing: {sorted(self.publishing())}")


def probe(url: str, timeout: float = 20) -> dict:
    """What ffprobe sees: {"video": {...}, "audio": {...}}."""
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


def grab_frame(url: str, *output: str, timeout: float = 20) -> bytes:
    """One decoded frame of a stream, written as `output` says (to a file, or to "-": returned)."""
    result = subprocess.run(["ffmpeg", "-v", "error", "-y", "-rw_timeout", str(int(timeout * 1e6)), "-i", url,
                             "-frames:v", "1", *output], capture_output=True, timeout=timeout + 5)
    if result.returncode != 0:
        raise HostError(f"no frame from {url}: {result.stderr.decode(errors='replace').strip()}")
    return result.stdout


def grab_png(url: str, path: Path) -> None:
    grab_frame(url, str(path))


def wait_for_stream(server: NginxRtmp, name: str, timeout: float = 30) -> dict:
    """The probe of a stream once it is published with video and audio."""
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
    """One frame as (width, height, RGB bytes); `video` is probe()'s word on its video."""
    width, height = int(video["width"]), int(video["height"])
    pixels = grab_frame(url, "-f", "rawvideo", "-pix_fmt", "rgb24", "-", timeout=timeout)
    if len(pixels) < width * height * 3:
        raise HostError(f"a short frame from {url}: {len(pixels)} bytes")
    return width, height, pixels


def colour_name(rgb: tuple[int, int, int]) -> str:
    """The pure colour a pixel is closest to, despite compression."""
    levels = "".join("1" if v > 150 else "0" if v < 100 else "?" for v in rgb)
    return {"100": "red", "010": "green", "001": "blue", "000": "black"}.get(levels, f"rgb{rgb}")


def colours_across(width: int, height: int, pixels: bytes) -> list[str]:
    """The colours at five points across the middle row of a frame, left to right."""
    offsets = [(height // 2 * width + x) * 3 for x in (4, width // 4, width // 2, width * 3 // 4, width - 5)]
    return [colour_name(tuple(pixels[o:o + 3])) for o in offsets]


class SilentServer(Throttle):
    """A hung ingest: accepts connections and never answers."""

    def __init__(self, port: int = 0):
        super().__init__(None, port=port)

    @property
    def url(self) -> str:
        return f"rtmp://127.0.0.1:{self.port}/live"


def main() -> None:
    """`rtmpserver.py [--tls]` prints {"rtmp": PORT, "http": PORT, "tls": PORT, "ca": PATH},
    `rtmpserver.py silent [PORT]` {"port": PORT}; then a reply line for each command line on stdin:
    kill (a crash), hang (kill, then a SilentServer on the RTMP port), start (same ports), stop,
    stat NAME (stream()), running, accepted (by the silent server). End of input ends all."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    _die_with_parent()
    args = sys.argv[1:]
    reply = lambda value: print(json.dumps(value), flush=True)  # noqa: E731
    if args[:1] == ["silent"]:
        server = SilentServer(int(args[1]) if len(args) > 1 else 0)
        reply({"port": server.port})
    else:
        server = NginxRtmp(tls="--tls" in args)
        try:
            server.start()
        except Exception as error:  # noqa: BLE001 - the caller shows it as the failure
            reply({"error": str(error)})
            server.close()
            return
        reply({"rtmp": server.rtmp_port, "http": server.http_port, "tls": server.tls_port,
               "ca": str(server.ca_file)})
    silent = server if isinstance(server, SilentServer) else None

    def hang():
        nonlocal silent
        server.kill()
        silent = SilentServer(server.rtmp_port)

    def start():
        nonlocal silent
        if silent:
            silent.close()
            silent = None
        server.start()

    try:
        for line in sys.stdin:
            command, _, arg = line.strip().partition(" ")
            try:
                result = {"kill": lambda: server.kill(), "hang": hang, "stop": lambda: server.stop(), "start": start,
                          "stat": lambda: server.stream(arg), "running": lambda: server.running(),
                          "accepted": lambda: len(silent.conns)}[command]()
                reply(result if result is not None else "ok")
            except Exception as error:  # noqa: BLE001
                reply({"error": f"{command}: {error}"})
    finally:
        server.close()
        if silent:
            silent.close()


if __name__ == "__main__":
    main()
