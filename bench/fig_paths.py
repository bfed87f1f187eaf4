"""The unsigned ways to an install agent: downloading it, a cache hit, and the bundle path."""

import os
import shutil
import statistics
import subprocess

from common import MiB, UNPACK_PREFIX
from table import col, median, paired_differences, ratio_of_medians


def download_throughput(bench) -> None:
    bench.results.section("Download throughput (512 MiB archive)")
    size = 512 * MiB
    url = bench.nginx.url("agent-512M.zip")
    term = {b: [] for b in bench.subjects}
    gtk = {b: [] for b in bench.subjects}
    curl, curl_unzip = [], []

    def terminal(build):
        def step(keep):
            r = bench.bootstrapper(url, build=build, hwm=True)
            if keep:
                term[build].append({"done": r.err_line_time(b"Initializing the installer"),
                                    "done_ino": r.created_time(UNPACK_PREFIX),
                                    "agent": r.first_stdout_line_s,
                                    "server": r.requests[-1]["request_time"], "hwm": r.hwm_mib,
                                    "anon": r.anon_mib, "file": r.file_mib, "cpu": r.cpu_s})
        return step

    def window(build):
        def step(keep):
            r = bench.bootstrapper(url, build=build, gtk=True, hwm=True)
            if keep:
                gtk[build].append({"done": r.created_time(UNPACK_PREFIX),
                                   "agent": r.first_stdout_line_s,
                                   "server": r.requests[-1]["request_time"], "hwm": r.hwm_mib,
                                   "cpu": r.cpu_s})
        return step

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

    # curl between the two programs, so that each runs next to the baseline.
    steps = [terminal("main"), plain_curl] + [terminal(b) for b in bench.subjects[1:]]
    if bench.gtk:
        steps += [window(b) for b in bench.subjects]
    bench.repeat("download throughput", steps + [curl_and_unzip])

    def mibps(times):
        return [size / MiB / t if t else None for t in times]

    curl_rate = mibps(col(curl, "done"))
    fronts = [("terminal", term)] + ([("GTK (Xvfb)", gtk)] if bench.gtk else [])
    for front, rows in fronts:
        for build in bench.subjects:
            rate = mibps(col(rows[build], "done"))
            name = bench.label(build, front)
            bench.results.add(f"{name}: start → transfer done, as throughput", rate, "MiB/s",
                              "`curl -s -o`", curl_rate, "≥ 0.95",
                              met=(ratio_of_medians(rate, curl_rate) or 0) >= 0.95)
            if build == "release":
                # The release program's own target: no lower than the development build's.
                main_rate = mibps(col(rows["main"], "done"))
                bench.results.add(f"{name}: the same throughput against the development build",
                                  rate, "MiB/s", bench.label("main", front), main_rate,
                                  "≥ 1 (no lower)",
                                  met=(ratio_of_medians(rate, main_rate) or 0) >= 1)
    for what, key in (("start → transfer done", "done"), ("nginx's `$request_time`", "server")):
        for front, rows in fronts:
            for build in bench.subjects:
                bench.results.add(f"{bench.label(build, front)}: {what}", col(rows[build], key),
                                  "ms", "`curl -s -o`", col(curl, key))
    # Time on CPU does not stretch with the machine's load as wall-clock times do.
    for front, rows in fronts:
        for build in bench.subjects:
            bench.results.add(f"{bench.label(build, front)}: the program's own time on CPU, "
                              "start → install agent's start (all threads, unzip not counted)",
                              col(rows[build], "cpu"), "ms")
    base = col(curl_unzip, "agent")
    for front, rows in fronts:
        for build in bench.subjects:
            bench.results.add(f"{bench.label(build, front)}: start → install agent's first line "
                              "(download + unpack)", col(rows[build], "agent"), "ms",
                              "`curl -s -o` + `unzip -qq -o` + `sh install`", base)
    bench.mem_512 = {"curl": col(curl, "rss")}
    for build in bench.subjects:
        bench.mem_512[("term", build)] = col(term[build], "hwm")
        bench.mem_512[("gtk", build)] = col(gtk[build], "hwm")
    for build in bench.subjects:
        gaps = [row["done_ino"] - row["done"] for row in term[build]
                if row["done_ino"] is not None and row["done"] is not None]
        if gaps:
            bench.results.notes.append(
                f"{bench.label(build, 'terminal front end')}: its stderr line \"Initializing "
                "the installer\" and the creation of the unpack directory in the cache (the mark "
                "used for the GTK front end) came "
                f"{statistics.median(gaps) * 1000:+.2f} ms apart (median).")


def cache_hit(bench) -> None:
    bench.results.section("Cache hit (64 MiB archive already in the cache, ETag unchanged)")
    url = bench.nginx.url("agent-64M.zip")
    warm = {}
    variants = [(b, False) for b in bench.subjects] \
        + ([(b, True) for b in bench.subjects] if bench.gtk else []) \
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

    # The release program's terminal run between the baseline and its context, the two
    # things it is held to.
    steps = [hit(*variants[0]), curl_head]
    if "release" in bench.builds:
        steps += [hit("release", False), curl_head_then_agent]
    steps += [hit(*v) for v in variants if v not in (("main", False), ("release", False))]
    if "release" not in bench.builds:
        steps.append(curl_head_then_agent)
    bench.repeat("cache hit", steps)
    for build in bench.subjects:
        bench.results.add(f"{bench.label(build, 'terminal')}: start → install agent's first "
                          "line", times[(build, False)], "ms", "`curl -sI`", head, "≤ 1.5",
                          met=(ratio_of_medians(times[(build, False)], head) or 99) <= 1.5)
    if bench.gtk:
        for build in bench.subjects:
            bench.results.add(f"{bench.label(build, 'GTK (Xvfb)')}: start → install agent's "
                              "first line", times[(build, True)], "ms", "`curl -sI`", head,
                              "(≤ 1.5)")
    if "nogtk" in bench.builds:
        bench.results.add("Terminal, build without GTK (diagnostic): start → first line",
                          times[("nogtk", False)], "ms", "`curl -sI`", head, "(≤ 1.5)")
    context_name = "`curl -sI`, then `sh -c \"sh install\"`"
    bench.results.add(f"(context) {context_name} to its first line", context, "ms",
                      "`curl -sI`", head)
    if "release" in bench.builds:
        # The release program is held to the context: the least that asking the server and
        # starting the agent this way take.
        for build in bench.subjects:
            judged = build == "release"
            bench.results.add(f"{bench.label(build, 'terminal')}: start → install agent's first "
                              "line, against the context", times[(build, False)], "ms",
                              context_name, context, "≤ 1.1" if judged else "(≤ 1.1)",
                              met=(ratio_of_medians(times[(build, False)], context) or 99) <= 1.1
                              if judged else None)
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
                 + [boot(b) for b in bench.subjects[1:]]
                 + ([boot("nogtk")] if "nogtk" in bench.builds else []))
    limit = 1.05 * median(base) + 0.010
    bench.results.add(f"{bench.label('main', 'start')} → install agent's first line",
                      times["main"], "ms", "`unzip -qq -o` + `sh install`", base,
                      f"≤ 1.05 × baseline + 10 ms (≤ {limit * 1000:.1f} ms)",
                      met=median(times["main"]) <= limit)
    if "release" in bench.builds:
        # The release program's own target: within 10 ms of the baseline.
        tight = median(base) + 0.010
        bench.results.add(f"{bench.label('release', 'start')} → install agent's first line",
                          times["release"], "ms", "`unzip -qq -o` + `sh install`", base,
                          f"≤ baseline + 10 ms (≤ {tight * 1000:.1f} ms)",
                          met=median(times["release"]) <= tight)
        bench.results.add("Release program − development build, per round",
                          paired_differences(times["release"], times["main"]), "ms")
    if "nogtk" in bench.builds:
        bench.results.add("Build without GTK (diagnostic): start → agent's first line",
                          times["nogtk"], "ms", "`unzip -qq -o` + `sh install`", base,
                          f"(≤ {limit * 1000:.1f} ms)")
