#!/usr/bin/env python3
"""Prints the ratios of the benchmark results to their targets.

Usage: python3 bench/report.py RESULTS.json...   (the --benchmark_out files of bench_*)

Every figure is the median of a benchmark's repetitions (real time). Ratios compare medians taken
in the same run. Python 3 standard library only.
"""

import json
import statistics
import sys

KINDS = ["linear", "logarithmic", "logarithmic_inverse", "smooth"]
BUILT_IN = ["no_clut", "endoscopy"]
SIZES = ["100KB", "1MB", "10MB"]
UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(paths):
    """Median real time (ns) and counters of every benchmark, and the ones that failed."""
    times, counters, failed = {}, {}, set()
    for path in paths:
        with open(path, encoding="utf-8") as file:
            text = file.read()
        # An executable whose benchmarks the filter left out writes nothing.
        if not text.strip():
            continue
        for run in json.loads(text)["benchmarks"]:
            if run.get("run_type") != "iteration":
                continue
            name = run["run_name"]
            if run.get("error_occurred"):
                failed.add(name)
                continue
            times.setdefault(name, []).append(run["real_time"] * UNIT_NS[run["time_unit"]])
            for key in ("peak_per_file_byte", "setter_ns", "delivery_ns", "changed_per_burst"):
                if key in run:
                    counters.setdefault(name, {}).setdefault(key, []).append(run[key])
    medians = {name: statistics.median(values) for name, values in times.items()}
    counter_medians = {
        name: {key: statistics.median(values) for key, values in keys.items()}
        for name, keys in counters.items()
    }
    # How far the repetitions of one benchmark lie apart, relative to their median.
    spreads = {name: (max(values) - min(values)) / medians[name]
               for name, values in times.items() if len(values) > 1}
    return medians, counter_medians, failed, spreads


def duration(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


class Table:
    def __init__(self, times, failed):
        self.times, self.failed, self.rows, self.misses = times, failed, [], 0

    def time(self, name):
        if name in self.failed:
            return None
        return self.times.get(name)

    def ratio(self, label, name, reference, limit):
        a, b = self.time(name), self.time(reference)
        if a is None or b is None:
            self.missing(label, name if a is None else reference)
            return
        self.add(label, duration(a), duration(b), a / b, limit)

    def add(self, label, value, reference, ratio, limit):
        if limit is None or ratio is None:
            verdict = ""
        elif ratio <= limit:
            verdict = "ok"
        else:
            verdict = "MISSED"
            self.misses += 1
        target = f"<= {limit:g}x" if limit is not None else ""
        shown = f"{ratio:.2f}x" if ratio is not None else ""
        self.rows.append((label, value, reference, shown, target, verdict))

    def missing(self, label, name):
        state = "FAILED" if name in self.failed else "not run"
        self.rows.append((label, state, name, "", "", "MISSED"))
        self.misses += 1

    def section(self, title):
        self.rows.append((title,))

    def print(self):
        widths = [max(len(row[i]) for row in self.rows if len(row) > 1) for i in range(6)]
        header = ("measure", "value", "reference", "ratio", "target", "")
        widths = [max(w, len(h)) for w, h in zip(widths, header)]
        line = lambda row: "  ".join(c.ljust(w) if i == 0 else c.rjust(w)
                                     for i, (c, w) in enumerate(zip(row, widths))).rstrip()
        print(line(header))
        for row in self.rows:
            print(f"\n{row[0]}" if len(row) == 1 else line(row))


def growth(table, label, name, sizes, reference_size):
    """The cost at each size against the cost at reference_size."""
    base = table.time(f"{name}/{reference_size}")
    for size in sizes:
        value = table.time(f"{name}/{size}")
        if value is None or base is None:
            table.missing(f"{label} {size}", f"{name}/{size}")
            continue
        table.add(f"{label}, {size} user presets", duration(value),
                  f"{duration(base)} at {reference_size}", value / base, None)


def main(paths):
    times, counters, failed, spreads = load(paths)
    table = Table(times, failed)

    table.section("set_window, generated points, built-in table, against its floor "
                  "(event loop every 16 calls)")
    for table_name in BUILT_IN:
        for kind in KINDS:
            # The stretch target of the most common drag.
            limit = 1.5 if (kind, table_name) == ("linear", "no_clut") else 2.0
            table.ratio(f"{kind}, {table_name}", f"set_window/{kind}/{table_name}",
                        f"floor/generate/{kind}/{table_name}", limit)
    table.section("set_window, stored colour table, against the same call with \"No CLUT\"")
    for kind in KINDS:
        table.ratio(f"{kind}, stored", f"set_window/{kind}/stored", f"set_window/{kind}/no_clut", 3.0)
    table.section("set_window, 256 points of the model's own spread, against its floor")
    table.ratio("spread 256", "set_window/spread_256", "floor/spread_256", 2.0)
    for suffix, what in (("+event_loop", "one pass of the event loop per call"),
                         ("+no_event_loop", "the event loop outside the measure")):
        table.section(f"set_window with {what} (information)")
        table.ratio("linear, no_clut", f"set_window{suffix}/linear/no_clut",
                    "floor/generate/linear/no_clut", None)
        table.ratio("spread 256", f"set_window{suffix}/spread_256", "floor/spread_256", None)

    table.section("Manager start-up on the shipped file, against QJsonDocument::fromJson alone")
    for size in SIZES:
        table.ratio(f"start-up {size}", f"startup/manager/{size}", f"startup/fromJson/{size}", 1.1)
    table.section("Peak heap during start-up (bytes per byte of the shipped file), against "
                  "fromJson's own")
    for size in SIZES:
        peaks = [counters.get(f"startup/{what}/{size}", {}).get("peak_per_file_byte")
                 for what in ("manager", "fromJson")]
        if None in peaks:
            table.missing(f"peak {size}", f"startup/manager/{size}")
        else:
            table.add(f"peak {size}", f"{peaks[0]:.2f} B/B", f"{peaks[1]:.2f} B/B",
                      peaks[0] / peaks[1], 1.25)

    table.section("Longest pause of the event loop while the timer's save writes the file")
    for presets in (10, 100, 1000):
        name = next((n for n in times if n.startswith(f"save/stall/{presets}/")), None)
        if name is None or name in failed:
            table.missing(f"stall, {presets} user presets", f"save/stall/{presets}")
        else:
            table.add(f"stall, {presets} user presets", duration(times[name]), "5 ms",
                      times[name] / 5e6, 1.0)

    table.section("on_save of the user document, against toJson() alone")
    for presets in (10, 100, 1000):
        table.ratio(f"on_save, {presets} user presets", f"save/on_save/{presets}",
                    f"save/toJson/{presets}", 1.3)
        table.ratio(f"toJson + plain write, {presets}", f"save/toJson+write/{presets}",
                    f"save/toJson/{presets}", None)

    table.section("load(name) of a shipped preset and Model::create(true), by user presets")
    growth(table, "load(name)", "load(name)/shipped", (0, 100, 1000), 10)
    growth(table, "create(true)", "create(true)", (0, 100, 1000), 10)
    table.section("Handles at depth 5, by user presets")
    for what in ("get", "set", "drop"):
        growth(table, f"{what}", f"handle/{what}_depth5", (100, 1000), 10)

    table.section("A burst of 1000 setter calls, then the event loop")
    # Its run name carries the iteration count and manual time as suffixes.
    burst = next((name for name in counters if name.startswith("burst/")), "burst")
    values = counters.get(burst)
    if values is None or burst in failed:
        table.missing("burst", burst)
    else:
        table.add("cost per setter call", f"{values['setter_ns']:.0f} ns", "", None, None)
        table.add("delivery of its queued timer restart", f"{values['delivery_ns']:.0f} ns", "",
                  None, None)
        # The benchmark fails unless every burst gave exactly one.
        table.add("changed() per burst", f"{values['changed_per_burst']:g}", "exactly 1", None,
                  None)

    table.print()
    if spreads:
        widest = max(spreads, key=spreads.get)
        print(f"\nnoise: the repetitions of a benchmark lie a median {statistics.median(spreads.values()):.1%}"
              f" apart (max - min against the median); the widest, {spreads[widest]:.1%}, in {widest}")
    print(f"\n{table.misses} target(s) missed" if table.misses else "\nevery target met")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(sys.argv[1:])
