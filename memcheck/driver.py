"""Calls the module's operations the ways the non-sandbox tests do, in one
interpreter, so that valgrind's memcheck watches the module's own code on
each path: menu input, JSON decoding, the request to the proxy, the key
bundle, the tunnel configuration, host commands and the monitor, connect,
disconnect, reset, the driver `run` and Ctrl+C. Every call runs twice, so
a leak on a path shows as more than a one-off.

Runs only inside the private mount namespace that memcheck/run makes; it
adds a private network and the host fakes of the tests itself."""

import io
import json
import os
import signal
import sys
import tempfile
import warnings
import zipfile
from pathlib import Path

TESTS = Path(__file__).resolve().parent.parent / "tests"
sys.path.insert(0, str(TESTS))

from conftest import FIXTURES, take_terminal_signals  # noqa: E402
from host_fakes import PRELUDE, FakeHost  # noqa: E402
from test_api_account import ENCODED, NOT_JSON, VALUES  # noqa: E402
from zip_bytes import declare_size, flip_data_byte, make_zip, mark_encrypted  # noqa: E402

exec(PRELUDE)  # ensure_isolated, private_network, openvpn_at_usr_sbin, init_scripts, require_fake_sudo

take_terminal_signals()  # or the Ctrl+C case below never arrives

import marnu_tails_client as m  # noqa: E402

ROUNDS = 2
SERVER = {"name": "Alpha", "address": "192.0.2.10", "port": "1194", "proto": "udp"}
BUNDLE = make_zip([("ca.crt", "CA"), ("alice.crt", "CERT"), ("alice.key", "KEY")])
SERVERS = json.dumps({"data": {"status": "1", "Alpha": SERVER, "Beta": {**SERVER, "address": "192.0.2.11"}}}).encode()
TOKEN = b'{"data": {"status": "1", "cookie_id": "t0k3n"}}'
ORIGINAL = {name: getattr(m, name) for name in ("send_to_api", "execute_connection_command")}


def expect(condition, what):
    if not condition:
        shown = sys.stdout.getvalue() if isinstance(sys.stdout, io.StringIO) else ""
        sys.exit(f"{shown}\nmemcheck driver: unexpected result: {what}")


def fails(call, kind):
    try:
        call()
    except kind:
        return True
    return False


def answering(*answers):
    """send_to_api replaced through the module namespace, as the tests do."""
    queue = list(answers)
    m.send_to_api = lambda query: queue.pop(0)


def typed(text):
    sys.stdin = io.StringIO(text)


def menu_input():
    typed("x\n0\n٣\n99999999999999999999999\n2\n")
    expect(m.get_input(3) == 2, "get_input")
    typed("")
    expect(fails(lambda: m.get_input(3), EOFError), "EOFError at the end of input")


def json_answers():
    for body in list(ENCODED.values()) + list(VALUES.values()):
        answering(body)
        # The tests compare the values with json.loads; here its ints would
        # only add the interpreter's own reports (see check_report.py).
        expect(m.get_servers("alice", "pw") is not None, "decoded answer")
    for name, body in NOT_JSON.items():
        answering(body)
        expect(fails(lambda: m.get_servers("alice", "pw"), ValueError), f"answer that is not JSON: {name}")
    answering(TOKEN)
    expect(m.get_token("al/ice", "p#ss") == "t0k3n", "token")
    answering(0)
    expect(m.get_token("alice", "wrong") == 0, "refused login")


def request_without_proxy():
    m.send_to_api = ORIGINAL["send_to_api"]
    expect(fails(lambda: m.send_to_api("checksession/username/a/password/b.json"), ConnectionError),
           "request without a proxy")


def key_bundles():
    damaged = [
        flip_data_byte(BUNDLE, "alice.key"),
        mark_encrypted(BUNDLE, "alice.key"),
        declare_size(BUNDLE, "alice.key", 1),
        declare_size(BUNDLE, "alice.key", 100),
        BUNDLE[: len(BUNDLE) // 2],
        b"<html>Not found</html>",
    ]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # zipfile's warning about the repeated name
        damaged.append(make_zip([("k", "x")] * 1001))
    for body in damaged:
        answering(body)
        expect(fails(lambda: m.download_keys("alice", "pw"), ValueError), "damaged bundle")
    # A link planted where a key goes is replaced, not followed.
    Path("/tmp/alice.key").unlink(missing_ok=True)
    os.symlink("/tmp/elsewhere", "/tmp/alice.key")
    answering(make_zip([("../up/ca.crt", "CA"), ("keys/", ""), ("keys/alice.key", "K" * 5000)], zipfile.ZIP_DEFLATED))
    expect(m.download_keys("alice", "pw") is None, "bundle with folders")
    answering(BUNDLE)
    expect(m.download_keys("alice", "pw") is None, "bundle")
    expect(Path("/tmp/alice.key").read_text() == "KEY", "key file")


def server_selection():
    typed("0\n3\n2\n")
    answering(BUNDLE, SERVERS)
    expect(m.get_server("alice", "pw")["name"] == "Beta", "server choice")
    answering(BUNDLE, json.dumps({"data": {"status": "1", "Bad": {**SERVER, "port": "0"}}}).encode())
    typed("1\n")
    expect(fails(lambda: m.get_server("alice", "pw"), ValueError), "unusable server record")


def tunnel_configuration():
    expect(m.configure_tails(SERVER, "alice") is None, "configure_tails")
    expect(b"outerface tun0" in Path("/tmp/ferm.conf").read_bytes(), "rewritten firewall")
    m.configure_ovpn("192.0.2.10", "tcp", "443", "alice")
    m.configure_ferm("192.0.2.10", "tcp", "443")


def host_commands():
    run = ORIGINAL["execute_connection_command"]
    m.DEBUG = True
    expect(run("printf 'a\\r\\nb\\rc\\377\\nInitialization Sequence Completed\\n'; sleep 0.2; echo after", SERVER) == 0,
           "marker")
    m.DEBUG = False
    expect(run("echo one; exit 3", SERVER) != 0, "failing command")
    expect(run("kill -TERM $$", SERVER) != 0, "command ended by a signal")
    # Ctrl+C while the monitor waits: the command is terminated and reaped.
    signal.setitimer(signal.ITIMER_REAL, 1.0)
    previous = signal.signal(signal.SIGALRM, lambda *_: os.kill(os.getpid(), signal.SIGINT))
    try:
        expect(fails(lambda: run("echo start; sleep 30", SERVER), KeyboardInterrupt), "Ctrl+C in the monitor")
    finally:
        signal.signal(signal.SIGALRM, previous)


def tunnel_control():
    m.execute_connection_command = ORIGINAL["execute_connection_command"]
    m.configure_tails(SERVER, "alice")
    expect(m.connect(SERVER, "it's a \"pass\" $(x)") is None and m.CONNECTED, "connect")
    expect(m.reset_firewall() is None, "reset_firewall")
    m.configure_tails(SERVER, "alice")
    expect(m.connect(SERVER, "hunter2") is None, "reconnect")
    expect(m.disconnect() is None and not m.CONNECTED, "disconnect")
    expect(fails(lambda: m.connect(SERVER, "nul\0"), ValueError), "password with NUL")


def whole_run():
    answering(TOKEN, BUNDLE, SERVERS)
    typed("9\n1\nalice\nhunter2\n1\n2\n3\n4\n")
    expect(m.run(debug=True) is None, "quit")
    # A failure inside the menu loop ends the run with status 0.
    answering(b"<html></html>")
    typed("1\nalice\nhunter2\n")
    try:
        m.run()
        expect(False, "run returned after a failure")
    except SystemExit as ended:
        expect(ended.code == 0, "status 0 after a failure")


def main():
    ensure_isolated()  # noqa: F821 - defined by PRELUDE
    Path("/etc/ferm/ferm.conf").write_bytes((FIXTURES / "tails-ferm.conf").read_bytes())
    private_network()  # noqa: F821
    openvpn_at_usr_sbin(present=True)  # noqa: F821
    host = FakeHost(tempfile.mkdtemp(dir="/tmp"))
    init_scripts(str(host.init_d))  # noqa: F821
    os.environ["PATH"] = f"{host.bin}:{os.environ['PATH']}"
    os.environ["OPENVPN_SAYS"] = "Initialization Sequence Completed"
    require_fake_sudo(host.bin)  # noqa: F821
    os.chdir("/tmp")
    console = sys.stdout
    for _ in range(ROUNDS):
        sys.stdout = io.StringIO()
        for step in (menu_input, json_answers, request_without_proxy, key_bundles, server_selection,
                     tunnel_configuration, host_commands, tunnel_control, whole_run):
            step()
        sys.stdout = console
    print("memcheck driver: every operation ran as expected")


main()
