"""The bootstrapper's own peak memory, from the install agent's look at its parent."""

import statistics

from table import col, median

# The peak each program is held to: the development build's, and the release program's lower
# one (it maps one file and the C library instead of about forty libraries).
LIMIT_MIB = {"main": 16, "release": 12}


def memory(bench) -> None:
    bench.results.section("Memory: the bootstrapper's own peak RSS (VmHWM)")
    cases = []
    for build in bench.subjects:
        cases += [(("t64", build), build, False, "agent-64M.zip"),
                  (("t1g", build), build, False, "agent-1G.zip")]
    if bench.gtk:
        cases += [(("g64", build), build, True, "agent-64M.zip") for build in bench.subjects]
    if "nogtk" in bench.builds:
        cases += [(("n64", "nogtk"), "nogtk", False, "agent-64M.zip"),
                  (("n1g", "nogtk"), "nogtk", False, "agent-1G.zip")]
    rows = {key: [] for key, *_ in cases}
    curl = {"agent-64M.zip": [], "agent-1G.zip": []}

    def boot(key, build, gtk, name):
        def step(keep):
            r = bench.bootstrapper(bench.nginx.url(name), build=build, gtk=gtk, hwm=True)
            if keep:
                rows[key].append({"hwm": r.hwm_mib, "anon": r.anon_mib, "file": r.file_mib,
                                  "rusage": r.maxrss_kib / 1024, "by_file": r.rss_by_file})
        return step

    def curl_step(name):
        def step(keep):
            r = bench.curl(bench.nginx.url(name))
            if keep:
                curl[name].append(r.maxrss_kib / 1024)
        return step

    steps = []
    for case in cases:
        steps.append(boot(*case))
        if case[0] in (("t64", "main"), ("t1g", "main")):
            steps.append(curl_step(case[3]))
    bench.repeat("memory", steps)

    for build in bench.subjects:
        term = bench.label(build, "terminal")
        limit = LIMIT_MIB[build]
        t64, t1g = col(rows[("t64", build)], "hwm"), col(rows[("t1g", build)], "hwm")
        growth = median(t1g) - median(t64)
        bench.results.add(f"{term}, 64 MiB download", t64, "MiB", "`curl -s -o` (its peak RSS)",
                          curl["agent-64M.zip"], f"< {limit} MiB", met=max(t64) < limit)
        bench.results.add(f"{term}, 1 GiB download", t1g, "MiB", "`curl -s -o` (its peak RSS)",
                          curl["agent-1G.zip"], f"< {limit} MiB", met=max(t1g) < limit)
        bench.results.add(f"{term}, growth from 64 MiB to 1 GiB (difference of medians)",
                          [growth], "MiB", target="≤ 2 MiB", met=growth <= 2)
        if bench.mem_512.get(("term", build)):
            bench.results.add(f"{term}, 512 MiB download (from the throughput runs)",
                              bench.mem_512[("term", build)], "MiB",
                              "`curl -s -o` (its peak RSS)", bench.mem_512["curl"],
                              f"< {limit} MiB", met=max(bench.mem_512[("term", build)]) < limit)
        bench.results.add(f"{term}, 1 GiB: anonymous part of RSS at the agent's start",
                          col(rows[("t1g", build)], "anon"), "MiB")
        bench.results.add(f"{term}, 1 GiB: file-backed part (the program and its libraries) at "
                          "the agent's start", col(rows[("t1g", build)], "file"), "MiB")
        bench.results.add(f"{term}, 1 GiB: wait4 `ru_maxrss` (= GNU time `%M`; covers unzip "
                          "and sh too)", col(rows[("t1g", build)], "rusage"), "MiB")
        files = largest_files(col(rows[("t1g", build)], "by_file"))
        if files:
            bench.results.notes.append(
                f"{term}, 1 GiB: the file-backed part by file at the agent's start (medians; "
                "`/proc/PID/smaps`): " + ", ".join(f"{name} {mib:.2f} MiB"
                                                   for name, mib in files) + ".")
    if bench.gtk:
        for build in bench.subjects:
            name = bench.label(build, "GTK (Xvfb)")
            bench.results.add(f"{name}, 64 MiB download", col(rows[("g64", build)], "hwm"),
                              "MiB", target="(none set)")
            if bench.mem_512.get(("gtk", build)):
                bench.results.add(f"{name}, 512 MiB download (from the throughput runs)",
                                  bench.mem_512[("gtk", build)], "MiB", target="(none set)")
    if "nogtk" in bench.builds:
        n64, n1g = col(rows[("n64", "nogtk")], "hwm"), col(rows[("n1g", "nogtk")], "hwm")
        bench.results.add("Terminal, build without GTK (diagnostic), 64 MiB", n64, "MiB",
                          target="(< 16 MiB)")
        bench.results.add("Terminal, build without GTK (diagnostic), 1 GiB", n1g, "MiB",
                          target=f"(< 16 MiB; growth {median(n1g) - median(n64):+.2f} MiB)")


def largest_files(by_file_runs, count=6) -> list:
    """The files with the most resident pages, median over the runs, largest first; the rest
    summed as "others"."""
    names = {name for run in by_file_runs for name in run}
    sizes = {name: statistics.median(run.get(name, 0) for run in by_file_runs)
             for name in names}
    ranked = sorted(sizes.items(), key=lambda item: -item[1])
    if len(ranked) > count:
        ranked = ranked[:count] + [(f"{len(ranked) - count} others",
                                    sum(mib for _, mib in ranked[count:]))]
    return ranked
