"""The provider's OpenVPN servers, real OpenVPN listening on the host's loopback.

Each server's tun device is moved into the internet namespace by its up
script, so the tunnel's far end (and the provider behind it) is only
reachable through the tunnel. The servers run under another program name
(a symlink to openvpn), so the client's `killall openvpn` stops only the
client. What the client's fixed profile needs from a server with
OpenVPN 2.6: comp-lzo, the default GCM data ciphers, dh none, topology
subnet and a certificate for TLS server use."""

import time
from pathlib import Path

from .accounts import PROVIDER_NETWORK, VPN_SERVERS
from .filesystem import SCRATCH
from .network import INTERNET
from .processes import spawn

SERVER_PROGRAM = SCRATCH / "ovpn-server"
UP_SCRIPT = SCRATCH / "ovpn-server-up"
READY_MARKER = "Initialization Sequence Completed"
START_SECONDS = 30.0

UP_SCRIPT_TEXT = f"""\
#!/bin/sh
# OpenVPN server up script: moves the tun device into the internet namespace
# and gives it the server's tunnel address there.
set -e
ip link set dev "$dev" netns {INTERNET}
ip -n {INTERNET} addr add "$ifconfig_local/24" dev "$dev"
ip -n {INTERNET} link set dev "$dev" mtu "$tun_mtu" up
"""


def _netmask(prefix_length):
    bits = (0xFFFFFFFF << (32 - prefix_length)) & 0xFFFFFFFF
    return ".".join(str((bits >> shift) & 0xFF) for shift in (24, 16, 8, 0))


def server_config(server, pki):
    network, length = PROVIDER_NETWORK.split("/")
    return "\n".join([
        f"proto {'tcp-server' if server.proto == 'tcp' else server.proto}",
        f"local {server.address}",
        f"port {server.port}",
        f"dev {server.device}",
        "dev-type tun",
        "topology subnet",
        f"server {server.network} 255.255.255.0",
        f"ca {pki}/ca.crt",
        f"cert {pki}/vpn-server.crt",
        f"key {pki}/vpn-server.key",
        "dh none",
        "data-ciphers AES-256-GCM:AES-128-GCM:CHACHA20-POLY1305",
        # The client's profile has comp-lzo: without it on the server the
        # tunnel reports itself up but passes no packet.
        "comp-lzo",
        f'push "route {network} {_netmask(int(length))}"',
        "keepalive 10 120",
        "ifconfig-noexec",
        "script-security 2",
        f"up {UP_SCRIPT}",
        "verb 3",
        "",
    ])


def log_path(server):
    return SCRATCH / "logs" / f"openvpn-{server.device}.log"


def start(pki):
    """Starts every server; returns their PIDs once each reports itself up."""
    UP_SCRIPT.write_text(UP_SCRIPT_TEXT)
    UP_SCRIPT.chmod(0o755)
    if not SERVER_PROGRAM.exists():
        SERVER_PROGRAM.symlink_to("/usr/sbin/openvpn")
    pids = []
    for server in VPN_SERVERS:
        config = SCRATCH / f"openvpn-{server.device}.conf"
        config.write_text(server_config(server, pki))
        pids.append(spawn([str(SERVER_PROGRAM), "--config", str(config)], log=log_path(server)))
    for server, pid in zip(VPN_SERVERS, pids):
        _wait_until_up(server, pid)
    return pids


def _wait_until_up(server, pid):
    deadline = time.monotonic() + START_SECONDS
    log = log_path(server)
    while time.monotonic() < deadline:
        if READY_MARKER in log.read_text(errors="replace"):
            return
        if not Path(f"/proc/{pid}").exists() or _is_zombie(pid):
            break
        time.sleep(0.05)
    raise RuntimeError(f"OpenVPN server {server.name} did not start; its log:\n{log.read_text(errors='replace')}")


def _is_zombie(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True

