"""What the simulated Tails host looks like: firewall rules, processes, the
stand-ins' call log and what the tunnel carries, read as root beside the client.
In a Tails-like system the files are the system's; ping, which it lacks,
runs from this machine's tools in the same namespaces."""

import json
import subprocess
import sys

from sandbox.accounts import PROVIDER_ADDRESS, UPLINK_ADDRESS
from sandbox.host_config import CALL_LOG, TAILS_FERM_CONF
from sandbox_support import TAILS

# What Disconnect and Reset restart, as the call log has it (a Tails-like
# system has no NetworkManager init script, stand-in or other).
RESTART_CALLS = ([] if TAILS else ["network-manager restart"]) + ["ferm restart", "tor restart"]


def rules(host):
    return host.root("iptables-legacy -S").decode().splitlines()


def root_rule(server):
    return (f"-A OUTPUT -d {server.address}/32 -p {server.proto} -m {server.proto} --dport {server.port} "
            "-m owner --uid-owner 0 -j ACCEPT")


def tor_rules(host):
    uid = host.root("id -u debian-tor").decode().strip()
    return [rule for rule in rules(host) if f"--uid-owner {uid} " in rule]


def openvpn_clients(host):
    return host.root("pgrep -x openvpn || true").split()


def openvpn_trying(host):
    """Whether an OpenVPN holds its UDP socket, which it opens once it starts
    connecting. Until then it is reading its profile, and it drops a SIGINT
    that arrives in that time."""
    return b'users:(("openvpn"' in host.root("ss -Huanp")


def calls(host):
    return host.root(f"cat {CALL_LOG}").decode().splitlines()


def as_tor(host, url):
    """Fetches `url` as Tor's user, straight (not through the proxy): the HTTP status or None."""
    result = host.run(["curl", "-s", "-o", "/dev/null", "--max-time", "20", "-w", "%{http_code}", url],
                      user="debian-tor")
    return result.stdout.decode() if result.returncode == 0 else None


def ping(host, address):
    return host.run(["ping", "-c", "1", "-W", "3", address], user="root", outer=True).returncode == 0


def live_ferm_conf(host):
    return host.root("cat /etc/ferm/ferm.conf")


def assert_tunnel_up(host, server, original_rules):
    assert host.root("ip -br addr show tun0").split()[2:3] == [
        (server.network.rsplit(".", 1)[0] + ".2/24").encode()]
    assert ping(host, server.tunnel_address)
    now = rules(host)
    # The one new root rule is the chosen server's; every Tor rule is confined to tun0.
    added = [rule for rule in now if rule not in original_rules and "--uid-owner 0 " in rule]
    assert added == [root_rule(server)]
    assert tor_rules(host) and all(" -o tun0 " in rule for rule in tor_rules(host))
    # Tor's user reaches the provider through the tunnel, and nothing outside it.
    route = host.root(f"ip route get {PROVIDER_ADDRESS}").split()
    assert route[route.index(b"dev") + 1] == b"tun0"
    assert as_tor(host, f"http://{PROVIDER_ADDRESS}/") == "404"
    assert as_tor(host, f"http://{UPLINK_ADDRESS}/") is None


def assert_back_to_original(host, original_rules):
    assert openvpn_clients(host) == []
    assert live_ferm_conf(host) == TAILS_FERM_CONF.read_bytes()
    assert rules(host) == original_rules
    assert calls(host)[-len(RESTART_CALLS):] == RESTART_CALLS


# Reads every process's command line and environment every 50 ms until its
# standard input ends; then prints, as JSON, how many rounds it made and
# where each needle (hex, one per argument) was seen.
WATCH_PROCESSES = r"""
import json, os, select, sys, time
needles = [bytes.fromhex(argument) for argument in sys.argv[1:]]
seen, rounds = [], 0
while not select.select([sys.stdin], [], [], 0.05)[0]:
    rounds += 1
    for pid in filter(str.isdigit, os.listdir("/proc")):
        for part in ("cmdline", "environ"):
            try:
                with open(f"/proc/{pid}/{part}", "rb") as f:
                    data = f.read()
            except OSError:
                continue
            for needle in needles:
                if needle in data and (needle.hex(), part) not in [(s[0], s[2]) for s in seen]:
                    seen.append((needle.hex(), data.split(b"\0")[0].decode(errors="replace"), part))
print(json.dumps({"rounds": rounds, "seen": seen}))
"""


class ProcessWatch:
    """Watches the host's processes for `needles` (bytes) in their command
    lines and environments, from start() until stop()."""

    def __init__(self, host, needles):
        self.needles = list(needles)
        self.process = host.spawn([sys.executable, "-c", WATCH_PROCESSES, *(n.hex() for n in self.needles)],
                                  user="root", outer=True, stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def stop(self):
        """{needle: [(program, "cmdline" or "environ"), ...]} and the number of rounds."""
        out, _ = self.process.communicate(b"stop\n", timeout=30)
        report = json.loads(out)
        found = {needle: [] for needle in self.needles}
        for needle, program, part in report["seen"]:
            found[bytes.fromhex(needle)].append((program, part))
        return found, report["rounds"]


def files_holding(host, needle, folder="/tmp"):
    """The files below `folder` (read as root) whose contents hold `needle` (one line of text)."""
    return host.root(f"grep -rlsF -f /dev/stdin {folder} || true", stdin=needle + b"\n").decode().split()
