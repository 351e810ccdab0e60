"""What every figure shares: medians, timing of whole processes, the rows of
the table and their goals."""

import os
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Optional

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
PYTHON = sys.executable
# The console script that pip installed next to the interpreter.
LAUNCHER = str(Path(PYTHON).parent / "marnu-tails-client")

# Mounts an empty /tmp (and /etc/ferm, when the host has it) private to the
# child: the key bundle is unpacked into /tmp, which must not be this machine's.
PRIVATE_TMP = [
    "unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
    "mount -t tmpfs tmpfs /tmp && "
    "{ [ ! -d /etc/ferm ] || mount -t tmpfs tmpfs /etc/ferm; } && exec \"$@\"",
    "private-tmp",
]


def median(values):
    return statistics.median(values)


def ms(seconds):
    return seconds * 1000.0


def clean_env():
    """The environment of measured children: no start-up file, no user site."""
    env = dict(os.environ)
    env.pop("PYTHONSTARTUP", None)
    env["PYTHONNOUSERSITE"] = "1"
    return env


def process_seconds(command):
    """Wall time of one run of `command`, from the spawn to its reaping."""
    start = time.perf_counter()
    subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True, env=clean_env())
    return time.perf_counter() - start


def interleaved(commands, rounds):
    """Times each of several commands `rounds` times, one of each per round,
    so that a burst of load elsewhere hits them all alike. A list of wall
    times per command."""
    times = {name: [] for name in commands}
    for name, command in commands.items():  # warm the page cache first
        process_seconds(command)
    for _ in range(rounds):
        for name, command in commands.items():
            times[name].append(process_seconds(command))
    return times


def child_json(code_file, *args, private_tmp=False):
    """Runs a measuring child (`python code_file args...`) and returns the
    JSON object it prints last on standard output."""
    import json

    command = [PYTHON, str(code_file), *map(str, args)]
    if private_tmp:
        command = PRIVATE_TMP + command
    done = subprocess.run(command, stdout=subprocess.PIPE, check=True, env=clean_env())
    return json.loads(done.stdout.decode().strip().splitlines()[-1])


@dataclass
class Row:
    """One line of the table. `met` is computed from the figures by `test`."""

    figure: str
    ours: Optional[float]
    peer: Optional[float]
    goal: str
    test: Callable[[float, Optional[float]], bool]
    note: str = ""

    @property
    def ratio(self):
        if self.ours is None or not self.peer:
            return None
        return self.ours / self.peer

    @property
    def met(self):
        if self.ours is None:
            return False
        return bool(self.test(self.ours, self.peer))

    def as_json(self):
        return {
            "figure": self.figure,
            "ours": _rounded(self.ours),
            "peer": _rounded(self.peer),
            "ratio": _rounded(self.ratio),
            "goal": self.goal,
            "met": self.met,
        }


def pending(figure, goal, why):
    """A row whose figures could not be measured in this run."""
    return Row(figure, None, None, goal, lambda ours, peer: False, note=why)


def _rounded(value):
    return None if value is None else round(value, 3)
