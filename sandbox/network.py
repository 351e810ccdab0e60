"""The sandbox's two networks: the Tails host and "the internet".

The host's namespace has loopback and eth0; the internet is a second network
namespace, named in the private /run, joined by a veth pair. The provider
listens there, so Tor's user still reaches it after the firewall has
confined that user to tun0: through the tunnel, whose far ends the OpenVPN
servers move into the internet namespace."""

import os
import subprocess

from .accounts import (HOST_ADDRESS, HOST_INTERFACE, PROVIDER_ADDRESS, TUNNEL_NETWORKS,
                       UPLINK_ADDRESS, UPLINK_INTERFACE)

INTERNET = "internet"
INTERNET_NETNS = f"/run/netns/{INTERNET}"


def ip(*arguments):
    subprocess.run(["ip", *arguments], check=True)


def in_internet(*command):
    """The command as run inside the internet namespace (same mounts and PIDs)."""
    return ["nsenter", f"--net={INTERNET_NETNS}", "--", *command]


def net_namespace_id(pid="self"):
    return os.readlink(f"/proc/{pid}/ns/net")


def run_in(namespace, *command):
    """Runs a command in the host's namespace (None) or the internet's."""
    subprocess.run(list(command) if namespace is None else in_internet(*command), check=True)


def build(host_netns, configure_host=True):
    """Sets up both networks; refuses to run in the machine's own namespace.
    Without `configure_host`, eth0 is left down, with no address or route,
    for a booted system's NetworkManager to configure."""
    if net_namespace_id() == host_netns:
        raise SystemExit("sandbox: refusing to configure the machine's own network namespace")
    ip("link", "set", "lo", "up")
    ip("netns", "add", INTERNET)
    ip("-n", INTERNET, "link", "set", "lo", "up")
    ip("-n", INTERNET, "addr", "add", f"{PROVIDER_ADDRESS}/32", "dev", "lo")
    ip("link", "add", HOST_INTERFACE, "type", "veth", "peer", "name", UPLINK_INTERFACE, "netns", INTERNET)
    for interface, address, namespace in ((HOST_INTERFACE, HOST_ADDRESS, None),
                                          (UPLINK_INTERFACE, UPLINK_ADDRESS, INTERNET)):
        # No IPv6 on the link: Tails' firewall drops it anyway.
        run_in(namespace, "sysctl", "-q", "-w", f"net.ipv6.conf.{interface}.disable_ipv6=1")
        if namespace is None and not configure_host:
            continue
        run_in(namespace, "ip", "addr", "add", f"{address}/24", "dev", interface)
        run_in(namespace, "ip", "link", "set", interface, "up")
    if configure_host:
        ip("route", "add", "default", "via", UPLINK_ADDRESS)
    # Linux answers for any of its addresses on any interface: without this,
    # the tunnels' far ends would answer over the uplink and a ping through
    # the tunnel would prove nothing.
    run_in(INTERNET, "iptables-legacy", "-A", "INPUT", "-i", UPLINK_INTERFACE, "-d", TUNNEL_NETWORKS, "-j", "DROP")
