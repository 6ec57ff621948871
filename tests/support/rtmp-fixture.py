#!/usr/bin/python3
"""The RTMP server fixture of the C++ tests (tests/support/rtmp-server.cpp): the Python tests' own
nginx-rtmp, driven a command a line."""

import json
import os
import signal
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "host"))
from obshost import _die_with_parent  # noqa: E402
from rtmpserver import NginxRtmp  # noqa: E402
from throttle import Throttle  # noqa: E402


def main() -> None:
    """`rtmp-fixture.py [--tls]` prints {"rtmp": PORT, "http": PORT, "tls": PORT, "ca": PATH},
    `rtmp-fixture.py silent [PORT]` {"port": PORT}; then a reply line for each command line on stdin:
    kill (a crash), hang (kill, then a silent server, a hung ingest, on the RTMP port), start (same
    ports), stop, stat NAME (stream()), running, accepted (by the silent server). End of input ends all."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    _die_with_parent()
    args = sys.argv[1:]
    reply = lambda value: print(json.dumps(value), flush=True)  # noqa: E731
    server = silent = None
    try:
        if args[:1] == ["silent"]:
            silent = Throttle(None, port=int(args[1]) if len(args) > 1 else 0)
            reply({"port": silent.port})
        else:
            server = NginxRtmp(tls="--tls" in args)
            server.start()
            reply({"rtmp": server.rtmp_port, "http": server.http_port, "tls": server.tls_port,
                   "ca": str(server.ca_file)})

        def hang():
            nonlocal silent
            server.stop(kill=True)
            silent = Throttle(None, port=server.rtmp_port)

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
                          "start": start, "stat": lambda: server.stream(arg), "running": lambda: server.running(),
                          "accepted": lambda: len(silent.conns)}[command]()
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
