"""Runs one command inside a running sandbox, as one of its users.

Started as root through `nsenter --target HOST_PID --mount --net --pid --uts --ipc`
(tests/sandbox_support.py does this), or by the host for its own command.
In a sandbox with a Tails-like system the command runs there: inside the
booted system (sandbox/tails_boot.py; on a terminal, in a logind session of
its own), or chrooted into the system's files (sandbox/tails_view.py).
Options give the command a view of its own without changing the sandbox for
anyone else (not in a booted system):
  --private-tmp        an empty /tmp
  --system-ca          the system's own CA bundle, which does not trust the test CA
  --isolated-network   a network namespace with nothing but loopback
  --outer              this machine's files, not the Tails-like system's (for
                       tools that it lacks; same namespaces)
The command is told where things are: the MARNU_SANDBOX_* variables of
sandbox/addresses.py.

usage: python -m sandbox.enter [--user NAME] [options] -- CMD ..."""

import argparse
import os
import signal
import subprocess
import sys
from pathlib import Path

from . import addresses, identity, tails_boot, tails_view, tor_network, users
from .host_config import CA_BUNDLE, SYSTEM_CA_BUNDLE

VIEW_OPTIONS = ("private_tmp", "system_ca", "isolated_network")


def parse(argv):
    parser = argparse.ArgumentParser(prog="python -m sandbox.enter")
    parser.add_argument("--user", default="amnesia")
    parser.add_argument("--private-tmp", action="store_true")
    parser.add_argument("--system-ca", action="store_true")
    parser.add_argument("--isolated-network", action="store_true")
    parser.add_argument("--outer", action="store_true")
    parser.add_argument("--view-ready", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    options = parser.parse_args(argv)
    if options.command[:1] == ["--"]:
        options.command = options.command[1:]
    if not options.command:
        parser.error("no command given")
    return options


def enter_own_view(options, argv):
    """Re-runs this program in new mount (and network) namespaces."""
    unshare = ["unshare", "--mount", "--propagation", "private"]
    if options.isolated_network:
        unshare.append("--net")
    os.execvp(unshare[0], [*unshare, "--", sys.executable, "-m", "sandbox.enter", "--view-ready", *argv])


def make_view(options, root):
    if options.private_tmp:
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=1777", "tmpfs", str(root / "tmp")], check=True)
    if options.system_ca:
        subprocess.run(["mount", "--bind", str(SYSTEM_CA_BUNDLE), str(root / CA_BUNDLE.relative_to("/"))],
                       check=True)
    if options.isolated_network:
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


def take_the_terminal():
    """Makes this process (soon the command) a process group of its own in
    the foreground of its terminal, as a shell does for a job, when standard
    input is its controlling terminal and its group has the foreground.

    nsenter stays behind in the old group, waiting: Ctrl+C typed on the
    terminal reaches the command and what it starts, and not nsenter, whose
    end would hang up the command's terminal while it handles the interrupt."""
    try:
        if os.tcgetpgrp(0) != os.getpgrp():
            return
    except OSError:  # standard input is not this process's controlling terminal
        return
    # A background group may set the foreground only with SIGTTOU ignored.
    previous = signal.signal(signal.SIGTTOU, signal.SIG_IGN)
    os.setpgid(0, 0)
    os.tcsetpgrp(0, os.getpgrp())
    signal.signal(signal.SIGTTOU, previous)


def enter_booted_system(options, pid, real_tor):
    """Runs the command inside the booted system, as the user its /etc names."""
    if any(getattr(options, name) for name in VIEW_OPTIONS):
        raise SystemExit("sandbox: --private-tmp, --system-ca and --isolated-network need no booted system "
                         "(sandbox/run --chroot)")
    take_the_terminal()
    uid, gid, home = users.entry(tails_view.path("/etc"), options.user)
    env = identity.environment(options.user, stand_ins=False)
    env.update(addresses.variables(real_tor))
    env["HOME"] = home
    command = tails_boot.command(pid, options.user, uid, gid, home, options.command, env, terminal=os.isatty(0))
    os.execvpe(command[0], command, env)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    options = parse(argv)
    if not options.view_ready and any(getattr(options, name) for name in VIEW_OPTIONS):
        enter_own_view(options, argv)
    system = None if options.outer else tails_view.active()
    real_tor = tor_network.NETWORK_DIR.exists()
    booted = tails_boot.leader() if system else None
    if booted:
        enter_booted_system(options, booted, real_tor)
    make_view(options, system or Path("/"))
    if system:
        # The user's ids, groups and home come from the system's /etc from here on.
        os.chroot(system)
    take_the_terminal()
    env = identity.environment(options.user, stand_ins=system is None)
    env.update(addresses.variables(real_tor))
    ids = identity.identity(options.user)
    try:
        os.chdir(env["HOME"])
    except OSError:
        # None, or this machine's own (/var/lib/tor of an installed tor, say),
        # which a sandbox in a user namespace of its own cannot enter.
        os.chdir("/")
    os.setgroups(ids["extra_groups"])
    os.setgid(ids["group"])
    os.setuid(ids["user"])
    os.execvpe(options.command[0], options.command, env)


if __name__ == "__main__":
    main()
