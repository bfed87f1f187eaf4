"""Signed install agents, each against the same installer without the public key."""

import os
import shutil
import subprocess
import time

from common import LINK_LABEL, MB, MiB, log
from table import col, median, paired_differences, ratio_of_medians


def signing(bench) -> dict:
    """A minisign key pair made for the run; the 512 MiB archive signed in the docroot; and,
    for each program measured side by side, two installer folders that carry the public key,
    one that downloads and one that carries the 64 MiB archive with its signature."""
    if bench.signed:
        return bench.signed
    keys = os.path.join(bench.root, "keys")
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
    sign(os.path.join(bench.docroot, "agent-512M.zip"), "agent-512M.zip")
    folders = {"Download": {}, "Bundle": {}}
    for build in bench.subjects:
        for kind, source in (("Download", bench.download_folder[build]),
                             ("Bundle", bench.bundle_folder[build])):
            folder = os.path.join(bench.root, f"Signed{kind}Installer-{build}")
            shutil.copytree(source, folder)
            shutil.copy2(pub, os.path.join(folder, "installAgentKey.pub"))
            folders[kind][build] = folder
        if build == bench.subjects[0]:
            sign(os.path.join(folders["Bundle"][build], "InstallAgent.zip"), "InstallAgent.zip")
        else:
            # The same archive and signature for every program.
            first = folders["Bundle"][bench.subjects[0]]
            for name in ("InstallAgent.zip", "InstallAgent.zip.minisig"):
                shutil.copy2(os.path.join(first, name), os.path.join(folders["Bundle"][build],
                                                                     name))
    bench.signed = {"pub": pub, "download": folders["Download"], "bundle": folders["Bundle"]}
    return bench.signed


def hash_alone(bench, archive, into):
    """A step: `openssl dgst -blake2b512` of the archive (the hash the signature is over, by
    the same libcrypto as the bootstrapper's), start to exit."""
    def step(keep):
        r = bench.command(lambda d: ["openssl", "dgst", "-blake2b512", "-out",
                                     os.path.join(d, "digest"), archive])
        if keep:
            into.append(r.exit_s)
    return step


def signed_and_unsigned(bench, label, url, builds, also=()) -> tuple[dict, dict]:
    """Rounds of each build's signed download folder and its unsigned one in turn, the archive
    at `url`, with the steps `also` in each round. Returns the rows and the signed runs'
    requests, by build."""
    rows = {build: {"signed": [], "unsigned": []} for build in builds}
    requests = {build: [] for build in builds}

    def boot(build, which, folder):
        def step(keep):
            r = bench.bootstrapper(url, folder=folder)
            if keep:
                rows[build][which].append({"done": r.err_line_time(b"Initializing the installer"),
                                           "agent": r.first_stdout_line_s,
                                           "server": r.requests[-1]["request_time"]})
                if which == "signed":
                    requests[build].append(r.requests)
        return step

    steps = []
    for build in builds:
        steps += [boot(build, "signed", signing(bench)["download"][build]),
                  boot(build, "unsigned", bench.download_folder[build])]
    bench.repeat(label, steps + list(also))
    return rows, requests


def add_signed_rows(bench, build, where, rows, requests, target, judged) -> None:
    """Signed against unsigned, to the transfer's end and to the agent's first line, then the
    difference per round; `where` ends the rows' subject ("" or ", link throttled to ...")."""
    for key, label in (("done", "start → transfer done"),
                       ("agent", "start → install agent's first line (download, check, "
                                 "unpack)")):
        signed, unsigned = col(rows["signed"], key), col(rows["unsigned"], key)
        met = (ratio_of_medians(signed, unsigned) or 99) <= 1.05 if judged else None
        bench.results.add(f"{bench.label(build, 'signed')}{where}: {label}", signed, "ms",
                          "unsigned (no `installAgentKey.pub`)", unsigned, target, met=met)
    differences = paired_differences(col(rows["signed"], "done"),
                                     col(rows["unsigned"], "done"))
    bench.results.add(f"{bench.label(build, 'signed − unsigned')}{where}, start → transfer "
                      "done (per round)", differences, "ms")
    shapes = sorted({" then ".join(f"{q['uri']} ({q['status']})" for q in run)
                     for run in requests})
    bench.results.notes.append(f"{bench.label(build, 'signed download')}{where}: each run "
                               "asked for " + "; ".join(shapes) + ".")


def signed_download(bench) -> None:
    bench.results.section("Signed download (512 MiB archive and its `.minisig`, terminal)")
    archive = os.path.join(bench.docroot, "agent-512M.zip")
    hashing = []
    # On loopback the transfer outruns hashing on one core, which the signed run must do as
    # the data arrives: shown for context, not judged, and for the development build only.
    rows, requests = signed_and_unsigned(bench, "signed download",
                                         bench.nginx.url("agent-512M.zip"), ["main"],
                                         [hash_alone(bench, archive, hashing)])
    add_signed_rows(bench, "main", "", rows["main"], requests["main"],
                    "(≤ 1.05; unreachable: hashing is slower than loopback)", judged=False)
    bench.results.add("(context) `openssl dgst -blake2b512` of the archive: start → exit",
                      hashing, "ms")
    bench.results.add("(context) 512 MiB ÷ that time", [512 * MiB / MB / t for t in hashing],
                      "MB/s")

    # At a link's rate the hashing keeps up with the data, and is judged.
    where = f", link throttled to {LINK_LABEL}"
    rows, requests = signed_and_unsigned(bench, "signed download" + where,
                                         bench.nginx.url("link/agent-512M.zip"), bench.subjects)
    for build in bench.subjects:
        add_signed_rows(bench, build, where, rows[build], requests[build], "≤ 1.05",
                        judged=True)
    for build in bench.subjects:
        server = median(col(rows[build]["unsigned"], "server"))
        if server:
            bench.results.notes.append(
                f"Link throttled to {LINK_LABEL}: the unsigned transfers "
                + (f"of the {bench.program(build).lower()} " if bench.program(build) else "")
                + "ran at "
                f"{512 / server:.0f} MiB/s (512 MiB ÷ nginx's median `$request_time`).")


def signed_bundle(bench) -> None:
    bench.results.section("Signed bundle path (64 MiB `InstallAgent.zip` and its `.minisig`)")
    folders = signing(bench)["bundle"]
    size_mb = 64 * MiB / MB
    times = {build: {"signed": [], "unsigned": []} for build in bench.subjects}
    hashing = []

    def boot(build, which, folder):
        return bench.bundle_step(times[build][which], folder=folder)

    steps = []
    for build in bench.subjects:
        steps += [boot(build, "signed", folders[build]),
                  boot(build, "unsigned", bench.bundle_folder[build])]
    bench.repeat("signed bundle path", steps + [
        hash_alone(bench, os.path.join(folders["main"], "InstallAgent.zip"), hashing)])
    limit = size_mb / 700
    for build in bench.subjects:
        signed, unsigned = times[build]["signed"], times[build]["unsigned"]
        bench.results.add(f"{bench.label(build, 'signed')}: start → install agent's first line",
                          signed, "ms", "unsigned (no `installAgentKey.pub`)", unsigned)
        # Each round's two runs are next to each other, so their difference is the least
        # disturbed by a load that changes over the run.
        differences = paired_differences(signed, unsigned)
        added = median(differences)
        bench.results.add(f"{bench.label(build, 'signed − unsigned')} (per round)", differences,
                          "ms", target=f"(≤ {limit * 1000:.1f} ms: 64 MiB at 700 MB/s)")
        bench.results.add(f"{bench.label(build, 'what that implies')}: 64 MiB ÷ the median "
                          "difference",
                          [size_mb / added if added > 0 else None], "MB/s", target="≥ 700 MB/s",
                          met=added <= limit)
        if added <= 0:
            bench.results.notes.append(f"{bench.label(build, 'signed bundle path')}: no "
                                       "measurable difference from the unsigned one, so no rate "
                                       "is implied.")
    bench.results.add("(context) `openssl dgst -blake2b512` of the archive: start → exit",
                      hashing, "ms")
    bench.results.add("(context) 64 MiB ÷ that time", [size_mb / t for t in hashing], "MB/s")
