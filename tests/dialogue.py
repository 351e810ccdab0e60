"""The client's console in the simulated Tails host, driven through a
pseudo-terminal as a person would, and the texts it shows, byte for byte.
sudo's password prompts are answered with the administration password and
kept out of those texts (tests/sudo_prompts.py)."""

import time

import pytest

from sandbox.accounts import ADMIN_PASSWORD, VPN_SERVERS
from sandbox_support import BOOTED, REAL_TOR, TAILS
from sudo_prompts import SudoPrompts
from terminal import Terminal

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
# Debian's own init script restarts real Tor (sandbox/run --tor real).
TOR_RESTART = b"Stopping tor daemon...done.\nStarting tor daemon...done.\n" if REAL_TOR else STAND_IN % b"tor"
# Where systemd is PID 1, Debian's init scripts hand the restart to systemctl.
BOOTED_RESTARTS = b"Restarting ferm (via systemctl): ferm.service.\nRestarting tor (via systemctl): tor.service.\n"
if BOOTED:
    FERM_RESTART, TOR_RESTART = (line + b"\n" for line in BOOTED_RESTARTS.splitlines())
# A Tails-like system has no NetworkManager init script, and nothing says so.
RESTARTS = (b"" if TAILS else STAND_IN % b"network-manager") + FERM_RESTART + TOR_RESTART
INSTALLING_OPENVPN = (b"[-] OpenVPN is not installed.\n"
                      b"[+] OpenVPN will be installed using apt... this will take a while\n\n")
APT_UPDATE_STAND_IN = b"[sandbox] apt update: stand-in, no package index is fetched.\n"
INTERRUPTED = (b"[-] Interrupted: a VPN tunnel and firewall changes that were up stay as they are "
               b"(use Disconnect or Reset firewall settings next time).\n")
NO_SAVED_FIREWALL = b"mv: cannot stat '/tmp/ferm.conf.back': No such file or directory\n"
DISCONNECTING = b"[+] Disconnecting from current VPN server.\n"
# Where Tails marks a Tor that has bootstrapped (a booted system), a Connect
# chosen while Tor restarts (after Disconnect, Reset, a tunnel's coming up)
# first waits for it.
WAITING_FOR_TOR = b"[*] Waiting for Tor to be ready...\n"
# What the client says, wherever it waits at a prompt, when the tunnel goes
# down under it and when it is back.
TUNNEL_DOWN = (b"\n\n[-] The VPN connection is down: it is being re-established, and Tor waits until it is back.\n"
               b"\n>> ")
TUNNEL_BACK = b"\n\n[+] The VPN connection is back up: Tor goes through it again.\n\n>> "
# What a client that starts says of a tunnel an earlier run left.
LEFT_UP = b"[*] A VPN connection from an earlier run is still up: choose 2 to disconnect.\n"
LEFT_OUTSIDE = (b"[*] An OpenVPN connection runs outside the client's firewall, and Tor does not use it: "
                b"choose 2 to stop it.\n")


def connected_lines(server):
    name = server.name.encode()
    return (b"\n[+] Connected to " + name + b" VPN server.\n"
            b"[*] Use option 2 to disconnect, 4 to quit. Do NOT use CTRL + C to quit the program.\n")


class Dialogue:
    """The client's console, read exactly: every expected text must come
    next, byte for byte (the terminal turns each "\\n" into "\\r\\n")."""

    def __init__(self, host, *arguments, sudo_password=ADMIN_PASSWORD):
        self.host = host
        self.sudo = SudoPrompts(lambda line: self.terminal.type(line), sudo_password.encode(),
                                feedback=getattr(host, "booted", False))
        self.terminal = Terminal(host.command([host.client, *arguments]), env=host.environment(),
                                 on_output=self.sudo.feed, end_output=self.sudo.end)
        self.seen = 0
        # How many Connects installed OpenVPN first; None until the host has been asked.
        self.openvpn_installs = 0
        self.openvpn_present = None

    @property
    def sudo_prompts(self):
        """Where each sudo prompt answered so far stood in the transcript (terminal.output)."""
        return self.sudo.answered

    def sudo_prompts_after(self, position):
        """How many sudo prompts were answered at or after `position` of the transcript."""
        return sum(1 for place in self.sudo.answered if place >= position)

    def _read_to(self, length, timeout):
        deadline = time.monotonic() + timeout
        while len(self.terminal.output) < length:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"waiting for more output; so far: {self.terminal.output[self.seen:]!r}")
            if self.terminal.receive(remaining) is None:
                raise EOFError(f"the client ended; unread: {self.terminal.output[self.seen:]!r}")

    def expect(self, text, timeout=60):
        """Reads `text` next; fails at the first byte that differs, without waiting for the rest."""
        wanted = text.replace(b"\n", b"\r\n")
        deadline = time.monotonic() + timeout
        while True:
            got = self.terminal.output[self.seen:self.seen + len(wanted)]
            assert got == wanted[:len(got)], f"\nexpected {wanted!r}\nbut got  {got!r}"
            if len(got) == len(wanted):
                break
            self._read_to(self.seen + len(got) + 1, deadline - time.monotonic())
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

    def said_within(self, seconds):
        """What the client writes, unread so far, within the next `seconds`."""
        deadline = time.monotonic() + seconds
        while (remaining := deadline - time.monotonic()) > 0 and self.terminal.receive(remaining) is not None:
            pass
        return self.terminal.output[self.seen:]

    def next_is(self, text, timeout=60):
        """Whether the output goes on with `text` (as the terminal shows it), without reading it."""
        self._read_to(self.seen + len(text), timeout)
        return self.terminal.output[self.seen:self.seen + len(text)] == text

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

    def start(self, first=MENU):
        """Skips the banner up to `first`, the texts up to the first prompt."""
        self.terminal.read_until(b">> ")
        self.seen = self.terminal.output.index(b">> ") + 3 - len(first.replace(b"\n", b"\r\n"))
        self.expect(first)

    def log_in(self, username, password):
        self.type(b"1")
        self.expect(b"\nUsername: ")
        self.type(username.encode())
        self.expect(b"Password: ")
        assert not self.terminal.echo_enabled()
        self.terminal.type(password.encode() + b"\n")
        self.expect(b"\n")
        self.tor_wait()
        self.expect(AUTHENTICATING)

    def tor_wait(self):
        """Reads the client's line that it waits for a restarting Tor, if
        that comes next: whether it does depends on Tor's timing."""
        if self.next_is(WAITING_FOR_TOR.replace(b"\n", b"\r\n")):
            self.expect(WAITING_FOR_TOR)

    def expect_apt_update(self):
        """Reads what `apt update` shows: the stand-in's line, or a Tails-like
        system's real apt, whose progress texts come in no fixed pieces: its
        fetch from the offline repository and its last line are checked."""
        if not self.host.tails:
            self.expect(APT_UPDATE_STAND_IN)
            return
        last = b"All packages are up to date.\r\n"
        while (end := self.terminal.output.find(last, self.seen)) < 0:
            self._read_to(len(self.terminal.output) + 1, 120)
        shown = self.terminal.output[self.seen:end + len(last)]
        assert b"file:/srv/tails-apt ./ Release [" in shown, shown
        self.seen = end + len(last)

    def expect_connecting(self, server, before=b""):
        """Expects the texts from the choice of `server` to its "Connecting"
        line, with OpenVPN's installation first when the host lacks it."""
        if self.openvpn_present is None:
            self.openvpn_present = self.host.run(["test", "-e", "/usr/sbin/openvpn"]).returncode == 0
        if self.openvpn_present:
            self.expect(CONFIGURING + before)
        else:
            self.expect(CONFIGURING + INSTALLING_OPENVPN)
            self.expect_apt_update()
            self.expect(before)
            self.openvpn_installs += 1
            self.openvpn_present = True
        self.expect(b"\r[+] Connecting to " + server.name.encode() + b" VPN server\n")

    def connect(self, server, before=b""):
        """Picks `server` from the list and expects the connection to come up."""
        self.tor_wait()
        self.expect(SERVER_LIST + b"\n>> ")
        self.type(b"%d" % (VPN_SERVERS.index(server) + 1))
        self.expect_connecting(server, before)
        assert self.dots() > 0
        self.expect(connected_lines(server) + CONNECTED_MENU)

    def start_connected(self, server, username="alice", password="wonderland"):
        """Starts the client, logs in and connects to `server`."""
        self.start()
        self.log_in(username, password)
        self.expect(b"[+] Authentication successful.\n")
        self.connect(server)

    def quit(self):
        self.type(b"4")
        return self.terminal.read_rest(timeout=60)

    def close(self):
        self.terminal.close()


@pytest.fixture
def dialogue_on():
    dialogues = []

    def start(host, *arguments, first=MENU):
        dialogue = Dialogue(host, *arguments)
        dialogues.append(dialogue)
        dialogue.start(first)
        return dialogue

    yield start
    for dialogue in dialogues:
        dialogue.close()
