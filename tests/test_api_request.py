"""send_to_api without a real proxy, each case in a private network namespace
of its own (loopback only): what reaches the SOCKS port, failures, Ctrl+C."""

import json
import shutil
import subprocess
import sys

import pytest


def can_make_network_namespaces():
    if shutil.which("unshare") is None or shutil.which("ip") is None:
        return False
    return subprocess.run(["unshare", "--net", "true"], capture_output=True).returncode == 0


pytestmark = pytest.mark.skipif(
    not can_make_network_namespaces(), reason="needs root and `ip` for a private network namespace (unshare --net)"
)

needs_ip6tables = pytest.mark.skipif(shutil.which("ip6tables") is None, reason="needs ip6tables to drop packets to ::1")

# Runs inside the private namespace: brings loopback up, optionally drops
# IPv6 packets to ::1 as Tails does, serves a stand-in SOCKS port, runs the
# client in a child and reports what happened as JSON on standard output.
HARNESS = r'''
import json, os, signal, socket, subprocess, sys, threading, time

socks, drop_ipv6_loopback, interrupt = sys.argv[1], sys.argv[2] == "drop", sys.argv[3] == "interrupt"
subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
if drop_ipv6_loopback:
    subprocess.run(["ip6tables", "-A", "OUTPUT", "-d", "::1", "-j", "DROP"], check=True)

report = {"connections": 0}
accepted = threading.Event()

def read_exactly(connection, count):
    data = b""
    while len(data) < count:
        chunk = connection.recv(count - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data

def serve(listener):
    connection, _ = listener.accept()
    report["connections"] += 1
    accepted.set()
    if socks == "silent":
        time.sleep(3600)  # accepts and never answers
    greeting = read_exactly(connection, 2)
    report["methods"] = list(read_exactly(connection, greeting[1]))
    if socks == "no-method":
        connection.sendall(b"\x05\xff")  # none of the offered methods is acceptable
        connection.close()
        return
    connection.sendall(b"\x05\x00")  # no authentication
    version, command, _, address_type = read_exactly(connection, 4)
    if address_type == 3:
        host = read_exactly(connection, read_exactly(connection, 1)[0]).decode()
    else:
        host = "address type %d" % address_type
    report["connect"] = [command, host, int.from_bytes(read_exactly(connection, 2), "big")]
    reply = int(socks.split(":")[1])  # "refuse:CODE"
    connection.sendall(bytes([5, reply, 0, 1, 0, 0, 0, 0, 0, 0]))
    connection.close()

if socks != "none":
    listener = socket.socket()
    listener.bind(("127.0.0.1", 9050))
    listener.listen()
    threading.Thread(target=serve, args=(listener,), daemon=True).start()

client = subprocess.Popen([sys.executable, "-c", sys.argv[4]], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
try:
    if interrupt:
        accepted.wait(60)
        sent = time.monotonic()
        client.send_signal(signal.SIGINT)
        stdout, stderr = client.communicate(timeout=60)
        report["seconds_to_end"] = time.monotonic() - sent
    else:
        stdout, stderr = client.communicate(timeout=60)
finally:
    if client.poll() is None:
        client.kill()
        client.wait()
report["stdout"] = stdout.decode("latin-1")
report["outcome"] = stderr.decode("utf-8", "replace").rsplit("\n", 1)[-1]
if drop_ipv6_loopback:
    rules = subprocess.run(["ip6tables", "-L", "OUTPUT", "-v", "-x", "-n"], capture_output=True, text=True).stdout
    report["dropped_packets"] = [int(line.split()[0]) for line in rules.splitlines() if "DROP" in line]
print(json.dumps(report))
'''

CLIENT = r"""
import json, sys
import marnu_tails_client as m
try:
    m.send_to_api("checksession/username/alice/password/secret.json")
    outcome = {"result": "returned"}
except BaseException as failure:
    outcome = {"error": type(failure).__name__, "message": str(failure)}
sys.stdout.flush()
sys.stderr.write("\n" + json.dumps(outcome))
"""


def run_client(socks, *, drop_ipv6_loopback=False, interrupt=False):
    """socks: "none" (nothing listens on 9050), "refuse:CODE" (answers CONNECT
    with that SOCKS5 reply code), "no-method" (accepts none of the client's
    authentication methods) or "silent" (accepts and never answers)."""
    command = [
        "unshare", "--net", "--", sys.executable, "-c", HARNESS, socks,
        "drop" if drop_ipv6_loopback else "keep", "interrupt" if interrupt else "wait", CLIENT,
    ]
    completed = subprocess.run(command, capture_output=True, timeout=180)
    assert completed.returncode == 0, completed.stderr.decode()
    report = json.loads(completed.stdout)
    report["outcome"] = json.loads(report["outcome"])
    return report


def test_request_without_tor_fails_with_connection_error_and_prints_nothing():
    report = run_client("none")
    assert report["stdout"] == ""
    assert report["outcome"]["error"] == "ConnectionError"
    assert "9050" in report["outcome"]["message"]


# Tor answers 1 when a circuit fails, 4 when the name cannot be resolved or
# the host not reached, 5 when the far end refuses, 6 on a timeout.
@pytest.mark.parametrize("code, reason", [
    (1, "the proxy reports a general failure (no circuit?)"),
    (2, "the proxy does not allow the connection"),
    (3, "the proxy reports the network unreachable"),
    (4, "the proxy could not resolve or reach the host"),
    (5, "the host refused the proxy's connection"),
    (6, "the proxy timed out reaching the host"),
])
def test_proxy_is_asked_for_the_providers_host_name_and_its_refusal_is_a_connection_error(code, reason):
    report = run_client(f"refuse:{code}")
    # socks5h: the proxy resolves the name (CONNECT = 1, by domain name, HTTPS port).
    assert report["connect"] == [1, "api.marnu.example", 443]
    assert report["stdout"] == ""
    assert report["outcome"]["error"] == "ConnectionError"
    assert report["outcome"]["message"] == (
        f"The request to the provider failed: Can't complete SOCKS5 connection to api.marnu.example. ({code}): "
        + reason)


def test_proxy_that_accepts_no_offered_method_is_a_connection_error():
    report = run_client("no-method")
    assert report["methods"] == [0]  # no authentication is all that is offered
    assert report["outcome"]["error"] == "ConnectionError"
    assert report["outcome"]["message"] == (
        "The request to the provider failed: No authentication method was acceptable.")
    assert report["stdout"] == ""


@needs_ip6tables
def test_proxy_is_reached_over_ipv4_only_so_dropped_ipv6_loopback_is_never_waited_on():
    # With IPv4 refused, a client that also tries ::1 waits there until its
    # connect timeout (the harness gives up after 60 s) and is seen by the rule.
    report = run_client("none", drop_ipv6_loopback=True)
    assert report["outcome"]["error"] == "ConnectionError"
    assert report["dropped_packets"] == [0]


def test_ctrl_c_aborts_a_request_that_waits_for_an_answer():
    report = run_client("silent", interrupt=True)
    assert report["connections"] == 1
    assert report["outcome"] == {"error": "KeyboardInterrupt", "message": ""}
    assert report["stdout"] == ""
    # The transfer itself would wait 120 s for a stalled proxy.
    assert report["seconds_to_end"] < 2


@pytest.mark.parametrize("name, value", [
    ("X-Extra", "one\r\nInjected: yes"),
    ("X-Extra", "one\nInjected: yes"),
    ("X-Ex\rtra", "one"),
    ("", "no name"),
], ids=["CRLF in value", "LF in value", "CR in name", "empty name"])
def test_header_that_would_split_the_request_is_refused_before_connecting(name, value):
    client = CLIENT.replace("import marnu_tails_client as m\n",
                            f"import marnu_tails_client as m\nm.HEADERS = dict(m.HEADERS, **{{{name!r}: {value!r}}})\n")
    completed = subprocess.run(["unshare", "--net", "--", sys.executable, "-c", client], capture_output=True, timeout=60)
    outcome = json.loads(completed.stderr.decode().rsplit("\n", 1)[-1])
    assert outcome == {"error": "ValueError",
                       "message": f"The request header {name} cannot be sent: it holds a line break or is empty."}
