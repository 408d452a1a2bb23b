#!/usr/bin/env python3
"""HTTP server for the upload benchmark: takes each PUT body whole and answers 201, on
127.0.0.1 at a free port, which it prints first. Threads per connection, keep-alive."""
import http.server


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_PUT(self):
        left = int(self.headers.get("Content-Length", 0))
        while left > 0:
            left -= len(self.rfile.read(min(left, 1 << 16)))
        self.send_response(201)
        self.send_header("Content-Length", "0")
        self.end_headers()


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print(server.server_address[1], flush=True)
server.serve_forever()
