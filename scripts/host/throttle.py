#!/usr/bin/python3
"""A relay on loopback that drains what its clients send at `rate` B/s (None: full speed), as a slow uplink
does, with a small receive window of its own. As a program (SIGUSR2 throttles, SIGUSR1 opens):
throttle.py --port PORT --target PORT --rate BYTES_PER_SECOND"""

import contextlib
import signal
import socket
import sys
import threading
import time


def _shut_down(*socks: socket.socket) -> None:
    # shutdown() wakes the threads blocked on the sockets; a plain close() would wait for them.
    for sock in socks:
        with contextlib.suppress(OSError):
            sock.shutdown(socket.SHUT_RDWR)


class Throttle:
    def __init__(self, target_port: int, rate: float | None = None, port: int = 0):
        self.target_port, self.rate = target_port, rate
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, 1400)
        self.sock.bind(("127.0.0.1", port))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.conns: list[socket.socket] = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self) -> None:
        with contextlib.suppress(OSError):  # the listener shut down
            while True:
                client = self.sock.accept()[0]
                try:
                    server = socket.create_connection(("127.0.0.1", self.target_port))
                except OSError:
                    client.close()
                    continue
                self.conns += [client, server]
                threading.Thread(target=self._pump, args=(client, server, True), daemon=True).start()
                threading.Thread(target=self._pump, args=(server, client, False), daemon=True).start()

    def _pump(self, src: socket.socket, dst: socket.socket, throttled: bool) -> None:
        budget, last = 0.0, time.monotonic()
        with contextlib.suppress(OSError):
            while True:
                rate = self.rate if throttled else None
                if rate is None:  # what passes while open is not owed once throttled
                    budget, last = 0.0, time.monotonic()
                else:
                    now = time.monotonic()
                    budget, last = min(budget + (now - last) * rate, rate * 0.1), now
                    if budget < 1:
                        time.sleep(0.01)
                        continue
                data = src.recv(65536 if rate is None else int(budget))
                if not data:
                    break
                if rate is not None:  # what passed at full speed is not owed: else a throttle would first stall
                    budget -= len(data)
                dst.sendall(data)
        _shut_down(src, dst)

    def close(self) -> None:
        _shut_down(self.sock, *self.conns)
        for sock in (self.sock, *self.conns):
            sock.close()


if __name__ == "__main__":
    args = dict(zip(sys.argv[1::2], sys.argv[2::2]))
    relay = Throttle(int(args["--target"]), None, int(args["--port"]))
    signal.signal(signal.SIGUSR1, lambda *_: setattr(relay, "rate", None))
    signal.signal(signal.SIGUSR2, lambda *_: setattr(relay, "rate", float(args["--rate"])))
    while True:
        signal.pause()
