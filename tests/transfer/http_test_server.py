#!/usr/bin/env python3
"""HTTP server for the transfer tests, on 127.0.0.1 at a free port, which it prints first.

usage: http_test_server.py ROOT LOG

PUT stores the body under ROOT; GET serves files from ROOT, with "Range: bytes=N-". Every request
is logged to LOG as "METHOD path range". Paths that start with a marker misbehave:
  /flaky/  the first request for each path is answered 500
  /down/   every request is answered 503
  /slow/   each answer waits 0.3 s
  /cut/    the first GET sends half of the file, then closes the connection
  /stall/  the first GET sends half of the file, then waits until the client goes away
  /norange/  as /cut/, and a range request is answered 416
  /to/     GET /to/HOST:PORT/PATH is redirected to http://HOST:PORT/PATH
  /trickle/  GET sends the file one byte each 0.05 s
  /endless/  GET sends zeros, without a length, until the client goes away
  /hold/   PUT waits 2 s before it reads the body
"""
import http.server
import os
import sys
import threading
import time
import urllib.parse

root, log_path = sys.argv[1], sys.argv[2]
os.makedirs(root, exist_ok=True)
lock = threading.Lock()
seen = set()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def first_time(self):
        with lock:
            key = (self.command, self.path)
            new = key not in seen
            seen.add(key)
            return new

    def begin(self):
        """Logs the request and returns the failure status it gets instead of its work, or None."""
        with lock, open(log_path, "a") as log:
            log.write(f"{self.command} {self.path} {self.headers.get('Range', '-')}\n")
        if self.path.startswith("/slow/"):
            time.sleep(0.3)
        if self.path.startswith("/hold/"):
            time.sleep(2)
        if self.path.startswith("/down/"):
            return 503
        if self.path.startswith("/norange/") and "Range" in self.headers:
            return 416
        return 500 if self.path.startswith("/flaky/") and self.first_time() else None

    def local_path(self):
        return os.path.join(root, urllib.parse.unquote(urllib.parse.urlsplit(self.path).path).lstrip("/"))

    def answer(self, status):
        self.send_response(status)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_PUT(self):
        failure = self.begin()
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        if failure:
            return self.answer(failure)
        path = self.local_path()
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as file:
            file.write(body)
        self.answer(201)

    def do_GET(self):
        failure = self.begin()
        if failure:
            return self.answer(failure)
        if self.path.startswith("/endless/"):
            self.send_response(200)
            self.end_headers()
            self.close_connection = True
            zeros = bytes(1 << 16)
            try:
                while True:
                    self.wfile.write(zeros)
            except OSError:
                return
        if self.path.startswith("/to/"):
            self.send_response(302)
            self.send_header("Location", "http://" + self.path[len("/to/"):])
            self.send_header("Content-Length", "0")
            return self.end_headers()
        try:
            with open(self.local_path(), "rb") as file:
                data = file.read()
        except OSError:
            return self.answer(404)
        start = 0
        requested = self.headers.get("Range", "")
        if requested.startswith("bytes=") and requested.endswith("-"):
            start = int(requested[6:-1])
            self.send_response(206)
            self.send_header("Content-Range", f"bytes {start}-{len(data) - 1}/{len(data)}")
        else:
            self.send_response(200)
        self.send_header("Content-Length", str(len(data) - start))
        self.send_header("Accept-Ranges", "bytes")
        self.end_headers()
        body = data[start:]
        if self.path.startswith("/trickle/"):
            try:
                for byte in body:
                    self.wfile.write(bytes([byte]))
                    self.wfile.flush()
                    time.sleep(0.05)
            except OSError:
                pass
            return
        if self.path.startswith(("/cut/", "/stall/", "/norange/")) and start == 0 and self.first_time():
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            if self.path.startswith("/stall/"):
                self.rfile.read(1)  # returns when the client has gone
            self.close_connection = True
            return
        self.wfile.write(body)


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print(server.server_address[1], flush=True)
server.serve_forever()
