#!/usr/bin/env python3
"""A local web server for the updater's tests, on 127.0.0.1 at a free port.

Usage: http_fixture.py ROOT. Prints the port on its first line, then serves until killed.
Every request is logged whole (request line, headers, body as far as it arrived) to
ROOT/log/NNNN.req. Paths:
  /echo...              200, the body is the logged request itself
  /cookies              200 with two Set-Cookie headers
  /status/NNN/...       status NNN, empty body
  /nolength/FILE        FILE without Content-Length, the connection closes after it
  /truncate/FILE        Content-Length of FILE, half of it sent, then the connection closes
  /stall/FILE           headers and half of FILE, then silence for a minute
  /FILE                 FILE under ROOT, 404 when missing
"""
import http.server
import os
import socketserver
import sys
import threading
import time

ROOT = sys.argv[1]
LOG = os.path.join(ROOT, "log")
os.makedirs(LOG, exist_ok=True)
counter = [0]
counter_lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self):
        body = b""
        length = int(self.headers.get("Content-Length") or 0)
        while len(body) < length:
            try:
                part = self.rfile.read1(length - len(body))
            except OSError:
                part = b""
            if not part:
                self.close_connection = True
                break
            body += part
        raw = self.requestline.encode("latin-1") + b"\r\n" + b"".join(
            ("%s: %s\r\n" % (k, v)).encode("latin-1") for k, v in self.headers.items()
        ) + b"\r\n" + body
        with counter_lock:
            counter[0] += 1
            name = os.path.join(LOG, "%04d.req" % counter[0])
        with open(name, "wb") as f:
            f.write(raw)
        return raw

    def send(self, status, body, headers=(), length=True):
        self.send_response(status)
        for key, value in headers:
            self.send_header(key, value)
        if length:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def file(self, rel):
        path = os.path.join(ROOT, rel.split("?")[0].lstrip("/"))
        if not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def handle_any(self):
        raw = self.record()
        if self.close_connection:
            return
        path = self.path
        if path.startswith("/echo"):
            return self.send(200, raw)
        if path == "/cookies":
            return self.send(200, b"", [("Set-Cookie", "a=1"), ("Set-Cookie", "b=2")])
        if path.startswith("/status/"):
            return self.send(int(path.split("/")[2]), b"")
        for mode in ("nolength", "truncate", "stall"):
            if path.startswith("/" + mode + "/"):
                data = self.file(path[len(mode) + 1:])
                if data is None:
                    return self.send(404, b"")
                self.close_connection = True
                if mode == "nolength":
                    return self.send(200, data, [("Connection", "close")], length=False)
                self.send_response(200)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data[: len(data) // 2])
                self.wfile.flush()
                if mode == "stall":
                    time.sleep(60)
                return
        data = self.file(path)
        if data is None:
            return self.send(404, b"not found")
        self.send(200, data)

    do_GET = do_POST = do_PUT = handle_any


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # clients that hang up early are what some tests are about


server = Server(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
