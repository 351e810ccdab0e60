"""A private Tor network of Debian's tor in the internet namespace (sandbox/run --tor real).

Three directory authorities, two middle relays and one exit, each on an
address of its own on the internet namespace's loopback, with
`TestingTorNetwork 1` and a voting schedule short enough that a consensus
listing every relay exists some 10-25 s after the start. The keys are made
afresh for each sandbox (tor-gencert for the authorities' v3 keys, `tor
--list-fingerprint` for the relays' identities). Every node runs as
debian-tor, from this machine's tor, with its data under the sandbox's
private /run. The exit resolves names with the internet's own DNS server
(sandbox/resolver.py), and the provider's API answers the exit only."""

import pwd
import shutil
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

from . import services
from .accounts import API_HOST, PROVIDER_ADDRESS
from .filesystem import SCRATCH
from .network import INTERNET, INTERNET_NETNS, ip, run_in
from .processes import spawn

NETWORK_DIR = SCRATCH / "tor-network"
OR_PORT = 5000
DIR_PORT = 7000
RESOLVER_ADDRESS = "203.0.113.53"
RESOLV_CONF = NETWORK_DIR / "resolv.conf"
# Options on the command line make the relays' keys; tor wants a torrc all the same.
EMPTY_TORRC = NETWORK_DIR / "empty.torrc"
# From the start to a consensus that lists every relay: 10-25 s measured.
CONSENSUS_SECONDS = 90.0
TOR = "/usr/bin/tor"


@dataclass(frozen=True)
class Node:
    name: str
    address: str
    role: str  # "authority", "middle" or "exit"

    @property
    def directory(self):
        return NETWORK_DIR / self.name


NODES = (
    Node("auth1", "203.0.113.11", "authority"),
    Node("auth2", "203.0.113.12", "authority"),
    Node("auth3", "203.0.113.13", "authority"),
    Node("middle1", "203.0.113.21", "middle"),
    Node("middle2", "203.0.113.22", "middle"),
    Node("exit1", "203.0.113.31", "exit"),
)
AUTHORITIES = tuple(node for node in NODES if node.role == "authority")
EXIT = next(node for node in NODES if node.role == "exit")
RELAY_ADDRESSES = tuple(node.address for node in NODES)

COMMON = """\
TestingTorNetwork 1
DataDirectory {directory}
Nickname {name}
Address {address}
ORPort {address}:{or_port}
OutboundBindAddress {address}
AssumeReachable 1
AddressDisableIPv6 1
SocksPort 0
ShutdownWaitLength 0
Log notice file {directory}/notices.log
"""

ROLES = {
    "authority": """\
AuthoritativeDirectory 1
V3AuthoritativeDirectory 1
DirPort {address}:{dir_port}
ExitPolicy reject *:*
TestingV3AuthInitialVotingInterval 5
TestingV3AuthInitialVoteDelay 2
TestingV3AuthInitialDistDelay 2
V3AuthVotingInterval 10
V3AuthVoteDelay 2
V3AuthDistDelay 2
V3AuthNIntervalsValid 2
TestingDirAuthVoteGuard *
TestingDirAuthVoteHSDir *
TestingDirAuthVoteExit {exit_fingerprint}
TestingMinExitFlagThreshold 0
""",
    "middle": """\
ExitRelay 0
ExitPolicy reject *:*
""",
    # Its resolver is the internet's, not the sandbox host's.
    "exit": f"""\
ExitRelay 1
ExitPolicy accept *:*
ExitPolicyRejectPrivate 0
ServerDNSResolvConfFile {RESOLV_CONF}
ServerDNSDetectHijacking 0
""",
}


def tor_ids():
    entry = pwd.getpwnam("debian-tor")
    return entry.pw_uid, entry.pw_gid


def torrc_path(node):
    return NETWORK_DIR / f"{node.name}.torrc"


def node_torrc(node, authority_lines, exit_fingerprint):
    text = COMMON.format(directory=node.directory, name=node.name, address=node.address, or_port=OR_PORT)
    text += ROLES[node.role].format(address=node.address, dir_port=DIR_PORT, exit_fingerprint=exit_fingerprint)
    return text + authority_lines


def _run(command, **options):
    return subprocess.run(command, check=True, capture_output=True, text=True, **options)


def _authority_certificate(node):
    """The authority's v3 keys (tor-gencert); returns its v3 identity fingerprint."""
    keys = node.directory / "keys"
    _run(["tor-gencert", "--create-identity-key", "--passphrase-fd", "0", "-m", "12",
          "-a", f"{node.address}:{DIR_PORT}"], input="\n", cwd=keys)
    for line in (keys / "authority_certificate").read_text().splitlines():
        if line.startswith("fingerprint "):
            return line.split()[1]
    raise RuntimeError(f"tor-gencert wrote no fingerprint for {node.name}")


def _identity(node):
    """The relay's identity keys, made by tor itself; returns its fingerprint."""
    _run([TOR, "--list-fingerprint", "--hush", "-f", str(EMPTY_TORRC), "--DataDirectory", str(node.directory),
          "--Nickname", node.name, "--ORPort", str(OR_PORT), "--SocksPort", "0"])
    return (node.directory / "fingerprint").read_text().split()[1]


def dir_authority_lines(certificates, fingerprints):
    return "".join(
        f"DirAuthority {node.name} orport={OR_PORT} no-v2 v3ident={certificates[node.name]} "
        f"{node.address}:{DIR_PORT} {fingerprints[node.name]}\n" for node in AUTHORITIES)


def make_keys():
    """Every node's keys; returns the DirAuthority lines and the exit's fingerprint."""
    NETWORK_DIR.mkdir(mode=0o755)
    EMPTY_TORRC.touch()
    for node in NODES:
        (node.directory / "keys").mkdir(mode=0o700, parents=True)
    with ThreadPoolExecutor(max_workers=len(NODES)) as pool:
        certificates = dict(zip((n.name for n in AUTHORITIES), pool.map(_authority_certificate, AUTHORITIES)))
        fingerprints = dict(zip((n.name for n in NODES), pool.map(_identity, NODES)))
    return dir_authority_lines(certificates, fingerprints), fingerprints[EXIT.name]


def start(project_root):
    """Makes the keys and starts the resolver and every node; returns the
    DirAuthority lines a client needs. The consensus comes later: see wait_for_consensus."""
    authority_lines, exit_fingerprint = make_keys()
    uid, gid = tor_ids()
    for address in (*RELAY_ADDRESSES, RESOLVER_ADDRESS):
        ip("-n", INTERNET, "addr", "add", f"{address}/32", "dev", "lo")
    services.start_resolver(RESOLVER_ADDRESS, {API_HOST: PROVIDER_ADDRESS}, project_root)
    RESOLV_CONF.write_text(f"nameserver {RESOLVER_ADDRESS}\n")
    # The provider's API answers requests that come out of the exit, and no others.
    run_in(INTERNET, "iptables-legacy", "-A", "INPUT", "-d", PROVIDER_ADDRESS, "-p", "tcp", "--dport", "443",
           "!", "-s", EXIT.address, "-j", "REJECT", "--reject-with", "tcp-reset")
    for node in NODES:
        torrc_path(node).write_text(node_torrc(node, authority_lines, exit_fingerprint))
        shutil.chown(node.directory, uid, gid)
        for path in node.directory.rglob("*"):
            shutil.chown(path, uid, gid)
        # nsenter enters the namespace as root, then becomes debian-tor.
        spawn(["nsenter", f"--net={INTERNET_NETNS}", f"--setuid={uid}", f"--setgid={gid}", "--",
               TOR, "-f", str(torrc_path(node)), "--hush"], log=NETWORK_DIR / f"{node.name}.out")
    return authority_lines


def consensus_complete(text):
    """Whether a consensus lists every node, the exit with the Exit flag."""
    routers, flags = [], {}
    for line in text.splitlines():
        if line.startswith("r "):
            routers.append(line.split()[1])
        elif line.startswith("s ") and routers:
            flags[routers[-1]] = line.split()[1:]
    return sorted(routers) == sorted(n.name for n in NODES) and "Exit" in flags.get(EXIT.name, [])


def _consensus(node):
    for name in ("cached-microdesc-consensus", "cached-consensus"):
        path = node.directory / name
        if path.exists():
            return path.read_text(errors="replace")
    return ""


def _log_end(name, lines=15):
    logs = [NETWORK_DIR / name / "notices.log", NETWORK_DIR / f"{name}.out"]
    return "".join("".join(path.read_text(errors="replace").splitlines(True)[-lines:]) for path in logs
                   if path.exists())


def wait_for_consensus(deadline):
    """Waits until every node holds a consensus that lists every relay and the
    exit as one: requests through the network fail before that."""
    while True:
        missing = [node.name for node in NODES if not consensus_complete(_consensus(node))]
        if not missing:
            return
        if time.monotonic() > deadline:
            raise RuntimeError("the private Tor network made no complete consensus in time; still waiting: "
                               + " ".join(missing) + f"; the end of {missing[0]}'s log:\n" + _log_end(missing[0]))
        time.sleep(0.2)
