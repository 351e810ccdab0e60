"""The simulated Tails host: built inside fresh namespaces, then one command runs in it.

This is PID 1 of the sandbox's PID namespace (sandbox/run starts it under
unshare). It builds the host, runs the command (as amnesia unless told
otherwise) or holds the sandbox open for tests that enter it, and then stops
every process of the namespace, on every path: normal end, failure, Ctrl+C
or SIGTERM. The namespaces, and all that was mounted in them, go with it."""

import argparse
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

from . import (filesystem, firewall, host_config, host_tor, network, processes, services, tails_boot, tails_view,
               tor_network, user_namespace, users, vpn_servers)
from .filesystem import SCRATCH
from .pki import generate

PROJECT_ROOT = Path(__file__).resolve().parent.parent
PKI = SCRATCH / "pki"
# The client as the package installs it, and as the portable bundle is
# unpacked into the Persistent Folder where there is no package.
TAILS_CLIENT = "/usr/bin/marnu-tails-client"
BUNDLE_CLIENT = "/home/amnesia/Persistent/marnu-tails-client/marnu-tails-client"
# With real Tor, the VPN servers take as long to accept a client as a
# provider across the internet does: the Tor that Connect restarts meets the
# firewall's refusals until tun0 is up, as it would on Tails.
VPN_ANSWER_SECONDS = 3.0


def log(options, message):
    if options.verbose:
        print(f"[sandbox] {message}", file=sys.stderr, flush=True)


def python_paths(python):
    """The directories the client's Python needs: the interpreter's and the venv's."""
    probe = "import os, sys; print(os.path.realpath(sys.executable)); print(sys.base_prefix); print(sys.prefix)"
    lines = subprocess.run([python, "-c", probe], check=True, capture_output=True, text=True).stdout.split()
    return [os.path.dirname(lines[0]), lines[1], lines[2]]


def read_pki(directory):
    """A reused PKI's files, read before the private mounts may hide them."""
    return {path.name: path.read_bytes() for path in generate(directory).iterdir()}


def build(options):
    log(options, "private /run, /tmp, /home and /etc")
    needed = python_paths(options.python)
    reused_pki = read_pki(options.pki) if options.pki else None
    # Held open: the private mounts below may hide or cover its path.
    persistent = os.open(options.persistent, os.O_PATH | os.O_DIRECTORY) if options.persistent else None
    filesystem.make_private_mounts(keep=[*needed, PROJECT_ROOT])
    filesystem.make_private_etc()
    # The project too: the sandbox reads its files (Tails' ferm.conf, the
    # provider) after this, and a checkout in a private directory would be
    # hidden with the rest of it.
    filesystem.make_reachable([*needed, PROJECT_ROOT])
    if options.own_user_namespace:
        log(options, "sudo and its plugins owned by the user namespace's root")
        user_namespace.own_sudo()
    if reused_pki:
        PKI.mkdir(mode=0o700)
        for name, content in reused_pki.items():
            (PKI / name).write_bytes(content)
    else:
        generate(PKI)
    ferm_conf = host_config.TAILS_FERM_CONF.read_text()
    log(options, f"sudo: {options.sudo}")
    admin_password = users.AMNESIA_PASSWORDS[options.sudo]
    real_tor = options.tor == "real"
    host_config.configure("/etc", PKI, options.sudo, real_tor=real_tor)
    users.install("/etc", ferm_conf, admin_password)
    filesystem.make_home("amnesia", users.AMNESIA_UID, users.AMNESIA_UID)
    subprocess.run(["hostname", host_config.HOSTNAME], check=True)
    tor_ids = None
    if options.tails_layers:
        log(options, f"the Tails-like system: {options.tails_layers}")
        tails_view.build(options.tails_layers.split(":"), PKI, options.sudo, ferm_conf, admin_password, persistent,
                         real_tor, booted=options.boot)
        tor_ids = tails_view.user_ids("debian-tor")

    log(options, "networks: host (lo, eth0) and the internet (provider, VPN servers, tunnel ends)")
    network.build(options.host_netns, configure_host=not options.boot)
    services.start_provider(PKI, PROJECT_ROOT)
    if real_tor:
        # Its consensus takes a while: everything else is made meanwhile.
        consensus_deadline = start_tor_network(options)
    else:
        services.start_socks_proxy(tor_ids)
    vpn_servers.start(PKI, VPN_ANSWER_SECONDS if real_tor else 0)
    if options.without_openvpn:
        log(options, "OpenVPN hidden: /usr/sbin/openvpn is missing until apt-get installs it")
        filesystem.hide_openvpn(host_config.OPENVPN, host_config.OPENVPN_PACKAGE)
    if options.boot:
        boot_tails(options, consensus_deadline if real_tor else None)
        return

    log(options, "Tails' firewall through /etc/init.d/ferm")
    firewall.load(options.host_netns, tails_view.active())
    if real_tor:
        start_host_tor(options, consensus_deadline)


def start_tor_network(options):
    """Starts the private Tor network and writes the host's torrc; returns
    when the network's consensus should be there by."""
    log(options, "the private Tor network: 3 authorities, 2 middle relays, 1 exit, a resolver")
    authority_lines = tor_network.start(PROJECT_ROOT)
    system = tails_view.active()
    host_tor.install(tails_view.path("/etc") if system else "/etc", authority_lines, tor_network.tor_ids(),
                     tails_like=system is not None, booted=options.boot)
    return time.monotonic() + tor_network.CONSENSUS_SECONDS


def boot_tails(options, consensus_deadline):
    """Boots the Tails-like system (with real Tor, once the private network
    has its consensus, as Tails' Tor finds the public one) and waits until
    NetworkManager has connected it and Tor has bootstrapped, as Tails says
    with /run/tor-has-bootstrapped/done; with real Tor, until a request
    through it has worked too."""
    if consensus_deadline is not None:
        log(options, "waiting for the private network's consensus")
        tor_network.wait_for_consensus(consensus_deadline)
    log(options, "booting the Tails-like system: systemd-nspawn --boot, in this sandbox's network")
    started = time.monotonic()
    leader = tails_boot.boot(tails_view.VIEW, options.host_netns)
    log(options, f"booted in {time.monotonic() - started:.2f} s; waiting for NetworkManager and Tor")
    deadline = time.monotonic() + host_tor.BOOTSTRAP_SECONDS
    tails_boot.wait_for_network(leader, deadline)
    log(options, f"Tor has bootstrapped, {time.monotonic() - started:.2f} s after the boot began")
    if consensus_deadline is not None:
        host_tor.wait_until_usable(deadline, notices=None)


def start_host_tor(options, consensus_deadline):
    """Starts the host's Tor once the network has its consensus, as Tails
    starts it at boot, and waits until a request through it works."""
    log(options, "waiting for the private network's consensus")
    tor_network.wait_for_consensus(consensus_deadline)
    log(options, "the host's Tor through /etc/init.d/tor, then a request through it")
    system = tails_view.active()
    host_tor.init_script("start", options.host_netns, system)
    notices = tails_view.path(host_tor.NOTICES) if system else host_tor.NOTICES
    host_tor.wait_until_usable(time.monotonic() + host_tor.BOOTSTRAP_SECONDS, notices)


def command_for(options):
    if options.command:
        return options.command
    if options.shell:
        return ["bash", "-i"]
    if options.tails_layers:
        return [TAILS_CLIENT if tails_view.path(TAILS_CLIENT).exists() else BUNDLE_CLIENT]
    return [str(Path(options.python).parent / "marnu-tails-client")]


def run_command(options):
    """Runs the command in the foreground, as tests enter the sandbox (as
    its user, chrooted into a Tails-like system if there is one, in the
    terminal's foreground), and returns its exit status."""
    # Ctrl+C belongs to the command (it shares the terminal); the sandbox
    # tears down once the command has ended. A handler, not SIG_IGN, so
    # that the command starts with the default disposition.
    signal.signal(signal.SIGINT, lambda *_: None)
    child = subprocess.Popen([sys.executable, "-m", "sandbox.enter", "--user", options.user, "--",
                              *command_for(options)])
    return processes.reap_until(child.pid)


def hold():
    """Keeps the sandbox up until SIGTERM, SIGHUP or SIGINT."""
    while True:
        try:
            os.waitpid(-1, 0)
        except ChildProcessError:
            signal.pause()


def parse(argv):
    parser = argparse.ArgumentParser(prog="python -m sandbox.host")
    parser.add_argument("--host-netns", required=True)
    parser.add_argument("--python", required=True)
    parser.add_argument("--pki")
    parser.add_argument("--user", default="amnesia")
    parser.add_argument("--sudo", choices=host_config.SUDO_MODES, default="password")
    parser.add_argument("--shell", action="store_true")
    parser.add_argument("--hold", action="store_true")
    parser.add_argument("--ready-fd", type=int)
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("--without-openvpn", action="store_true")
    parser.add_argument("--tails-layers")
    parser.add_argument("--boot", action="store_true")
    parser.add_argument("--persistent")
    parser.add_argument("--tor", choices=("microsocks", "real"), default="microsocks")
    parser.add_argument("--own-user-namespace", action="store_true")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    options = parser.parse_args(argv)
    if options.command[:1] == ["--"]:
        options.command = options.command[1:]
    return options


def main(argv=None):
    options = parse(sys.argv[1:] if argv is None else argv)
    if os.getpid() != 1:
        raise SystemExit("sandbox: the host must be PID 1 of a new PID namespace; start it with sandbox/run")
    processes.stop_on_signals()
    status = 1
    try:
        build(options)
        if options.ready_fd is not None:
            os.write(options.ready_fd, b"ready\n")
            os.close(options.ready_fd)
        log(options, "ready")
        if options.hold:
            hold()
        code = run_command(options)
        status = 128 - code if code is not None and code < 0 else (code or 0)
    except processes.Shutdown as stop:
        log(options, f"stopping on {stop}")
        # Stopping is how a held sandbox is meant to end.
        status = 0 if options.hold else 130 if str(stop) == "SIGINT" else 143
    except (Exception, SystemExit) as failure:
        print(f"sandbox: {failure}", file=sys.stderr, flush=True)
    finally:
        for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            signal.signal(signum, signal.SIG_IGN)
        log(options, "stopping every process of the sandbox")
        if options.boot:
            tails_boot.power_off()
        elif options.tor == "real":
            host_tor.interrupt()
        processes.stop_everything()
    return status


if __name__ == "__main__":
    sys.exit(main())
