"""A Tails-like system as one sandbox's host (sandbox/run --tails 6|7).

The cached root with the package installed (sandbox/tails_root.py) is
mounted as an overlay with a tmpfs on top, so each sandbox changes only its
own copy, together with what a running Tails has: /proc, /sys, /dev, the
sandbox's private /run, and tmpfs mounts on /tmp and /home.

The client and all it starts run chrooted there (sandbox/enter.py), as do
the tests' commands unless they ask for this machine's view: its Python,
sudo, bash, mv, killall, ferm, iptables, apt and OpenVPN are the root's.
The stand-ins for the provider, Tor (microsocks, as the root's debian-tor)
and the OpenVPN servers keep running from this machine's files, in the same
namespaces.

With a Persistent Folder (sandbox/run --persistent DIR), DIR of this
machine is /home/amnesia/Persistent: what amnesia leaves there is there
again in the next host, as after a restart of Tails."""

import os
import subprocess
from pathlib import Path

from . import host_config, tails_boot, users
from .filesystem import SCRATCH, bind, make_home, mount_tmpfs, run

VIEW = SCRATCH / "tails"


def active():
    """The Tails-like system's root when this sandbox has one, else None."""
    return VIEW if os.path.ismount(VIEW) else None


def mount(layers, booted=False):
    """The overlay of `layers` (upper first) with a private tmpfs on top, and
    the system mounts in it (those of a chroot; a booted system's systemd and
    nspawn make their own)."""
    upper, work = SCRATCH / "tails-upper", SCRATCH / "tails-work"
    for directory in (VIEW, upper, work):
        directory.mkdir(mode=0o755)
    run("mount", "-t", "overlay", "overlay", "-o",
        f"lowerdir={':'.join(str(layer) for layer in layers)},upperdir={upper},workdir={work}", str(VIEW))
    if booted:
        return
    run("mount", "-t", "proc", "proc", str(VIEW / "proc"))
    for system in ("sys", "dev"):
        run("mount", "--rbind", f"/{system}", str(VIEW / system))
    # The sandbox's own /run: the logs, the internet's namespace, no systemd.
    bind("/run", VIEW / "run")
    mount_tmpfs(VIEW / "tmp", 0o1777)
    mount_tmpfs(VIEW / "home", 0o755)


def build(layers, pki, sudo_mode, ferm_conf, admin_password, persistent=None, real_tor=False, booted=False):
    """Mounts the system and writes what the sandbox's host needs into its /etc
    (and, for a system that boots, Tails' machinery: sandbox/tails_boot.py);
    `persistent`, a descriptor of the Persistent Folder's folder, goes at
    /home/amnesia/Persistent."""
    mount(layers, booted)
    etc = VIEW / "etc"
    host_config.configure(etc, pki, sudo_mode, tails_like=True, real_tor=real_tor, booted=booted)
    users.install(etc, ferm_conf, admin_password)
    if booted:
        tails_boot.install(VIEW, sudo_mode, real_tor)
    home = make_home("amnesia", users.AMNESIA_UID, users.AMNESIA_UID, root=VIEW)
    if persistent is not None:
        target = home / "Persistent"
        target.mkdir(mode=0o700)
        os.chown(target, users.AMNESIA_UID, users.AMNESIA_UID)
        # The descriptor's own folder, not whatever its path names by now;
        # mount must not turn /proc/self/fd/N back into that path.
        subprocess.run(["mount", "--no-canonicalize", "--bind", f"/proc/self/fd/{persistent}", str(target)],
                       check=True, pass_fds=[persistent])


def user_ids(name):
    """A user's uid and gid in the system's /etc/passwd."""
    return users.ids(VIEW / "etc", name)


def path(inside):
    """Where a path of the system is, seen from this machine's view."""
    return VIEW / Path(inside).relative_to("/")
