"""A TCP relay from a port of 127.0.0.1 to the gateway, for faults between the Assistant and the
gateway: a slow link (rate), the bytes sent towards the gateway (take), a gateway gone (cut)."""

import socket
import threading
import time
import urllib.parse


def shut(*sockets):
    for s in sockets:
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


class Relay:
    """Forwards a free port of 127.0.0.1 (port) to endpoint, a thread per connection and direction,
    at most rate bytes a second each when rate is given."""

    def __init__(self, endpoint, rate=None):
        target = urllib.parse.urlsplit(endpoint)
        self.target = (target.hostname, target.port)
        self.rate = rate
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.sent = 0
        self.sockets = []
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
                server = socket.create_connection(self.target)
            except OSError:
                return
            with self.lock:
                self.sockets += [client, server]
            for source, sink, upstream in ((client, server, True), (server, client, False)):
                threading.Thread(target=self._pump, args=(source, sink, upstream), daemon=True).start()

    def _pump(self, source, sink, upstream):
        try:
            while data := source.recv(16384 if self.rate else 1 << 20):
                sink.sendall(data)
                if upstream:
                    with self.lock:
                        self.sent += len(data)
                if self.rate:
                    time.sleep(len(data) / self.rate)
        except OSError:
            pass
        shut(source, sink)

    def take(self):
        """The bytes sent towards the gateway since the last take."""
        with self.lock:
            sent, self.sent = self.sent, 0
        return sent

    def cut(self):
        """Goes away as a stopped gateway does: connections cut, new ones refused."""
        shut(self.listener)
        self.listener.close()
        with self.lock:
            shut(*self.sockets)
