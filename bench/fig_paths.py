"""The unsigned ways to an install agent: downloading it, a cache hit, and the bundle path."""

import os
import shutil
import statistics
import subprocess

from common import MiB, UNPACK_PREFIX
from table import col, median, ratio_of_medians


def download_throughput(bench) -> None:
    bench.results.section("Download throughput (512 MiB archive)")
    size = 512 * MiB
    url = bench.nginx.url("agent-512M.zip")
    term, gtk, curl, curl_unzip = [], [], [], []

    def terminal(keep):
        r = bench.bootstrapper(url, hwm=True)
        if keep:
            term.append({"done": r.err_line_time(b"Initializing the installer"),
                         "done_ino": r.created_time(UNPACK_PREFIX),
                         "agent": r.first_stdout_line_s,
                         "server": r.requests[-1]["request_time"], "hwm": r.hwm_mib,
                         "anon": r.anon_mib, "file": r.file_mib})

    def window(keep):
        r = bench.bootstrapper(url, gtk=True, hwm=True)
        if keep:
            gtk.append({"done": r.created_time(UNPACK_PREFIX), "agent": r.first_stdout_line_s,
                        "server": r.requests[-1]["request_time"], "hwm": r.hwm_mib})

    def plain_curl(keep):
        r = bench.curl(url)
        if keep:
            curl.append({"done": r.exit_s, "server": r.requests[-1]["request_time"],
                         "rss": r.maxrss_kib / 1024})

    def curl_and_unzip(keep):
        r = bench.shell('curl -s -o "$1/a.zip" "$2" && unzip -qq -o "$1/a.zip" -d "$1/agent" '
                        '&& exec sh "$1/agent/install"', url)
        if keep:
            curl_unzip.append({"agent": r.first_stdout_line_s})

    steps = [terminal, plain_curl] + ([window] if bench.gtk else []) + [curl_and_unzip]
    bench.repeat("download throughput", steps)

    def mibps(times):
        return [size / MiB / t if t else None for t in times]

    curl_rate = mibps(col(curl, "done"))
    for name, rows in (("Terminal", term), ("GTK (Xvfb)", gtk)):
        if rows:
            rate = mibps(col(rows, "done"))
            bench.results.add(f"{name}: start → transfer done, as throughput", rate, "MiB/s",
                              "`curl -s -o`", curl_rate, "≥ 0.95",
                              met=(ratio_of_medians(rate, curl_rate) or 0) >= 0.95)
    bench.results.add("Terminal: start → transfer done", col(term, "done"), "ms",
                      "`curl -s -o`", col(curl, "done"))
    if bench.gtk:
        bench.results.add("GTK (Xvfb): start → transfer done", col(gtk, "done"), "ms",
                          "`curl -s -o`", col(curl, "done"))
    bench.results.add("Terminal: nginx's `$request_time`", col(term, "server"), "ms",
                      "`curl -s -o`", col(curl, "server"))
    if bench.gtk:
        bench.results.add("GTK (Xvfb): nginx's `$request_time`", col(gtk, "server"), "ms",
                          "`curl -s -o`", col(curl, "server"))
    base = col(curl_unzip, "agent")
    bench.results.add("Terminal: start → install agent's first line (download + unpack)",
                      col(term, "agent"), "ms", "`curl -s -o` + `unzip -qq -o` + `sh install`",
                      base)
    if bench.gtk:
        bench.results.add("GTK (Xvfb): start → install agent's first line (download + unpack)",
                          col(gtk, "agent"), "ms",
                          "`curl -s -o` + `unzip -qq -o` + `sh install`", base)
    bench.mem_512 = {"term": col(term, "hwm"), "gtk": col(gtk, "hwm"),
                     "curl": col(curl, "rss")}
    gaps = [row["done_ino"] - row["done"] for row in term
            if row["done_ino"] is not None and row["done"] is not None]
    if gaps:
        bench.results.notes.append(
            "Terminal front end: its stderr line \"Initializing the installer\" and the "
            "creation of the unpack directory in the cache (the mark used for the GTK front "
            f"end) came {statistics.median(gaps) * 1000:+.2f} ms apart (median).")


def cache_hit(bench) -> None:
    bench.results.section("Cache hit (64 MiB archive already in the cache, ETag unchanged)")
    url = bench.nginx.url("agent-64M.zip")
    warm = {}
    variants = [("main", False)] + ([("main", True)] if bench.gtk else []) \
        + ([("nogtk", False)] if "nogtk" in bench.builds else [])
    for build, gtk in variants:
        warm[(build, gtk)] = bench.bootstrapper(url, build=build, keep=True).home
        bench.nginx.new_requests()
    times = {v: [] for v in variants}
    head, requests = [], []

    def hit(build, gtk):
        def step(keep):
            r = bench.bootstrapper(url, build=build, gtk=gtk, home=warm[(build, gtk)])
            if keep:
                times[(build, gtk)].append(r.first_stdout_line_s)
                requests.extend(r.requests)
        return step

    def curl_head(keep):
        r = bench.command(lambda d: ["curl", "-sI", "-o", "/dev/null", url])
        if keep:
            head.append(r.exit_s)

    # For context: the same request, then the install agent started as the bootstrapper
    # starts it (sh -c "sh install ..."), from a cache the baseline keeps itself.
    agent_dir = os.path.join(bench.root, "context-agent")
    subprocess.run(["unzip", "-qq", "-o", os.path.join(bench.docroot, "agent-64M.zip"),
                    "-d", agent_dir], check=True)

    def curl_head_then_agent(keep):
        r = bench.shell('curl -sI -o /dev/null "$2" && sh -c "sh $3/install"',
                        url, agent_dir)
        if keep:
            context.append(r.first_stdout_line_s)
    context = []

    bench.repeat("cache hit", [hit(*variants[0]), curl_head] + [hit(*v) for v in variants[1:]]
                 + [curl_head_then_agent])
    bench.results.add("Terminal: start → install agent's first line",
                      times[("main", False)], "ms", "`curl -sI`", head, "≤ 1.5",
                      met=(ratio_of_medians(times[("main", False)], head) or 99) <= 1.5)
    if bench.gtk:
        bench.results.add("GTK (Xvfb): start → install agent's first line",
                          times[("main", True)], "ms", "`curl -sI`", head, "(≤ 1.5)")
    if "nogtk" in bench.builds:
        bench.results.add("Terminal, build without GTK (diagnostic): start → first line",
                          times[("nogtk", False)], "ms", "`curl -sI`", head, "(≤ 1.5)")
    bench.results.add("(context) `curl -sI`, then `sh -c \"sh install\"` to its first line",
                      context, "ms", "`curl -sI`", head)
    shutil.rmtree(agent_dir, ignore_errors=True)
    bodies = [q["body_bytes"] for q in requests]
    bench.results.add("Archive body bytes nginx sent, per cache-hit run", bodies, "B",
                      target="0", met=bool(bodies) and max(bodies) == 0)
    statuses = sorted({q["status"] for q in requests})
    sent = sorted({q["if_none_match"].replace("\\x22", '"') for q in requests})
    bench.results.notes.append(
        f"Cache hits: {len(requests)} requests, status {', '.join(map(str, statuses))}, "
        f"each with If-None-Match {', '.join(sent)}.")
    for home in warm.values():
        shutil.rmtree(os.path.dirname(home), ignore_errors=True)


def bundle_path(bench) -> None:
    bench.results.section("Bundle path (64 MiB `InstallAgent.zip` in the installer folder)")
    archive = os.path.join(bench.bundle_folder["main"], "InstallAgent.zip")
    times = {b: [] for b in bench.builds}
    base = []

    def boot(build):
        return bench.bundle_step(times[build], build=build)

    def unzip_sh(keep):
        r = bench.shell('unzip -qq -o "$2" -d "$1/agent" && exec sh "$1/agent/install"',
                        archive)
        if keep:
            base.append(r.first_stdout_line_s)

    bench.repeat("bundle path", [boot("main"), unzip_sh]
                 + ([boot("nogtk")] if "nogtk" in bench.builds else []))
    limit = 1.05 * median(base) + 0.010
    bench.results.add("Start → install agent's first line", times["main"], "ms",
                      "`unzip -qq -o` + `sh install`", base,
                      f"≤ 1.05 × baseline + 10 ms (≤ {limit * 1000:.1f} ms)",
                      met=median(times["main"]) <= limit)
    if "nogtk" in bench.builds:
        bench.results.add("Build without GTK (diagnostic): start → agent's first line",
                          times["nogtk"], "ms", "`unzip -qq -o` + `sh install`", base,
                          f"(≤ {limit * 1000:.1f} ms)")
