"""Figures 1 and 2: what loading the module costs, and how soon (and in how
much memory) the client shows its menu prompt."""

import os
import subprocess
import time

from measure import LAUNCHER, PYTHON, Row, clean_env, interleaved, median, ms

MODULE = "import marnu_tails_client"
# What a Python client of this job would load instead.
PEER_MODULES = "import requests, socks, json, zipfile, getpass"
# The bare interpreter, showing a prompt the way the client does.
BARE_PROMPT = "import sys; sys.stdout.write('>> '); sys.stdout.flush(); sys.stdin.readline()"
PROMPT = b">> "


def import_cost(rounds):
    times = interleaved(
        {
            "bare": [PYTHON, "-c", "pass"],
            "ours": [PYTHON, "-c", MODULE],
            "peer": [PYTHON, "-c", PEER_MODULES],
        },
        rounds,
    )
    # Each import against the bare start of the same round: load elsewhere
    # on the machine then hits both sides of a difference alike.
    ours = ms(median([a - b for a, b in zip(times["ours"], times["bare"])]))
    peer = ms(median([a - b for a, b in zip(times["peer"], times["bare"])]))
    return [
        Row(
            "1 import cost [ms]",
            ours,
            peer,
            "< 5 ms and < 0.1x peer",
            lambda ours, peer: ours < 5 and ours < 0.1 * peer,
        )
    ]


def peak_memory_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM in /proc/%d/status" % pid)


def until_prompt(command):
    """Seconds from the spawn until the prompt is on standard output, and the
    process's peak memory (KiB) at that moment."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=clean_env())
    seen = b""
    while not seen.endswith(PROMPT):
        chunk = os.read(child.stdout.fileno(), 65536)
        if not chunk:
            raise RuntimeError(f"{command[0]} ended before its prompt: {seen[-200:]!r}")
        seen += chunk
    elapsed = time.perf_counter() - start
    memory = peak_memory_kib(child.pid)
    child.stdin.close()  # the client ends at the end of its input
    child.stdout.read()
    child.wait()
    return elapsed, memory


def menu_prompt(rounds):
    commands = {"ours": [LAUNCHER], "bare": [PYTHON, "-c", BARE_PROMPT]}
    times = {name: [] for name in commands}
    memory = {name: [] for name in commands}
    for name, command in commands.items():  # warm the page cache first
        until_prompt(command)
    for _ in range(rounds):
        for name, command in commands.items():
            elapsed, peak = until_prompt(command)
            times[name].append(elapsed)
            memory[name].append(peak)
    return [
        Row(
            "2a start-up to menu prompt [ms]",
            ms(median(times["ours"])),
            ms(median(times["bare"])),
            "< bare + 15 ms",
            lambda ours, bare: ours < bare + 15,
        ),
        Row(
            "2b peak memory at menu prompt [MiB]",
            median(memory["ours"]) / 1024,
            median(memory["bare"]) / 1024,
            "< bare + 10 MiB",
            lambda ours, bare: ours < bare + 10,
        ),
    ]
