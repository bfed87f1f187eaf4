"""Signed install agents, each against the same installer without the public key."""

import os
import shutil
import subprocess
import time

from common import LINK_LABEL, MB, MiB, log
from table import col, median, paired_differences, ratio_of_medians


def signing(bench) -> dict:
    """A minisign key pair made for the run; the 512 MiB archive signed in the docroot; and
    two installer folders of the main build that carry the public key, one that downloads
    and one that carries the 64 MiB archive with its signature."""
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
    folders = {}
    for kind, source in (("Download", bench.download_folder["main"]),
                         ("Bundle", bench.bundle_folder["main"])):
        folder = os.path.join(bench.root, f"Signed{kind}Installer")
        shutil.copytree(source, folder)
        shutil.copy2(pub, os.path.join(folder, "installAgentKey.pub"))
        folders[kind] = folder
    sign(os.path.join(folders["Bundle"], "InstallAgent.zip"), "InstallAgent.zip")
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


def signed_and_unsigned(bench, label, url, also=()) -> tuple[dict, list]:
    """Rounds of the signed download folder and the unsigned one in turn, the archive at `url`,
    with the steps `also` in each round. Returns both rows and the signed runs' requests."""
    rows = {"signed": [], "unsigned": []}
    requests = []

    def boot(which, folder):
        def step(keep):
            r = bench.bootstrapper(url, folder=folder)
            if keep:
                rows[which].append({"done": r.err_line_time(b"Initializing the installer"),
                                    "agent": r.first_stdout_line_s,
                                    "server": r.requests[-1]["request_time"]})
                if which == "signed":
                    requests.append(r.requests)
        return step

    bench.repeat(label, [boot("signed", signing(bench)["download"]),
                         boot("unsigned", bench.download_folder["main"]), *also])
    return rows, requests


def add_signed_rows(bench, where, rows, requests, target, judged) -> None:
    """Signed against unsigned, to the transfer's end and to the agent's first line, then the
    difference per round; `where` ends the rows' subject ("" or ", link throttled to ...")."""
    for key, label in (("done", "start → transfer done"),
                       ("agent", "start → install agent's first line (download, check, "
                                 "unpack)")):
        signed, unsigned = col(rows["signed"], key), col(rows["unsigned"], key)
        met = (ratio_of_medians(signed, unsigned) or 99) <= 1.05 if judged else None
        bench.results.add(f"Signed{where}: {label}", signed, "ms",
                          "unsigned (no `installAgentKey.pub`)", unsigned, target, met=met)
    differences = paired_differences(col(rows["signed"], "done"),
                                     col(rows["unsigned"], "done"))
    bench.results.add(f"Signed − unsigned{where}, start → transfer done (per round)",
                      differences, "ms")
    shapes = sorted({" then ".join(f"{q['uri']} ({q['status']})" for q in run)
                     for run in requests})
    bench.results.notes.append(f"Signed download{where}: each run asked for "
                               + "; ".join(shapes) + ".")


def signed_download(bench) -> None:
    bench.results.section("Signed download (512 MiB archive and its `.minisig`, terminal)")
    archive = os.path.join(bench.docroot, "agent-512M.zip")
    hashing = []
    # On loopback the transfer outruns hashing on one core, which the signed run must do as
    # the data arrives: shown for context, not judged.
    rows, requests = signed_and_unsigned(bench, "signed download",
                                         bench.nginx.url("agent-512M.zip"),
                                         [hash_alone(bench, archive, hashing)])
    add_signed_rows(bench, "", rows, requests,
                    "(≤ 1.05; unreachable: hashing is slower than loopback)", judged=False)
    bench.results.add("(context) `openssl dgst -blake2b512` of the archive: start → exit",
                      hashing, "ms")
    bench.results.add("(context) 512 MiB ÷ that time", [512 * MiB / MB / t for t in hashing],
                      "MB/s")

    # At a link's rate the hashing keeps up with the data, and is judged.
    where = f", link throttled to {LINK_LABEL}"
    rows, requests = signed_and_unsigned(bench, "signed download" + where,
                                         bench.nginx.url("link/agent-512M.zip"))
    add_signed_rows(bench, where, rows, requests, "≤ 1.05", judged=True)
    server = median(col(rows["unsigned"], "server"))
    if server:
        bench.results.notes.append(
            f"Link throttled to {LINK_LABEL}: the unsigned transfers ran at "
            f"{512 / server:.0f} MiB/s (512 MiB ÷ nginx's median `$request_time`).")


def signed_bundle(bench) -> None:
    bench.results.section("Signed bundle path (64 MiB `InstallAgent.zip` and its `.minisig`)")
    signed_folder = signing(bench)["bundle"]
    size_mb = 64 * MiB / MB
    times = {"signed": [], "unsigned": []}
    hashing = []

    def boot(which, folder):
        return bench.bundle_step(times[which], folder=folder)

    bench.repeat("signed bundle path", [
        boot("signed", signed_folder), boot("unsigned", bench.bundle_folder["main"]),
        hash_alone(bench, os.path.join(signed_folder, "InstallAgent.zip"), hashing)])
    bench.results.add("Signed: start → install agent's first line", times["signed"], "ms",
                      "unsigned (no `installAgentKey.pub`)", times["unsigned"])
    # Each round's two runs are next to each other, so their difference is the least
    # disturbed by a load that changes over the run.
    differences = paired_differences(times["signed"], times["unsigned"])
    added = median(differences)
    limit = size_mb / 700
    bench.results.add("Signed − unsigned (per round)", differences, "ms",
                      target=f"(≤ {limit * 1000:.1f} ms: 64 MiB at 700 MB/s)")
    bench.results.add("What that implies: 64 MiB ÷ the median difference",
                      [size_mb / added if added > 0 else None], "MB/s", target="≥ 700 MB/s",
                      met=added <= limit)
    if added <= 0:
        bench.results.notes.append("Signed bundle path: no measurable difference from the "
                                   "unsigned one, so no rate is implied.")
    bench.results.add("(context) `openssl dgst -blake2b512` of the archive: start → exit",
                      hashing, "ms")
    bench.results.add("(context) 64 MiB ÷ that time", [size_mb / t for t in hashing], "MB/s")
