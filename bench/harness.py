"""The benchmark's set-up and the runs every figure is made of: the installer in a fresh HOME,
a baseline command in the same environment, and rounds that alternate them."""

import os
import re
import shutil
import subprocess
import tempfile

from common import AGENT_FIRST_LINE, AGENT_SCRIPT, CACHE_SUBDIR, INSTALLER_NAME, MiB, log
from make_archive import make_archive
from servers import Nginx, Xvfb
from table import Results
from watch import Run, run_watched


class Bench:
    """What the figures share: builds, folders, servers, the results table."""

    def __init__(self, args):
        self.args = args
        self.runs = args.runs
        self.builds = {"main": os.path.abspath(args.bootstrapper)}
        if args.bootstrapper_without_gtk:
            self.builds["nogtk"] = os.path.abspath(args.bootstrapper_without_gtk)
        if args.release_bootstrapper:
            self.builds["release"] = os.path.abspath(args.release_bootstrapper)
        if args.arm64_bootstrapper:
            self.builds["arm64"] = os.path.abspath(args.arm64_bootstrapper)
        # The programs whose rows stand side by side: the development build, then the release
        # program when there is one.
        self.subjects = [b for b in ("main", "release") if b in self.builds]
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
        self.server_cpus = None  # where nginx and Xvfb run when the benchmark pins CPUs

    # -- set-up --

    def setup(self) -> None:
        cpus = sorted(os.sched_getaffinity(0))
        if os.environ.get("BENCH_PIN", "1") != "0" and len(cpus) >= 2:
            # The servers (nginx, Xvfb) on one CPU, the benchmark and what it runs on the
            # others: as if the server were another machine, and with no run-to-run noise from
            # where the scheduler happens to put the two ends of the connection.
            self.server_cpus = {cpus[0]}
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

        self.nginx.start(self.server_cpus)
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
                self.xvfb.start(self.server_cpus)
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

    def label(self, build, front) -> str:
        """The start of a row's name: the front end ("terminal", "GTK (Xvfb)"), and which
        program when the release program is measured too."""
        if not self.program(build):
            return front[0].upper() + front[1:]
        return self.program(build) + ", " + front

    def program(self, build) -> str:
        """Which program, when the release program is measured too; "" otherwise."""
        if "release" not in self.builds:
            return ""
        return {"main": "Development build", "release": "Release program"}.get(build, "")

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
        run.rss_by_file = {}
        run.cpu_s = None
        if hwm:
            with open(hwm_file) as f:
                text = f.read()

            def field(name):
                m = re.search(name + r":\s+(\d+)", text)
                return int(m[1]) / 1024 if m else None
            run.hwm_mib, run.anon_mib = field("VmHWM"), field("RssAnon")
            # The program's own file lies on tmpfs here, where its pages count as shared
            # memory (RssShmem), not as RssFile: both make the file-backed part.
            run.file_mib = (field("RssFile") or 0) + (field("RssShmem") or 0)
            run.rss_by_file = rss_by_file(hwm_file + ".smaps")
            run.cpu_s = cpu_seconds(hwm_file + ".cpu")
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

    def bundle_step(self, times, **options):
        """A step of `repeat`: the bundle path once, its time to the agent's first line kept in
        `times`; the bundle path must not touch the network."""
        def step(keep):
            r = self.bootstrapper(bundle=True, **options)
            if r.requests:
                raise RuntimeError("the bundle path made a request")
            if keep:
                times.append(r.first_stdout_line_s)
        return step


def rss_by_file(smaps) -> dict:
    """Resident MiB of each mapped file in an smaps dump: where the file-backed part goes."""
    sizes, name = {}, None
    try:
        with open(smaps) as f:
            for line in f:
                fields = line.split()
                if re.match(r"^[0-9a-f]+-[0-9a-f]+ ", line):
                    path = fields[5] if len(fields) > 5 else ""
                    name = os.path.basename(path) if path.startswith("/") else None
                elif name and fields[0] == "Rss:":
                    sizes[name] = sizes.get(name, 0) + int(fields[1]) / 1024
    except OSError:
        pass
    return sizes


def cpu_seconds(schedstat) -> float | None:
    """The time on CPU of all of a process's threads: the first field of each thread's
    /proc/PID/task/TID/schedstat, in nanoseconds."""
    try:
        with open(schedstat) as f:
            return sum(int(line.split()[0]) for line in f if line.strip()) / 1e9
    except (OSError, ValueError, IndexError):
        return None
