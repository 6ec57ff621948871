#!/usr/bin/python3
"""The RTMP server fixture of the C++ tests (tests/support/rtmp-server.cpp): the Python tests' own
nginx-rtmp, driven a command a line."""

import json
import os
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "host"))
from hosttest import HungIngest  # noqa: E402 - first: it finds scripts/host
from obshost import _die_with_parent, free_loopback_port  # noqa: E402
from rtmpserver import NGINX_MODULES, NginxRtmp  # noqa: E402


class AsReceivedNginxRtmp(NginxRtmp):
    """Relays to a player every packet from the publisher's first on, as received; nginx's default waits for a
    keyframe, which would hide a stream that starts without one."""

    live_config = NginxRtmp.live_config + " wait_key off;"


class TlsNginxRtmp(AsReceivedNginxRtmp):
    """With a TLS front on tls_port (nginx's stream module) for rtmps://localhost; its certificate is its own CA."""

    def more_config(self) -> str:
        d = self.dir
        self.tls_port = next(p for p in iter(free_loopback_port, 0) if p not in (self.rtmp_port, self.http_port))
        subprocess.run(["openssl", "req", *f"-x509 -newkey rsa:2048 -nodes -keyout {d}/server.key -out {d}/ca.pem "
                        "-days 2 -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1".split()],
                       check=True, capture_output=True, timeout=30)
        return (f"load_module {NGINX_MODULES}/ngx_stream_module.so;\nstream {{ server {{ listen 127.0.0.1:"
                f"{self.tls_port} ssl; ssl_certificate {d}/ca.pem; ssl_certificate_key {d}/server.key; "
                f"proxy_pass 127.0.0.1:{self.rtmp_port}; }} }}")


def main() -> None:
    """`rtmp-fixture.py [--tls]` prints {"rtmp": PORT, "tls": PORT, "ca": PATH}, `rtmp-fixture.py silent [PORT]`
    {"port": PORT}; then a reply line for each command line on stdin: kill (a crash), hang (kill, then a hung
    ingest on the RTMP port), start (same ports), stop, stat NAME, running, accepted (by the hung ingest).
    End of input ends all."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    _die_with_parent()
    args = sys.argv[1:]
    reply = lambda value: print(json.dumps(value), flush=True)  # noqa: E731
    server = silent = None
    try:
        if args[:1] == ["silent"]:
            silent = HungIngest(int(args[1]) if len(args) > 1 else 0)
            reply({"port": silent.port})
        else:
            server = (TlsNginxRtmp if "--tls" in args else AsReceivedNginxRtmp)()
            server.start()
            reply({"rtmp": server.rtmp_port, "tls": getattr(server, "tls_port", 0), "ca": f"{server.dir}/ca.pem"})

        def hang():
            nonlocal silent
            server.stop(kill=True)
            silent = HungIngest(server.rtmp_port)

        def start():
            nonlocal silent
            if silent:
                silent.close()
                silent = None
            server.start()

        for line in sys.stdin:
            command, _, arg = line.strip().partition(" ")
            try:
                result = {"kill": lambda: server.stop(kill=True), "hang": hang, "stop": lambda: server.stop(),
                          "start": start, "stat": lambda: server.streams().get(arg, {}),
                          "running": lambda: server.running(), "accepted": lambda: silent.accepted()}[command]()
                reply(result if result is not None else "ok")
            except Exception as error:  # noqa: BLE001 - the caller shows it as the failure
                reply({"error": f"{command}: {error}"})
    except Exception as error:  # noqa: BLE001
        reply({"error": str(error)})
    finally:
        if server:
            server.close()
        if silent:
            silent.close()


if __name__ == "__main__":
    main()
