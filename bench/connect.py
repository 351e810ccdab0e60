"""Figure 7: Connect in the simulated Tails host, from the server choice to
"Connected", against the same connection made by hand: the client's root
command line (the firewall switch, ferm's and Tor's restarts, then OpenVPN
with the same profile) typed into a shell, from the same state, to OpenVPN's
"Initialization Sequence Completed".

The same state: Tails' firewall loaded, no OpenVPN running, the account's
key files in /tmp. For the run by hand the profile and the rewritten firewall
are written beforehand by the client's own steps, untimed; the client writes
them after the choice, inside its time. The measuring runs inside the host as
amnesia, with the sandbox's sudo in its nopasswd mode: no password prompt
stands in the way of either side."""

import json
import os
import select
import statistics
import subprocess
import sys
import time

from measure import LAUNCHER, PYTHON, Row

USER, PASSWORD, SERVER = "alice", "wonderland", "Sandbox-UDP"
SAVED_FIREWALL = "/run/marnu-bench-ferm.conf"
# What the client runs as root for this account, with the password typed in
# (a password of plain characters) where the client hands it over on a FIFO.
BY_HAND = ("sudo bash -c 'mv -f /tmp/ferm.conf /etc/ferm/ferm.conf && /etc/init.d/ferm restart && "
           "([ ! -d /run/systemd/system ] || systemctl reset-failed tor@default.service 2> /dev/null; "
           "if [ -x /etc/NetworkManager/dispatcher.d/10-tor.sh ]; then /etc/init.d/tor stop; "
           "else /etc/init.d/tor restart; fi || true) && "
           "openvpn --config /tmp/config.ovpn --askpass <(echo '%s') "
           "--management /run/marnu-openvpn.sock unix --management-client-user amnesia'" % PASSWORD)
CONNECTED_MARKER = b"Initialization Sequence Completed"
WAIT_SECONDS = 120


def root(command):
    subprocess.run(["sudo", "sh", "-c", command], check=True, stdout=subprocess.DEVNULL)


def reset():
    """Back to the state before a connection: no OpenVPN, Tails' firewall loaded."""
    root("killall -q openvpn; while pgrep -x openvpn > /dev/null; do sleep 0.05; done; "
         f"cp {SAVED_FIREWALL} /etc/ferm/ferm.conf && /etc/init.d/ferm restart; "
         "rm -f /tmp/ferm.conf /tmp/ferm.conf.back /tmp/config.ovpn")


class Console:
    """A child's standard output, read until what is expected has come."""

    def __init__(self, child):
        self.child = child
        self.seen = b""

    def expect(self, text):
        deadline = time.monotonic() + WAIT_SECONDS
        while text not in self.seen:
            remaining = deadline - time.monotonic()
            ready, _, _ = select.select([self.child.stdout], [], [], max(remaining, 0))
            chunk = os.read(self.child.stdout.fileno(), 65536) if ready else b""
            if not chunk:
                raise RuntimeError(f"no {text!r} in time; the output so far: {self.seen[-2000:]!r}")
            self.seen += chunk
        self.seen = self.seen[self.seen.index(text) + len(text) :]

    def send(self, line):
        self.child.stdin.write(line)
        self.child.stdin.flush()


def with_client():
    """Seconds from the server choice to the client's "Connected"."""
    reset()
    child = subprocess.Popen([LAUNCHER], cwd="/", stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT)
    console = Console(child)
    try:
        console.expect(b"\n>> ")
        console.send(b"1\n")
        console.expect(b"Username: ")
        console.send(USER.encode() + b"\n")
        console.expect(b"Password: ")
        console.send(PASSWORD.encode() + b"\n")
        console.expect(b". " + SERVER.encode() + b"\n")
        console.expect(b"\n>> ")
        start = time.perf_counter()
        console.send(b"1\n")
        console.expect(b"[+] Connected to " + SERVER.encode() + b" VPN server.")
        elapsed = time.perf_counter() - start
        console.expect(b"\n>> ")
        console.send(b"4\n")  # Quit disconnects first
        child.stdout.read()
    finally:
        child.stdin.close()
        child.wait()
    return elapsed


def by_hand():
    """Seconds from starting the client's root command by hand to OpenVPN's marker."""
    import marnu_tails_client as m

    reset()
    m.download_keys(USER, PASSWORD)
    server = m.get_servers(USER, PASSWORD)[SERVER]
    server["name"] = SERVER
    m.configure_tails(server, USER)
    sys.stdout.flush()
    start = time.perf_counter()
    child = subprocess.Popen(["/bin/sh", "-c", BY_HAND], cwd="/tmp", stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        Console(child).expect(CONNECTED_MARKER)
        elapsed = time.perf_counter() - start
    finally:
        root("killall -q openvpn")
        child.stdout.close()
        child.wait()
    return elapsed


def measure_inside(rounds):
    root(f"cp /etc/ferm/ferm.conf {SAVED_FIREWALL}")
    # The client prints to the console; the figures go last, on a line of their own.
    times = {"ours": [], "peer": []}
    for turn in range(rounds):
        cases = [("ours", with_client), ("peer", by_hand)]
        for name, case in cases[turn % 2 :] + cases[: turn % 2]:
            times[name].append(case())
    reset()
    print()
    print(json.dumps({name: statistics.median(values) for name, values in times.items()}))


def connect(rounds):
    from sandbox_host import simulated_host, unavailable

    figure, goal = "7 Connect: server choice to Connected [s]", "<= 1.05x by hand"
    if unavailable:
        from measure import pending

        return [pending(figure, goal, "sandbox unavailable: " + unavailable)]
    with simulated_host("--sudo", "nopasswd") as host:
        done = host.run([PYTHON, __file__, str(rounds)], timeout=3600)
    if done.returncode != 0:
        raise RuntimeError("the connect figure failed in the sandbox: " + done.stderr.decode(errors="replace"))
    got = json.loads(done.stdout.decode(errors="replace").strip().splitlines()[-1])
    return [
        Row(figure, got["ours"], got["peer"], goal, lambda ours, peer: ours <= 1.05 * peer,
            note="%d each; by hand: the client's root command typed into a shell" % rounds)
    ]


if __name__ == "__main__":
    measure_inside(int(sys.argv[1]))
