"""The sandbox for an ordinary user: a user namespace of its own, in which
the user is root and the subordinate ids from /etc/subuid and /etc/subgid
give amnesia, Tails' system users and the others real ids.

Inside, files of this machine's root belong to an id the namespace does not
map (they show as nobody), and the kernel ignores the setuid bit of such
files: sudo would not become root, and it refuses plugins that root does not
own. The sandbox therefore binds copies owned by the namespace's root over
sudo and its plugin directory, in its private mount namespace only."""

import os
import shutil
import subprocess
from pathlib import Path

from .filesystem import SCRATCH, bind

# unshare (util-linux 2.38 or later) maps the user to root and the first
# block of their subordinate ids to 1, 2, ... through newuidmap and newgidmap.
# The other namespaces come after, from within: a network namespace made
# before its user namespace has its id maps belongs to this machine's root
# in part (its /proc/net/ip_tables_names, which iptables-save reads).
ENTER = ["unshare", "--user", "--map-root-user", "--map-auto", "--"]
# The ids the sandbox gives out: root, the system users below amnesia, amnesia.
HIGHEST_NEEDED_ID = 1000
SUDO = Path("/usr/bin/sudo")
SUDO_PLUGINS = Path("/usr/libexec/sudo")
OWN_COPIES = SCRATCH / "setuid"


def needed():
    """True when the sandbox must make a user namespace: not started as root."""
    return os.geteuid() != 0


def _mapped_through(map_text):
    """The highest id that an id map covers without a gap from 0, or -1."""
    ranges = sorted(tuple(int(n) for n in line.split()[::2]) for line in map_text.splitlines() if line.strip())
    highest = -1
    for inner, count in ranges:
        if inner > highest + 1:
            break
        highest = max(highest, inner + count - 1)
    return highest


def unavailable():
    """Why this user cannot have the sandbox's user namespace, or None."""
    for tool in ("newuidmap", "newgidmap"):
        if shutil.which(tool) is None:
            return f"an ordinary user needs {tool} (Debian package uidmap; run make deps) or root"
    for kind in ("uid", "gid"):
        probe = subprocess.run([*ENTER, "cat", f"/proc/self/{kind}_map"],
                               capture_output=True, text=True)
        if probe.returncode != 0:
            return ("this user may not make a user namespace with subordinate ids (unprivileged user "
                    "namespaces, util-linux 2.38, entries in /etc/subuid and /etc/subgid): " + probe.stderr.strip())
        if _mapped_through(probe.stdout) < HIGHEST_NEEDED_ID:
            return (f"the sandbox needs at least {HIGHEST_NEEDED_ID} subordinate {kind}s "
                    f"(/etc/sub{kind}) for amnesia and Tails' system users")
    if not os.access("/dev/net/tun", os.R_OK | os.W_OK):
        return "an ordinary user needs read and write access to /dev/net/tun for OpenVPN (Debian makes it 0666)"
    return None


def own_sudo():
    """Binds copies of sudo (setuid) and its plugins, owned by the namespace's root, over the originals."""
    OWN_COPIES.mkdir(mode=0o755)
    sudo = OWN_COPIES / "sudo"
    shutil.copyfile(SUDO, sudo)
    sudo.chmod(0o4755)
    plugins = OWN_COPIES / "plugins"
    shutil.copytree(SUDO_PLUGINS, plugins, symlinks=True)
    bind(sudo, SUDO)
    bind(plugins, SUDO_PLUGINS)
