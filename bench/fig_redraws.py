"""Progress cost: how often the terminal and the GTK window redraw while downloading."""

import os

from common import SLOW_LABEL, UNPACK_PREFIX
from table import col, median
from watch import Run


def redraws(bench) -> None:
    bench.results.section("Progress cost: redraws while downloading")
    cases = [("full speed, 512 MiB", bench.nginx.url("agent-512M.zip")),
             (f"throttled to {SLOW_LABEL}, 64 MiB", bench.nginx.url("slow/agent-64M.zip"))]
    counting_gtk = bench.gtk and bench.draw_counter
    for label, url in cases:
        term, gtk = [], []

        def terminal(keep):
            r = bench.bootstrapper(url, stderr_pty=True)
            if keep:
                term.append(terminal_redraws(r))

        def window(keep):
            base = os.path.join(bench.root, f"draws-{bench.counter + 1}")
            r = bench.bootstrapper(url, gtk=True, extra={
                "LD_PRELOAD": bench.draw_counter, "QZ_BENCH_DRAW_LOG": base})
            if keep:
                gtk.append(gtk_draws(r, base))

        bench.repeat(f"redraws, {label}", [terminal] + ([window] if counting_gtk else []))
        for name, rows in (("Terminal (pty)", term), ("GTK (Xvfb)", gtk)):
            if not rows:
                continue
            bench.results.add(f"{name}, {label}: redraws in the busiest second",
                              col(rows, "peak"), "n", target="≤ 30",
                              met=max(col(rows, "peak")) <= 30)
            rates = col(rows, "rate")
            if all(r is not None for r in rates):
                bench.results.add(f"{name}, {label}: redraws per second of download",
                                  rates, "/s", target="≤ 30/s", met=max(rates) <= 30)
            bench.results.add(f"{name}, {label}: shortest gap between redraws",
                              col(rows, "min_gap"), "ms")
            bench.results.notes.append(
                f"{name}, {label}: {median(col(rows, 'count')):.0f} redraws in "
                f"{median(col(rows, 'duration')) * 1000:.0f} ms of download (medians)"
                + (f"; {median(col(rows, 'updates')):.0f} widget updates"
                   if rows[0].get("updates") is not None else "") + ".")
    if bench.gtk and not bench.draw_counter:
        bench.results.notes.append("GTK redraws: not measured (no draw counter library).")


def window_peak(times, width=1.0) -> int:
    """The most events in any window of `width` seconds."""
    times = sorted(times)
    best, j = 0, 0
    for i, t in enumerate(times):
        while times[j] < t - width:
            j += 1
        best = max(best, i - j + 1)
    return best


def event_stats(times, done) -> dict:
    """Events up to `done`. The rate is (events - 1) / (last - first), given only when they
    span at least a second; a shorter download is judged by its busiest second."""
    times = sorted(t for t in times if t <= done)
    if not times:
        return {"count": 0, "duration": 0.0, "rate": None, "peak": 0, "min_gap": None}
    span = times[-1] - times[0]
    gaps = [b - a for a, b in zip(times, times[1:])]
    return {"count": len(times), "duration": done - times[0],
            "rate": (len(times) - 1) / span if span >= 1.0 else None,
            "peak": window_peak(times), "min_gap": min(gaps) if gaps else None}


def terminal_redraws(run: Run) -> dict:
    """The in-place redraws ("\\r\\x1b[K" then text) of the progress line, each timed by the
    arrival of the read that brought it, until the transfer's end."""
    draws = []
    for t, chunk in run.err_chunks:
        # Each redraw is written and flushed whole, so it does not straddle two reads.
        draws += [(t, part) for part in chunk.split(b"\r\x1b[K") if part]
    progress = [t for t, text in draws if text.startswith(b"Downloading")]
    done = run.created_time(UNPACK_PREFIX)
    if done is None:
        init = [t for t, text in draws if text.startswith(b"Initializing")]
        done = init[0] if init else run.exit_s
    return event_stats(progress, done)


def gtk_draws(run: Run, base: str) -> dict:
    """Frames GTK painted (gdk_window_begin_draw_frame) from the first widget update to the
    transfer's end, from the draw counter's log."""
    events = []
    directory = os.path.dirname(base)
    for name in os.listdir(directory):
        path = os.path.join(directory, name)
        if path.startswith(base + "."):
            with open(path) as f:
                for line in f:
                    kind, ns = line.split()
                    events.append((kind, (int(ns) - run.start_ns) / 1e9))
            os.unlink(path)
    done = run.created_time(UNPACK_PREFIX) or run.exit_s
    updates = sorted(t for k, t in events if k in ("bar", "text") and t <= done)
    # One update sets the bar and the text: calls less than a millisecond apart are one.
    merged = [t for i, t in enumerate(updates) if i == 0 or t - updates[i - 1] > 0.001]
    start = merged[0] if merged else 0.0
    stats = event_stats([t for k, t in events if k == "frame" and t >= start], done)
    stats["updates"] = len(merged)
    return stats
