"""disconnect and reset_firewall: their command lines, their messages and
CONNECTED, first with a fake sudo that only records, then with real bash
running the lines against fake tools in an isolated child."""

import json

import pytest

from conftest import FakeSudo, needs_isolation, run_python
from host_fakes import PRELUDE, FakeHost

pytestmark = needs_isolation

RESTORE = (
    "mv /tmp/ferm.conf.back /etc/ferm/ferm.conf; "
    "[ ! -x /etc/init.d/network-manager ] || /etc/init.d/network-manager restart; "
    "/etc/init.d/ferm restart; "
    "[ ! -d /run/systemd/system ] || systemctl reset-failed tor@default.service 2> /dev/null; /etc/init.d/tor restart"
)
DISCONNECT = ["bash", "-c", "killall openvpn; " + RESTORE]
RESET = ["bash", "-c", RESTORE]
RESTARTS = ["/etc/init.d/network-manager restart", "/etc/init.d/ferm restart", "/etc/init.d/tor restart"]


def tear_down(tmp_path, operation, connected, saved=False):
    """Calls the operation with a sudo that records and runs nothing (as when
    the administration password is not accepted); /tmp/ferm.conf.back
    exists when `saved`. "before|" stands unflushed in sys.stdout when the
    operation is called."""
    sudo = FakeSudo(tmp_path / "sudo", output="<sudo>\n")
    code = PRELUDE + f"""
ensure_isolated()
require_fake_sudo({sudo.path!r})
import marnu_tails_client as m
if {saved}:
    open("/tmp/ferm.conf.back", "w").close()
m.CONNECTED = {connected}
sys.stdout.write("before|")
print(m.{operation}())
print(m.CONNECTED)
"""
    result = run_python(code, path_prefix=sudo.path, isolate=True, own_processes=True)
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout, sudo.calls()


def test_disconnect_while_connected_runs_its_line_and_clears_connected(tmp_path):
    stdout, calls = tear_down(tmp_path, "disconnect", connected=True)
    # The console is flushed before the command shares it.
    assert stdout == b"before|<sudo>\nNone\nFalse\n"
    assert calls == [DISCONNECT]


def test_disconnect_while_not_connected_only_says_so(tmp_path):
    stdout, calls = tear_down(tmp_path, "disconnect", connected=False)
    assert stdout == b"before|\n[-] You are not connected to a VPN server.\nNone\nFalse\n"
    assert calls == []


@pytest.mark.parametrize("connected", [False, True])
def test_reset_firewall_runs_its_line_and_leaves_connected_alone(tmp_path, connected):
    stdout, calls = tear_down(tmp_path, "reset_firewall", connected=connected)
    assert stdout == b"before|<sudo>\nNone\n" + str(connected).encode() + b"\n"
    assert calls == [RESET]


NOT_PUT_BACK = (b"[-] Nothing was changed: the administration password was not accepted. "
                b"Tails' firewall was not put back.\n")


@pytest.mark.parametrize("operation", ["disconnect", "reset_firewall"])
def test_a_command_that_did_not_run_says_so_and_keeps_connected(tmp_path, operation):
    # The saved copy is still there: root's mv never ran.
    stdout, calls = tear_down(tmp_path, operation, connected=True, saved=True)
    assert stdout == b"before|<sudo>\n" + NOT_PUT_BACK + b"None\nTrue\n"
    assert calls == [DISCONNECT if operation == "disconnect" else RESET]


def tear_down_through_bash(tmp_path, operation, saved, network_manager=True, systemd=False):
    """The operation with real bash running its line; /tmp/ferm.conf.back
    holds `saved` (None: absent) and /etc/ferm/ferm.conf "live"."""
    host = FakeHost(tmp_path, network_manager=network_manager, systemd=systemd)
    out = tmp_path / "files.json"
    code = PRELUDE + f"""
ensure_isolated()
{host.setup_code()}
import marnu_tails_client as m
with open("/etc/ferm/ferm.conf", "w") as f:
    f.write("live\\n")
if {saved!r} is not None:
    with open("/tmp/ferm.conf.back", "w") as f:
        f.write({saved!r})
m.CONNECTED = True
m.{operation}()
print(m.CONNECTED)
snapshot(["/etc/ferm/ferm.conf", "/tmp/ferm.conf.back"], {str(out)!r})
"""
    result = run_python(code, path_prefix=host.bin, isolate=True)
    assert result.returncode == 0, result.stderr.decode()
    files = json.loads(out.read_text())
    return result, files, host.calls()


def test_disconnect_runs_every_step_though_openvpn_had_already_ended(tmp_path):
    result, files, calls = tear_down_through_bash(tmp_path, "disconnect", saved="saved\n")
    assert result.stdout == b"False\n"
    assert calls == ["killall openvpn"] + RESTARTS
    assert files == {"/etc/ferm/ferm.conf": "saved\n", "/tmp/ferm.conf.back": None}


@pytest.mark.parametrize("operation", ["disconnect", "reset_firewall"])
def test_without_a_network_manager_init_script_the_other_steps_run_in_silence(tmp_path, operation):
    # Tails 6 and 7 have none: nothing complains of it, ferm and Tor still restart.
    result, files, calls = tear_down_through_bash(tmp_path, operation, saved="saved\n", network_manager=False)
    assert b"network-manager" not in result.stderr and b"No such file" not in result.stderr
    assert calls == ["killall openvpn"] * (operation == "disconnect") + RESTARTS[1:]
    assert files == {"/etc/ferm/ferm.conf": "saved\n", "/tmp/ferm.conf.back": None}


@pytest.mark.parametrize("operation", ["disconnect", "reset_firewall"])
def test_where_systemd_runs_tors_start_limit_is_cleared_before_its_restart(tmp_path, operation):
    # A Tor that NetworkManager's dispatcher restarted too often stays down
    # at its start limit: Disconnect and Reset bring it back all the same.
    result, files, calls = tear_down_through_bash(tmp_path, operation, saved="saved\n", systemd=True)
    assert calls == ["killall openvpn"] * (operation == "disconnect") + RESTARTS[:2] + [
        "systemctl reset-failed tor@default.service", RESTARTS[2]]


def test_reset_firewall_puts_the_saved_configuration_back(tmp_path):
    result, files, calls = tear_down_through_bash(tmp_path, "reset_firewall", saved="saved\n")
    assert result.stdout == b"True\n"
    assert calls == RESTARTS
    assert files == {"/etc/ferm/ferm.conf": "saved\n", "/tmp/ferm.conf.back": None}


def test_reset_firewall_without_a_saved_copy_still_restarts_the_services(tmp_path):
    result, files, calls = tear_down_through_bash(tmp_path, "reset_firewall", saved=None)
    # mv's own complaint reaches the console; the restarts run anyway.
    assert b"mv: cannot stat '/tmp/ferm.conf.back'" in result.stderr
    assert result.stdout == b"True\n"
    assert calls == RESTARTS
    assert files == {"/etc/ferm/ferm.conf": "live\n", "/tmp/ferm.conf.back": None}


# A descriptor the client holds without close-on-exec (a library's socket,
# say) must not reach root's commands.
@pytest.mark.parametrize("operation", ["disconnect", "reset_firewall"])
def test_commands_receive_only_the_standard_streams(tmp_path, operation):
    sudo = tmp_path / "sudo"
    sudo.mkdir()
    (sudo / "sudo").write_text("#!/bin/sh\nls /proc/$$/fd > " + str(tmp_path / "fds") + "\n")
    (sudo / "sudo").chmod(0o755)
    code = PRELUDE + f"""
ensure_isolated()
require_fake_sudo({str(sudo)!r})
import os
import marnu_tails_client as m
os.dup2(os.open("/dev/null", os.O_RDONLY), 57)  # inheritable
m.CONNECTED = True
m.{operation}()
"""
    result = run_python(code, path_prefix=str(sudo), isolate=True)
    assert result.returncode == 0, result.stderr.decode()
    inherited = set((tmp_path / "fds").read_text().split())
    assert {"0", "1", "2"} <= inherited
    assert "57" not in inherited
