"""Loads Tails' firewall with Debian's own /etc/init.d/ferm, inside the sandbox only."""

import subprocess
from pathlib import Path

from .host_config import SYSTEM_PATH
from .network import net_namespace_id


def check_private(host_netns):
    """The init script hands "restart" to systemctl when /run/systemd/system
    exists, which would load the rules into the machine's own network: make
    sure that cannot happen before ferm runs at all."""
    if Path("/run/systemd/system").exists():
        raise SystemExit("sandbox: /run is not private; refusing to run /etc/init.d/ferm")
    if net_namespace_id() == host_netns:
        raise SystemExit("sandbox: not in a private network namespace; refusing to run /etc/init.d/ferm")


def rules():
    return subprocess.run(["iptables-legacy", "-S"], check=True, capture_output=True, text=True).stdout


def load(host_netns, root=None):
    """Loads the firewall with the init script and ferm of this view, or of
    the system at `root` (which shares this sandbox's /run)."""
    check_private(host_netns)
    chroot = [] if root is None else ["chroot", str(root)]
    subprocess.run([*chroot, "/etc/init.d/ferm", "start"], check=True, stdout=subprocess.DEVNULL,
                   env={"PATH": SYSTEM_PATH, "LC_ALL": "C.UTF-8"})
    if "-P OUTPUT DROP" not in rules():
        raise RuntimeError("ferm did not load Tails' rules into the sandbox")
