"""Running one process and watching it: its output with the time of each read, the files it
creates in a folder (inotify), its exit and its resource usage."""

import ctypes
import errno
import fcntl
import os
import pty
import selectors
import signal
import struct
import termios
import time

from common import now_ns

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
