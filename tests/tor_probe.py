"""Requests through the sandbox's real Tor, timed, and the losses of the
tunnel's way out that a connected client rides out: the outside network
taken away, a VPN server stopped. The real-Tor suite (test_tor.py) and the
benchmark (bench/tunnel_return.py) share them."""

import subprocess
import sys
import threading
import time
from dataclasses import dataclass

from dialogue import TUNNEL_BACK, TUNNEL_DOWN
from sandbox.accounts import WEB_PAGE
from sandbox_support import ROOT

# How long Tor may take at most before a request counts as failed.
PROBE_SECONDS = 120
# Tor answers through the tunnel again this soon after the network's (or the
# server's) return: the goal, and the limit never to pass.
RETURN_GOAL_SECONDS = 30.0
RETURN_LIMIT_SECONDS = 150.0
# The client says the tunnel is down at most this long after it went.
NOTICE_LIMIT_SECONDS = 130.0

# Waits for a line on standard input, then fetches the page through Tor's
# SOCKS port until it comes back (each try at most 10 s, 0.1 s apart), and
# prints the monotonic time (the same clock in every namespace) of that moment.
PROBE = """
import subprocess, sys, time
url, seconds = sys.argv[1], float(sys.argv[2])
sys.stdin.readline()
deadline = time.monotonic() + seconds
tries = 0
while time.monotonic() < deadline:
    tries += 1
    got = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "10",
                          "--socks5-hostname", "127.0.0.1:9050", url], capture_output=True, text=True)
    if got.returncode == 0 and got.stdout == "200":
        print(time.monotonic(), tries, flush=True)
        sys.exit(0)
    time.sleep(0.1)
sys.exit(1)
"""


class Probe:
    """A request through Tor as amnesia, ready to start the moment it is told."""

    def __init__(self, host, seconds=PROBE_SECONDS):
        self.seconds = seconds
        self.process = host.spawn([sys.executable, "-c", PROBE, WEB_PAGE, str(seconds)], user="amnesia",
                                  outer=True, stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def go(self):
        self.process.stdin.write(b"go\n")
        self.process.stdin.flush()

    def worked_at(self):
        """The monotonic time of the first request that worked; fails the test if none did."""
        output, _ = self.process.communicate(timeout=self.seconds + 30)
        assert self.process.returncode == 0, f"no request through Tor worked within {self.seconds} s"
        return float(output.split()[0])


@dataclass
class Loss:
    what: str
    seconds: float
    take_away: object
    give_back: object


def network_loss(host, seconds):
    """The outside network away for `seconds` (see Sandbox.take_network_away)."""
    return Loss(f"network away {seconds} s", seconds, host.take_network_away, host.give_network_back)


def vpn_server(host, action, server):
    """Stops or starts a VPN server as its provider would (sandbox/vpn_servers.py)."""
    done = host.run(["env", f"PYTHONPATH={ROOT}", sys.executable, "-m", "sandbox.vpn_servers", action, server.name],
                    user="root", outer=True, timeout=60)
    assert done.returncode == 0, done.stderr.decode(errors="replace")


def vpn_server_restart(host, server, seconds):
    """The VPN server stopped for `seconds`, then started again."""
    return Loss(f"server {server.name} away {seconds} s", seconds, lambda: vpn_server(host, "stop", server),
                lambda: vpn_server(host, "start", server))


@dataclass
class Outage:
    what: str
    notice_after: float  # from the loss to the client's line that the tunnel is down
    back_after: float  # from the return to its line that the tunnel is back
    tor_after: float  # from the return to Tor's first answer through the tunnel

    def __str__(self):
        return (f"{self.what}: the down line after {self.notice_after:.1f} s; after the return, the back line"
                f" after {self.back_after:.1f} s, Tor's first answer after {self.tor_after:.1f} s")


def ride_out(host, dialogue, loss):
    """Takes the tunnel's way out away for the loss's time, whenever the
    client notices, gives it back, and times the client's two lines and
    Tor's first answer after the return. The client waits at its prompt,
    and Tor is in use through the tunnel when the loss comes."""
    in_use = Probe(host)
    in_use.go()
    in_use.worked_at()
    probe = Probe(host, RETURN_LIMIT_SECONDS)
    lost = time.monotonic()
    loss.take_away()
    returned = []

    def give_back():
        loss.give_back()
        returned.append(time.monotonic())
        probe.go()

    timer = threading.Timer(max(0.0, loss.seconds - (time.monotonic() - lost)), give_back)
    timer.start()
    try:
        dialogue.expect(TUNNEL_DOWN, timeout=NOTICE_LIMIT_SECONDS)
        notice_after = time.monotonic() - lost
        dialogue.expect(TUNNEL_BACK, timeout=loss.seconds + RETURN_LIMIT_SECONDS)
        back = time.monotonic()
    finally:
        timer.join()
    return Outage(loss.what, notice_after, back - returned[0], probe.worked_at() - returned[0])
