"""The host's real Tor (sandbox/run --tor real): Debian's tor, started by
Debian's own /etc/init.d/tor as it is on Tails, from Tails' torrc
(tests/fixtures/tails-torrc) with the private network's authorities.

The init script runs tor as root with Debian's defaults file
(/usr/share/tor/tor-service-defaults-torrc: DataDirectory /var/lib/tor,
User debian-tor, PidFile /run/tor/tor.pid), so Tor runs as debian-tor and
Tails' firewall applies to it. /run is the sandbox's own; /var/lib/tor and
/var/log/tor become private tmpfs mounts in the plain sandbox (a Tails-like
system's /var is its own already)."""

import os
import resource
import signal
import subprocess
import time
from pathlib import Path

from . import firewall
from .accounts import WEB_PAGE
from .filesystem import mount_tmpfs, run
from .host_config import SYSTEM_PATH, TAILS_FERM_CONF

TAILS_TORRC = TAILS_FERM_CONF.parent / "tails-torrc"
NOTICES = Path("/var/log/tor/notices.log")
# Debian's defaults torrc puts it there; /run is the sandbox's in every view.
PID_FILE = Path("/run/tor/tor.pid")
# What the sandbox changes in Tails' torrc, each line found or the torrc is refused.
ADJUSTMENTS = {
    # The Tor Browser's network namespace (10.200.1.1) does not exist here.
    "SocksPort 10.200.1.1:9050 IsolateSOCKSAuth KeepAliveIsolateSOCKSAuth ExtendedErrors": None,
    # No journal in the sandbox: notices go to a file the sandbox reads.
    "Log notice syslog": f"Log notice file {NOTICES}",
    # What Tails' Tor Connection assistant saves once the user has connected.
    "DisableNetwork 1": "DisableNetwork 0",
}
# In a booted system Tor logs to the journal as on Tails, and DisableNetwork 0
# is what the Tor Connection assistant's stand-in sets and saves.
BOOTED_ADJUSTMENTS = {
    "SocksPort 10.200.1.1:9050 IsolateSOCKSAuth KeepAliveIsolateSOCKSAuth ExtendedErrors": None,
}
BOOTSTRAP_SECONDS = 120.0
PROBE_SECONDS = 10


def torrc(tails_torrc, authority_lines, adjustments=ADJUSTMENTS):
    """Tails' torrc as the sandbox's Tor reads it: `adjustments` made, the private network's authorities added."""
    lines = tails_torrc.splitlines()
    for old, new in adjustments.items():
        if old not in lines:
            raise ValueError(f"Tails' torrc has no line {old!r}: see sandbox/host_tor.py")
        lines = [new if line == old else line for line in lines if line != old or new is not None]
    return "\n".join(lines) + "\n\n## The sandbox's private Tor network (sandbox/tor_network.py)\n" \
        "TestingTorNetwork 1\n" + authority_lines


def init_script_defaults(hard_file_limit):
    """What the sandbox adds to /etc/default/tor, which the init script reads.

    The private network's DirAuthority and TestingTorNetwork lines make tor
    warn on the console at every start, which Tails' Tor does not: tor
    starts --quiet. And the script raises the limit of open files to 32768
    where the system allows that many; a process here may not raise its hard
    limit, and the script's complaint would show in the client's console."""
    text = "\n# sandbox (sandbox/host_tor.py)\nARGS=\"$ARGS --quiet\"\n"
    if hard_file_limit != resource.RLIM_INFINITY and hard_file_limit < 32768:
        text += f"MAX_FILEDESCRIPTORS={hard_file_limit}\n"
    return text


def install(etc, authority_lines, tor_ids, tails_like=False, booted=False):
    """Writes etc/tor/torrc; outside a Tails-like system, makes Tor's data and log directories private."""
    adjustments = BOOTED_ADJUSTMENTS if booted else ADJUSTMENTS
    (Path(etc) / "tor" / "torrc").write_text(torrc(TAILS_TORRC.read_text(), authority_lines, adjustments))
    if booted:
        return
    with open(Path(etc) / "default" / "tor", "a") as defaults:
        defaults.write(init_script_defaults(resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    if tails_like:
        return
    uid, gid = tor_ids
    for directory, mode in ((Path("/var/lib/tor"), 0o2700), (Path("/var/log/tor"), 0o2750)):
        if not directory.is_dir():
            raise SystemExit(f"sandbox: {directory} is missing: install Debian's tor (make test-tor does)")
        mount_tmpfs(directory, mode)
        run("chown", f"{uid}:{gid}", str(directory))


def init_script(action, host_netns, root=None):
    """Runs Debian's /etc/init.d/tor of this view, or of the system at `root`,
    once sure that it cannot reach this machine's systemd or network."""
    firewall.check_private(host_netns)
    chroot = [] if root is None else ["chroot", str(root)]
    subprocess.run([*chroot, "/etc/init.d/tor", action], check=True, stdout=subprocess.DEVNULL,
                   env={"PATH": SYSTEM_PATH, "LC_ALL": "C.UTF-8"})


def interrupt():
    """Stops the host's Tor with SIGINT, as Debian's init script does: Tor's
    seccomp sandbox (Sandbox 1, as on Tails) at times leaves its main thread
    with a blocked-signal mask of random bits, SIGTERM among them, and the
    sandbox's own stop would then wait for SIGKILL."""
    try:
        os.kill(int(PID_FILE.read_text()), signal.SIGINT)
    except (FileNotFoundError, ValueError, ProcessLookupError):
        pass


def request_through_tor(url=WEB_PAGE, user=1000, timeout=PROBE_SECONDS):
    """Fetches `url` through 127.0.0.1:9050 as `user` (Tails' firewall lets
    amnesia, not root, reach Tor): whether it came back with status 200."""
    result = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", str(timeout),
                             "--socks5-hostname", "127.0.0.1:9050", url],
                            capture_output=True, text=True, user=user, group=user, extra_groups=[])
    return result.returncode == 0 and result.stdout == "200"


def wait_until_usable(deadline, notices=NOTICES):
    """Waits until Tor says it has bootstrapped (in `notices`, if given) and a request through it works."""
    while notices is not None and "Bootstrapped 100%" not in (
            notices.read_text(errors="replace") if notices.exists() else ""):
        if time.monotonic() > deadline:
            raise RuntimeError(f"the host's Tor did not bootstrap in time; see {notices}")
        time.sleep(0.1)
    while not request_through_tor():
        if time.monotonic() > deadline:
            raise RuntimeError(f"no request through the host's Tor worked in time; see {notices}")
        time.sleep(0.2)
