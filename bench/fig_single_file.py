"""A single-file installer (make-installer --single-file) against the folder installer it stands
for, both made by make-installer from the same install agent folder and product archive."""

import os
import re
import struct
import subprocess
import time
import zipfile

from common import AGENT_SCRIPT, INSTALLER_NAME, MiB, log
from table import median, ratio_of_medians

TOOL = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools",
                    "make-installer")


def make_installers(bench, name, agent, product) -> tuple[dict, float]:
    """For each program measured, the folder installer and the single file (named as the
    folder's program, in a folder of its own); and how long the last single file took to make."""
    made, seconds = {}, 0.0
    for build in bench.subjects:
        base = os.path.join(bench.root, f"{name}-{build}")
        os.makedirs(os.path.join(base, "single"))
        made[build] = {"folder": os.path.join(base, "folder"),
                       "single": os.path.join(base, "single")}
        for kind, output, extra in (
                ("folder", made[build]["folder"], []),
                ("single", os.path.join(made[build]["single"], INSTALLER_NAME),
                 ["--single-file"])):
            started = time.monotonic()
            subprocess.run([TOOL, "--agent", agent, "--product", product, "--embed",
                            "--bootstrapper", bench.builds[build], "--output", output, *extra],
                           check=True, stdout=subprocess.DEVNULL)
            if kind == "single":
                seconds = time.monotonic() - started
    return made, seconds


def digest_coverage(single) -> tuple[int, int]:
    """The bytes the single file's digest covers (all but the two archives' entries), and its
    size: from its trailer and its end of central directory record."""
    with open(single, "rb") as f:
        data = f.seek(0, os.SEEK_END)
        f.seek(max(0, data - 512))
        tail = f.read()
    trailer = re.search(rb"velmor-resources:1 at:(\d+),(\d+),(\d+) blake2b:", tail)
    record = tail.rfind(b"PK\x05\x06")
    central = struct.unpack_from("<I", tail, record + 16)[0]
    return int(trailer[2]) + data - central, data


def single_file(bench) -> None:
    bench.results.section("Single-file installer against its folder (both from make-installer)")
    agent64 = os.path.join(bench.root, "agent-64M")
    subprocess.run(["unzip", "-qq", os.path.join(bench.docroot, "agent-64M.zip"), "-d", agent64],
                   check=True)
    small_agent = os.path.join(bench.root, "agent-small")
    os.makedirs(small_agent)
    with open(os.path.join(small_agent, "install"), "wb") as f:
        f.write(AGENT_SCRIPT)
    small_product = os.path.join(bench.root, "product-small.zip")
    with zipfile.ZipFile(small_product, "w") as archive:
        archive.writestr("product.txt", "not used by the benchmark's install agent\n")
    log("  making the installers (a 1 GiB product archive takes a while)")
    bundle, _ = make_installers(bench, "single-64M", agent64, small_product)
    big, make_seconds = make_installers(bench, "single-1G", small_agent,
                                        os.path.join(bench.docroot, "agent-1G.zip"))

    times = {}
    scratch = {}
    usage_file = os.path.join(bench.root, "scratch-usage")

    def boot(build, kind, installers, size):
        def step(keep):
            r = bench.bootstrapper(bundle=True, folder=installers[build][kind],
                                   extra={"QZ_BENCH_SCRATCH_FILE": usage_file})
            if r.requests:
                raise RuntimeError("the bundle path made a request")
            if keep:
                times.setdefault((build, kind, size), []).append(r.first_stdout_line_s)
                with open(usage_file) as f:
                    kib, handed = f.read().split()
                scratch.setdefault((build, kind, size), []).append(int(kib) / 1024)
                scratch.setdefault(("handed", kind), set()).add(handed)
        return step

    steps = []
    for build in bench.subjects:
        for kind in ("folder", "single"):
            steps += [boot(build, kind, bundle, "64M"), boot(build, kind, big, "1G")]
    bench.repeat("single-file installer", steps)

    for build in bench.subjects:
        single, folder = times[(build, "single", "64M")], times[(build, "folder", "64M")]
        bench.results.add(f"{bench.label(build, 'single file')}, bundle path (64 MiB agent "
                          "archive): start → install agent's first line", single, "ms",
                          "the folder installer", folder, "≤ 1.1",
                          met=(ratio_of_medians(single, folder) or 99) <= 1.1)
        single, folder = times[(build, "single", "1G")], times[(build, "folder", "1G")]
        bench.results.add(f"{bench.label(build, 'single file')}, 1 GiB `bundle.zip`: start → "
                          "install agent's first line", single, "ms", "the folder installer",
                          folder)
        for size, label in (("64M", "64 MiB agent archive"), ("1G", "1 GiB `bundle.zip`")):
            single, folder = scratch[(build, "single", size)], scratch[(build, "folder", size)]
            bench.results.add(f"{bench.label(build, 'single file')}, {label}: the scratch "
                              "directory at the agent's start", single, "MiB",
                              "the folder installer", folder,
                              "no copy of `bundle.zip`" if size == "1G" else "",
                              met=median(single) < 64 if size == "1G" else None)
    last = bench.subjects[-1]
    covered, size = digest_coverage(os.path.join(big[last]["single"], INSTALLER_NAME))
    handed = "; ".join(f"by the {kind} installer as a "
                       + " and a ".join(sorted(scratch[("handed", kind)]))
                       for kind in ("folder", "single"))
    bench.results.notes.append(
        f"Single file with a 1 GiB `bundle.zip` ({bench.program(last) or 'the program'}): "
        f"{size / MiB:.1f} MiB, of which its digest covers {covered / MiB:.2f} MiB (the program, "
        "the small resources, the product's central directory); `make-installer --single-file` "
        f"made it in {make_seconds:.1f} s. `bundle.zip` was handed to the agent {handed}.")
