"""The bootstrapper's own peak memory, from the install agent's look at its parent."""

from table import col, median


def memory(bench) -> None:
    bench.results.section("Memory: the bootstrapper's own peak RSS (VmHWM)")
    cases = [("t64", "main", False, "agent-64M.zip"), ("t1g", "main", False, "agent-1G.zip")]
    if bench.gtk:
        cases.append(("g64", "main", True, "agent-64M.zip"))
    if "nogtk" in bench.builds:
        cases += [("n64", "nogtk", False, "agent-64M.zip"),
                  ("n1g", "nogtk", False, "agent-1G.zip")]
    rows = {key: [] for key, *_ in cases}
    curl = {"agent-64M.zip": [], "agent-1G.zip": []}

    def boot(key, build, gtk, name):
        def step(keep):
            r = bench.bootstrapper(bench.nginx.url(name), build=build, gtk=gtk, hwm=True)
            if keep:
                rows[key].append({"hwm": r.hwm_mib, "anon": r.anon_mib, "file": r.file_mib,
                                  "rusage": r.maxrss_kib / 1024})
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
        if case[0] in ("t64", "t1g"):
            steps.append(curl_step(case[3]))
    bench.repeat("memory", steps)

    t64, t1g = col(rows["t64"], "hwm"), col(rows["t1g"], "hwm")
    growth = median(t1g) - median(t64)
    bench.results.add("Terminal, 64 MiB download", t64, "MiB", "`curl -s -o` (its peak RSS)",
                      curl["agent-64M.zip"], "< 16 MiB", met=max(t64) < 16)
    bench.results.add("Terminal, 1 GiB download", t1g, "MiB", "`curl -s -o` (its peak RSS)",
                      curl["agent-1G.zip"], "< 16 MiB", met=max(t1g) < 16)
    bench.results.add("Terminal, growth from 64 MiB to 1 GiB (difference of medians)",
                      [growth], "MiB", target="≤ 2 MiB", met=growth <= 2)
    if bench.mem_512.get("term"):
        bench.results.add("Terminal, 512 MiB download (from the throughput runs)",
                          bench.mem_512["term"], "MiB", "`curl -s -o` (its peak RSS)",
                          bench.mem_512["curl"], "< 16 MiB", met=max(bench.mem_512["term"]) < 16)
    bench.results.add("Terminal, 1 GiB: anonymous part of RSS at the agent's start",
                      col(rows["t1g"], "anon"), "MiB")
    bench.results.add("Terminal, 1 GiB: file-backed part (libraries) at the agent's start",
                      col(rows["t1g"], "file"), "MiB")
    bench.results.add("Terminal, 1 GiB: wait4 `ru_maxrss` (= GNU time `%M`; covers unzip and "
                      "sh too)", col(rows["t1g"], "rusage"), "MiB")
    if bench.gtk:
        bench.results.add("GTK (Xvfb), 64 MiB download", col(rows["g64"], "hwm"), "MiB",
                          target="(none set)")
        if bench.mem_512.get("gtk"):
            bench.results.add("GTK (Xvfb), 512 MiB download (from the throughput runs)",
                              bench.mem_512["gtk"], "MiB", target="(none set)")
    if "nogtk" in bench.builds:
        n64, n1g = col(rows["n64"], "hwm"), col(rows["n1g"], "hwm")
        bench.results.add("Terminal, build without GTK (diagnostic), 64 MiB", n64, "MiB",
                          target="(< 16 MiB)")
        bench.results.add("Terminal, build without GTK (diagnostic), 1 GiB", n1g, "MiB",
                          target=f"(< 16 MiB; growth {median(n1g) - median(n64):+.2f} MiB)")
