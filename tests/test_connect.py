"""connect: the connection command line, the install and disconnect steps in
front of it, and how the password reaches OpenVPN.

Every child is isolated (private /tmp, /etc/ferm, /usr/sbin); `sudo` is a
fake first on PATH. Where real bash runs the command line, the network is
private too and openvpn, killall and the init scripts are fakes."""

import json
import os
import pwd
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import FakeSudo, needs_isolation, run_python
from host_fakes import PRELUDE, FakeHost

pytestmark = needs_isolation

SERVER = {"name": "Alpha", "address": "192.0.2.10", "port": "1194", "proto": "udp"}
CONNECTING = b"\r[+] Connecting to Alpha VPN server\n"
INSTALL_MESSAGES = (
    b"[-] OpenVPN is not installed.\n"
    b"[+] OpenVPN will be installed using apt... this will take a while\n\n"
)
DISCONNECTING = b"[+] Disconnecting from current VPN server.\n"
INSTALL_STEP = "apt-get -qq install openvpn 2> /dev/null && "
STOP_STEP = "killall -w openvpn && "
# Where systemd runs, Tor's start limit is cleared first; where Tails'
# dispatcher starts Tor again once tun0 is up, Tor is only stopped, and
# elsewhere the command restarts it.
SWITCH_AND_RUN = (
    "mv -f /tmp/ferm.conf /etc/ferm/ferm.conf && /etc/init.d/ferm restart && ("
    "[ ! -d /run/systemd/system ] || systemctl reset-failed tor@default.service 2> /dev/null; "
    "if [ -x /etc/NetworkManager/dispatcher.d/10-tor.sh ]; then /etc/init.d/tor stop; "
    "else /etc/init.d/tor restart; fi || true) && "
    "openvpn --config /tmp/config.ovpn"
)


# OpenVPN reads the password from a FIFO in a folder of the client's own.
ASKPASS = r"/tmp/marnu-askpass-\d+\.[A-Za-z0-9]{6}/askpass"
# Its management socket answers the user who runs the client, and no other.
MANAGEMENT = ["--management", "/run/marnu-openvpn.sock", "unix",
              "--management-client-user", pwd.getpwuid(os.getuid()).pw_name]


def askpass_of(command, step=""):
    """The FIFO that the command line names; fails unless the line is the
    fixed one for `step`."""
    match = re.fullmatch(re.escape(f"sudo bash -c '{step}{SWITCH_AND_RUN} --askpass ") + f"({ASKPASS})" +
                         re.escape(" " + " ".join(MANAGEMENT) + "'"), command)
    assert match, command
    return match[1]


# --- the command line, with the monitor replaced ----------------------------

RECORDED = """
ensure_isolated()
require_fake_sudo({sudo!r})
openvpn_at_usr_sbin(present={present})
import marnu_tails_client as m
m.CONNECTED = {connected}
server = {server!r}
commands = []
def execute(command, record):
    print("<execute>", record is server)
    commands.append(command)
    return 0
m.execute_connection_command = execute
try:
    print(m.connect(server, {password!r}))
except Exception as e:
    print(f"<{{type(e).__name__}}: {{e}}>")
print(m.CONNECTED)
with open({out!r}, "w") as f:
    json.dump(commands, f)
"""


def connect_recorded(tmp_path, password, *, present, connected):
    """connect() with execute_connection_command replaced: the console output,
    the command lines it was handed and the calls of sudo."""
    sudo = FakeSudo(tmp_path / "sudo", output="<apt update>\n")
    out = tmp_path / "commands.json"
    code = PRELUDE + RECORDED.format(
        sudo=sudo.path, present=present, connected=connected, server=SERVER, password=password, out=str(out)
    )
    result = run_python(code, path_prefix=sudo.path, isolate=True)
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout, json.loads(out.read_text()), sudo.calls()


@pytest.mark.parametrize(
    "present, connected, before, step, sudo_calls",
    [
        (True, False, b"", "", []),
        (True, True, DISCONNECTING, STOP_STEP, []),
        (False, False, INSTALL_MESSAGES + b"<apt update>\n", INSTALL_STEP, [["bash", "-c", "apt update"]]),
        # Missing OpenVPN is installed; CONNECTED is not looked at then.
        (False, True, INSTALL_MESSAGES + b"<apt update>\n", INSTALL_STEP, [["bash", "-c", "apt update"]]),
    ],
    ids=["present", "present-connected", "missing", "missing-connected"],
)
def test_command_line_for_openvpn_present_or_missing_and_connected_or_not(
    tmp_path, present, connected, before, step, sudo_calls
):
    stdout, commands, calls = connect_recorded(tmp_path, "hunter2", present=present, connected=connected)
    assert stdout == before + b"<execute> True\nNone\n" + str(connected).encode() + b"\n"
    assert len(commands) == 1 and askpass_of(commands[0], step)
    assert calls == sudo_calls


@pytest.mark.parametrize(
    "password, failure",
    [
        ("pass\0word", "<ValueError: The password holds a NUL character, which cannot be handed to OpenVPN>"),
        ("pass\nword", "<ValueError: The password holds a line end, which cannot be handed to OpenVPN>"),
        ("password\r", "<ValueError: The password holds a line end, which cannot be handed to OpenVPN>"),
        (b"hunter2", "<TypeError: password must be text (str), not bytes>"),
    ],
    ids=["NUL", "line feed", "carriage return", "bytes"],
)
@pytest.mark.parametrize("present", [True, False])
def test_password_that_cannot_be_carried_fails_before_anything_runs(tmp_path, password, failure, present):
    stdout, commands, calls = connect_recorded(tmp_path, password, present=present, connected=False)
    assert stdout == failure.encode() + b"\nFalse\n"
    assert commands == [] and calls == []


# --- real bash runs the command line ----------------------------------------

CARRY = """
ensure_isolated()
{setup}
import marnu_tails_client as m
os.chdir("/tmp")  # the client's working directory once servers are listed
with open({passwords_file!r}) as f:
    passwords = json.load(f)
commands = []
original = m.execute_connection_command
def recording(command, server):
    commands.append(command)
    return original(command, server)
m.execute_connection_command = recording
m.CONNECTED = {connected}
results = []
for index, password in enumerate(passwords):
    with open("/tmp/ferm.conf", "w") as f:
        f.write(f"rewrite {{index}}\\n")
    for path in ({askpass!r}, {args!r}):
        if os.path.exists(path):
            os.remove(path)
    m.connect({{"name": "Alpha"}}, password)
    entry = {{"command": commands[-1], "askpass": None, "args": None, "connected": m.CONNECTED}}
    if os.path.exists({askpass!r}):
        with open({askpass!r}, "rb") as f:
            entry["askpass"] = f.read().hex()
    if os.path.exists({args!r}):
        with open({args!r}) as f:
            entry["args"] = f.read().splitlines()
    entry["live"] = open("/etc/ferm/ferm.conf").read() if os.path.exists("/etc/ferm/ferm.conf") else None
    results.append(entry)
with open({out!r}, "w") as f:
    json.dump({{"results": results, "tmp": sorted(os.listdir("/tmp"))}}, f)
"""


def connect_through_bash(directory, passwords, connected=False, openvpn_says="", tor_restart_status=0,
                         systemd=False):
    """connect() for each password, with real bash running the command line
    through the fake sudo; what the fake openvpn saw, per password."""
    host = FakeHost(directory, tor_restart_status=tor_restart_status, systemd=systemd)
    passwords_file = directory / "passwords.json"
    passwords_file.write_text(json.dumps(passwords))
    out = directory / "results.json"
    code = PRELUDE + CARRY.format(
        setup=host.setup_code(), passwords_file=str(passwords_file), connected=connected,
        askpass=str(host.askpass), args=str(host.openvpn_args), out=str(out),
    )
    result = run_python(code, path_prefix=host.bin, isolate=True, env={"OPENVPN_SAYS": openvpn_says},
                        timeout=180)
    assert result.returncode == 0, result.stderr.decode()
    report = json.loads(out.read_text())
    return result.stdout, report["results"], report["tmp"], host


def assert_carried(password, entry):
    assert entry["askpass"] is not None, "openvpn did not run"
    assert bytes.fromhex(entry["askpass"]) == password.encode() + b"\n"
    # The line is the fixed one, whatever the password: it holds none of it.
    assert entry["args"] == ["--config", "/tmp/config.ovpn", "--askpass", askpass_of(entry["command"]), *MANAGEMENT]


HOSTILE = [
    "it's", 'say "hi"', "back\\slash\\", "$HOME", "${PATH}", "$(touch /tmp/canary)", "`touch /tmp/canary`",
    "'$(touch /tmp/canary)'", "'; touch /tmp/canary; echo '", "')", "wow!!", "!$", "wild*card", "[a-z]?",
    "semi;colon", "a&b", "a&&touch /tmp/canary", "a|b", "<in", ">/tmp/canary", "two  spaces ", " lead",
    "tab\there", "-dash", "-n", "-e", "-E", "-ne", "--help", "%s\\n%d", "~root", "a#b", "{a,b}",
    "pässwörd", "пароль", "密码", "😀 emoji", "\\'\\\"", "'", "''", "\\",
    "x" * 4096, "é" * 2048,
]
PLAIN = ["hunter2", "", "x", "Aa0_.,+@%=:/-", "x-n", "user@example.org:8443/path%20=1,2+3"]


@pytest.fixture(scope="module")
def carried(tmp_path_factory):
    directory = tmp_path_factory.mktemp("carry")
    stdout, results, tmp, _ = connect_through_bash(directory, HOSTILE + PLAIN)
    return stdout, dict(zip(HOSTILE + PLAIN, results)), tmp


@pytest.mark.parametrize("password", HOSTILE + PLAIN, ids=lambda p: p if len(p) < 40 else f"{p[0]}*{len(p)}")
def test_openvpn_reads_exactly_the_password_whatever_it_holds(carried, password):
    _, results, _ = carried
    assert_carried(password, results[password])


def test_no_password_runs_anything_else(carried):
    stdout, results, tmp = carried
    # Every command ended with status 0 (no failure message) after moving
    # its own rewrite in place, and nothing was left in /tmp (no canary,
    # no redirection target, no FIFO or its folder).
    assert stdout == CONNECTING * len(results)
    assert [entry["live"] for entry in results.values()] == [f"rewrite {i}\n" for i in range(len(results))]
    assert tmp == []


PRINTABLE = st.characters(blacklist_categories=("Cc", "Cs"), whitelist_characters="\t")


@settings(max_examples=25, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(passwords=st.lists(st.text(PRINTABLE, max_size=24), min_size=1, max_size=15))
def test_any_printable_password_reaches_openvpn_unchanged(tmp_path_factory, passwords):
    directory = tmp_path_factory.mktemp("property")
    stdout, results, tmp, _ = connect_through_bash(directory, passwords)
    assert stdout == CONNECTING * len(passwords)
    for password, entry in zip(passwords, results):
        assert_carried(password, entry)
    assert tmp == []


def test_connected_without_a_running_openvpn_fails_at_the_kill_step(tmp_path):
    stdout, results, tmp, host = connect_through_bash(tmp_path, ["hunter2"], connected=True)
    # killall finds nothing: nothing after it runs, CONNECTED stays true.
    assert stdout == DISCONNECTING + CONNECTING + b"\n[-] Something went wrong.\n"
    assert askpass_of(results[0]["command"], STOP_STEP)
    # OpenVPN never read the password; its FIFO is gone all the same.
    assert results[0]["askpass"] is None and results[0]["connected"] is True
    assert results[0]["live"] is None
    assert tmp == ["ferm.conf"]
    assert host.calls() == ["killall -w openvpn"]


@pytest.mark.parametrize("tor_restart_status, systemd", [(0, False), (1, False), (0, True)],
                         ids=["tor-restarts", "tor-restart-fails", "systemd-runs"])
def test_connection_comes_up_end_to_end_with_tor_restarted_in_between(tmp_path, tor_restart_status, systemd):
    stdout, results, tmp, host = connect_through_bash(
        tmp_path, ["it's"], openvpn_says="Initialization Sequence Completed", tor_restart_status=tor_restart_status,
        systemd=systemd
    )
    assert stdout == CONNECTING + b".\n[+] Connected to Alpha VPN server.\n" + (
        b"[*] Use option 2 to disconnect, 4 to quit. Do NOT use CTRL + C to quit the program.\n"
    )
    assert results[0]["connected"] is True
    # Where systemd runs, Tor's start limit is cleared before the restart.
    reset = ["systemctl reset-failed tor@default.service"] if systemd else []
    assert host.calls()[:2 + len(reset)] == ["/etc/init.d/ferm restart", *reset, "/etc/init.d/tor restart"]
    assert re.fullmatch("openvpn --config /tmp/config.ovpn --askpass " + ASKPASS + re.escape(" " + " ".join(MANAGEMENT)),
                        host.calls()[2 + len(reset)])
