"""The whole client in the simulated Tails host, driven through a
pseudo-terminal as a person would: login, server choice, a real OpenVPN
tunnel under Tails' real firewall, disconnect, reset and quit.

Each test has a host of its own (tests/sandbox_support.py); the client runs
as amnesia, and the checks of the host's state run as root beside it."""

import os
import select
import sys
import time
from pathlib import Path

import pytest

from sandbox.accounts import UPLINK_ADDRESS, PROVIDER_ADDRESS, VPN_SERVERS, account
from sandbox.host_config import CALL_LOG, TAILS_FERM_CONF
from sandbox_support import fresh_sandbox, needs_sandbox, sandbox_pki  # noqa: F401
from terminal import Terminal

pytestmark = needs_sandbox

CLIENT = str(Path(sys.executable).parent / "marnu-tails-client")
UDP, TCP = VPN_SERVERS

MENU = b"\nWhat do you want to do?\n1. Connect.\n3. Reset firewall settings.\n4. Quit.\n\n>> "
CONNECTED_MENU = (b"\nWhat do you want to do? [CONNECTED]\n1. Connect.\n2. Disconnect.\n"
                  b"3. Reset firewall settings.\n4. Quit.\n\n>> ")
AUTHENTICATING = b"\n[*] Authenticating, please wait... \n"
REFUSAL = b"[-] Could not communicate with server, wrong credentials or could not connect to server.\n"
SERVER_LIST = b"\n[*] Getting servers...\n\n" + b"".join(
    b"%d. %s\n" % (number, server.name.encode()) for number, server in enumerate(VPN_SERVERS, start=1))
CONFIGURING = b"\n[+] Configuring VPN settings.\n[+] Configuring firewall.\n\n"
FERM_RESTART = b"Reloading Firewall configuration....\n"
STAND_IN = b"[sandbox] /etc/init.d/%s restart: stand-in, nothing to do.\n"
RESTARTS = STAND_IN % b"network-manager" + FERM_RESTART + STAND_IN % b"tor"
NO_SAVED_FIREWALL = b"mv: cannot stat '/tmp/ferm.conf.back': No such file or directory\n"


def connected_lines(server):
    name = server.name.encode()
    return (b"\n[+] Connected to " + name + b" VPN server.\n"
            b"[*] Use option 2 to disconnect, 4 to quit. Do NOT use CTRL + C to quit the program.\n")


class Dialogue:
    """The client's console, read exactly: every expected text must come
    next, byte for byte (the terminal turns each "\\n" into "\\r\\n")."""

    def __init__(self, host, *arguments):
        self.terminal = Terminal(host.command([CLIENT, *arguments]), env=host.environment())
        self.seen = 0

    def _read_to(self, length, timeout):
        deadline = time.monotonic() + timeout
        while len(self.terminal.output) < length:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"waiting for more output; so far: {self.terminal.output[self.seen:]!r}")
            ready, _, _ = select.select([self.terminal.master], [], [], remaining)
            if ready:
                self.terminal.output += self._chunk()

    def _chunk(self):
        try:
            chunk = os.read(self.terminal.master, 65536)
        except OSError:  # the client has ended and closed the terminal
            chunk = b""
        if not chunk:
            raise EOFError(f"the client ended; unread: {self.terminal.output[self.seen:]!r}")
        return chunk

    def expect(self, text, timeout=60):
        wanted = text.replace(b"\n", b"\r\n")
        self._read_to(self.seen + len(wanted), timeout)
        got = self.terminal.output[self.seen:self.seen + len(wanted)]
        assert got == wanted, f"\nexpected {wanted!r}\nbut got  {got!r}"
        self.seen += len(wanted)

    def type(self, reply):
        """Types a line at a prompt shown with echo on; the echo comes back."""
        self.terminal.type(reply + b"\n")
        self.expect(reply + b"\n")

    def dots(self, timeout=120):
        """Reads a run of progress dots; returns how many."""
        count = 0
        while True:
            self._read_to(self.seen + 1, timeout)
            if self.terminal.output[self.seen:self.seen + 1] != b".":
                return count
            self.seen += 1
            count += 1

    def line(self, timeout=60):
        """Reads one whole line, whatever it holds."""
        deadline = time.monotonic() + timeout
        end = self.terminal.output.find(b"\r\n", self.seen)
        while end < 0:
            self._read_to(len(self.terminal.output) + 1, max(deadline - time.monotonic(), 0.01))
            end = self.terminal.output.find(b"\r\n", self.seen)
        line = self.terminal.output[self.seen:end + 2]
        self.seen = end + 2
        return line

    def start(self):
        """Skips the banner up to the first menu."""
        self.terminal.read_until(b">> ")
        self.seen = self.terminal.output.index(b">> ") + 3 - len(MENU.replace(b"\n", b"\r\n"))
        self.expect(MENU)

    def log_in(self, username, password):
        self.type(b"1")
        self.expect(b"\nUsername: ")
        self.type(username.encode())
        self.expect(b"Password: ")
        assert not self.terminal.echo_enabled()
        self.terminal.type(password.encode() + b"\n")
        self.expect(b"\n" + AUTHENTICATING)

    def connect(self, server, before=b""):
        """Picks `server` from the list and expects the connection to come up."""
        self.expect(SERVER_LIST + b"\n>> ")
        self.type(b"%d" % (VPN_SERVERS.index(server) + 1))
        self.expect(CONFIGURING + before + b"\r[+] Connecting to " + server.name.encode() + b" VPN server\n")
        assert self.dots() > 0
        self.expect(connected_lines(server) + CONNECTED_MENU)

    def quit(self):
        self.type(b"4")
        return self.terminal.read_rest(timeout=60)

    def close(self):
        self.terminal.close()


@pytest.fixture
def host(fresh_sandbox):
    return fresh_sandbox()


@pytest.fixture
def dialogue_on():
    dialogues = []

    def start(host, *arguments):
        dialogue = Dialogue(host, *arguments)
        dialogues.append(dialogue)
        dialogue.start()
        return dialogue

    yield start
    for dialogue in dialogues:
        dialogue.close()


# ---- what the host looks like ---------------------------------------------

def rules(host):
    return host.root("iptables-legacy -S").decode().splitlines()


def root_rule(server):
    return (f"-A OUTPUT -d {server.address}/32 -p {server.proto} -m {server.proto} --dport {server.port} "
            "-m owner --uid-owner 0 -j ACCEPT")


def tor_rules(host):
    uid = host.root("id -u debian-tor").decode().strip()
    return [rule for rule in rules(host) if f"--uid-owner {uid} " in rule]


def openvpn_clients(host):
    return host.root("pgrep -x openvpn || true").split()


def calls(host):
    return host.root(f"cat {CALL_LOG}").decode().splitlines()


def as_tor(host, url):
    """Fetches `url` as Tor's user, straight (not through the proxy): the HTTP status or None."""
    result = host.run(["curl", "-s", "-o", "/dev/null", "--max-time", "20", "-w", "%{http_code}", url],
                      user="debian-tor")
    return result.stdout.decode() if result.returncode == 0 else None


def ping(host, address):
    return host.run(["ping", "-c", "1", "-W", "3", address], user="root").returncode == 0


def live_ferm_conf(host):
    return host.root("cat /etc/ferm/ferm.conf")


def assert_tunnel_up(host, server, original_rules):
    assert host.root("ip -br addr show tun0").split()[2:3] == [
        (server.network.rsplit(".", 1)[0] + ".2/24").encode()]
    assert ping(host, server.tunnel_address)
    now = rules(host)
    # The one new root rule is the chosen server's; every Tor rule is confined to tun0.
    added = [rule for rule in now if rule not in original_rules and "--uid-owner 0 " in rule]
    assert added == [root_rule(server)]
    assert tor_rules(host) and all(" -o tun0 " in rule for rule in tor_rules(host))
    # Tor's user reaches the provider through the tunnel, and nothing outside it.
    route = host.root(f"ip route get {PROVIDER_ADDRESS}").split()
    assert route[route.index(b"dev") + 1] == b"tun0"
    assert as_tor(host, f"http://{PROVIDER_ADDRESS}/") == "404"
    assert as_tor(host, f"http://{UPLINK_ADDRESS}/") is None


def assert_back_to_original(host, original_rules):
    assert openvpn_clients(host) == []
    assert live_ferm_conf(host) == TAILS_FERM_CONF.read_bytes()
    assert rules(host) == original_rules
    assert calls(host)[-3:] == ["network-manager restart", "ferm restart", "tor restart"]


# ---- the tests --------------------------------------------------------------

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
    assert_tunnel_up(host, UDP, original)
    assert calls(host)[-1] == "ferm restart"

    dialogue.type(b"2")
    dialogue.expect(RESTARTS + MENU)
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
    dialogue.connect(TCP, before=b"[+] Disconnecting from current VPN server.\n")
    assert len(openvpn_clients(host)) == 1 and openvpn_clients(host) != first
    assert_tunnel_up(host, TCP, original)
    assert host.root("ls /tmp").split() == [b"ca.crt", b"config.ovpn", b"dave.crt", b"dave.key", b"ferm.conf.back"]

    assert dialogue.quit() == 0
    dialogue.expect(RESTARTS)
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
    assert openvpn_clients(host) == clients
    assert live_ferm_conf(host) == TAILS_FERM_CONF.read_bytes()
    assert rules(host) == original
    assert ping(host, TCP.tunnel_address)

    # Quit still disconnects; with the saved firewall already moved back, mv complains.
    assert dialogue.quit() == 0
    dialogue.expect(NO_SAVED_FIREWALL + RESTARTS)
    assert_back_to_original(host, original)


def test_connect_installs_a_missing_openvpn_first(fresh_sandbox, dialogue_on):
    host = fresh_sandbox("--without-openvpn")
    original = rules(host)
    assert host.run(["test", "-e", "/usr/sbin/openvpn"]).returncode == 1
    dialogue = dialogue_on(host)
    dialogue.log_in("alice", "wonderland")
    dialogue.expect(b"[+] Authentication successful.\n")
    dialogue.connect(UDP, before=b"[-] OpenVPN is not installed.\n"
                                 b"[+] OpenVPN will be installed using apt... this will take a while\n\n"
                                 b"[sandbox] apt update: stand-in, no package index is fetched.\n")
    assert [call for call in calls(host) if call.startswith("apt")] == ["apt update", "apt-get -qq install openvpn"]
    assert_tunnel_up(host, UDP, original)


def test_password_with_shell_special_characters_connects(host, dialogue_on):
    bob = account("bob")
    original = rules(host)
    dialogue = dialogue_on(host)
    dialogue.log_in(bob.username, bob.password)
    dialogue.expect(b"[+] Authentication successful.\n")
    dialogue.connect(UDP)
    assert_tunnel_up(host, UDP, original)


def test_rejected_key_passphrase_fails_and_debug_dump_leaves_out_secure(host, dialogue_on):
    insecure = account("insecure")
    dialogue = dialogue_on(host, "--debug")
    dialogue.log_in(insecure.username, insecure.password)
    dialogue.expect(b"[+] Authentication successful.\n" + SERVER_LIST + b"\n>> ")
    dialogue.type(b"1")
    dialogue.expect(CONFIGURING + b"\r[+] Connecting to Sandbox-UDP VPN server\n")
    # In debug mode each line shows, then an empty line, then its dot.
    echoed = []
    while True:
        line = dialogue.line()
        if line == b"\r\n":
            break
        echoed.append(line)
        dialogue.expect(b"\n.")
    dialogue.expect(b"[-] Something went wrong.\n")
    dump = b"".join(dialogue.line() for _ in echoed)
    dialogue.expect(b"\n" + MENU)

    output = b"".join(echoed)
    assert b"Cannot load private key file insecure.key\r\n" in output
    assert dump == output.replace(b"secure", b"")
    assert b"Cannot load private key file in.key\r\n" in dump
    assert openvpn_clients(host) == []
