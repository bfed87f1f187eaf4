"""The report around the results table: when, where and with what it ran."""

import os
import platform
import subprocess


def machine() -> str:
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kib = int(f.readline().split()[1])
    return (f"{os.cpu_count()} CPUs ({cpu}), {mem_kib / 1024 / 1024:.1f} GiB RAM, "
            f"Linux {platform.release()}")


def tool_versions() -> str:
    def first_line(cmd):
        try:
            out = subprocess.run(cmd, capture_output=True, text=True)
            return (out.stdout or out.stderr).splitlines()[0].strip()
        except (OSError, IndexError):
            return "?"
    return "; ".join([first_line(["nginx", "-v"]), first_line(["curl", "--version"]),
                      first_line(["unzip", "-v"]), "Python " + platform.python_version()])


def load_average() -> list[str]:
    with open("/proc/loadavg") as f:
        return f.read().split()[:3]


def compose(bench, args, started, load_before, load_after, elapsed) -> str:
    """The report: a few lines on the run, the table, then the notes."""
    notes = list(bench.results.notes)
    if not bench.gtk:
        notes.append(f"No GTK figures: {bench.gtk_reason}.")
    return (
        f"Run on {started:%Y-%m-%d %H:%M %Z}; {machine()}.\n"
        f"{args.runs} runs of each figure, subject and baseline interleaved; archives, "
        f"downloads, caches and unpacked install agents on {bench.fs} "
        f"({os.path.dirname(bench.root)}); {bench.pinning}; {elapsed:.0f} s in all.\n"
        f"Load average before: {' '.join(load_before)}; after: {' '.join(load_after)}.\n"
        + (f"Build: {args.build_info}.\n" if args.build_info else "")
        + (f"Release program: {args.release_info}.\n" if args.release_info else "")
        + (f"arm64 release program: {args.arm64_info}.\n" if args.arm64_info else "")
        + f"Tools: {tool_versions()}.\n\n"
        + bench.results.markdown() + "\n"
        + "".join(f"- {n}\n" for n in notes))
