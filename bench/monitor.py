"""Figure 6: how long after a child writes a line its dot reaches the client's
standard output (execute_connection_command), against the floor: the same
child's lines read straight from its pipe."""

import os
import subprocess
import sys
import tempfile
import time

from measure import BENCH, PYTHON, ROOT, Row, clean_env, median, ms

LINES = 80
INTERVAL = 0.005
CHILD = BENCH / "timestamp_lines.py"
# The comment gives the command the line budget of an OpenVPN command.
COMMAND = "exec '{python}' '{child}' {lines} {interval} '{moments}'  # stands in for openvpn"
CLIENT = (
    "import sys, marnu_tails_client as m\n"
    "m.execute_connection_command(sys.argv[1], {'name': 'bench'})\n"
)
CONNECTING = b"[+] Connecting to bench VPN server\n"


def arrivals(command, marker, count, skip_until=b""):
    """Runs `command` and returns the moments (CLOCK_MONOTONIC, ns) at which
    each of `count` `marker` bytes arrived on its standard output, counting
    only after `skip_until` has been seen."""
    child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, env=clean_env())
    moments = []
    seen = b""
    counting = not skip_until
    try:
        while len(moments) < count:
            chunk = os.read(child.stdout.fileno(), 65536)
            now = time.monotonic_ns()
            if not chunk:
                raise RuntimeError("output ended after %d of %d lines: %r" % (len(moments), count, seen[-200:]))
            if not counting:
                seen += chunk
                at = seen.find(skip_until)
                if at < 0:
                    continue
                counting = True
                chunk = seen[at + len(skip_until) :]
            moments.extend([now] * chunk.count(marker))
    finally:
        child.stdout.close()
        child.wait()
    return moments[:count]


def delays_ms(written_file, arrived):
    with open(written_file) as f:
        written = [int(line) for line in f]
    if len(written) != len(arrived):
        raise RuntimeError("%d lines written, %d seen" % (len(written), len(arrived)))
    return [(seen - at) / 1e6 for at, seen in zip(written, arrived)]


def monitor(rounds):
    ours, floor = [], []
    scratch = ROOT / "build" / "bench"
    scratch.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=scratch) as directory:
        moments = os.path.join(directory, "moments")
        child = [PYTHON, str(CHILD), str(LINES), str(INTERVAL), moments]
        command = COMMAND.format(python=PYTHON, child=CHILD, lines=LINES, interval=INTERVAL, moments=moments)
        client = [PYTHON, "-c", CLIENT, command]
        for _ in range(rounds):
            floor += delays_ms(moments, arrivals(child, b"\n", LINES))
            ours += delays_ms(moments, arrivals(client, b".", LINES, skip_until=CONNECTING))
    return [
        Row(
            "6a monitor: line to dot, median [ms]",
            median(ours),
            median(floor),
            "< 1 ms (peer: the pipe)",
            lambda ours, floor: ours < 1,
        ),
        Row(
            "6b monitor: line to dot, worst [ms]",
            max(ours),
            max(floor),
            "< 10 ms (peer: the pipe)",
            lambda ours, floor: ours < 10,
            note="%d lines" % len(ours),
        ),
    ]


if __name__ == "__main__":
    for row in monitor(int(sys.argv[1]) if len(sys.argv) > 1 else 3):
        print(row.as_json())
