"""Pieces the benchmark scripts share: interleaved sampling with medians, the
result row, and the one table that run.py prints.

Every figure in a row comes from a measurement made in the same run; ratios are
always our figure divided by the baseline's, so below 1 means less time (or
less memory) than the baseline.
"""

import gc
import statistics
import time
from dataclasses import dataclass


@dataclass
class Row:
    workload: str
    ours: float | None  # seconds per operation, or bytes when unit is "B"
    baseline_name: str
    baseline: float | None
    unit: str = "s"
    goal: float | None = None  # the largest ratio that meets the goal
    goal_text: str = ""
    note: str = ""  # shown instead of figures when a side could not be measured

    @property
    def ratio(self):
        if self.ours is None or not self.baseline:
            return None
        return self.ours / self.baseline

    @property
    def met(self):
        if self.goal is None:
            return "-"
        if self.ratio is None:
            return "not measured"
        return "yes" if self.ratio <= self.goal else "NO"


def format_value(value, unit):
    if value is None:
        return "-"
    if unit == "B":
        return f"{value:,.0f} B"
    for scale, name in ((1e-9, "ns"), (1e-6, "µs"), (1e-3, "ms")):
        if value < scale * 1000:
            return f"{value / scale:.3g} {name}" if value / scale < 100 else f"{value / scale:.0f} {name}"
    return f"{value:.3g} s"


def table(rows):
    """The rows as one Markdown table."""
    head = ["workload", "ours", "baseline", "ratio", "goal", "met?"]
    body = []
    for r in rows:
        base = f"{r.baseline_name} {format_value(r.baseline, r.unit)}" if r.baseline is not None \
            else f"{r.baseline_name} ({r.note or 'not measured'})"
        ratio = ("-" if r.ratio is None else f"{r.ratio:.2g}" if r.ratio < 0.1 else
                 f"{r.ratio:.2f}" if r.ratio < 10 else f"{r.ratio:.0f}")
        body.append([r.workload, format_value(r.ours, r.unit), base, ratio, r.goal_text or "-", r.met])
    widths = [max(len(line[i]) for line in [head] + body) for i in range(len(head))]
    fmt = lambda cells: "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"
    lines = [fmt(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    lines += [fmt(line) for line in body]
    return "\n".join(lines)


def timed(fn, number):
    """Seconds per operation of fn(number), which performs `number` operations,
    with the cyclic collector held off as timeit does. The clock is the
    process's CPU time, so time spent waiting for a core on a busy machine
    does not count."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.process_time()
        fn(number)
        return (time.process_time() - start) / number
    finally:
        if enabled:
            gc.enable()


def calibrate(fn, target_s):
    """The smallest power of two of operations that takes target_s or more."""
    number = 1
    while timed(fn, number) * number < target_s:
        number *= 2
    return number


def interleaved(cases, reps, target_s=0.02):
    """Seconds per operation of every case, sampled `reps` times in turn.

    `cases` maps a name to fn(number). Within one repetition every case runs
    once; the order alternates between forwards and backwards, so no case
    always follows the same neighbour. Returns the list of samples per name.
    """
    numbers = {name: calibrate(fn, target_s) for name, fn in cases.items()}
    samples = {name: [] for name in cases}
    names = list(cases)
    for rep in range(reps):
        for name in names if rep % 2 == 0 else reversed(names):
            samples[name].append(timed(cases[name], numbers[name]))
    return samples


def median(samples):
    return statistics.median(samples)
