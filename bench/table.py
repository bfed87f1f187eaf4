"""Medians, their formatting, and the results table."""

import statistics


def summary(values):
    values = [v for v in values if v is not None]
    if not values:
        return None
    return {"median": statistics.median(values), "min": min(values), "max": max(values)}


UNITS = {"ms": (1000.0, " ms", 1), "MiB/s": (1.0, " MiB/s", 0), "MB/s": (1.0, " MB/s", 0),
         "MiB": (1.0, " MiB", 2),
         "/s": (1.0, "/s", 1), "B": (1.0, " B", 0), "n": (1.0, "", 0),
         "×": (1.0, "×", 2)}


def fmt(values, unit):
    s = summary(values)
    if s is None:
        return "n/a"
    scale, suffix, digits = UNITS[unit]

    def one(v):
        return f"{v * scale:.{digits}f}"
    if one(s["min"]) == one(s["max"]):
        return f"{one(s['median'])}{suffix}"
    return f"{one(s['median'])}{suffix} ({one(s['min'])}–{one(s['max'])})"


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def ratio_of_medians(a, b):
    ma, mb = median(a), median(b)
    if ma is None or mb is None or mb == 0:
        return None
    return ma / mb


class Results:
    """Rows of the results table, in sections; the ratio is always bootstrapper ÷ baseline in the
    unit shown."""

    def __init__(self):
        self.sections: list[tuple[str, list]] = []
        self.notes: list[str] = []

    def section(self, title: str) -> None:
        self.sections.append((title, []))

    def add(self, figure, subject, unit, baseline_name="", baseline=None, target="", met=None):
        ratio = ratio_of_medians(subject, baseline) if baseline is not None else None
        self.sections[-1][1].append({
            "figure": figure, "subject": fmt(subject, unit), "baseline_name": baseline_name,
            "baseline": fmt(baseline, unit) if baseline is not None else "",
            "ratio": "" if ratio is None else f"{ratio:.2f}", "target": target,
            "met": "" if met is None else ("yes" if met else "**no**")})

    def markdown(self) -> str:
        out = ["| Figure | Bootstrapper: median (min–max) | Baseline "
               "| Baseline: median (min–max) | Ratio | Target | Met |",
               "|---|---|---|---|---|---|---|"]
        for title, rows in self.sections:
            if not rows:
                continue
            out.append(f"| **{title}** | | | | | | |")
            out += [f"| {r['figure']} | {r['subject']} | {r['baseline_name']} | {r['baseline']} "
                    f"| {r['ratio']} | {r['target']} | {r['met']} |" for r in rows]
        return "\n".join(out) + "\n"


def col(rows, key):
    return [row.get(key) for row in rows]


def paired_differences(a, b):
    """a[i] - b[i] for each round in which both were measured."""
    return [x - y for x, y in zip(a, b) if x is not None and y is not None]
