"""The provider API client through the real proxy and TLS, in the sandbox:
send_to_api, get_token, get_servers and download_keys run as amnesia,
through microsocks on 127.0.0.1:9050 to the provider stand-in, with the
test CA trusted through the host's CA bundle."""

import json

import pytest

from sandbox.accounts import ACCOUNTS, API_KEY, account, server_list
from sandbox.provider import OK_BODY, fixed_routes
from sandbox_support import call, needs_sandbox, plain_sandbox_only, sandbox, sandbox_pki  # noqa: F401

pytestmark = [needs_sandbox, plain_sandbox_only]

REFUSAL = b"[-] Could not communicate with server, wrong credentials or could not connect to server.\n"
USER_AGENT = "Mozilla/5.0 (Windows NT 6.1; WOW64; rv:64.0) Gecko/20100101 Firefox/64.0"

def route_body(name):
    return fixed_routes()[name].body


# ---- send_to_api -------------------------------------------------------------

def test_success_returns_the_body_byte_for_byte(sandbox):
    assert call(sandbox, "send_to_api", "test/ok") == (b"", {"bytes": OK_BODY})


def test_request_carries_the_user_agent_and_the_query_path(sandbox):
    output, outcome = call(sandbox, "send_to_api", "test/echo")
    assert output == b""
    seen = json.loads(outcome["bytes"])["data"]
    assert seen["path"] == f"/v1/{API_KEY}/query/test/echo"
    headers = dict(seen["headers"])
    assert headers["User-Agent"] == USER_AGENT
    assert headers["Host"] == "api.marnu.example"
    assert "Cookie" not in headers


@pytest.mark.parametrize("route", ["status-0", "status-2", "status-empty", "status-null", "status-number-1",
                                   "status-twice-last-0", "status-object"])
def test_each_refusal_value_prints_the_refusal_once_and_yields_0(sandbox, route):
    assert call(sandbox, "send_to_api", "test/" + route) == (REFUSAL, {"value": 0})


@pytest.mark.parametrize("route", ["http-404-json", "http-500-json", "http-404-text", "http-500-text", "empty", "zip",
                                   "status-twice-last-1"])
def test_status_code_is_not_examined_and_non_json_comes_back_unchanged(sandbox, route):
    assert call(sandbox, "send_to_api", "test/" + route) == (b"", {"bytes": route_body(route)})


def test_content_encoding_is_undone(sandbox):
    assert call(sandbox, "send_to_api", "test/gzip") == (b"", {"bytes": OK_BODY})


@pytest.mark.parametrize("route, error", [
    ("no-data", "KeyError"),
    ("no-status", "KeyError"),
    ("status-deeper", "KeyError"),
    ("data-twice-last-without-status", "KeyError"),
    ("data-twice-last-array", "TypeError"),
    ("data-not-object", "TypeError"),
    ("array", "TypeError"),
    ("number", "TypeError"),
])
def test_json_that_is_not_the_envelope_fails_without_a_message(sandbox, route, error):
    output, outcome = call(sandbox, "send_to_api", "test/" + route)
    assert output == b""
    assert outcome["error"] == error


@pytest.mark.parametrize("route", ["redirect-http", "redirect-https"])
def test_redirects_are_followed_through_the_proxy(sandbox, route):
    assert call(sandbox, "send_to_api", "test/" + route) == (b"", {"bytes": OK_BODY})
    last = sandbox.provider_requests()[-1]
    assert (last["scheme"], last["path"]) == (route.split("-")[1], f"/v1/{API_KEY}/query/test/ok")


@pytest.mark.parametrize("route, reason", [
    ("redirect-loop", "Maximum (30) redirects followed"),
    ("redirect-ftp", "ftp"),
])
def test_endless_redirects_and_other_schemes_are_connection_errors(sandbox, route, reason):
    output, outcome = call(sandbox, "send_to_api", "test/" + route)
    assert output == b""
    assert outcome["error"] == "ConnectionError"
    assert reason in outcome["message"]


def test_redirect_loop_stops_after_30_redirects(sandbox):
    before = len(sandbox.provider_requests())
    call(sandbox, "send_to_api", "test/redirect-loop")
    assert len(sandbox.provider_requests()) - before == 31


# Requests in one process share nothing the provider could link them by.
def test_requests_in_one_process_resume_no_tls_session_and_may_run_in_parallel(sandbox):
    snippet = """
import threading
import marnu_tails_client as client
OK_BODY = client.send_to_api("test/ok")
assert client.send_to_api("test/ok") == OK_BODY
answers = []
threads = [threading.Thread(target=lambda: answers.append(client.send_to_api("test/ok"))) for _ in range(4)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(OK_BODY.hex(), answers == [OK_BODY] * 4)
"""
    before = len(sandbox.provider_requests())
    result = sandbox.run_python(snippet)
    assert result.stdout == OK_BODY.hex().encode() + b" True\n", result.stderr
    records = sandbox.provider_requests()[before:]
    assert len(records) == 6
    assert not any(record["tls_session_reused"] for record in records)


def test_nothing_listening_on_9050_is_a_connection_error_without_output(sandbox):
    output, outcome = call(sandbox, "send_to_api", "test/ok", isolated_network=True)
    assert output == b""
    assert outcome["error"] == "ConnectionError"
    assert "9050" in outcome["message"] or "proxy" in outcome["message"].lower()


def test_untrusted_certificate_fails(sandbox):
    before = len(sandbox.provider_requests())
    output, outcome = call(sandbox, "send_to_api", "test/ok", system_ca=True)
    assert output == b""
    assert outcome["error"] == "ConnectionError"
    assert "certificate" in outcome["message"]
    assert len(sandbox.provider_requests()) == before  # no request got through


# ---- the account operations ------------------------------------------------

AUTHENTICATING = b"\n[*] Authenticating, please wait... \n"


@pytest.mark.parametrize("user", ACCOUNTS, ids=lambda a: a.username)
def test_get_token_logs_each_account_in(sandbox, user):
    output, outcome = call(sandbox, "get_token", user.username, user.password)
    assert output == AUTHENTICATING + b"[+] Authentication successful.\n"
    assert outcome == {"value": f"sandbox-session-{user.key_name}"}


@pytest.mark.parametrize("username, password", [
    ("alice", "Wonderland"),
    ("Alice", "wonderland"),
    ("dave", "Mixed-Case-42"),
    ("bob", account("bob").password[:-1]),
])
def test_get_token_refuses_wrong_credentials(sandbox, username, password):
    assert call(sandbox, "get_token", username, password) == (AUTHENTICATING + REFUSAL, {"value": 0})


def test_get_servers_returns_the_list_in_the_provider_order(sandbox):
    bob = account("bob")
    output, outcome = call(sandbox, "get_servers", bob.username, bob.password)
    assert output == b""
    assert list(outcome["value"].items()) == list(server_list().items())


# send_to_api keeps the document it decoded for the operation that reads its
# answer next: only for that very bytes object, and only once.
def test_what_send_to_api_decoded_serves_only_its_own_answer_and_only_once(sandbox):
    bob = account("bob")
    snippet = f"""
import json
import marnu_tails_client as client
real, login = client.send_to_api, ({bob.username!r}, {bob.password!r})
first = client.get_servers(*login)
second = client.get_servers(*login)
separate = first is not second
first.clear()
kept = []
client.send_to_api = lambda query: kept.append(real(query)) or kept[-1]
wrapped = client.get_servers(*login)
client.send_to_api = lambda query: kept[0]
again = [client.get_servers(*login), client.get_servers(*login)]
real("test/ok")
client.send_to_api = lambda query: b'{{"data": {{"status": "1", "other": {{}}}}}}'
other = client.get_servers(*login)
print(json.dumps([second, wrapped, again, again[0] is not again[1], separate, other]))
"""
    result = sandbox.run_python(snippet)
    assert result.returncode == 0, result.stderr
    listing = server_list()
    assert json.loads(result.stdout) == [listing, listing, [listing, listing], True, True,
                                         {"status": "1", "other": {}}]


def test_get_servers_refused_prints_the_refusal_then_fails(sandbox):
    output, outcome = call(sandbox, "get_servers", "alice", "wrong")
    assert output == REFUSAL
    assert "error" in outcome


def test_download_keys_unpacks_the_bundle_into_tmp(sandbox, sandbox_pki):
    dave = account("Dave")
    listing = f"""
import os, sys
import marnu_tails_client as client
client.download_keys({dave.username!r}, {dave.password!r})
for name in sorted(os.listdir("/tmp")):
    print(name, oct(os.stat("/tmp/" + name).st_mode & 0o777), flush=True)
sys.stdout.buffer.write(open("/tmp/dave.key", "rb").read())
"""
    result = sandbox.run_python(listing, private_tmp=True)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.split(b"\n", 3)
    assert lines[:3] == [b"ca.crt 0o600", b"dave.crt 0o600", b"dave.key 0o600"]
    assert lines[3] == (sandbox_pki / "client-dave.key").read_bytes()


def test_download_keys_refused_prints_the_refusal_and_writes_nothing(sandbox):
    snippet = """
import os, marnu_tails_client as client
try:
    client.download_keys("alice", "wrong")
except Exception as failure:
    print(type(failure).__name__)
print(os.listdir("/tmp"))
"""
    result = sandbox.run_python(snippet, private_tmp=True)
    assert result.stdout.startswith(REFUSAL)
    assert result.stdout.endswith(b"\n[]\n")
