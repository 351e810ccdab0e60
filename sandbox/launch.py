"""sandbox/run: checks what the sandbox needs, then starts the host in new namespaces."""

import argparse
import os
import shutil
import signal
import subprocess
import sys
from pathlib import Path

from . import tails_root, user_namespace, users
from .host_config import SUDO_MODES

PROJECT_ROOT = Path(__file__).resolve().parent.parent
TOOLS = ("unshare", "nsenter", "ip", "sysctl", "mount", "hostname", "microsocks", "openvpn", "ferm",
         "iptables-legacy", "sudo", "killall", "openssl", "ping")
# Network, mounts, host name, IPC and PIDs of its own; /proc shows only the
# sandbox's processes; if this process dies, the host's PID 1 is told to stop.
UNSHARE = ["unshare", "--net", "--mount", "--uts", "--ipc", "--pid", "--fork", "--mount-proc",
           "--propagation", "private", "--kill-child=SIGTERM"]


def unavailable():
    """Why the sandbox cannot run on this machine, or None."""
    missing = [tool for tool in TOOLS if shutil.which(tool) is None and not Path("/usr/sbin", tool).exists()]
    if missing:
        return "the sandbox needs these tools: " + " ".join(missing) + " (run make deps)"
    if not Path("/dev/net/tun").exists():
        return "the sandbox needs /dev/net/tun for OpenVPN"
    if user_namespace.needed():
        return user_namespace.unavailable()
    return None


def tails_unavailable(booted=True):
    """Why a Tails-like system cannot be made or mounted (and booted) here, or None."""
    if user_namespace.needed():
        return "a Tails-like system (--tails) needs root: mmdebstrap, chroot, overlay mounts and systemd-nspawn"
    tools = ("mmdebstrap", "apt-ftparchive", "dpkg-deb", "chroot", *(("systemd-nspawn",) if booted else ()))
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if missing:
        return "a Tails-like system needs these tools: " + " ".join(missing) + " (run make test-tails)"
    return None


def tor_unavailable():
    """Why the real Tor (--tor real) cannot run here, or None."""
    if user_namespace.needed():
        return "real Tor (--tor real) needs root: its relays run as debian-tor and its init script as root"
    missing = [tool for tool in ("tor", "tor-gencert", "curl") if shutil.which(tool) is None]
    if missing or not Path("/etc/init.d/tor").exists():
        return "real Tor needs Debian's tor package (and curl): run make test-tor, or apt-get install tor curl"
    return None


def default_python():
    version = "%d.%d" % sys.version_info[:2]
    venv_python = PROJECT_ROOT / f".venv-{version}" / "bin" / "python"
    return str(venv_python) if venv_python.exists() else sys.executable


def parse(argv):
    parser = argparse.ArgumentParser(
        prog="sandbox/run", description="Run a command inside the simulated Tails host.")
    parser.add_argument("--python", default=default_python(),
                        help="the Python with the client installed (default: the project's .venv-X.Y "
                             "for this Python's version, else this Python)")
    parser.add_argument("--pki", help="directory of a test PKI to reuse (made there if missing)")
    parser.add_argument("--root", action="store_true", help="run the command as root instead of amnesia")
    parser.add_argument("--sudo", choices=SUDO_MODES, default="password",
                        help="password: as on Tails with an administration password, asked at every call "
                             "(default); refuse: as on Tails without one, amnesia is not in sudoers; "
                             "nopasswd: sudo never asks")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--shell", action="store_true", help="run an interactive bash")
    mode.add_argument("--hold", action="store_true", help="run nothing; stay up until SIGTERM")
    parser.add_argument("--ready-fd", type=int,
                        help="write 'ready PID' to this descriptor once the host is up (PID: its first process)")
    parser.add_argument("--verbose", action="store_true", help="report each step on standard error")
    parser.add_argument("--without-openvpn", action="store_true",
                        help="hide /usr/sbin/openvpn until the apt-get stand-in installs it")
    parser.add_argument("--tor", choices=("microsocks", "real"), default="microsocks",
                        help="the host's Tor: microsocks standing in (default), or Debian's tor in a private "
                             "Tor network (as root; the command starts once the host's Tor works)")
    parser.add_argument("--pid-file", help="write the host's PID here once it is up (sandbox/attach reads it); "
                                           "removed at the end")
    tails = parser.add_argument_group("a Tails-like system (as root; see sandbox/README.md)")
    tails.add_argument("--tails", choices=sorted(tails_root.RELEASES),
                       help="run the client side in a Debian root like Tails 6 (bookworm) or 7 (trixie), "
                            "with the package installed by apt-get from an offline repository")
    tails.add_argument("--package", help="the .deb to install (default: the newest in dist/tailsN/)")
    tails.add_argument("--no-recommends", action="store_true",
                       help="install without the package's Recommends: OpenVPN is missing until the client "
                            "installs it")
    tails.add_argument("--no-package", action="store_true",
                       help="the system as Tails starts, without the package: for the portable bundle")
    tails.add_argument("--persistent", metavar="DIR",
                       help="a folder of this machine (made if missing) at /home/amnesia/Persistent, "
                            "amnesia's, which outlives the host as Tails' Persistent Folder outlives a restart")
    tails.add_argument("--chroot", action="store_true",
                       help="no systemd: the system's files chrooted into, its services started by the "
                            "sandbox (the earlier form; faster, less like Tails)")
    tails.add_argument("--prepare", action="store_true",
                       help="only make the cached root and the installed package (build/tails/), then exit")
    parser.add_argument("command", nargs=argparse.REMAINDER, help="the command (default: the client)")
    options = parser.parse_args(argv)
    if options.tails is None and (options.package or options.no_recommends or options.prepare or options.no_package
                                  or options.persistent or options.chroot):
        parser.error("--package, --no-recommends, --no-package, --persistent, --chroot and --prepare go with --tails")
    if options.no_package and (options.package or options.no_recommends):
        parser.error("--no-package takes neither --package nor --no-recommends")
    if options.tails and options.without_openvpn:
        parser.error("--without-openvpn hides this machine's OpenVPN; with --tails, use --no-recommends")
    return options


def host_pid(unshare_pid):
    """The PID (in this namespace) of the host's PID 1: unshare's only child."""
    with open(f"/proc/{unshare_pid}/task/{unshare_pid}/children") as children:
        pids = children.read().split()
    return int(pids[0]) if pids else None


def forward_stop(unshare_pid):
    """SIGTERM and SIGHUP stop the host (unshare itself ignores them)."""
    def handler(_signum, _frame):
        pid = host_pid(unshare_pid)
        if pid is not None:
            os.kill(pid, signal.SIGTERM)
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, handler)
    # Ctrl+C reaches the whole foreground group: the command decides what it means.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def relay_ready(ready_read, ready_fd, unshare_pid, pid_file=None):
    """Waits for the host's ready line; passes it on with the host's PID,
    which is what `nsenter --target` needs to enter the sandbox."""
    line = os.read(ready_read, 64)
    os.close(ready_read)
    if ready_fd is not None:
        os.write(ready_fd, b"ready %d\n" % host_pid(unshare_pid) if line == b"ready\n" else b"failed\n")
        os.close(ready_fd)
    if pid_file is not None and line == b"ready\n":
        Path(pid_file).write_text(f"{host_pid(unshare_pid)}\n")


def tails_layers(options):
    """The Tails-like system's overlay layers, made (once) if missing."""
    if options.no_package:
        return [tails_root.root_for(options.tails)]
    package = options.package or tails_root.default_package(options.tails)
    return tails_root.layer_for(options.tails, package, recommends=not options.no_recommends)


def persistent_folder(path):
    """The Persistent Folder's folder on this machine, made amnesia's (0700) when missing."""
    folder = Path(path).resolve()
    if not folder.exists():
        folder.mkdir(mode=0o700, parents=True)
        os.chown(folder, users.AMNESIA_UID, users.AMNESIA_UID)
    return str(folder)


def host_command(options, ready_fd):
    own_user_namespace = user_namespace.needed()
    unshare = [*user_namespace.ENTER, *UNSHARE] if own_user_namespace else UNSHARE
    command = [*unshare, "--", sys.executable, "-m", "sandbox.host",
               "--host-netns", os.readlink("/proc/self/ns/net"),
               "--python", os.path.abspath(options.python),
               "--user", "root" if options.root else "amnesia", "--sudo", options.sudo, "--tor", options.tor]
    if options.pki:
        command += ["--pki", os.path.abspath(options.pki)]
    if options.tails:
        command += ["--tails-layers", ":".join(str(layer) for layer in tails_layers(options))]
        if not options.chroot:
            command.append("--boot")
    if options.persistent:
        command += ["--persistent", persistent_folder(options.persistent)]
    if own_user_namespace:
        command.append("--own-user-namespace")
    for flag in ("shell", "hold", "verbose", "without_openvpn"):
        if getattr(options, flag):
            command.append("--" + flag.replace("_", "-"))
    command += ["--ready-fd", str(ready_fd)]
    arguments = options.command[1:] if options.command[:1] == ["--"] else options.command
    return command + ["--", *arguments]


def main(argv=None):
    options = parse(sys.argv[1:] if argv is None else argv)
    reason = (unavailable() or (tails_unavailable(booted=not options.chroot) if options.tails else None)
              or (tor_unavailable() if options.tor == "real" else None))
    if reason:
        print(f"sandbox: {reason}", file=sys.stderr)
        return 2
    if options.prepare:
        print(":".join(str(layer) for layer in tails_layers(options)))
        return 0
    if options.pid_file:
        options.pid_file = os.path.abspath(options.pid_file)
    os.chdir(PROJECT_ROOT)
    os.environ["PYTHONPATH"] = str(PROJECT_ROOT)
    ready_read, ready_write = os.pipe()
    host = subprocess.Popen(host_command(options, ready_write), pass_fds=[ready_write])
    os.close(ready_write)
    forward_stop(host.pid)
    try:
        relay_ready(ready_read, options.ready_fd, host.pid, options.pid_file)
        while True:
            try:
                status = host.wait()
                break
            except InterruptedError:
                continue
    finally:
        if options.pid_file:
            Path(options.pid_file).unlink(missing_ok=True)
    return 128 - status if status < 0 else status
