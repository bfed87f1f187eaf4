"""The servers the benchmark runs itself: nginx in the foreground on 127.0.0.1, and Xvfb."""

import ctypes
import os
import re
import selectors
import signal
import socket
import subprocess
import time

from common import LINK_RATE, SLOW_RATE

PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def stop_process(proc, signum) -> None:
    """Asks a server to end with `signum`, and kills it if it has not after ten seconds."""
    if proc and proc.poll() is None:
        proc.send_signal(signum)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def server_preexec(cpus):
    """For a server's child process: end with the benchmark, and keep to `cpus` when given."""
    def preexec() -> None:
        _libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
        if cpus:
            os.sched_setaffinity(0, cpus)
    return preexec


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port: int, proc, seconds=10.0) -> None:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("the server exited at once")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return
        except OSError:
            time.sleep(0.02)
    raise RuntimeError(f"nothing listens on port {port}")


class Nginx:
    """Debian's nginx with a configuration of its own, in the foreground, on 127.0.0.1."""

    def __init__(self, prefix: str, docroot: str):
        self.prefix = prefix
        self.access_log = os.path.join(prefix, "access.log")
        self.error_log = os.path.join(prefix, "error.log")
        self.proc = None
        os.makedirs(prefix, exist_ok=True)
        self.docroot = docroot
        self.log_offset = 0

    def _config(self, port: int) -> str:
        p = self.prefix
        modules = subprocess.run(["nginx", "-V"], capture_output=True, text=True).stderr
        temp_paths = [f"client_body_temp_path {p}/client_body;"]
        for module, directive in (("proxy", "proxy_temp_path"), ("fastcgi", "fastcgi_temp_path"),
                                  ("uwsgi", "uwsgi_temp_path"), ("scgi", "scgi_temp_path")):
            if f"--without-http_{module}_module" not in modules:
                temp_paths.append(f"{directive} {p}/{module};")
        user = "user root;" if os.geteuid() == 0 else ""
        temp = "\n    ".join(temp_paths)
        return f"""\
daemon off;
master_process on;
worker_processes 1;
{user}
pid {p}/nginx.pid;
error_log {self.error_log} warn;
events {{ worker_connections 64; }}
http {{
    log_format bench '$msec $request_method $uri $status $body_bytes_sent $request_time '
                     '"$http_if_none_match"';
    access_log {self.access_log} bench;
    {temp}
    types {{ application/zip zip; }}
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 5;
    server {{
        listen 127.0.0.1:{port};
        root {self.docroot};
        # Throttled, in small steps so that data keeps arriving (hundreds of blocks a second).
        location /slow/ {{
            alias {self.docroot}/;
            limit_rate {SLOW_RATE};
            sendfile_max_chunk 64k;
        }}
        # Throttled to a fast link's rate, in steps of 1 MiB (5 ms apart at 200 MiB/s).
        location /link/ {{
            alias {self.docroot}/;
            limit_rate {LINK_RATE};
            sendfile_max_chunk 1m;
        }}
    }}
}}
"""

    def start(self, cpus=None) -> None:
        for attempt in range(5):
            port = free_port()
            conf = os.path.join(self.prefix, "nginx.conf")
            with open(conf, "w") as f:
                f.write(self._config(port))
            self.proc = subprocess.Popen(
                ["nginx", "-p", self.prefix + "/", "-c", conf, "-e", self.error_log],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                preexec_fn=server_preexec(cpus))
            try:
                wait_for_port(port, self.proc)
                self.port = port
                return
            except RuntimeError:
                self.stop()
        raise RuntimeError("nginx did not start; see " + self.error_log)

    def url(self, name: str) -> str:
        return f"http://127.0.0.1:{self.port}/{name}"

    def new_requests(self) -> list[dict]:
        """The requests logged since the last call."""
        with open(self.access_log) as f:
            f.seek(self.log_offset)
            text = f.read()
            self.log_offset = f.tell()
        requests = []
        for line in text.splitlines():
            m = re.match(r'(\S+) (\S+) (\S+) (\d+) (\d+) (\S+) "(.*)"$', line)
            if m:
                requests.append({"msec": float(m[1]), "method": m[2], "uri": m[3],
                                 "status": int(m[4]), "body_bytes": int(m[5]),
                                 "request_time": float(m[6]), "if_none_match": m[7]})
        return requests

    def stop(self) -> None:
        stop_process(self.proc, signal.SIGQUIT)
        self.proc = None


class Xvfb:
    def __init__(self, log_path: str):
        self.log_path = log_path
        self.proc = None
        self.display = None

    def start(self, cpus=None) -> None:
        r, w = os.pipe()
        with open(self.log_path, "w") as logf:
            self.proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(w), "-nolisten", "tcp", "-screen", "0", "1280x1024x24"],
                pass_fds=(w,), stdin=subprocess.DEVNULL, stdout=logf, stderr=logf,
                preexec_fn=server_preexec(cpus))
        os.close(w)
        sel = selectors.DefaultSelector()
        sel.register(r, selectors.EVENT_READ)
        number = b""
        deadline = time.monotonic() + 15
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            if sel.select(0.5):
                chunk = os.read(r, 64)
                if not chunk:
                    break
                number += chunk
        sel.close()
        os.close(r)
        if not number.strip():
            self.stop()
            raise RuntimeError("Xvfb did not start; see " + self.log_path)
        self.display = ":" + number.decode().strip()

    def stop(self) -> None:
        stop_process(self.proc, signal.SIGTERM)
        self.proc = None
