"""The provider's OpenVPN servers, real OpenVPN on the internet side.

Each server listens on an address of its own in the internet namespace, so
the host reaches it over eth0 as a Tails host reaches its provider, and its
tun device (the tunnel's far end) is there too. The servers run under
another program name (a symlink to openvpn), so the client's `killall
openvpn` stops only the client. What the client's fixed profile needs from a
server with OpenVPN 2.6: comp-lzo, the default GCM data ciphers, dh none,
topology subnet and a certificate for TLS server use. Like real providers,
they send all of the client's traffic through the tunnel (redirect-gateway def1)."""

import time
from pathlib import Path

from .accounts import VPN_SERVERS
from .filesystem import SCRATCH
from .network import INTERNET, in_internet, ip
from .processes import spawn

SERVER_PROGRAM = SCRATCH / "ovpn-server"
ANSWER_DELAY_SCRIPT = SCRATCH / "ovpn-server-answer-delay"
READY_MARKER = "Initialization Sequence Completed"
START_SECONDS = 30.0


def server_config(server, pki, answer_delay=0.0):
    delay = ["script-security 2", f"client-connect {ANSWER_DELAY_SCRIPT}"] if answer_delay else []
    return "\n".join([*delay,
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
        'push "redirect-gateway def1"',
        "keepalive 10 120",
        # As providers' UDP servers do: a server that stops or restarts tells
        # its clients so, and they try again at once instead of waiting for
        # their keepalive. (Over TCP the connection's end tells them.)
        *(["explicit-exit-notify 1"] if server.proto == "udp" else []),
        "verb 3",
        "",
    ])


def log_path(server):
    return SCRATCH / "logs" / f"openvpn-{server.device}.log"


def config_path(server):
    return SCRATCH / f"openvpn-{server.device}.conf"


def command(server):
    """The server's command line, run in the internet namespace."""
    return in_internet(str(SERVER_PROGRAM), "--config", str(config_path(server)))


def start(pki, answer_delay=0.0):
    """Starts every server; returns their PIDs once each reports itself up.

    With `answer_delay`, each takes that many seconds to accept a client, as
    a provider across the internet takes its time: tun0 comes up that much
    later after OpenVPN has started."""
    if answer_delay:
        ANSWER_DELAY_SCRIPT.write_text(f"#!/bin/sh\nsleep {answer_delay}\n")
        ANSWER_DELAY_SCRIPT.chmod(0o755)
    if not SERVER_PROGRAM.exists():
        SERVER_PROGRAM.symlink_to("/usr/sbin/openvpn")
    pids = []
    for server in VPN_SERVERS:
        config_path(server).write_text(server_config(server, pki, answer_delay))
        ip("-n", INTERNET, "addr", "add", f"{server.address}/32", "dev", "lo")
        pids.append(spawn(command(server), log=log_path(server)))
    for server, pid in zip(VPN_SERVERS, pids):
        wait_until_up(server, pid)
    return pids


def wait_until_up(server, pid, log_start=0):
    """Waits until the server's log (from `log_start` on) says it is up."""
    deadline = time.monotonic() + START_SECONDS
    log = log_path(server)
    while time.monotonic() < deadline:
        if READY_MARKER in log.read_text(errors="replace")[log_start:]:
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



def server_pids(server):
    """The PIDs of the server's processes, by their command line."""
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                arguments = (entry / "cmdline").read_bytes().split(b"\0")
            except OSError:
                continue
            if str(config_path(server)).encode() in arguments:
                found.append(int(entry.name))
    return found


def main(argv=None):
    """`python -m sandbox.vpn_servers stop|start NAME`, as root inside the
    sandbox: stops a server as its provider would (SIGTERM), or starts it
    again and waits until it is up."""
    import argparse
    import os
    import signal

    parser = argparse.ArgumentParser(prog="python -m sandbox.vpn_servers")
    parser.add_argument("action", choices=("stop", "start"))
    parser.add_argument("name", choices=[server.name for server in VPN_SERVERS])
    options = parser.parse_args(argv)
    server = next(server for server in VPN_SERVERS if server.name == options.name)
    if options.action == "stop":
        pids = server_pids(server)
        for pid in pids:
            os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + START_SECONDS
        while server_pids(server) and time.monotonic() < deadline:
            time.sleep(0.05)
        return 0 if pids and not server_pids(server) else 1
    log_start = len(log_path(server).read_text(errors="replace"))
    # A session of its own: the sandbox's first process reaps it once it ends.
    pid = spawn(command(server), log=log_path(server), start_new_session=True)
    wait_until_up(server, pid, log_start)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
