"""Measures the client's own overhead against the peers a user would
otherwise use, every comparison in the same run, and prints one table; the
rows also go to bench/results.json.

    python bench/run.py [--rounds-scale X] [--only 1,4,6] [--no-goals]

Run it with the interpreter of the virtual environment that holds the built
module and the peers (`make bench` does both). It fails when a figure
cannot be taken, and when a goal is not met unless --no-goals is given (a
quick run with a small --rounds-scale, as CI makes, shows only that every
figure can still be taken)."""

import argparse
import json
import os
import platform
import sys
import time

from measure import BENCH, Row

FIGURES = {
    # number: (function name in its file, file, rounds)
    "1": ("import_cost", "startup", 60),
    "2": ("menu_prompt", "startup", 30),
    "3": ("api_request", "request", 5),
    "4": ("decoding", "decoding", 30),
    "5": ("unpacking", "unpacking", 40),
    "6": ("monitor", "monitor", 6),
    "7": ("connect", "connect", 30),
    "8": ("tunnel_return", "tunnel_return", 3),
}


def conditions():
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    cpu = platform.processor() or "?"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return "%s, %d cores, Python %s, load average %s" % (cpu, os.cpu_count(), platform.python_version(), load)


def number(value):
    if value is None:
        return "-"
    return "%.3g" % value if abs(value) < 100 else "%.0f" % value


def print_table(rows):
    header = ("figure", "ours", "peer", "ratio", "goal", "met")
    lines = [
        (
            row.figure,
            number(row.ours) if row.ours is not None else "pending",
            number(row.peer),
            number(row.ratio),
            row.goal,
            ("yes" if row.met else "NO") + ("  (%s)" % row.note if row.note else ""),
        )
        for row in rows
    ]
    widths = [max(len(line[i]) for line in [header, *lines]) for i in range(len(header))]
    for line in [header, tuple("-" * w for w in widths), *lines]:
        print("  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", default=",".join(FIGURES), help="figures to measure, e.g. 1,4,6")
    parser.add_argument("--rounds-scale", type=float, default=1.0, help="more (or fewer) repetitions")
    parser.add_argument("--output", default=str(BENCH / "results.json"))
    parser.add_argument("--no-goals", action="store_true", help="print the figures without failing on a goal")
    options = parser.parse_args()

    print("Conditions at the start:", conditions(), flush=True)
    rows: list[Row] = []
    started = time.monotonic()
    for figure in options.only.split(","):
        function, file, rounds = FIGURES[figure.strip()]
        module = __import__(file)
        rounds = max(1, round(rounds * options.rounds_scale))
        print("figure %s (%s, %d rounds)..." % (figure, file, rounds), file=sys.stderr, flush=True)
        rows += getattr(module, function)(rounds)
    print("Conditions at the end:", conditions(), "- %.0f s" % (time.monotonic() - started))
    print()
    print_table(rows)
    with open(options.output, "w") as f:
        json.dump([row.as_json() for row in rows], f, indent=2)
        f.write("\n")
    # A figure this machine cannot take (no root for the sandbox) says why in
    # its row; one that fails to run has stopped the run already.
    unmet = [row.figure for row in rows if row.ours is not None and not row.met]
    if unmet and not options.no_goals:
        print("goals not met: " + "; ".join(unmet), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
