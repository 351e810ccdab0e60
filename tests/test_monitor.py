"""execute_connection_command: the monitor that follows the connection
command's output, with small scripts standing in for the command.

The command line is `exec sh "$MONITOR_CHILD"`, with " openvpn" added for the
budget of an OpenVPN command, so no path decides the budget."""

import os
import signal
import time
from pathlib import Path

import pytest

from conftest import run_python
from host_fakes import PRELUDE, write_script

MARKER = "Initialization Sequence Completed"
CONNECTING = b"\r[+] Connecting to Alpha VPN server\n"
CONNECTED = (
    b"\n[+] Connected to Alpha VPN server.\n"
    b"[*] Use option 2 to disconnect, 4 to quit. Do NOT use CTRL + C to quit the program.\n"
)
FAILED = b"\n[-] Something went wrong.\n"


def command(openvpn=True):
    return 'exec sh "$MONITOR_CHILD"' + (" openvpn" if openvpn else "")


def monitor(tmp_path, script, *, openvpn=True, debug=False, connected=False, after="", timeout=60, name="Alpha"):
    """Runs the monitor on `script` in a child interpreter; its console output
    ends with "|result=... connected=..." once the call has returned."""
    child = write_script(tmp_path / "child.sh", script)
    code = PRELUDE + f"""
import marnu_tails_client as m
m.DEBUG = {debug}
m.CONNECTED = {connected}
result = m.execute_connection_command({command(openvpn)!r}, {{"name": {name!r}}})
sys.stdout.write(f"|result={{result!r}} connected={{m.CONNECTED}}")
{after}
"""
    env = {"MONITOR_CHILD": str(child), "MONITOR_DIR": str(tmp_path)}
    result = run_python(code, env=env, timeout=timeout)
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout


def lines(count, text="OpenVPN log line"):
    return f'i=1; while [ $i -le {count} ]; do echo "{text} $i"; i=$((i+1)); done\n'


# Notes a SIGTERM and ends with status 3 (the shell runs the trap once the
# running short sleep is over, so nothing is left behind).
ON_TERM = "trap 'echo TERM > \"$MONITOR_DIR/signal\"; exit 3' TERM\n"
STAY = "while :; do sleep 1; done\n"

# A child that writes 100 lines, then stays until it is asked to terminate.
UNTIL_TERMINATED = ON_TERM + lines(100) + STAY


@pytest.mark.parametrize(
    "script, dots",
    [
        (f'echo "{MARKER}"\n', 1),
        (lines(79) + f'echo "{MARKER}"\n', 80),  # the marker test comes before the budget test
        (lines(3) + f'printf "Tue Dec 8 14:02:31 2026 {MARKER} (after 3s)\\r\\n"\n', 4),
    ],
    ids=["first line", "80th line", "inside a longer line"],
)
def test_marker_connects_and_leaves_the_command_running(tmp_path, script, dots):
    stdout = monitor(tmp_path, script)
    assert stdout == CONNECTING + b"." * dots + CONNECTED + b"|result=0 connected=True"


def test_marker_in_other_letter_case_is_not_found(tmp_path):
    script = (
        f'echo "{MARKER.lower()}"\necho "{MARKER.upper()}"\necho "Initialization  Sequence Completed"\n'
        "exit 1\n"
    )
    stdout = monitor(tmp_path, script)
    assert stdout == CONNECTING + b"..." + FAILED + b"|result=None connected=False"


@pytest.mark.parametrize("openvpn, budget", [(True, 80), (False, 20)], ids=["openvpn command", "other command"])
def test_spent_budget_terminates_the_command_and_fails(tmp_path, openvpn, budget):
    stdout = monitor(tmp_path, UNTIL_TERMINATED, openvpn=openvpn)
    assert stdout == CONNECTING + b"." * budget + FAILED + b"|result=None connected=False"
    assert (tmp_path / "signal").read_text() == "TERM\n"


def test_spent_budget_ends_every_process_of_the_command(tmp_path):
    # What the command started ends with it, as OpenVPN does under sudo, and
    # the monitor reports the failure once all of it has ended.
    script = 'sleep 300 & echo $! > "$MONITOR_DIR/pid"\n' + lines(100) + STAY
    stdout = monitor(tmp_path, script)
    assert stdout == CONNECTING + b"." * 80 + FAILED + b"|result=None connected=False"
    stat = Path(f"/proc/{(tmp_path / 'pid').read_text().strip()}/stat")
    assert not stat.exists() or stat.read_text().split(")")[1].split()[0] == "Z"


@pytest.mark.parametrize("connected", [False, True])
def test_silent_command_that_fails_shows_an_empty_line_and_the_message(tmp_path, connected):
    stdout = monitor(tmp_path, "exit 1\n", connected=connected)
    # The monitor never sets CONNECTED back to false.
    assert stdout == CONNECTING + FAILED + f"|result=None connected={connected}".encode()


ADMIN_PASSWORD_LINE = (b"[-] Tails needs an administration password for this: set one at the Welcome Screen "
                       b"when you start Tails.\n")


@pytest.mark.parametrize("refusal", [
    "amnesia is not in the sudoers file.",
    "sudo: amnesia is not in the sudoers file.  This incident will be reported.",
    "The administration password is disabled.",
])
def test_sudo_refusal_is_followed_by_the_administration_password_line(tmp_path, refusal):
    stdout = monitor(tmp_path, f"echo '{refusal}' >&2\nexit 1\n")
    assert stdout == CONNECTING + b"." + FAILED + ADMIN_PASSWORD_LINE + b"|result=None connected=False"


def test_a_wrong_password_is_not_taken_for_a_refusal(tmp_path):
    stdout = monitor(tmp_path, "echo 'sudo: 3 incorrect password attempts' >&2\nexit 1\n")
    assert stdout == CONNECTING + b"." + FAILED + b"|result=None connected=False"


def test_the_command_reads_nothing_of_the_console(tmp_path):
    # sudo asks on the terminal itself; nothing run as root takes the user's keys.
    monitor(tmp_path, 'readlink /proc/$$/fd/0 > "$MONITOR_DIR/stdin"\nexit 1\n')
    assert (tmp_path / "stdin").read_text() == "/dev/null\n"


def test_command_that_ends_with_status_0_without_marker_succeeds_silently(tmp_path):
    stdout = monitor(tmp_path, "echo one\necho two\n")
    assert stdout == CONNECTING + b"..|result=0 connected=False"


def test_debug_echoes_each_line_and_dumps_the_output_without_secure(tmp_path):
    script = "printf 'a secure line\\r\\nsesecurecure\\rinsecurely\\nlast'\nexit 2\n"
    stdout = monitor(tmp_path, script, debug=True)
    assert stdout == (
        CONNECTING
        + b"a secure line\n\n.sesecurecure\n\n.insecurely\n\n.last\n."
        + FAILED
        # One pass, left to right: "se[secure]cure" leaves "secure".
        + b"a  line\nsecure\ninly\nlast\n"
        + b"|result=None connected=False"
    )


def test_text_from_the_network_reaches_the_terminal_with_control_characters_made_visible(tmp_path):
    # The provider's server name, and OpenVPN's lines (which may quote the server) in debug mode.
    script = "printf 'peer \\033]0;owned\\007 \\302\\233 said\\n'\nexit 1\n"
    stdout = monitor(tmp_path, script, debug=True, name="\x1b[2JAlpha\x9b")
    shown = b"peer \\x1b]0;owned\\x07 \\x9b said\n"
    assert stdout == (b"\r[+] Connecting to \\x1b[2JAlpha\\x9b VPN server\n" + shown + b"\n." + FAILED + shown + b"\n"
                      + b"|result=None connected=False")


def test_debug_after_success_echoes_but_dumps_nothing(tmp_path):
    stdout = monitor(tmp_path, f'echo "secure start"\necho "{MARKER}"\n', debug=True)
    assert stdout == CONNECTING + b"secure start\n\n." + MARKER.encode() + b"\n\n." + CONNECTED + (
        b"|result=0 connected=True"
    )


# After the marker the client reads no more, yet the command must never
# block on a full pipe, and it is reaped once it ends.
DRAINED_AND_REAPED = """
pid = int(open(os.path.join(os.environ["MONITOR_DIR"], "pid")).read())
wait_until(lambda: os.path.exists(os.path.join(os.environ["MONITOR_DIR"], "done")), "10 MB written")
wait_until(lambda: not os.path.exists(f"/proc/{pid}"), "the child reaped")
print(" drained and reaped")
"""


def test_command_that_keeps_writing_after_the_marker_is_drained_then_reaped(tmp_path):
    script = (
        'echo $$ > "$MONITOR_DIR/pid"\n'
        f'echo "{MARKER}"\n'
        "yes 'OpenVPN keeps logging after the tunnel is up' | head -c 10485760\n"
        'echo done > "$MONITOR_DIR/done"\n'
    )
    stdout = monitor(tmp_path, script, after=DRAINED_AND_REAPED)
    assert stdout == CONNECTING + b"." + CONNECTED + b"|result=0 connected=True drained and reaped\n"


@pytest.mark.parametrize("ending", ["raise SystemExit(0)", "pass"], ids=["SystemExit", "normal end"])
def test_python_exits_while_the_tunnel_stays_up(tmp_path, ending):
    script = f'echo $$ > "$MONITOR_DIR/pid"\necho "{MARKER}"\nexec sleep 60\n'
    stdout = monitor(tmp_path, script, after=ending, timeout=30)
    pid = int((tmp_path / "pid").read_text())
    try:
        assert stdout.endswith(b"|result=0 connected=True")
        # Left running by design: only the client's process has ended. (On a
        # loaded machine the shell may reach its exec only after the marker.)
        deadline = time.monotonic() + 10
        while not Path(f"/proc/{pid}/cmdline").read_bytes().startswith(b"sleep\0"):
            assert time.monotonic() < deadline, Path(f"/proc/{pid}/cmdline").read_bytes()
            time.sleep(0.05)
    finally:
        os.kill(pid, signal.SIGTERM)


def test_record_without_name_fails_after_the_start_and_leaves_the_command_alone(tmp_path):
    child = write_script(tmp_path / "child.sh", 'echo output\necho started > "$MONITOR_DIR/started"\n')
    code = PRELUDE + f"""
import marnu_tails_client as m
try:
    m.execute_connection_command({command()!r}, {{"address": "192.0.2.10"}})
except KeyError as e:
    print("<KeyError>", e)
wait_until(lambda: os.path.exists(os.path.join(os.environ["MONITOR_DIR"], "started")), "the command")
"""
    result = run_python(code, env={"MONITOR_CHILD": str(child), "MONITOR_DIR": str(tmp_path)})
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout == b"<KeyError> 'name'\n"


def test_ctrl_c_ends_the_wait_and_terminates_the_command(tmp_path):
    script = ON_TERM + "kill -INT $PPID\n" + STAY
    child = write_script(tmp_path / "child.sh", script)
    code = PRELUDE + f"""
import marnu_tails_client as m
try:
    m.execute_connection_command({command()!r}, {{"name": "Alpha"}})
except KeyboardInterrupt:
    print("<KeyboardInterrupt>")
wait_until(lambda: os.path.exists(os.path.join(os.environ["MONITOR_DIR"], "signal")), "SIGTERM")
"""
    result = run_python(code, env={"MONITOR_CHILD": str(child), "MONITOR_DIR": str(tmp_path)})
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.endswith(b"<KeyboardInterrupt>\n")
    assert (tmp_path / "signal").read_text() == "TERM\n"


def test_command_that_is_not_text_is_refused_before_anything_starts(tmp_path):
    code = """
import marnu_tails_client as m
try:
    m.execute_connection_command(b"echo hi", {"name": "Alpha"})
except TypeError as e:
    print(e)
"""
    result = run_python(code)
    assert result.stdout == b"command must be text (str), not bytes\n"


@pytest.mark.parametrize(
    "script, echoed",
    [
        # Invalid UTF-8 is replaced, never fatal.
        ("printf 'ok\\377\\376 \\303\\n'\n", ["ok\ufffd\ufffd \ufffd\n"]),
        # A "\r\n" split over two writes is one line end, not two.
        ("printf 'a\\r'; sleep 0.2; printf '\\nb\\r\\r\\nc'\n", ["a\n", "b\n", "\n", "c"]),
    ],
    ids=["invalid UTF-8", "split line end"],
)
def test_output_lines_are_split_and_repaired(tmp_path, script, echoed):
    stdout = monitor(tmp_path, script, openvpn=False, debug=True)
    expected = CONNECTING + b"".join(line.encode() + b"\n." for line in echoed)
    assert stdout == expected + b"|result=0 connected=False"


def test_death_by_a_signal_counts_as_failure(tmp_path):
    stdout = monitor(tmp_path, "echo started\nkill -TERM $$\n", openvpn=False)
    assert stdout == CONNECTING + b"." + FAILED + b"|result=None connected=False"
