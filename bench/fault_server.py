"""A server of one file that fails as networks do, on demand: each answer cut after so many bytes,
a rate, and Range with If-Range as nginx serves them. It counts the body bytes it sends."""

import os
import re
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CHUNK = 1 << 20


class FaultServer:
    def __init__(self, path: str, etag: str, *, drop_every=None, rate=None):
        self.path, self.etag = path, etag
        self.size = os.path.getsize(path)
        self.drop_every = drop_every  # bytes of each answer before its connection is cut
        self.rate = rate  # bytes a second, or None for as fast as the socket takes them
        self.lock = threading.Lock()
        self.sent = 0
        self.requests = 0
        owner = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                owner._answer(self)

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, name="agent.zip") -> str:
        return f"http://127.0.0.1:{self.httpd.server_address[1]}/{name}"

    def take_counts(self):
        """The body bytes sent and the requests answered since the last call."""
        with self.lock:
            counts = (self.sent, self.requests)
            self.sent = self.requests = 0
        return counts

    def sent_so_far(self) -> int:
        with self.lock:
            return self.sent

    def stop(self) -> None:
        self.httpd.shutdown()
        self.httpd.server_close()

    def _answer(self, request) -> None:
        with self.lock:
            self.requests += 1
        start = 0
        wanted = re.fullmatch(r"bytes=(\d+)-", request.headers.get("Range", ""))
        guard = request.headers.get("If-Range")
        if wanted and (guard is None or guard == self.etag):
            start = int(wanted[1])
        if start >= self.size > 0:
            request.send_response(416)
            request.send_header("Content-Range", f"bytes */{self.size}")
            request.send_header("Content-Length", "0")
            request.send_header("Connection", "close")
            request.end_headers()
            return
        request.send_response(206 if start else 200)
        request.send_header("ETag", self.etag)
        request.send_header("Accept-Ranges", "bytes")
        request.send_header("Content-Type", "application/zip")
        request.send_header("Content-Length", str(self.size - start))
        if start:
            request.send_header("Content-Range", f"bytes {start}-{self.size - 1}/{self.size}")
        request.send_header("Connection", "close")
        request.end_headers()
        request.wfile.flush()
        limit = self.size - start
        if self.drop_every:
            limit = min(limit, self.drop_every)
        began = time.monotonic()
        done = 0
        with open(self.path, "rb") as f:
            try:
                while done < limit:
                    n = os.sendfile(request.connection.fileno(), f.fileno(), start + done,
                                    min(CHUNK, limit - done))
                    if n <= 0:
                        break
                    done += n
                    with self.lock:
                        self.sent += n
                    if self.rate:
                        ahead = done / self.rate - (time.monotonic() - began)
                        if ahead > 0:
                            time.sleep(ahead)
            except OSError:
                pass  # the client went away
        request.close_connection = True
