"""A Tails-like system booted as Tails boots (sandbox/run --tails 6|7):
systemd as PID 1 under systemd-nspawn, with journald, logind, D-Bus,
ferm.service, NetworkManager running Tails' dispatcher scripts, and
tor@default with Tails' drop-ins and wait-until-bootstrapped units.

The system is the overlay view of sandbox/tails_view.py (a tmpfs over the
cached root and the package's layer), so every boot starts from the same
installed system. nspawn starts inside the sandbox's own network namespace
and keeps it (no --private-network, never --network-veth): the system's
eth0 is the sandbox's, leading to the simulated internet, and NetworkManager
configures it from a connection profile. The container gets a PID, mount,
UTS, IPC and cgroup namespace of its own, in a cgroup of its own.

Commands enter it with nsenter: amnesia's terminal is a logind session on a
pseudo-terminal of the system's own (systemd-run --pty -p PAMName=login),
other commands run with the user's ids (sandbox/enter.py)."""

import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

from .accounts import HOST_ADDRESS, HOST_INTERFACE, UPLINK_ADDRESS
from .filesystem import SCRATCH
from . import users
from .host_config import CALL_LOG
from .host_config import write as write_file
from .tor_network import RESOLVER_ADDRESS

SANDBOX_DIR = Path(__file__).resolve().parent
# Tails' own files, each where it stands on Tails; and the stand-ins for
# what only Tails has (the Tor Connection assistant, htpdate, ...).
TAILS_FILES = SANDBOX_DIR / "tails_files"
STAND_INS = SANDBOX_DIR / "tails_stand_ins"
# With microsocks as Tor: tor@default answers Tor's control port only.
MICROSOCKS_STAND_INS = SANDBOX_DIR / "tails_stand_ins_microsocks"
# The container's PID 1, as the sandbox's PID namespace numbers it.
LEADER_FILE = SCRATCH / "tails-leader"
BOOT_LOG = SCRATCH / "logs" / "nspawn.log"
MACHINE = "tails"
BOOT_SECONDS = 60.0
POWEROFF_SECONDS = 20.0
# Where the sandbox's cgroups go: on a cgroup v1/hybrid machine both the
# unified hierarchy and systemd's named one; on a cgroup2 machine, the one.
CGROUP_PARENT = "marnu-sandbox"

NM_PROFILE = f"""\
# Sandbox: the outside interface, as a network Tails connects to
# (addresses fixed here instead of DHCP's).
[connection]
id=Wired connection 1
uuid=5c0a6a9e-3d5e-4b0b-9a8e-2f7f6b1d0e01
type=ethernet
interface-name={HOST_INTERFACE}
autoconnect=true

[ethernet]

[ipv4]
method=manual
address1={HOST_ADDRESS}/24,{UPLINK_ADDRESS}
dns={RESOLVER_ADDRESS};

[ipv6]
method=disabled
"""
# Sandbox: the profile above is the only one; no default DHCP profile.
NM_SANDBOX_CONF = "[main]\nno-auto-default=*\n"
# Tails keeps the journal in memory.
JOURNALD_CONF = "[Journal]\nStorage=volatile\n"
# The call log of the init scripts run by a user (not by systemd), in the
# system's /run: tests read it as the plain sandbox's host-calls.log.
CALL_LOG_TMPFILES = f"d {CALL_LOG.parent} 0755 root root -\nf {CALL_LOG} 0644 root root -\n"
CALL_LOG_HOOK = f"""\
# Sandbox: logs each init script that a user runs (not systemd), before
# Debian's hook hands it to systemctl.
if [ $PPID -ne 1 ] && [ -z "${{SYSTEMCTL_SKIP_REDIRECT:-}}" ]; then
    echo "${{0##*/}} ${{1:-}}" >> {CALL_LOG}
fi
"""
# What Tails' Welcome Screen adds to sudoers, per sandbox/run --sudo.
ADMINISTRATION = {
    "password": "amnesia ALL = (ALL) ALL\n",
    "refuse": "",
    "nopasswd": "amnesia ALL=(ALL:ALL) NOPASSWD: ALL\n",
}
# Not on Tails, or started there by something else: Tor starts when a
# network comes up (10-tor.sh), and no timer runs apt behind the client's back.
DISABLED = ("multi-user.target.wants/tor.service", "timers.target.wants")


def write(path, text, mode=0o644):
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    write_file(path, text, mode)


def _copy_tree(source, root):
    for path in sorted(source.rglob("*")):
        if path.is_file():
            target = root / path.relative_to(source)
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(path, target)
            executable = path.stat().st_mode & 0o111
            target.chmod(0o440 if "sudoers.d" in target.parts else 0o755 if executable else 0o644)


def _enable(root, unit, wanted_by):
    wants = root / "etc/systemd/system" / f"{wanted_by}.wants"
    wants.mkdir(parents=True, exist_ok=True)
    (wants / unit).unlink(missing_ok=True)
    (wants / unit).symlink_to(f"/lib/systemd/system/{unit}")


def install(root, sudo_mode, real_tor):
    """Writes Tails' machinery, its stand-ins and the sandbox's settings into the system at `root`."""
    root = Path(root)
    _copy_tree(TAILS_FILES, root)
    _copy_tree(STAND_INS, root)
    if not real_tor:
        _copy_tree(MICROSOCKS_STAND_INS, root)
    # The wait-until-bootstrapped chain, as Tails installs it.
    _enable(root, "tails-wait-until-tor-has-bootstrapped.service", "tor@default.service")
    _enable(root, "tails-tor-has-bootstrapped.target", "tails-wait-until-tor-has-bootstrapped.service")
    _enable(root, "tails-tor-has-bootstrapped-flag-file.service", "tails-tor-has-bootstrapped.target")
    for name in DISABLED:
        path = root / "etc/systemd/system" / name
        if path.is_dir():
            shutil.rmtree(path)
        else:
            path.unlink(missing_ok=True)
    etc = root / "etc"
    write(etc / "NetworkManager/system-connections/sandbox-eth0.nmconnection", NM_PROFILE, 0o600)
    write(etc / "NetworkManager/conf.d/sandbox.conf", NM_SANDBOX_CONF)
    write(etc / "systemd/journald.conf.d/sandbox.conf", JOURNALD_CONF)
    # Tor's resolv.conf (Tails' drop-in binds it); 00-resolv-over-clearnet fills it.
    write(etc / "resolv-over-clearnet.conf", "")
    write(root / "usr/lib/tmpfiles.d/sandbox-call-log.conf", CALL_LOG_TMPFILES)
    write(root / "usr/lib/lsb/init-functions.d/00-sandbox-call-log", CALL_LOG_HOOK)
    write(etc / "sudoers.d/sandbox-administration-password", ADMINISTRATION[sudo_mode], 0o440)
    # sudo resolves the host name, and says so in every call otherwise.
    hosts = (etc / "hosts").read_text()
    if "127.0.1.1" not in hosts:
        write(etc / "hosts", hosts + f"127.0.1.1\t{MACHINE}\n")


# --- its cgroup ----------------------------------------------------------------

def _cgroup_folders(name):
    base = Path("/sys/fs/cgroup")
    if (base / "unified").is_dir():
        return [base / "unified" / CGROUP_PARENT / name, base / "systemd" / CGROUP_PARENT / name]
    return [base / CGROUP_PARENT / name]


def _join_cgroups(folders):
    """Runs in nspawn's process before exec: a cgroup of its own, so that two
    sandboxes' systems never share one (nspawn --keep-unit would use this
    process's)."""
    for folder in folders:
        (folder / "cgroup.procs").write_text(f"{os.getpid()}\n")


def _remove_cgroups(folders):
    for folder in folders:
        if folder.exists():
            for directory in sorted((p for p in folder.rglob("*") if p.is_dir()), key=lambda p: -len(p.parts)):
                directory.rmdir()
            folder.rmdir()


# --- boot and power off -----------------------------------------------------------

def _leader_of(nspawn_pid):
    """nspawn's child that is PID 1 of a PID namespace of its own, or None."""
    try:
        children = Path(f"/proc/{nspawn_pid}/task/{nspawn_pid}/children").read_text().split()
    except FileNotFoundError:
        return None
    for child in children:
        try:
            status = Path(f"/proc/{child}/status").read_text()
        except FileNotFoundError:
            continue
        numbers = next(line.split()[1:] for line in status.splitlines() if line.startswith("NSpid:"))
        if len(numbers) == 2 and numbers[1] == "1":
            return int(child)
    return None


def in_system(leader, *command, check=True, capture=True):
    """Runs a command as root inside the booted system."""
    return subprocess.run(["nsenter", f"--target={leader}", "--all", *command], check=check, text=True,
                          capture_output=capture)


def _tor_may_save_its_configuration(root):
    """Tor saves what the Tor Connection assistant sets (SAVECONF) as
    debian-tor, renaming the old torrc first: its folder is Tor's, as on
    Tails (assumed: Tails' writable-etc-tor drop-in lifts only systemd's
    protection of /etc)."""
    uid, gid = users.ids(root / "etc", "debian-tor")
    for path in (root / "etc/tor", *(root / "etc/tor").iterdir()):
        os.chown(path, uid, gid)


def boot(view, host_netns):
    """Boots the system at `view` in this sandbox's namespaces; returns its
    PID 1 once systemd says the system is running, with no unit failed.
    Refuses to in this machine's own network namespace (`host_netns`): the
    system's firewall and NetworkManager would take this machine's network."""
    name = os.readlink("/proc/self/ns/net")
    if name == host_netns:
        raise SystemExit("sandbox: refusing to boot a system in the machine's own network namespace")
    name = name.strip("net:[]")
    _tor_may_save_its_configuration(Path(view))
    folders = _cgroup_folders(name)
    # One left by a sandbox that was killed: its network namespace, whose
    # number names it, is gone, and the cgroup is empty.
    _remove_cgroups(folders)
    for folder in folders:
        folder.mkdir(parents=True)
    env = {"PATH": os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin"),
           # A pure cgroup2 tree inside, on a v1/hybrid machine too.
           "SYSTEMD_NSPAWN_UNIFIED_HIERARCHY": "1",
           # NetworkManager sets the interfaces' sysctls: the sandbox's own network.
           "SYSTEMD_NSPAWN_API_VFS_WRITABLE": "network"}
    command = ["systemd-nspawn", "--quiet", "--boot", f"--directory={view}", f"--machine={MACHINE}",
               "--register=no", "--keep-unit", "--console=passive",
               # ferm, NetworkManager and OpenVPN configure the sandbox's network;
               # root may raise limits, as on Tails (sudo's pam_limits does at every call).
               "--capability=CAP_NET_ADMIN,CAP_SYS_RESOURCE", "--bind=/dev/net/tun"]
    with open(BOOT_LOG, "ab") as log:
        nspawn = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                  preexec_fn=lambda: _join_cgroups(folders))
    (SCRATCH / "tails-cgroups").write_text("\n".join(str(folder) for folder in folders) + "\n")
    (SCRATCH / "tails-nspawn").write_text(f"{nspawn.pid}\n")
    deadline = time.monotonic() + BOOT_SECONDS
    while (leader := _leader_of(nspawn.pid)) is None:
        if nspawn.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError(f"systemd-nspawn did not start the system: {BOOT_LOG.read_text(errors='replace')}")
        time.sleep(0.01)
    LEADER_FILE.write_text(f"{leader}\n")
    # systemd's own bus may not be up at once.
    while True:
        state = in_system(leader, "systemctl", "is-system-running", "--wait", check=False)
        if state.stdout.strip() in ("running", "degraded") or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    if state.stdout.strip() != "running":
        failed = in_system(leader, "systemctl", "--failed", "--no-pager", check=False).stdout
        raise RuntimeError(f"the Tails-like system did not boot cleanly ({state.stdout.strip()}):\n{failed}")
    return leader


def leader():
    """The booted system's PID 1 in this sandbox, or None."""
    try:
        return int(LEADER_FILE.read_text())
    except FileNotFoundError:
        return None


def _dispatcher_finished(pid):
    """Whether Tails' 10-tor.sh has finished its work for eth0 coming up."""
    lines = in_system(pid, "journalctl", "--no-pager", "-o", "cat", "-t", "nm-dispatcher", check=False).stdout
    return f"10-tor.sh: {HOST_INTERFACE} up: Finished" in lines


def wait_for_network(pid, deadline):
    """Waits until NetworkManager has connected the outside interface and its
    dispatcher has run Tails' scripts for it (Tor's restart by 10-tor.sh, the
    assistant), and Tails' wait units say that Tor has bootstrapped
    (/run/tor-has-bootstrapped/done); then checks that no unit failed."""
    done = Path(f"/proc/{pid}/root/run/tor-has-bootstrapped/done")
    while not (done.exists() and _dispatcher_finished(pid)):
        if time.monotonic() > deadline:
            journal = in_system(pid, "journalctl", "--no-pager", "-n", "60", check=False).stdout
            raise RuntimeError(f"the booted system did not connect and bootstrap Tor in time:\n{journal}")
        time.sleep(0.05)
    failed = failed_units(pid)
    if failed:
        journal = in_system(pid, "journalctl", "--no-pager", "-n", "60", check=False).stdout
        raise RuntimeError(f"units failed in the booted system: {' '.join(failed)}\n{journal}")


def failed_units(pid):
    """The names of the system's units that have failed."""
    listing = in_system(pid, "systemctl", "--failed", "--plain", "--no-legend", check=False).stdout
    return [line.split()[0] for line in listing.splitlines() if line.strip()]


def _end_entered_commands(pid):
    """Kills the nsenter processes that run commands inside the system.

    systemd's shutdown stops every process of the system's PID namespace
    (SIGSTOP, then SIGTERM and SIGCONT); an nsenter outside it that sees its
    child stopped stops itself, where no SIGCONT reaches it, and so does the
    one that entered the sandbox for it: the stopped parent would never reap
    its child, and the sandbox's PID namespace would never end."""
    prefix = f"nsenter\0--target={pid}\0--all\0".encode()
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and (entry / "cmdline").read_bytes().startswith(prefix):
                os.kill(int(entry.name), signal.SIGKILL)
        except (FileNotFoundError, ProcessLookupError):
            pass


def power_off():
    """Stops the booted system as `systemctl poweroff` does (SIGRTMIN+3 to
    its PID 1) and waits for nspawn; then removes its cgroups."""
    pid = leader()
    try:
        nspawn = int((SCRATCH / "tails-nspawn").read_text())
    except FileNotFoundError:
        return
    if pid is not None:
        _end_entered_commands(pid)
        try:
            os.kill(pid, signal.SIGRTMIN + 3)
        except ProcessLookupError:
            pass
    # Commands that entered the system and lost their nsenter are this
    # process's children: reaped, or the system's shutdown waits for ever on
    # the zombies among its processes.
    deadline = time.monotonic() + POWEROFF_SECONDS
    while time.monotonic() < deadline:
        try:
            ended, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            break
        if ended == nspawn:
            break
        if not ended:
            time.sleep(0.02)
    else:
        os.kill(nspawn, signal.SIGKILL)
        os.waitpid(nspawn, 0)
    LEADER_FILE.unlink(missing_ok=True)
    # The kernel empties the container's cgroups a moment after nspawn ends.
    folders = [Path(line) for line in (SCRATCH / "tails-cgroups").read_text().split()]
    deadline = time.monotonic() + POWEROFF_SECONDS
    while True:
        try:
            _remove_cgroups(folders)
            return
        except OSError:
            if time.monotonic() > deadline:
                return
            time.sleep(0.05)


# --- entering it ------------------------------------------------------------------

def command(pid, user, uid, gid, home, argv, env, terminal):
    """The command line that runs `argv` inside as `user`: on a terminal, in a
    logind session with a terminal of the system's own, as a user's terminal
    window is on Tails; otherwise with the user's ids, in their home."""
    enter = ["nsenter", f"--target={pid}", "--all"]
    if terminal:
        # The user's TERM goes inside; systemd-run itself sees none, so that
        # it writes no title or colours of its own to the terminal.
        variables = [f"--setenv={key}={value}" for key, value in env.items()
                     if key.startswith("MARNU_") or key in ("TERM", "LANG", "LC_ALL")]
        return ["env", "-u", "TERM", *enter, "systemd-run", "--quiet", "--pty", "--wait", "--collect", f"--uid={user}",
                "--property=PAMName=login", *variables, "/bin/bash", "-lc", 'cd && exec "$@"', "bash", *argv]
    ids = [] if uid == 0 else [f"--setuid={uid}", f"--setgid={gid}"]
    # nsenter's --wd would open the folder in the sandbox's own mounts.
    return [*enter, *ids, "/bin/sh", "-c", 'cd "$HOME" 2>/dev/null || cd /; exec "$@"', "sh", *argv]
