#!/usr/bin/env python3
"""The bootstrapper's benchmarks, each against a baseline made of the usual tools.

Run through bench/run.sh, which builds the program and installs what is missing. By hand:

    bench.py --bootstrapper BUILD/src/bootstrapper [--runs N] [--out bench/results.md]

Everything this script makes lies under one scratch directory on tmpfs (/dev/shm by default,
BENCH_TMP to change), which is removed at the end. See bench/README.md for what each figure means.
"""

import argparse
import ctypes
import datetime
import errno
import fcntl
import os
import platform
import pty
import re
import selectors
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import termios
import time

sys.dont_write_bytecode = True  # nothing written beside the sources
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_archive import make_archive  # noqa: E402

MiB = 1 << 20
MB = 1000 * 1000
CACHE_SUBDIR = ".velmor/app_installer_cache/V1904c/maci64"
UNPACK_PREFIX = "installagent.unpack-"
INSTALLER_NAME = "setup"
AGENT_FIRST_LINE = b"install agent started"
SLOW_RATE = "24m"  # nginx limit_rate for the throttled location: 24 MiB a second
SLOW_LABEL = "24 MiB/s"

# The install agent: says its first line at once, then (when asked) notes the bootstrapper's own
# peak memory, found by walking up the parent chain to the process named INSTALLER_NAME.
AGENT_SCRIPT = b"""#!/bin/sh
echo 'install agent started'
if [ -n "${QZ_BENCH_HWM_FILE:-}" ]; then
    p=$$
    while [ -n "$p" ] && [ "$p" -gt 1 ]; do
        if [ "$(sed -n 's/^Name:[[:space:]]*//p' /proc/$p/status)" = "%s" ]; then
            grep -E '^(VmHWM|VmRSS|RssAnon|RssFile):' /proc/$p/status > "$QZ_BENCH_HWM_FILE"
            break
        fi
        p=$(sed -n 's/^PPid:[[:space:]]*//p' /proc/$p/status)
    done
fi
exit 0
""" % INSTALLER_NAME.encode()


def now_ns() -> int:
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


def log(*args) -> None:
    print(*args, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# inotify through ctypes (the standard library has no binding)

IN_CREATE = 0x00000100
IN_MOVED_TO = 0x00000080
_libc = ctypes.CDLL(None, use_errno=True)


class Inotify:
    def __init__(self, directory: str):
        self.fd = _libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        if _libc.inotify_add_watch(self.fd, directory.encode(), IN_CREATE | IN_MOVED_TO) < 0:
            os.close(self.fd)
            raise OSError(ctypes.get_errno(), "inotify_add_watch " + directory)

    def read(self) -> list[str]:
        names = []
        try:
            data = os.read(self.fd, 65536)
        except BlockingIOError:
            return names
        offset = 0
        while offset + 16 <= len(data):
            _wd, _mask, _cookie, length = struct.unpack_from("iIII", data, offset)
            name = data[offset + 16:offset + 16 + length].split(b"\0", 1)[0]
            names.append(name.decode(errors="replace"))
            offset += 16 + length
        return names

    def close(self) -> None:
        os.close(self.fd)


# ---------------------------------------------------------------------------------------------
# Running one process and watching it


class Run:
    """What one watched run showed, times in seconds from just before the spawn."""

    def __init__(self):
        self.exit_status = None
        self.maxrss_kib = 0
        self.exit_s = None
        self.first_stdout_line_s = None
        self.stdout = b""
        self.err_chunks: list[tuple[float, bytes]] = []
        self.created: list[tuple[float, str]] = []
        self.start_ns = 0

    @property
    def err(self) -> bytes:
        return b"".join(c for _, c in self.err_chunks)

    def err_line_time(self, text: bytes):
        """The arrival of the chunk that completed the first stderr line holding `text`."""
        buffered = b""
        for t, chunk in self.err_chunks:
            buffered += chunk
            for line in buffered.split(b"\n")[:-1]:
                if text in line:
                    return t
        return None

    def created_time(self, prefix: str):
        for t, name in self.created:
            if name.startswith(prefix):
                return t
        return None


def run_watched(argv, env, *, stderr_pty=False, watch_dir=None, timeout=600.0) -> Run:
    """Spawns argv and records its stdout, stderr (pipe or pseudo-terminal), the files created in
    watch_dir, its exit and its wait4 resource usage."""
    run = Run()
    sel = selectors.DefaultSelector()
    out_r, out_w = os.pipe()
    if stderr_pty:
        err_r, err_w = pty.openpty()
        fcntl.ioctl(err_w, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 132, 0, 0))
    else:
        err_r, err_w = os.pipe()
    ino = Inotify(watch_dir) if watch_dir else None
    actions = [
        (os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
        (os.POSIX_SPAWN_DUP2, out_w, 1),
        (os.POSIX_SPAWN_DUP2, err_w, 2),
    ]
    run.start_ns = now_ns()
    pid = os.posix_spawnp(argv[0], argv, env, file_actions=actions)
    os.close(out_w)
    os.close(err_w)
    pidfd = os.pidfd_open(pid)
    sel.register(out_r, selectors.EVENT_READ, "out")
    sel.register(err_r, selectors.EVENT_READ, "err")
    sel.register(pidfd, selectors.EVENT_READ, "exit")
    if ino:
        sel.register(ino.fd, selectors.EVENT_READ, "ino")

    def since(t):
        return (t - run.start_ns) / 1e9

    open_streams = {"out", "err"}
    deadline = time.monotonic() + timeout
    try:
        while open_streams or run.exit_status is None:
            left = deadline - time.monotonic()
            if left <= 0:
                os.kill(pid, signal.SIGKILL)
                raise TimeoutError(f"{argv[0]} ran longer than {timeout} s")
            for key, _ in sel.select(min(left, 1.0)):
                t = now_ns()
                what = key.data
                if what == "exit":
                    _, status, rusage = os.wait4(pid, 0)
                    run.exit_s = since(t)
                    run.exit_status = os.waitstatus_to_exitcode(status)
                    run.maxrss_kib = rusage.ru_maxrss
                    sel.unregister(pidfd)
                    os.close(pidfd)
                    pidfd = -1
                elif what == "ino":
                    for name in ino.read():
                        run.created.append((since(t), name))
                else:
                    try:
                        data = os.read(key.fd, 1 << 16)
                    except OSError as e:  # a pseudo-terminal says EIO when the last writer closed
                        if e.errno != errno.EIO:
                            raise
                        data = b""
                    if not data:
                        sel.unregister(key.fd)
                        open_streams.discard(what)
                        continue
                    if what == "out":
                        run.stdout += data
                        if run.first_stdout_line_s is None and b"\n" in run.stdout:
                            run.first_stdout_line_s = since(t)
                    else:
                        run.err_chunks.append((since(t), data))
    finally:
        for fd in (out_r, err_r):
            try:
                os.close(fd)
            except OSError:
                pass
        if pidfd >= 0:
            os.close(pidfd)
        if ino:
            ino.close()
        sel.close()
    return run


# ---------------------------------------------------------------------------------------------
# Servers


PR_SET_PDEATHSIG = 1
SERVER_CPUS: set[int] | None = None  # where the servers run when the benchmark pins CPUs


def server_preexec() -> None:
    """In a server's child process: end with the benchmark, and keep to the server CPUs."""
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    if SERVER_CPUS:
        os.sched_setaffinity(0, SERVER_CPUS)


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
    }}
}}
"""

    def start(self) -> None:
        for attempt in range(5):
            port = free_port()
            conf = os.path.join(self.prefix, "nginx.conf")
            with open(conf, "w") as f:
                f.write(self._config(port))
            self.proc = subprocess.Popen(
                ["nginx", "-p", self.prefix + "/", "-c", conf, "-e", self.error_log],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                preexec_fn=server_preexec)
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
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGQUIT)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None


class Xvfb:
    def __init__(self, log_path: str):
        self.log_path = log_path
        self.proc = None
        self.display = None

    def start(self) -> None:
        r, w = os.pipe()
        with open(self.log_path, "w") as logf:
            self.proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(w), "-nolisten", "tcp", "-screen", "0", "1280x1024x24"],
                pass_fds=(w,), stdin=subprocess.DEVNULL, stdout=logf, stderr=logf,
                preexec_fn=server_preexec)
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
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None


# ---------------------------------------------------------------------------------------------
# Statistics and the table


def summary(values):
    values = [v for v in values if v is not None]
    if not values:
        return None
    return {"median": statistics.median(values), "min": min(values), "max": max(values)}


UNITS = {"ms": (1000.0, " ms", 1), "MiB/s": (1.0, " MiB/s", 0), "MB/s": (1.0, " MB/s", 0),
         "MiB": (1.0, " MiB", 2),
         "/s": (1.0, "/s", 1), "B": (1.0, " B", 0), "n": (1.0, "", 0)}


def fmt(values, unit):
    s = summary(values)
    if s is None:
        return "n/a"
    scale, suffix, digits = UNITS[unit]

    def one(v):
        return f"{v * scale:.{digits}f}"
    if one(s["min"]) == one(s["max"]):
        return f"{one(s['median'])}{suffix}"
    return f"{one(s['median'])}{suffix} ({one(s['min'])}–{one(s['max'])})"


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def ratio_of_medians(a, b):
    ma, mb = median(a), median(b)
    if ma is None or mb is None or mb == 0:
        return None
    return ma / mb


class Results:
    """Rows of the results table, in sections; the ratio is always bootstrapper ÷ baseline in the
    unit shown."""

    def __init__(self):
        self.sections: list[tuple[str, list]] = []
        self.notes: list[str] = []

    def section(self, title: str) -> None:
        self.sections.append((title, []))

    def add(self, figure, subject, unit, baseline_name="", baseline=None, target="", met=None):
        ratio = ratio_of_medians(subject, baseline) if baseline is not None else None
        self.sections[-1][1].append({
            "figure": figure, "subject": fmt(subject, unit), "baseline_name": baseline_name,
            "baseline": fmt(baseline, unit) if baseline is not None else "",
            "ratio": "" if ratio is None else f"{ratio:.2f}", "target": target,
            "met": "" if met is None else ("yes" if met else "**no**")})

    def markdown(self) -> str:
        out = ["| Figure | Bootstrapper: median (min–max) | Baseline "
               "| Baseline: median (min–max) | Ratio | Target | Met |",
               "|---|---|---|---|---|---|---|"]
        for title, rows in self.sections:
            if not rows:
                continue
            out.append(f"| **{title}** | | | | | | |")
            out += [f"| {r['figure']} | {r['subject']} | {r['baseline_name']} | {r['baseline']} "
                    f"| {r['ratio']} | {r['target']} | {r['met']} |" for r in rows]
        return "\n".join(out) + "\n"


def col(rows, key):
    return [row.get(key) for row in rows]


# ---------------------------------------------------------------------------------------------
# The benchmark


class Bench:
    def __init__(self, args):
        self.args = args
        self.runs = args.runs
        self.builds = {"main": os.path.abspath(args.bootstrapper)}
        if args.bootstrapper_without_gtk:
            self.builds["nogtk"] = os.path.abspath(args.bootstrapper_without_gtk)
        base = os.environ.get("BENCH_TMP") or ("/dev/shm" if os.path.isdir("/dev/shm") else None)
        self.root = tempfile.mkdtemp(prefix="qz-bench.", dir=base)
        self.fs = subprocess.run(["stat", "-f", "-c", "%T", self.root], capture_output=True,
                                 text=True).stdout.strip()
        self.docroot = os.path.join(self.root, "www")
        self.nginx = Nginx(os.path.join(self.root, "nginx"), self.docroot)
        self.xvfb = None
        self.results = Results()
        self.counter = 0
        self.gtk = False
        self.gtk_reason = ""
        self.draw_counter = args.draw_counter
        self.mem_512 = {}
        self.signed = None  # what the signed groups share, made when the first of them runs
        self.pinning = "no CPU pinning"

    # -- set-up --

    def setup(self) -> None:
        global SERVER_CPUS
        cpus = sorted(os.sched_getaffinity(0))
        if os.environ.get("BENCH_PIN", "1") != "0" and len(cpus) >= 2:
            # The servers (nginx, Xvfb) on one CPU, the benchmark and what it runs on the
            # others: as if the server were another machine, and with no run-to-run noise from
            # where the scheduler happens to put the two ends of the connection.
            SERVER_CPUS = {cpus[0]}
            os.sched_setaffinity(0, set(cpus[1:]))
            self.pinning = f"servers on CPU {cpus[0]}, clients on CPU " + ",".join(
                map(str, cpus[1:]))
        else:
            self.pinning = "no CPU pinning"
        log(f"  {self.pinning}")
        os.makedirs(self.docroot)
        # The programs run from a directory of their own, which must stay empty.
        self.cwd = os.path.join(self.root, "cwd")
        os.makedirs(self.cwd)
        os.chdir(self.cwd)
        for name, size in (("agent-64M.zip", 64 * MiB), ("agent-512M.zip", 512 * MiB),
                           ("agent-1G.zip", 1024 * MiB)):
            log(f"  archive {name}: {size} bytes")
            make_archive(os.path.join(self.docroot, name), size, AGENT_SCRIPT)

        # For each build, a flat installer folder that downloads and one that carries its
        # install agent.
        self.download_folder, self.bundle_folder = {}, {}
        for build, program in self.builds.items():
            for kind, folders in (("Download", self.download_folder),
                                  ("Bundle", self.bundle_folder)):
                folder = os.path.join(self.root, f"{kind}Installer-{build}")
                os.makedirs(folder)
                shutil.copy2(program, os.path.join(folder, INSTALLER_NAME))
                with open(os.path.join(folder, "bundle.zip"), "wb") as f:
                    f.write(b"not used by the benchmark's install agent\n")
                folders[build] = folder
            shutil.copy2(os.path.join(self.docroot, "agent-64M.zip"),
                         os.path.join(self.bundle_folder[build], "InstallAgent.zip"))

        self.nginx.start()
        for folder in self.download_folder.values():
            with open(os.path.join(folder, "installAgentURL.txt"), "w") as f:
                f.write(self.nginx.url("agent-512M.zip") + "\n")
        log(f"  nginx on 127.0.0.1:{self.nginx.port}")

        # The GTK window is a module carried inside the program, loaded only with a display.
        module = os.path.join(os.path.dirname(self.builds["main"]), "qz-gtk-window.so")
        if not os.path.exists(module):
            self.gtk_reason = "the bootstrapper was built without GTK"
        elif not shutil.which("Xvfb"):
            self.gtk_reason = "Xvfb is not installed"
        else:
            self.xvfb = Xvfb(os.path.join(self.root, "xvfb.log"))
            try:
                self.xvfb.start()
                self.gtk = True
                log(f"  Xvfb on {self.xvfb.display}")
            except RuntimeError as e:
                self.gtk_reason = str(e)
        if not self.gtk:
            log(f"  no GTK figures: {self.gtk_reason}")

    def teardown(self) -> None:
        if getattr(self, "cwd", None) and os.path.isdir(self.cwd) and os.listdir(self.cwd):
            log(f"warning: something was left in the working directory: {os.listdir(self.cwd)}")
        os.chdir("/")
        self.nginx.stop()
        if self.xvfb:
            self.xvfb.stop()
        if self.args.keep:
            log(f"kept {self.root}")
        else:
            shutil.rmtree(self.root, ignore_errors=True)

    # -- running things --

    def fresh_dirs(self):
        """A new HOME (with the cache's folder made, so that it can be watched) and TMPDIR."""
        self.counter += 1
        run_dir = os.path.join(self.root, "runs", str(self.counter))
        home = os.path.join(run_dir, "home")
        tmp = os.path.join(run_dir, "tmp")
        os.makedirs(os.path.join(home, CACHE_SUBDIR), mode=0o700)
        os.makedirs(tmp)
        return run_dir, home, tmp

    def env(self, home, tmp, *, gtk=False, extra=None):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QZ_INTERNAL_INSTALL_AGENT_URL",
                            "__QZ_BOOTSTRAP_INSTALLER_UNITTEST__", "QZ_DOWNLOAD_TIMEOUT",
                            "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                            "all_proxy", "ALL_PROXY", "UNZIP", "UNZIPOPT", "LD_PRELOAD",
                            "NO_COLOR")
               and not k.startswith("QZ_BENCH_")}
        env["HOME"] = home
        env["TMPDIR"] = tmp
        if gtk:
            env["DISPLAY"] = self.xvfb.display
            env["GDK_BACKEND"] = "x11"
            env["NO_AT_BRIDGE"] = "1"  # no accessibility bus to look for under Xvfb
        env.update(extra or {})
        return env

    def bootstrapper(self, url=None, *, bundle=False, build="main", gtk=False, stderr_pty=False,
                     hwm=False, home=None, extra=None, keep=False, folder=None) -> Run:
        """One run of the installer; url None with bundle=False uses installAgentURL.txt. A
        folder given replaces the build's download or bundle folder."""
        folder = folder or (self.bundle_folder if bundle else self.download_folder)[build]
        run_dir, fresh_home, tmp = self.fresh_dirs()
        home = home or fresh_home
        extra = dict(extra or {})
        if url is not None:
            extra["QZ_INTERNAL_INSTALL_AGENT_URL"] = url
        hwm_file = os.path.join(run_dir, "hwm")
        if hwm:
            extra["QZ_BENCH_HWM_FILE"] = hwm_file
        run = run_watched([os.path.join(folder, INSTALLER_NAME)],
                          self.env(home, tmp, gtk=gtk, extra=extra),
                          stderr_pty=stderr_pty, watch_dir=os.path.join(home, CACHE_SUBDIR))
        if run.exit_status != 0 or AGENT_FIRST_LINE not in run.stdout:
            raise RuntimeError(f"the bootstrapper failed ({run.exit_status}):\n"
                               + run.err.decode(errors="replace")[-2000:])
        run.hwm_mib = run.anon_mib = run.file_mib = None
        if hwm:
            with open(hwm_file) as f:
                text = f.read()

            def field(name):
                m = re.search(name + r":\s+(\d+)", text)
                return int(m[1]) / 1024 if m else None
            run.hwm_mib, run.anon_mib, run.file_mib = (field("VmHWM"), field("RssAnon"),
                                                       field("RssFile"))
        run.requests = self.nginx.new_requests()
        run.run_dir = run_dir
        run.home = home
        if not keep:
            shutil.rmtree(run_dir, ignore_errors=True)
        return run

    def command(self, make_argv) -> Run:
        """A baseline: make_argv(a fresh directory) run directly, with the same environment as
        the bootstrapper (HOME and TMPDIR fresh too)."""
        run_dir, home, tmp = self.fresh_dirs()
        argv = make_argv(run_dir)
        run = run_watched(argv, self.env(home, tmp))
        if run.exit_status != 0:
            raise RuntimeError(f"baseline failed ({run.exit_status}): {argv}\n"
                               + run.err.decode(errors="replace")[-2000:])
        run.requests = self.nginx.new_requests()
        shutil.rmtree(run_dir, ignore_errors=True)
        return run

    def shell(self, script, *args) -> Run:
        """A baseline in the shell: `sh -c script sh DIR args...`, DIR a fresh directory."""
        return self.command(lambda d: ["sh", "-c", script, "sh", d, *args])

    def curl(self, url) -> Run:
        return self.command(lambda d: ["curl", "-s", "-o", os.path.join(d, "a.zip"), url])

    def repeat(self, label, steps) -> None:
        """One untimed warm-up round, then self.runs rounds; each step runs once a round, in
        order, so that the subject and its baseline alternate."""
        for i in range(self.runs + 1):
            log(f"  {label}: " + ("warm-up" if i == 0 else f"run {i}/{self.runs}"))
            for step in steps:
                step(i > 0)

    # -- the figures --

    def download_throughput(self) -> None:
        self.results.section("Download throughput (512 MiB archive)")
        size = 512 * MiB
        url = self.nginx.url("agent-512M.zip")
        term, gtk, curl, curl_unzip = [], [], [], []

        def terminal(keep):
            r = self.bootstrapper(url, hwm=True)
            if keep:
                term.append({"done": r.err_line_time(b"Initializing the installer"),
                             "done_ino": r.created_time(UNPACK_PREFIX),
                             "agent": r.first_stdout_line_s,
                             "server": r.requests[-1]["request_time"], "hwm": r.hwm_mib,
                             "anon": r.anon_mib, "file": r.file_mib})

        def window(keep):
            r = self.bootstrapper(url, gtk=True, hwm=True)
            if keep:
                gtk.append({"done": r.created_time(UNPACK_PREFIX), "agent": r.first_stdout_line_s,
                            "server": r.requests[-1]["request_time"], "hwm": r.hwm_mib})

        def plain_curl(keep):
            r = self.curl(url)
            if keep:
                curl.append({"done": r.exit_s, "server": r.requests[-1]["request_time"],
                             "rss": r.maxrss_kib / 1024})

        def curl_and_unzip(keep):
            r = self.shell('curl -s -o "$1/a.zip" "$2" && unzip -qq -o "$1/a.zip" -d "$1/agent" '
                           '&& exec sh "$1/agent/install"', url)
            if keep:
                curl_unzip.append({"agent": r.first_stdout_line_s})

        steps = [terminal, plain_curl] + ([window] if self.gtk else []) + [curl_and_unzip]
        self.repeat("download throughput", steps)

        def mibps(times):
            return [size / MiB / t if t else None for t in times]

        curl_rate = mibps(col(curl, "done"))
        for name, rows in (("Terminal", term), ("GTK (Xvfb)", gtk)):
            if rows:
                rate = mibps(col(rows, "done"))
                self.results.add(f"{name}: start → transfer done, as throughput", rate, "MiB/s",
                                 "`curl -s -o`", curl_rate, "≥ 0.95",
                                 met=(ratio_of_medians(rate, curl_rate) or 0) >= 0.95)
        self.results.add("Terminal: start → transfer done", col(term, "done"), "ms",
                         "`curl -s -o`", col(curl, "done"))
        if self.gtk:
            self.results.add("GTK (Xvfb): start → transfer done", col(gtk, "done"), "ms",
                             "`curl -s -o`", col(curl, "done"))
        self.results.add("Terminal: nginx's `$request_time`", col(term, "server"), "ms",
                         "`curl -s -o`", col(curl, "server"))
        if self.gtk:
            self.results.add("GTK (Xvfb): nginx's `$request_time`", col(gtk, "server"), "ms",
                             "`curl -s -o`", col(curl, "server"))
        base = col(curl_unzip, "agent")
        self.results.add("Terminal: start → install agent's first line (download + unpack)",
                         col(term, "agent"), "ms", "`curl -s -o` + `unzip -qq -o` + `sh install`",
                         base)
        if self.gtk:
            self.results.add("GTK (Xvfb): start → install agent's first line (download + unpack)",
                             col(gtk, "agent"), "ms",
                             "`curl -s -o` + `unzip -qq -o` + `sh install`", base)
        self.mem_512 = {"term": col(term, "hwm"), "gtk": col(gtk, "hwm"),
                        "curl": col(curl, "rss")}
        gaps = [row["done_ino"] - row["done"] for row in term
                if row["done_ino"] is not None and row["done"] is not None]
        if gaps:
            self.results.notes.append(
                "Terminal front end: its stderr line \"Initializing the installer\" and the "
                "creation of the unpack directory in the cache (the mark used for the GTK front "
                f"end) came {statistics.median(gaps) * 1000:+.2f} ms apart (median).")

    def cache_hit(self) -> None:
        self.results.section("Cache hit (64 MiB archive already in the cache, ETag unchanged)")
        url = self.nginx.url("agent-64M.zip")
        warm = {}
        variants = [("main", False)] + ([("main", True)] if self.gtk else []) \
            + ([("nogtk", False)] if "nogtk" in self.builds else [])
        for build, gtk in variants:
            warm[(build, gtk)] = self.bootstrapper(url, build=build, keep=True).home
            self.nginx.new_requests()
        times = {v: [] for v in variants}
        head, requests = [], []

        def hit(build, gtk):
            def step(keep):
                r = self.bootstrapper(url, build=build, gtk=gtk, home=warm[(build, gtk)])
                if keep:
                    times[(build, gtk)].append(r.first_stdout_line_s)
                    requests.extend(r.requests)
            return step

        def curl_head(keep):
            r = self.command(lambda d: ["curl", "-sI", "-o", "/dev/null", url])
            if keep:
                head.append(r.exit_s)

        # For context: the same request, then the install agent started as the bootstrapper
        # starts it (sh -c "sh install ..."), from a cache the baseline keeps itself.
        agent_dir = os.path.join(self.root, "context-agent")
        subprocess.run(["unzip", "-qq", "-o", os.path.join(self.docroot, "agent-64M.zip"),
                        "-d", agent_dir], check=True)

        def curl_head_then_agent(keep):
            r = self.shell('curl -sI -o /dev/null "$2" && sh -c "sh $3/install"',
                           url, agent_dir)
            if keep:
                context.append(r.first_stdout_line_s)
        context = []

        self.repeat("cache hit", [hit(*variants[0]), curl_head] + [hit(*v) for v in variants[1:]]
                    + [curl_head_then_agent])
        self.results.add("Terminal: start → install agent's first line",
                         times[("main", False)], "ms", "`curl -sI`", head, "≤ 1.5",
                         met=(ratio_of_medians(times[("main", False)], head) or 99) <= 1.5)
        if self.gtk:
            self.results.add("GTK (Xvfb): start → install agent's first line",
                             times[("main", True)], "ms", "`curl -sI`", head, "(≤ 1.5)")
        if "nogtk" in self.builds:
            self.results.add("Terminal, build without GTK (diagnostic): start → first line",
                             times[("nogtk", False)], "ms", "`curl -sI`", head, "(≤ 1.5)")
        self.results.add("(context) `curl -sI`, then `sh -c \"sh install\"` to its first line",
                         context, "ms", "`curl -sI`", head)
        shutil.rmtree(agent_dir, ignore_errors=True)
        bodies = [q["body_bytes"] for q in requests]
        self.results.add("Archive body bytes nginx sent, per cache-hit run", bodies, "B",
                         target="0", met=bool(bodies) and max(bodies) == 0)
        statuses = sorted({q["status"] for q in requests})
        sent = sorted({q["if_none_match"].replace("\\x22", '"') for q in requests})
        self.results.notes.append(
            f"Cache hits: {len(requests)} requests, status {', '.join(map(str, statuses))}, "
            f"each with If-None-Match {', '.join(sent)}.")
        for home in warm.values():
            shutil.rmtree(os.path.dirname(home), ignore_errors=True)

    def bundle_path(self) -> None:
        self.results.section("Bundle path (64 MiB `InstallAgent.zip` in the installer folder)")
        archive = os.path.join(self.bundle_folder["main"], "InstallAgent.zip")
        times = {b: [] for b in self.builds}
        base = []

        def boot(build):
            def step(keep):
                r = self.bootstrapper(bundle=True, build=build)
                if r.requests:
                    raise RuntimeError("the bundle path made a request")
                if keep:
                    times[build].append(r.first_stdout_line_s)
            return step

        def unzip_sh(keep):
            r = self.shell('unzip -qq -o "$2" -d "$1/agent" && exec sh "$1/agent/install"',
                           archive)
            if keep:
                base.append(r.first_stdout_line_s)

        self.repeat("bundle path", [boot("main"), unzip_sh]
                    + ([boot("nogtk")] if "nogtk" in self.builds else []))
        limit = 1.05 * median(base) + 0.010
        self.results.add("Start → install agent's first line", times["main"], "ms",
                         "`unzip -qq -o` + `sh install`", base,
                         f"≤ 1.05 × baseline + 10 ms (≤ {limit * 1000:.1f} ms)",
                         met=median(times["main"]) <= limit)
        if "nogtk" in self.builds:
            self.results.add("Build without GTK (diagnostic): start → agent's first line",
                             times["nogtk"], "ms", "`unzip -qq -o` + `sh install`", base,
                             f"(≤ {limit * 1000:.1f} ms)")

    # -- signed install agents --

    def signing(self) -> dict:
        """A minisign key pair made for the run; the 512 MiB archive signed in the docroot; and
        two installer folders of the main build that carry the public key, one that downloads
        and one that carries the 64 MiB archive with its signature."""
        if self.signed:
            return self.signed
        keys = os.path.join(self.root, "keys")
        os.makedirs(keys)
        pub, key = os.path.join(keys, "bench.pub"), os.path.join(keys, "bench.key")
        subprocess.run(["minisign", "-G", "-W", "-p", pub, "-s", key], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)

        def sign(archive, name):
            comment = (f"timestamp:{int(time.time())}\tfile:{name}\tversion:1"
                       f"\tsize:{os.path.getsize(archive)}")
            subprocess.run(["minisign", "-S", "-s", key, "-m", archive, "-x",
                            archive + ".minisig", "-t", comment, "-c", "benchmark"],
                           check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)

        log("  signing agent-512M.zip and a copy of agent-64M.zip")
        sign(os.path.join(self.docroot, "agent-512M.zip"), "agent-512M.zip")
        folders = {}
        for kind, source in (("Download", self.download_folder["main"]),
                             ("Bundle", self.bundle_folder["main"])):
            folder = os.path.join(self.root, f"Signed{kind}Installer")
            shutil.copytree(source, folder)
            shutil.copy2(pub, os.path.join(folder, "installAgentKey.pub"))
            folders[kind] = folder
        sign(os.path.join(folders["Bundle"], "InstallAgent.zip"), "InstallAgent.zip")
        self.signed = {"pub": pub, "download": folders["Download"], "bundle": folders["Bundle"]}
        return self.signed

    def hash_alone(self, archive, into):
        """A step: `openssl dgst -blake2b512` of the archive (the hash the signature is over, by
        the same libcrypto as the bootstrapper's), start to exit."""
        def step(keep):
            r = self.command(lambda d: ["openssl", "dgst", "-blake2b512", "-out",
                                        os.path.join(d, "digest"), archive])
            if keep:
                into.append(r.exit_s)
        return step

    def signed_download(self) -> None:
        self.results.section("Signed download (512 MiB archive and its `.minisig`, terminal)")
        signed_folder = self.signing()["download"]
        url = self.nginx.url("agent-512M.zip")
        rows = {"signed": [], "unsigned": []}
        requests, hashing = [], []

        def boot(which, folder):
            def step(keep):
                r = self.bootstrapper(url, folder=folder)
                if keep:
                    rows[which].append({"done": r.err_line_time(b"Initializing the installer"),
                                        "agent": r.first_stdout_line_s})
                    if which == "signed":
                        requests.append(r.requests)
            return step

        self.repeat("signed download", [boot("signed", signed_folder),
                                        boot("unsigned", self.download_folder["main"]),
                                        self.hash_alone(os.path.join(
                                            self.docroot, "agent-512M.zip"), hashing)])
        unsigned_name = "unsigned (no `installAgentKey.pub`)"
        for key, label in (("done", "start → transfer done"),
                           ("agent", "start → install agent's first line (download, check, "
                                     "unpack)")):
            signed, unsigned = col(rows["signed"], key), col(rows["unsigned"], key)
            self.results.add(f"Signed: {label}", signed, "ms", unsigned_name, unsigned,
                             "≤ 1.05", met=(ratio_of_medians(signed, unsigned) or 99) <= 1.05)
        differences = paired_differences(col(rows["signed"], "done"),
                                         col(rows["unsigned"], "done"))
        self.results.add("Signed − unsigned, start → transfer done (per round)", differences,
                         "ms")
        self.results.add("(context) `openssl dgst -blake2b512` of the archive: start → exit",
                         hashing, "ms")
        self.results.add("(context) 512 MiB ÷ that time", [512 * MiB / MB / t for t in hashing],
                         "MB/s")
        shapes = sorted({" then ".join(f"{q['uri']} ({q['status']})" for q in run)
                         for run in requests})
        self.results.notes.append("Signed download: each run asked for " + "; ".join(shapes)
                                  + ".")

    def signed_bundle(self) -> None:
        self.results.section("Signed bundle path (64 MiB `InstallAgent.zip` and its `.minisig`)")
        signed_folder = self.signing()["bundle"]
        size_mb = 64 * MiB / MB
        times = {"signed": [], "unsigned": []}
        hashing = []

        def boot(which, folder):
            def step(keep):
                r = self.bootstrapper(bundle=True, folder=folder)
                if r.requests:
                    raise RuntimeError("the bundle path made a request")
                if keep:
                    times[which].append(r.first_stdout_line_s)
            return step

        self.repeat("signed bundle path", [
            boot("signed", signed_folder), boot("unsigned", self.bundle_folder["main"]),
            self.hash_alone(os.path.join(signed_folder, "InstallAgent.zip"), hashing)])
        self.results.add("Signed: start → install agent's first line", times["signed"], "ms",
                         "unsigned (no `installAgentKey.pub`)", times["unsigned"])
        # Each round's two runs are next to each other, so their difference is the least
        # disturbed by a load that changes over the run.
        differences = paired_differences(times["signed"], times["unsigned"])
        added = median(differences)
        limit = size_mb / 700
        self.results.add("Signed − unsigned (per round)", differences, "ms",
                         target=f"(≤ {limit * 1000:.1f} ms: 64 MiB at 700 MB/s)")
        self.results.add("What that implies: 64 MiB ÷ the median difference",
                         [size_mb / added if added > 0 else None], "MB/s", target="≥ 700 MB/s",
                         met=added <= limit)
        if added <= 0:
            self.results.notes.append("Signed bundle path: no measurable difference from the "
                                      "unsigned one, so no rate is implied.")
        self.results.add("(context) `openssl dgst -blake2b512` of the archive: start → exit",
                         hashing, "ms")
        self.results.add("(context) 64 MiB ÷ that time", [size_mb / t for t in hashing], "MB/s")

    def memory(self) -> None:
        self.results.section("Memory: the bootstrapper's own peak RSS (VmHWM)")
        cases = [("t64", "main", False, "agent-64M.zip"), ("t1g", "main", False, "agent-1G.zip")]
        if self.gtk:
            cases.append(("g64", "main", True, "agent-64M.zip"))
        if "nogtk" in self.builds:
            cases += [("n64", "nogtk", False, "agent-64M.zip"),
                      ("n1g", "nogtk", False, "agent-1G.zip")]
        rows = {key: [] for key, *_ in cases}
        curl = {"agent-64M.zip": [], "agent-1G.zip": []}

        def boot(key, build, gtk, name):
            def step(keep):
                r = self.bootstrapper(self.nginx.url(name), build=build, gtk=gtk, hwm=True)
                if keep:
                    rows[key].append({"hwm": r.hwm_mib, "anon": r.anon_mib, "file": r.file_mib,
                                      "rusage": r.maxrss_kib / 1024})
            return step

        def curl_step(name):
            def step(keep):
                r = self.curl(self.nginx.url(name))
                if keep:
                    curl[name].append(r.maxrss_kib / 1024)
            return step

        steps = []
        for case in cases:
            steps.append(boot(*case))
            if case[0] in ("t64", "t1g"):
                steps.append(curl_step(case[3]))
        self.repeat("memory", steps)

        t64, t1g = col(rows["t64"], "hwm"), col(rows["t1g"], "hwm")
        growth = median(t1g) - median(t64)
        self.results.add("Terminal, 64 MiB download", t64, "MiB", "`curl -s -o` (its peak RSS)",
                         curl["agent-64M.zip"], "< 16 MiB", met=max(t64) < 16)
        self.results.add("Terminal, 1 GiB download", t1g, "MiB", "`curl -s -o` (its peak RSS)",
                         curl["agent-1G.zip"], "< 16 MiB", met=max(t1g) < 16)
        self.results.add("Terminal, growth from 64 MiB to 1 GiB (difference of medians)",
                         [growth], "MiB", target="≤ 2 MiB", met=growth <= 2)
        if self.mem_512.get("term"):
            self.results.add("Terminal, 512 MiB download (from the throughput runs)",
                             self.mem_512["term"], "MiB", "`curl -s -o` (its peak RSS)",
                             self.mem_512["curl"], "< 16 MiB", met=max(self.mem_512["term"]) < 16)
        self.results.add("Terminal, 1 GiB: anonymous part of RSS at the agent's start",
                         col(rows["t1g"], "anon"), "MiB")
        self.results.add("Terminal, 1 GiB: file-backed part (libraries) at the agent's start",
                         col(rows["t1g"], "file"), "MiB")
        self.results.add("Terminal, 1 GiB: wait4 `ru_maxrss` (= GNU time `%M`; covers unzip and "
                         "sh too)", col(rows["t1g"], "rusage"), "MiB")
        if self.gtk:
            self.results.add("GTK (Xvfb), 64 MiB download", col(rows["g64"], "hwm"), "MiB",
                             target="(none set)")
            if self.mem_512.get("gtk"):
                self.results.add("GTK (Xvfb), 512 MiB download (from the throughput runs)",
                                 self.mem_512["gtk"], "MiB", target="(none set)")
        if "nogtk" in self.builds:
            n64, n1g = col(rows["n64"], "hwm"), col(rows["n1g"], "hwm")
            self.results.add("Terminal, build without GTK (diagnostic), 64 MiB", n64, "MiB",
                             target="(< 16 MiB)")
            self.results.add("Terminal, build without GTK (diagnostic), 1 GiB", n1g, "MiB",
                             target=f"(< 16 MiB; growth {median(n1g) - median(n64):+.2f} MiB)")

    def redraws(self) -> None:
        self.results.section("Progress cost: redraws while downloading")
        cases = [("full speed, 512 MiB", self.nginx.url("agent-512M.zip")),
                 (f"throttled to {SLOW_LABEL}, 64 MiB", self.nginx.url("slow/agent-64M.zip"))]
        counting_gtk = self.gtk and self.draw_counter
        for label, url in cases:
            term, gtk = [], []

            def terminal(keep):
                r = self.bootstrapper(url, stderr_pty=True)
                if keep:
                    term.append(terminal_redraws(r))

            def window(keep):
                base = os.path.join(self.root, f"draws-{self.counter + 1}")
                r = self.bootstrapper(url, gtk=True, extra={
                    "LD_PRELOAD": self.draw_counter, "QZ_BENCH_DRAW_LOG": base})
                if keep:
                    gtk.append(gtk_draws(r, base))

            self.repeat(f"redraws, {label}", [terminal] + ([window] if counting_gtk else []))
            for name, rows in (("Terminal (pty)", term), ("GTK (Xvfb)", gtk)):
                if not rows:
                    continue
                self.results.add(f"{name}, {label}: redraws in the busiest second",
                                 col(rows, "peak"), "n", target="≤ 30",
                                 met=max(col(rows, "peak")) <= 30)
                rates = col(rows, "rate")
                if all(r is not None for r in rates):
                    self.results.add(f"{name}, {label}: redraws per second of download",
                                     rates, "/s", target="≤ 30/s", met=max(rates) <= 30)
                self.results.add(f"{name}, {label}: shortest gap between redraws",
                                 col(rows, "min_gap"), "ms")
                self.results.notes.append(
                    f"{name}, {label}: {median(col(rows, 'count')):.0f} redraws in "
                    f"{median(col(rows, 'duration')) * 1000:.0f} ms of download (medians)"
                    + (f"; {median(col(rows, 'updates')):.0f} widget updates"
                       if rows[0].get("updates") is not None else "") + ".")
        if self.gtk and not self.draw_counter:
            self.results.notes.append("GTK redraws: not measured (no draw counter library).")


def paired_differences(a, b):
    """a[i] - b[i] for each round in which both were measured."""
    return [x - y for x, y in zip(a, b) if x is not None and y is not None]


def window_peak(times, width=1.0) -> int:
    """The most events in any window of `width` seconds."""
    times = sorted(times)
    best, j = 0, 0
    for i, t in enumerate(times):
        while times[j] < t - width:
            j += 1
        best = max(best, i - j + 1)
    return best


def event_stats(times, done) -> dict:
    """Events up to `done`. The rate is (events - 1) / (last - first), given only when they
    span at least a second; a shorter download is judged by its busiest second."""
    times = sorted(t for t in times if t <= done)
    if not times:
        return {"count": 0, "duration": 0.0, "rate": None, "peak": 0, "min_gap": None}
    span = times[-1] - times[0]
    gaps = [b - a for a, b in zip(times, times[1:])]
    return {"count": len(times), "duration": done - times[0],
            "rate": (len(times) - 1) / span if span >= 1.0 else None,
            "peak": window_peak(times), "min_gap": min(gaps) if gaps else None}


def terminal_redraws(run: Run) -> dict:
    """The in-place redraws ("\\r\\x1b[K" then text) of the progress line, each timed by the
    arrival of the read that brought it, until the transfer's end."""
    draws = []
    for t, chunk in run.err_chunks:
        # Each redraw is written and flushed whole, so it does not straddle two reads.
        draws += [(t, part) for part in chunk.split(b"\r\x1b[K") if part]
    progress = [t for t, text in draws if text.startswith(b"Downloading")]
    done = run.created_time(UNPACK_PREFIX)
    if done is None:
        init = [t for t, text in draws if text.startswith(b"Initializing")]
        done = init[0] if init else run.exit_s
    return event_stats(progress, done)


def gtk_draws(run: Run, base: str) -> dict:
    """Frames GTK painted (gdk_window_begin_draw_frame) from the first widget update to the
    transfer's end, from the draw counter's log."""
    events = []
    directory = os.path.dirname(base)
    for name in os.listdir(directory):
        path = os.path.join(directory, name)
        if path.startswith(base + "."):
            with open(path) as f:
                for line in f:
                    kind, ns = line.split()
                    events.append((kind, (int(ns) - run.start_ns) / 1e9))
            os.unlink(path)
    done = run.created_time(UNPACK_PREFIX) or run.exit_s
    updates = sorted(t for k, t in events if k in ("bar", "text") and t <= done)
    # One update sets the bar and the text: calls less than a millisecond apart are one.
    merged = [t for i, t in enumerate(updates) if i == 0 or t - updates[i - 1] > 0.001]
    start = merged[0] if merged else 0.0
    stats = event_stats([t for k, t in events if k == "frame" and t >= start], done)
    stats["updates"] = len(merged)
    return stats


def machine() -> str:
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kib = int(f.readline().split()[1])
    return (f"{os.cpu_count()} CPUs ({cpu}), {mem_kib / 1024 / 1024:.1f} GiB RAM, "
            f"Linux {platform.release()}")


def tool_versions() -> str:
    def first_line(cmd):
        try:
            out = subprocess.run(cmd, capture_output=True, text=True)
            return (out.stdout or out.stderr).splitlines()[0].strip()
        except (OSError, IndexError):
            return "?"
    return "; ".join([first_line(["nginx", "-v"]), first_line(["curl", "--version"]),
                      first_line(["unzip", "-v"]), "Python " + platform.python_version()])


def on_signal(signum, _frame):
    raise SystemExit(128 + signum)


def main() -> int:
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bootstrapper", required=True)
    parser.add_argument("--bootstrapper-without-gtk",
                        help="the same program built without GTK, for diagnostic rows")
    parser.add_argument("--runs", type=int, default=int(os.environ.get("BENCH_RUNS", "5")))
    parser.add_argument("--out", help="write the markdown results here")
    parser.add_argument("--draw-counter", help="the LD_PRELOAD library that counts GTK draws")
    parser.add_argument("--build-info", default="", help="a line about the build, for the report")
    parser.add_argument("--keep", action="store_true", help="keep the scratch directory")
    parser.add_argument("--only", default="", help="comma-separated: download,cache,bundle,"
                        "signed-download,signed-bundle,memory,redraws")
    args = parser.parse_args()
    if args.out:
        args.out = os.path.abspath(args.out)

    bench = Bench(args)
    started = datetime.datetime.now().astimezone()
    load_before = open("/proc/loadavg").read().split()[:3]
    t0 = time.monotonic()
    only = set(filter(None, args.only.split(",")))
    try:
        log(f"setting up in {bench.root} ({bench.fs})")
        bench.setup()
        for name, step in (("download", bench.download_throughput), ("cache", bench.cache_hit),
                           ("bundle", bench.bundle_path),
                           ("signed-download", bench.signed_download),
                           ("signed-bundle", bench.signed_bundle), ("memory", bench.memory),
                           ("redraws", bench.redraws)):
            if not only or name in only:
                log(f"{name}:")
                step()
    finally:
        bench.teardown()
    load_after = open("/proc/loadavg").read().split()[:3]
    elapsed = time.monotonic() - t0

    notes = list(bench.results.notes)
    if not bench.gtk:
        notes.append(f"No GTK figures: {bench.gtk_reason}.")
    report = (
        f"Run on {started:%Y-%m-%d %H:%M %Z}; {machine()}.\n"
        f"{args.runs} runs of each figure, subject and baseline interleaved; archives, "
        f"downloads, caches and unpacked install agents on {bench.fs} "
        f"({os.path.dirname(bench.root)}); {bench.pinning}; {elapsed:.0f} s in all.\n"
        f"Load average before: {' '.join(load_before)}; after: {' '.join(load_after)}.\n"
        + (f"Build: {args.build_info}.\n" if args.build_info else "")
        + f"Tools: {tool_versions()}.\n\n"
        + bench.results.markdown() + "\n"
        + "".join(f"- {n}\n" for n in notes))
    print(report)
    if args.out:
        with open(args.out, "w") as f:
            f.write("# Benchmark results\n\n" + report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
