"""The download on a network that fails: cut every 32 MiB, and a run killed part-way then started
again, each beside `wget -c` and `curl --retry 5 -C -` on the same served faults."""

import os
import shutil
import signal
import subprocess
import time

from common import MiB, log
from fault_server import FaultServer
from make_archive import make_archive
from table import col, ratio_of_medians

SIZE = 256 * MiB
ETAG = '"bench-256"'


def resilient_folder(bench, build) -> str:
    """The build's downloading installer as make-installer makes it: its download survives."""
    folder = os.path.join(bench.root, f"ResilientInstaller-{build}")
    if not os.path.isdir(folder):
        shutil.copytree(bench.download_folder[build], folder, symlinks=True)
        with open(os.path.join(folder, "installerSettings.txt"), "w") as f:
            f.write("download: resilient\n")
    return folder


def baseline(bench, argv_in):
    """A baseline's run; (seconds, ok): a tool that gives up is noted, not an error."""
    run_dir, home, tmp = bench.fresh_dirs()
    began = time.monotonic()
    done = subprocess.run(argv_in(run_dir), env=bench.env(home, tmp), stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.monotonic() - began
    shutil.rmtree(run_dir, ignore_errors=True)
    return elapsed, done.returncode == 0


def wget(url, keep_in):
    return ["wget", "-q", "-c", "-O", os.path.join(keep_in, "a.zip"), url]


def curl(url, keep_in):
    return ["curl", "-s", "--retry", "5", "--retry-all-errors", "-C", "-", "-o",
            os.path.join(keep_in, "a.zip"), url]


def network_faults(bench) -> None:
    archive = os.path.join(bench.root, "agent-256M.zip")
    if not os.path.exists(archive):
        from common import AGENT_SCRIPT
        make_archive(archive, SIZE, AGENT_SCRIPT)
    cut_every_32(bench, archive)
    killed_and_started_again(bench, archive)


def cut_every_32(bench, archive) -> None:
    bench.results.section("The network fails: 256 MiB, the connection cut every 32 MiB")
    server = FaultServer(archive, ETAG, drop_every=32 * MiB)
    url = server.url()
    ours = {b: [] for b in bench.subjects}
    tools = {"wget": [], "curl": []}

    def installer(build):
        def step(keep):
            r = bench.bootstrapper(url, build=build, folder=resilient_folder(bench, build))
            sent, requests = server.take_counts()
            if keep:
                ours[build].append({"done": r.err_line_time(b"Initializing the installer"),
                                    "sent": sent / SIZE, "requests": requests})
        return step

    def tool(name, make):
        def step(keep):
            server.take_counts()
            elapsed, ok = baseline(bench, lambda d: make(url, d))
            sent, requests = server.take_counts()
            if keep:
                tools[name].append({"done": elapsed if ok else None, "sent": sent / SIZE,
                                    "requests": requests, "ok": ok})
        return step

    try:
        bench.repeat("cut every 32 MiB",
                     [installer(b) for b in bench.subjects] + [tool("wget", wget),
                                                               tool("curl", curl)])
    finally:
        server.stop()
    wget_done = col(tools["wget"], "done")
    for build in bench.subjects:
        name = bench.label(build, "terminal")
        rows = ours[build]
        bench.results.add(f"{name}: start → transfer done", col(rows, "done"), "ms",
                          "`wget -c`", wget_done, "≤ 1.1",
                          met=(ratio_of_medians(col(rows, "done"), wget_done) or 99) <= 1.1)
        bench.results.add(f"{name}: bytes the server sent, × the archive", col(rows, "sent"),
                          "×", "`wget -c`", col(tools["wget"], "sent"), "≤ 1.05 (ours)",
                          met=max(col(rows, "sent")) <= 1.05)
        bench.results.add(f"{name}: requests", col(rows, "requests"), "n",
                          "`wget -c`", col(tools["wget"], "requests"))
    bench.results.add("`curl --retry 5 --retry-all-errors -C -`: start → done",
                      col(tools["curl"], "done"), "ms")
    bench.results.add("`curl --retry 5 --retry-all-errors -C -`: bytes sent, × the archive",
                      col(tools["curl"], "sent"), "×")
    failed = sum(not row["ok"] for row in tools["curl"])
    if failed:
        bench.results.notes.append(
            f"`curl --retry 5 -C -` gave up in {failed} of {len(tools['curl'])} runs with the "
            "connection cut every 32 MiB: its five retries count every cut, so it cannot get "
            "past the sixth.")


def kill_at(server, proc, fraction) -> None:
    """Kills the process group once the server has sent this fraction of the archive."""
    deadline = time.monotonic() + 60
    while server.sent_so_far() < fraction * SIZE and proc.poll() is None:
        if time.monotonic() > deadline:
            break
        time.sleep(0.002)
    os.killpg(proc.pid, signal.SIGKILL)
    proc.wait()


def killed_and_started_again(bench, archive) -> None:
    bench.results.section("The network fails: 256 MiB, the run killed at 60 % and started again")
    # Slow enough that the kill lands near 60 %.
    server = FaultServer(archive, ETAG, rate=128 * MiB)
    url = server.url()
    ours = {b: [] for b in bench.subjects}
    tools = {"wget": [], "curl": []}

    def installer(build):
        def step(keep):
            folder = resilient_folder(bench, build)
            run_dir, home, tmp = bench.fresh_dirs()
            env = bench.env(home, tmp, extra={"QZ_INTERNAL_INSTALL_AGENT_URL": url})
            server.take_counts()
            first = subprocess.Popen([os.path.join(folder, "setup")], env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
            kill_at(server, first, 0.6)
            server.take_counts()
            bench.bootstrapper(url, build=build, folder=folder, home=home)
            sent, _ = server.take_counts()
            shutil.rmtree(run_dir, ignore_errors=True)
            if keep:
                ours[build].append({"again": sent / SIZE})
        return step

    def tool(name, make):
        def step(keep):
            run_dir, home, tmp = bench.fresh_dirs()
            server.take_counts()
            first = subprocess.Popen(make(url, run_dir), env=bench.env(home, tmp),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
            kill_at(server, first, 0.6)
            server.take_counts()
            subprocess.run(make(url, run_dir), env=bench.env(home, tmp), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            sent, _ = server.take_counts()
            shutil.rmtree(run_dir, ignore_errors=True)
            if keep:
                tools[name].append({"again": sent / SIZE})
        return step

    try:
        bench.repeat("killed at 60 %",
                     [installer(b) for b in bench.subjects] + [tool("wget", wget),
                                                               tool("curl", curl)])
    finally:
        server.stop()
    for build in bench.subjects:
        again = col(ours[build], "again")
        bench.results.add(f"{bench.label(build, 'terminal')}: bytes sent again, × the archive",
                          again, "×", "`wget -c`", col(tools["wget"], "again"), "≤ 0.45 (ours)",
                          met=max(again) <= 0.45)
    bench.results.add("`curl -C -`: bytes sent again, × the archive", col(tools["curl"], "again"),
                      "×")
    log("  network faults done")
