#!/usr/bin/env python3
"""How long a booted Tails-like system takes (sandbox/tails_boot.py): from
systemd-nspawn's start to `systemctl is-system-running` = running, to the
sandbox being ready (NetworkManager connected, Tails' dispatcher done, Tor's
flag file there), and a whole `sandbox/run --tails N -- true`, start to end.

    python bench/tails_boot.py [--rounds 10] [6] [7]     (as root, after make dist)

With microsocks as Tor: real Tor adds its private network's consensus
before the boot and its bootstrap after it."""

import argparse
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BOOTED = re.compile(rb"booted in ([0-9.]+) s")
READY = re.compile(rb"Tor has bootstrapped, ([0-9.]+) s after the boot began")


def one_run(major):
    started = time.monotonic()
    result = subprocess.run([sys.executable, str(ROOT / "sandbox" / "run"), "--tails", major, "--verbose", "--root",
                             "--", "true"], capture_output=True, check=True)
    whole = time.monotonic() - started
    return float(BOOTED.search(result.stderr)[1]), float(READY.search(result.stderr)[1]), whole


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("majors", nargs="*", default=["6", "7"])
    options = parser.parse_args()
    for major in options.majors:
        runs = [one_run(major) for _ in range(options.rounds)]
        booted, ready, whole = (sorted(column) for column in zip(*runs))
        print(f"Tails {major}, {options.rounds} boots: running after {statistics.median(booted):.2f} s "
              f"({booted[0]:.2f}-{booted[-1]:.2f}), ready after {statistics.median(ready):.2f} s "
              f"({ready[0]:.2f}-{ready[-1]:.2f}), sandbox/run -- true {statistics.median(whole):.2f} s "
              f"({whole[0]:.2f}-{whole[-1]:.2f})")


if __name__ == "__main__":
    main()
