"""The arm64 release program's size and peak memory. Here it runs under qemu-user, which makes
its times meaningless: none are taken."""

import os

from common import MiB, log
from table import col, median

# The limit the release check holds each program's file to.
SIZE_LIMIT_MIB = 8


def arm64(bench) -> None:
    if "arm64" not in bench.builds:
        log("  no arm64 program (--arm64-bootstrapper)")
        return
    bench.results.section("arm64 release program (run by qemu-user)")
    # Beside the x86-64 program of the same kind when there is one.
    base = "release" if "release" in bench.builds else "main"
    base_name = "x86-64 " + (bench.program(base) or "development build").lower()

    sizes = [os.path.getsize(bench.builds[b]) / MiB for b in ("arm64", base)]
    bench.results.add("Size of the file (stripped)", sizes[:1], "MiB", base_name, sizes[1:],
                      f"≤ {SIZE_LIMIT_MIB} MiB", met=sizes[0] <= SIZE_LIMIT_MIB)

    # The program's C library comes from the Debian 11 arm64 sysroot it was built against.
    emulated = {"QEMU_LD_PREFIX": bench.args.arm64_root}
    names = ("agent-64M.zip", "agent-1G.zip")
    rows = {(build, name): [] for build in ("arm64", base) for name in names}

    def step(build, name):
        def run(keep):
            r = bench.bootstrapper(bench.nginx.url(name), build=build, hwm=True,
                                   extra=emulated if build == "arm64" else None)
            if keep:
                rows[(build, name)].append({"hwm": r.hwm_mib})
        return run

    bench.repeat("arm64", [step(build, name) for name in names for build in ("arm64", base)])
    for name, label in zip(names, ("64 MiB", "1 GiB")):
        bench.results.add(f"Peak RSS (VmHWM), terminal, {label} download",
                          col(rows[("arm64", name)], "hwm"), "MiB", base_name,
                          col(rows[(base, name)], "hwm"))
    growth = median(col(rows[("arm64", names[1])], "hwm")) - median(
        col(rows[("arm64", names[0])], "hwm"))
    bench.results.add("Peak RSS growth from 64 MiB to 1 GiB (difference of medians)", [growth],
                      "MiB", target="≤ 2 MiB", met=growth <= 2)
    bench.results.notes.append(
        "arm64: the peak RSS is that of the qemu-user process that runs the program, so it "
        "includes the emulator's own memory and its translated code; on an arm64 machine the "
        "program needs less. What it shows is that the download's size does not change it.")
