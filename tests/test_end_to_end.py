"""The whole client in the simulated Tails host, driven through a
pseudo-terminal as a person would: login, server choice, a real OpenVPN
tunnel under Tails' real firewall, disconnect, reset and quit.

Each test has a host of its own (tests/sandbox_support.py); the client runs
as amnesia, and the checks of the host's state run as root beside it. sudo
asks for the administration password at every call, as on Tails, and the
dialogue answers each prompt: a Connect, a Disconnect and a Reset cost one
each, a Connect that installs OpenVPN two.

make test-tails runs these in Tails-like systems too (tests/sandbox_support.py):
there, a first Connect may install OpenVPN with the system's real apt."""

import subprocess
import time

import pytest

from dialogue import (CONFIGURING, CONNECTED_MENU, DISCONNECTING, INSTALLING_OPENVPN, INTERRUPTED, LEFT_OUTSIDE,
                      TUNNEL_BACK, TUNNEL_DOWN,
                      LEFT_UP, MENU, NO_SAVED_FIREWALL, REFUSAL, RESTARTS, SERVER_LIST, TCP, UDP)
from dialogue import dialogue_on  # noqa: F401
from host_state import (ProcessWatch, as_tor, assert_back_to_original, assert_tunnel_up, calls, files_holding,
                        live_ferm_conf, openvpn_clients, ping, rules)
from sandbox.accounts import (ADMIN_PASSWORD, PROVIDER_ADDRESS, TUNNEL_NETWORKS, UPLINK_ADDRESS,
                              UPLINK_INTERFACE, account)
from sandbox.host_config import SUDO_LOG, TAILS_FERM_CONF
from sandbox_support import BOOTED, OPENVPN_BY_APT, TAILS, fresh_sandbox, needs_sandbox, sandbox_pki  # noqa: F401
from silent_attempt import connect_to_a_silent_server
from terminal import Terminal
from test_monitor import ADMIN_PASSWORD_LINE

pytestmark = needs_sandbox

TUNNEL_ENDED = b"\n\n[-] The VPN connection has ended: Tor is blocked until you disconnect (2).\n\n>> "
# What follows a failure while Tor is confined to a tunnel that no OpenVPN holds up.
CHOOSE_RESET = b"[*] Tor is blocked: choose 3 to put Tails' firewall back.\n"
RESTART_AND_RESET = b"[*] Tor is blocked: start the client again and choose 3 to put Tails' firewall back.\n"
FAILED_EXIT = b"[-] Something went wrong during execution. Did you lose internet access?\n"
NOT_IN_SUDOERS = b"amnesia is not in the sudoers file.\n"


@pytest.fixture
def host(fresh_sandbox):
    return fresh_sandbox()


# A Tails-like system's Python and sudo; what the package pulls in from the
# offline repository (libzip, and OpenVPN with what it needs), which the
# root lacks before; and what Tails lacks too.
TAILS_SYSTEMS = {
    "6": {"python": "3.11", "sudo": "1.9.13", "libzip": ["libzip4"],
          "openvpn": ["liblzo2-2", "libnl-3-200", "libnl-genl-3-200", "libpkcs11-helper1", "openvpn"]},
    "7": {"python": "3.13", "sudo": "1.9.16", "libzip": ["libzip5"],
          "openvpn": ["liblzo2-2", "libnl-3-200", "libnl-genl-3-200", "libpkcs11-helper1t64", "openvpn"]},
}
MISSING_ON_TAILS = ["gcc", "cc", "c++", "make", "cmake", "pip", "pip3", "pkg-config", "/etc/init.d/network-manager"]


@pytest.mark.skipif(TAILS is None, reason="checks a Tails-like system")
def test_a_tails_like_system_has_the_package_and_what_tails_has_only(host):
    system = TAILS_SYSTEMS[TAILS]
    version = host.run(["python3", "-c", "import sys; print('%d.%d' % sys.version_info[:2])"]).stdout
    assert version.decode() == system["python"] + "\n"
    assert host.root("sudo -V").split()[2].decode().startswith(system["sudo"])
    assert host.root(f"for name in {' '.join(MISSING_ON_TAILS)}; do command -v $name; done || true") == b""
    # apt-get installed the package and what it needed, from /srv/tails-apt, the only source.
    history = host.root("cat /var/log/apt/history.log").decode()
    installed = history.split("\nInstall: ")[1].split("\n")[0].split("), ")
    assert sorted(entry.split(":")[0] for entry in installed) == sorted(
        ["marnu-tails-client", *system["libzip"], *([] if OPENVPN_BY_APT else system["openvpn"])])
    assert host.root("cat /etc/apt/sources.list; ls /etc/apt/sources.list.d") == \
        b"deb [trusted=yes] file:/srv/tails-apt ./\n"


# What a booted system runs as Tails does (sandbox/tails_boot.py).
TAILS_UNITS = ["NetworkManager.service", "tor@default.service", "ferm.service", "systemd-journald.service",
               "systemd-logind.service", "tails-tor-has-bootstrapped.target"]


@pytest.mark.skipif(not BOOTED, reason="checks a booted Tails-like system")
def test_a_booted_system_runs_tails_machinery_and_sudo_asks_shows_and_logs_as_on_tails(host):
    assert host.root("cat /proc/1/comm; systemctl is-system-running") == b"systemd\nrunning\n"
    assert host.root(f"systemctl is-active {' '.join(TAILS_UNITS)}").split() == [b"active"] * len(TAILS_UNITS)
    # NetworkManager connected eth0 from its profile, and Tails' dispatcher
    # scripts ran for it: the firewall, then Tor, restarted and connected.
    assert host.root("nmcli -g GENERAL.STATE,GENERAL.CONNECTION device show eth0") == \
        b"100 (connected)\nWired connection 1\n"
    journal = host.journal().decode()
    assert "10-tor.sh: eth0 up: restarting tor@default.service" in journal
    assert "10-tor.sh: eth0 up: Finished" in journal
    assert host.root("test -e /run/tor-has-bootstrapped/done && journalctl --header | grep -c '/run/log/journal'") \
        != b"0\n"
    # amnesia's terminal is a logind session; sudo asks, shows an asterisk
    # for each character typed, and writes the command line to the journal.
    terminal = Terminal(host.command(["sh", "-c", "loginctl --no-pager show-session -p Class -p Type $XDG_SESSION_ID; "
                                      "tty; sudo /usr/bin/echo root marnu-journal-check"]),
                        env=host.environment())
    try:
        terminal.read_until(b"[sudo] password for amnesia: ")
        terminal.type(ADMIN_PASSWORD.encode() + b"\n")
        assert terminal.read_rest() == 0
    finally:
        terminal.close()
    shown = terminal.output.decode()
    assert "Class=user\r\n" in shown and "/dev/pts/" in shown and "root marnu-journal-check\r\n" in shown
    assert "amnesia: " + "*" * len(ADMIN_PASSWORD) in shown
    assert "USER=root ; COMMAND=/usr/bin/echo root marnu-journal-check" in host.journal().decode()


def test_before_connecting_tor_reaches_outside_and_no_tunnel_end_answers(host):
    # The controls for the checks of a connected host: without them, the
    # leak check and the ping could pass for any reason.
    assert as_tor(host, f"http://{UPLINK_ADDRESS}/") == "404"
    assert not ping(host, UDP.tunnel_address)


def test_wrong_password_then_connect_and_disconnect(host, dialogue_on):
    original = rules(host)
    dialogue = dialogue_on(host)
    dialogue.log_in("alice", "not-wonderland")
    dialogue.expect(REFUSAL + MENU)
    dialogue.log_in("alice", "wonderland")
    dialogue.expect(b"[+] Authentication successful.\n")
    dialogue.connect(UDP)
    assert b"wonderland" not in dialogue.terminal.output
    assert len(dialogue.sudo_prompts) == 1 + dialogue.openvpn_installs
    assert_tunnel_up(host, UDP, original)
    # Tor is restarted once its confinement is loaded; where Tails'
    # dispatcher starts it again once tun0 is up, it is only stopped.
    assert calls(host)[-2:] == ["ferm restart", "tor stop" if host.booted else "tor restart"]

    dialogue.type(b"2")
    dialogue.expect(RESTARTS + MENU)
    assert len(dialogue.sudo_prompts) == 2 + dialogue.openvpn_installs
    assert_back_to_original(host, original)
    assert not ping(host, UDP.tunnel_address)
    assert dialogue.quit() == 0


def test_second_connect_switches_servers_and_quit_disconnects(host, dialogue_on):
    original = rules(host)
    dialogue = dialogue_on(host)
    dialogue.log_in("Dave", account("Dave").password)
    dialogue.expect(b"[+] Authentication successful.\n")
    dialogue.connect(UDP)
    first = openvpn_clients(host)

    # Logged in already: no prompts; the keys come through the tunnel.
    dialogue.type(b"1")
    dialogue.connect(TCP, before=DISCONNECTING)
    assert len(openvpn_clients(host)) == 1 and openvpn_clients(host) != first
    assert_tunnel_up(host, TCP, original)
    # (A booted system's services have private folders there, as on Tails.)
    assert [name for name in host.root("ls /tmp").split() if not name.startswith(b"systemd-private-")] == \
        [b"ca.crt", b"config.ovpn", b"dave.crt", b"dave.key", b"ferm.conf.back"]
    assert len(dialogue.sudo_prompts) == 2 + dialogue.openvpn_installs

    assert dialogue.quit() == 0
    dialogue.expect(RESTARTS)
    assert len(dialogue.sudo_prompts) == 3 + dialogue.openvpn_installs
    assert_back_to_original(host, original)


def test_reset_firewall_while_connected_keeps_the_tunnel(host, dialogue_on):
    original = rules(host)
    dialogue = dialogue_on(host)
    dialogue.log_in("alice", "wonderland")
    dialogue.expect(b"[+] Authentication successful.\n")
    dialogue.connect(TCP)
    clients = openvpn_clients(host)

    dialogue.type(b"3")
    dialogue.expect(RESTARTS + CONNECTED_MENU)
    assert len(dialogue.sudo_prompts) == 2 + dialogue.openvpn_installs
    assert openvpn_clients(host) == clients
    assert live_ferm_conf(host) == TAILS_FERM_CONF.read_bytes()
    assert rules(host) == original
    assert ping(host, TCP.tunnel_address)

    # Quit still disconnects; with the saved firewall already moved back, mv complains.
    assert dialogue.quit() == 0
    dialogue.expect(NO_SAVED_FIREWALL + RESTARTS)
    assert_back_to_original(host, original)


@pytest.mark.skipif(TAILS is not None and not OPENVPN_BY_APT, reason="OpenVPN came with the package's Recommends")
def test_connect_installs_a_missing_openvpn_first(fresh_sandbox, dialogue_on):
    # The plain sandbox hides its OpenVPN; a Tails-like system installed the package without it.
    host = fresh_sandbox() if TAILS else fresh_sandbox("--without-openvpn")
    original = rules(host)
    assert host.run(["test", "-e", "/usr/sbin/openvpn"]).returncode == 1
    dialogue = dialogue_on(host)
    dialogue.log_in("alice", "wonderland")
    dialogue.expect(b"[+] Authentication successful.\n")
    dialogue.connect(UDP)
    assert dialogue.openvpn_installs == 1
    if TAILS:
        assert host.root("dpkg-query -W -f '${Status}' openvpn") == b"install ok installed"
    else:
        assert [call for call in calls(host) if call.startswith("apt")] == ["apt update", "apt-get -qq install openvpn"]
    assert len(dialogue.sudo_prompts) == 2
    assert_tunnel_up(host, UDP, original)
    # The keyboard is the menu's again: Disconnect, a second Connect and Quit.
    dialogue.type(b"2")
    dialogue.expect(RESTARTS + MENU)
    assert_back_to_original(host, original)
    dialogue.type(b"1")
    dialogue.connect(TCP)
    assert_tunnel_up(host, TCP, original)
    assert dialogue.quit() == 0
    dialogue.expect(RESTARTS)
    assert_back_to_original(host, original)
    assert len(dialogue.sudo_prompts) == 5


def test_password_with_shell_special_characters_connects(host, dialogue_on):
    bob = account("bob")
    original = rules(host)
    dialogue = dialogue_on(host)
    dialogue.log_in(bob.username, bob.password)
    dialogue.expect(b"[+] Authentication successful.\n")
    dialogue.connect(UDP)
    assert_tunnel_up(host, UDP, original)


def handover_left(host):
    """What is left in /tmp of the FIFOs that hand the password to OpenVPN."""
    return [name for name in host.root("ls -A /tmp").split() if name.startswith(b"marnu-askpass")]


def test_the_account_password_is_in_no_command_line_environment_log_or_shared_file(host, dialogue_on):
    bob = account("bob")
    secret = bob.password.encode()
    # Also a piece that quoting for a shell would leave whole.
    piece = b'pa$$ "word"'
    # What the watch must see, to show that it would see the password.
    canaries = [b"canary-in-a-command-line", b"canary-in-an-environment"]
    watch = ProcessWatch(host, [secret, piece, *canaries])
    host.spawn(["env", b"MARNU_CANARY=" + canaries[1], "sh", "-c", "sleep 60; :", canaries[0]])
    original = rules(host)
    dialogue = dialogue_on(host)
    dialogue.log_in(bob.username, bob.password)
    dialogue.expect(b"[+] Authentication successful.\n")
    dialogue.connect(UDP)
    time.sleep(OUTLIVE_SECONDS)
    assert_tunnel_up(host, UDP, original)
    assert files_holding(host, secret) == []
    # The private key is in its own file only, which no other user may read.
    key_line = host.root("cat /tmp/bob.key").splitlines()[1]
    assert files_holding(host, key_line) == ["/tmp/bob.key"]
    assert host.root("stat -c %a /tmp/bob.key") == b"600\n"

    dialogue.type(b"2")
    dialogue.expect(RESTARTS + MENU)
    assert dialogue.quit() == 0
    found, rounds = watch.stop()
    assert rounds > 50 and all(found[canary] for canary in canaries), (rounds, found)
    assert found[secret] == [] and found[piece] == []
    # Tails' journal, as its bug reports attach it (in the plain sandbox, the
    # file that sudo writes what the journal would hold to): the connection
    # command, without the password.
    journal = host.journal() if host.booted else host.root(f"cat {SUDO_LOG}")
    assert b"openvpn --config /tmp/config.ovpn --askpass /tmp/marnu-askpass-" in journal
    assert secret not in journal and piece not in journal
    assert secret not in dialogue.terminal.output
    assert files_holding(host, secret) == [] and handover_left(host) == []


def test_rejected_key_passphrase_fails_and_debug_dump_leaves_out_secure(host, dialogue_on):
    insecure = account("insecure")
    dialogue = dialogue_on(host, "--debug")
    dialogue.log_in(insecure.username, insecure.password)
    dialogue.expect(b"[+] Authentication successful.\n" + SERVER_LIST + b"\n>> ")
    dialogue.type(b"1")
    dialogue.expect_connecting(UDP)
    # In debug mode each line shows, then an empty line, then its dot. The
    # lines end with an empty line; one that the output holds (systemd's,
    # where apt installed OpenVPN in a booted system) has its dot.
    echoed = []
    while True:
        line = dialogue.line()
        if line == b"\r\n" and not dialogue.next_is(b"\r\n."):
            break
        echoed.append(line)
        dialogue.expect(b"\n.")
    # OpenVPN failed after the firewall switch.
    dialogue.expect(b"[-] Something went wrong.\n" + CHOOSE_RESET)
    dump = b"".join(dialogue.line() for _ in echoed)
    dialogue.expect(b"\n" + MENU)

    output = b"".join(echoed)
    assert b"Cannot load private key file insecure.key\r\n" in output
    assert dump == output.replace(b"secure", b"")
    assert b"Cannot load private key file in.key\r\n" in dump
    assert openvpn_clients(host) == []


# --- the tunnel and the user's terminal ---------------------------------------

# Seconds the tunnel must outlive the client for a test to believe it stays.
OUTLIVE_SECONDS = 3


def connected_dialogue(host, dialogue_on, server):
    dialogue = dialogue_on(host)
    dialogue.log_in("alice", "wonderland")
    dialogue.expect(b"[+] Authentication successful.\n")
    dialogue.connect(server)
    return dialogue


def client_processes(host):
    # The bracket keeps pgrep from finding the shell that runs it.
    return host.root("pgrep -f '[m]arnu-tails-client' || true").split()


@pytest.mark.parametrize("leave", ["ctrl-c", "close-terminal"])
def test_the_tunnel_outlives_a_client_ended_by_its_terminal(host, dialogue_on, leave):
    original = rules(host)
    dialogue = connected_dialogue(host, dialogue_on, UDP)
    clients = openvpn_clients(host)
    if leave == "ctrl-c":
        dialogue.terminal.ctrl_c()
        dialogue.expect(b"^C\n" + INTERRUPTED)
        assert dialogue.terminal.read_rest() == 130
    else:
        dialogue.terminal.hang_up()
    time.sleep(OUTLIVE_SECONDS)
    assert client_processes(host) == []
    assert openvpn_clients(host) == clients
    assert_tunnel_up(host, UDP, original)


def test_openvpn_ending_on_its_own_is_told_at_the_prompt_then_disconnect_and_connect_again(host, dialogue_on):
    original = rules(host)
    dialogue = connected_dialogue(host, dialogue_on, UDP)
    host.root("pkill -KILL -x openvpn")
    dialogue.expect(TUNNEL_ENDED, timeout=5)
    # The menu stays as it was: Disconnect puts Tails' firewall back.
    dialogue.type(b"2")
    dialogue.expect(b"openvpn: no process found\n" + RESTARTS + MENU)
    assert_back_to_original(host, original)
    # The credentials are kept.
    dialogue.type(b"1")
    dialogue.connect(TCP)
    assert_tunnel_up(host, TCP, original)
    assert dialogue.quit() == 0
    assert len(dialogue.sudo_prompts) == 4 + dialogue.openvpn_installs


@pytest.mark.parametrize("server", [UDP, TCP], ids=["udp", "tcp"])
def test_a_network_that_goes_and_comes_back_brings_the_tunnel_back_and_disconnect_works_meanwhile(
        host, dialogue_on, server):
    original = rules(host)
    dialogue = connected_dialogue(host, dialogue_on, server)
    clients = openvpn_clients(host)
    # Gone for a moment: the route to the server goes with the network, and
    # the same OpenVPN builds the tunnel again once it is back.
    host.take_network_away()
    dialogue.expect(TUNNEL_DOWN, timeout=5)
    assert not ping(host, server.tunnel_address)
    time.sleep(2)
    host.give_network_back()
    dialogue.expect(TUNNEL_BACK, timeout=30)
    assert openvpn_clients(host) == clients
    assert_tunnel_up(host, server, original)
    assert host.root(f"ip route get {server.address}").split()[1:5] == [b"via", UPLINK_ADDRESS.encode(), b"dev", b"eth0"]

    # Gone again, and Disconnect while the tunnel is down: nothing more is
    # said of it when the network comes back.
    host.take_network_away()
    dialogue.expect(TUNNEL_DOWN, timeout=5)
    dialogue.type(b"2")
    dialogue.expect(RESTARTS + MENU)
    host.give_network_back()
    assert dialogue.said_within(3) == b""
    assert_back_to_original(host, original)
    assert len(dialogue.sudo_prompts) == 2 + dialogue.openvpn_installs


# As Tor's user: a connection to the provider's web server, made through the
# tunnel; once told, a request on it.
TOR_CONNECTION = """
import socket, sys, time
connection = socket.create_connection((sys.argv[1], 80), timeout=10)
print("connected", flush=True)
sys.stdin.readline()
connection.sendall(b"GET / HTTP/1.0\\r\\n\\r\\n")
time.sleep(2)
print("sent", flush=True)
"""


def test_while_the_tunnel_is_rebuilt_tor_connections_made_through_it_stay_off_the_network(host, dialogue_on):
    connected_dialogue(host, dialogue_on, UDP)
    tor = host.spawn(["python3", "-c", TOR_CONNECTION, PROVIDER_ADDRESS], user="debian-tor",
                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert tor.stdout.readline() == b"connected\n"
        # What arrives from the tunnel's addresses over the uplink, not through the tunnel.
        uplink = ["ip", "netns", "exec", "internet", "iptables-legacy"]
        host.run([*uplink, "-I", "INPUT", "-i", UPLINK_INTERFACE, "-s", TUNNEL_NETWORKS], user="root",
                 outer=True).check_returncode()
        # As while OpenVPN opens the tunnel again: its address stands, its routes do not yet.
        host.root("ip route del 0.0.0.0/1 && ip route del 128.0.0.0/1")
        tor.stdin.write(b"go\n")
        tor.stdin.flush()
        assert tor.stdout.readline() == b"sent\n"
        counters = host.run([*uplink, "-L", "INPUT", "-v", "-x", "-n"], user="root", outer=True).stdout
        assert counters.splitlines()[2].split()[0] == b"0", counters.decode()
    finally:
        tor.kill()
        tor.wait()


def test_connect_after_the_tunnel_ended_ends_the_client_and_tells_how_to_get_tor_back(host, dialogue_on):
    dialogue = connected_dialogue(host, dialogue_on, UDP)
    host.root("pkill -KILL -x openvpn")
    dialogue.expect(TUNNEL_ENDED, timeout=5)
    # Tor is confined to the missing tunnel: the provider is out of reach.
    dialogue.type(b"1")
    dialogue.tor_wait()
    dialogue.expect(b"\n[*] Getting servers...\n\n" + FAILED_EXIT + RESTART_AND_RESET)
    assert dialogue.terminal.read_rest() == 0


def test_ctrl_c_while_connecting_stops_the_attempt_and_tells_how_to_get_tor_back(host, dialogue_on):
    # A server that never answers: OpenVPN goes on trying until stopped.
    original = rules(host)
    dialogue = dialogue_on(host)
    connect_to_a_silent_server(host, dialogue)
    dialogue.terminal.ctrl_c()
    # Dots, the ^C the terminal echoes, and the dots of OpenVPN's last words.
    failed = dialogue.terminal.read_until(b"\r\n[-] Something went wrong.\r\n", timeout=15)
    assert set(failed[dialogue.seen:failed.rindex(b"\r\n[-]")].replace(b"^C", b"")) <= {ord(".")}
    dialogue.seen = dialogue.terminal.consumed
    dialogue.expect(CHOOSE_RESET + MENU)
    assert openvpn_clients(host) == [] and handover_left(host) == []
    dialogue.type(b"3")
    dialogue.expect(RESTARTS + MENU)
    assert_back_to_original(host, original)


def test_sudo_refusing_is_followed_by_the_administration_password_line(fresh_sandbox, dialogue_on):
    host = fresh_sandbox("--sudo", "refuse")
    original = rules(host)
    dialogue = dialogue_on(host)
    dialogue.log_in("alice", "wonderland")
    dialogue.expect(b"[+] Authentication successful.\n" + SERVER_LIST + b"\n>> ")
    dialogue.type(b"1")
    # Where OpenVPN is missing, the "apt update" before its installation is refused first.
    missing = host.run(["test", "-e", "/usr/sbin/openvpn"]).returncode != 0
    dialogue.expect(CONFIGURING + (INSTALLING_OPENVPN + NOT_IN_SUDOERS if missing else b"")
                    + b"\r[+] Connecting to Sandbox-UDP VPN server\n.\n[-] Something went wrong.\n"
                    + ADMIN_PASSWORD_LINE + MENU)
    assert rules(host) == original
    assert dialogue.quit() == 0


# --- what a client leaves, and what the next one finds -------------------------

WRONG_PASSWORD_THRICE = b"Sorry, try again.\n" * 2 + b"sudo: 3 incorrect password attempts\n"
NOTHING_CHANGED = (b"[-] Nothing was changed: the administration password was not accepted. "
                   b"The VPN connection is still up.\n")


def test_a_disconnect_that_sudo_refuses_says_so_and_the_tunnel_stays_connected(host, dialogue_on):
    original = rules(host)
    dialogue = connected_dialogue(host, dialogue_on, UDP)
    clients = openvpn_clients(host)
    dialogue.sudo.password = b"not-the-administration-password"
    dialogue.type(b"2")
    dialogue.expect(WRONG_PASSWORD_THRICE + NOTHING_CHANGED + CONNECTED_MENU)
    assert openvpn_clients(host) == clients
    assert_tunnel_up(host, UDP, original)
    dialogue.sudo.password = ADMIN_PASSWORD.encode()
    dialogue.type(b"2")
    dialogue.expect(RESTARTS + MENU)
    assert_back_to_original(host, original)


def interrupted_while_connected(host, dialogue_on):
    dialogue = connected_dialogue(host, dialogue_on, UDP)
    dialogue.terminal.ctrl_c()
    dialogue.expect(b"^C\n" + INTERRUPTED)
    assert dialogue.terminal.read_rest() == 130


@pytest.mark.parametrize("then", ["disconnect", "watch it through a network loss", "connect to the other server",
                                  "reset, then start again"])
def test_a_client_started_again_finds_the_tunnel_an_earlier_run_left(host, dialogue_on, then):
    original = rules(host)
    interrupted_while_connected(host, dialogue_on)
    left = openvpn_clients(host)
    again = dialogue_on(host, first=LEFT_UP + CONNECTED_MENU)
    if then == "disconnect":
        again.type(b"2")
        again.expect(RESTARTS + MENU)
        assert_back_to_original(host, original)
    elif then == "watch it through a network loss":
        # The tunnel is this run's to watch over, as if it had made it.
        host.take_network_away()
        again.expect(TUNNEL_DOWN, timeout=5)
        host.give_network_back()
        again.expect(TUNNEL_BACK, timeout=30)
        assert openvpn_clients(host) == left
        assert_tunnel_up(host, UDP, original)
    elif then == "connect to the other server":
        again.log_in("alice", "wonderland")
        again.expect(b"[+] Authentication successful.\n")
        again.connect(TCP, before=DISCONNECTING)
        # One tunnel: the old OpenVPN and its device are gone, and Tor's rule names the new one's.
        assert len(openvpn_clients(host)) == 1 and openvpn_clients(host) != left
        assert host.root("ip -br link show type tun").split()[0::3] == [b"tun0"]
        assert b"outerface tun0 mod owner uid-owner debian-tor" in live_ferm_conf(host)
        assert_tunnel_up(host, TCP, original)
        assert again.quit() == 0
        assert_back_to_original(host, original)
    else:
        # Tails' firewall back, OpenVPN left running: the next run offers to stop it.
        again.type(b"3")
        again.expect(RESTARTS + CONNECTED_MENU)
        again.terminal.ctrl_c()
        again.expect(b"^C\n" + INTERRUPTED)
        assert again.terminal.read_rest() == 130
        assert openvpn_clients(host) == left
        third = dialogue_on(host, first=LEFT_OUTSIDE + CONNECTED_MENU)
        third.type(b"2")
        third.expect(NO_SAVED_FIREWALL + RESTARTS + MENU)
        assert_back_to_original(host, original)


# Started with the session's first test (tests/silent_attempt.py), checked last.
@pytest.mark.runs_last
def test_a_connect_to_a_server_that_never_answers_ends_after_two_minutes_with_nothing_left(silent_attempt):
    assert silent_attempt is not None
    host, dialogue = silent_attempt.host, silent_attempt.dialogue
    failed, after_seconds = silent_attempt.failure()
    # OpenVPN's two minutes count from its first line, a moment before it tries.
    assert 110 < after_seconds < 135
    assert set(failed[dialogue.seen:failed.rindex(b"\r\n[-]")]) <= {ord(".")}
    dialogue.seen = dialogue.terminal.consumed
    dialogue.expect(CHOOSE_RESET + MENU)
    assert openvpn_clients(host) == [] and handover_left(host) == []
    dialogue.type(b"3")
    dialogue.expect(RESTARTS + MENU)
    assert_back_to_original(host, silent_attempt.original)
