"""A Connect to a VPN server that never answers, which the client gives up
after OpenVPN's two minutes. The attempt starts with the test session's
first test and the test that checks its end runs last (the `runs_last`
mark), so that the wait overlaps the rest of the suite."""

import json
import threading
import time
from types import SimpleNamespace

import pytest

from dialogue import Dialogue
from host_state import openvpn_trying, rules

SILENT = {"status": "1", "Silent": {"address": "127.0.0.9", "port": "1194", "proto": "udp"}}


def connect_to_a_silent_server(host, dialogue):
    """From the menu: logs in, picks a server that never answers and waits
    until OpenVPN tries to reach it."""
    host.set_provider_routes({"serversdetail/username/alice/password/wonderland.json":
                              {"body": json.dumps({"data": SILENT})}})
    dialogue.log_in("alice", "wonderland")
    dialogue.expect(b"[+] Authentication successful.\n\n[*] Getting servers...\n\n1. Silent\n\n>> ")
    dialogue.type(b"1")
    dialogue.expect_connecting(SimpleNamespace(name="Silent"))
    deadline = time.monotonic() + 120
    while not openvpn_trying(host):
        assert time.monotonic() < deadline, "OpenVPN did not start connecting"
        dialogue.terminal.receive(0.2)  # sudo's prompt is answered as it shows


@pytest.fixture(scope="session", autouse=True)
def silent_attempt(request):
    """The host, the dialogue at the Connect's dots, when OpenVPN began to
    try, the host's firewall rules before, and `failure()`: when the failure
    line came (its output read by then); None when no test asks."""
    if not any(item.get_closest_marker("runs_last") and "silent_attempt" in item.fixturenames
               for item in request.session.items):
        yield None
        return
    from sandbox_support import UNAVAILABLE, Sandbox
    if UNAVAILABLE:
        yield None
        return
    host = Sandbox(None).start()
    dialogue = Dialogue(host)
    try:
        original = rules(host)
        dialogue.start()
        connect_to_a_silent_server(host, dialogue)
        trying_since = time.monotonic()
        # The terminal is read on, so the moment the failure line comes is known.
        came = {}

        def read_to_failure():
            try:
                came["output"] = dialogue.terminal.read_until(b"\r\n[-] Something went wrong.\r\n", timeout=300)
                came["after"] = time.monotonic() - trying_since
            except Exception as error:  # handed to the test
                came["error"] = error

        reader = threading.Thread(target=read_to_failure, daemon=True)
        reader.start()

        def failure():
            reader.join(300)
            if "error" in came:
                raise came["error"]
            return came["output"], came["after"]

        yield SimpleNamespace(host=host, dialogue=dialogue, original=original, failure=failure)
    finally:
        dialogue.close()
        host.stop()
