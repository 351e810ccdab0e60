"""get_server: keys first, then the numbered list of servers, the user's pick
and the checked record, in a child with a private /tmp."""

import pytest

from api_child import envelope, run_api
from conftest import needs_isolation
from zip_bytes import make_zip

pytestmark = needs_isolation

BUNDLE = make_zip([("ca.crt", "CA"), ("alice.crt", "CERT"), ("alice.key", "KEY")])
HEADING = b"\n[*] Getting servers...\n\n"
PROMPT = b"\n>> "
UNKNOWN = b"\n[-] Unknown option, please enter a number that corresponts to one of the options above.\n"
INSPECT = 'outcome["cwd"] = os.getcwd(); outcome["files"] = sorted(tree())'


def record(number):
    return {"address": f"10.0.0.{number}", "port": "1194", "proto": "udp"}


def select(servers, typed, *, bundle=BUNDLE):
    """Runs get_server with the server list `servers` ("data" of the answer)
    and the lines `typed`; returns (stdout, outcome)."""
    return run_api(
        'm.get_server("alice", "pw")',
        [bundle, envelope(servers)],
        inspect=INSPECT,
        stdin=typed.encode(),
        isolate=True,
    )


def listing(names):
    return b"".join(f"{i}. {name}\n".encode() for i, name in enumerate(names, 1))


@pytest.mark.parametrize("count", [1, 3, 10])
def test_servers_are_listed_numbered_and_the_last_one_can_be_chosen(count):
    names = [f"server-{chr(ord('a') + i)}" for i in range(count)]
    servers = {"status": "1", **{name: record(i) for i, name in enumerate(names)}}
    stdout, outcome = select(servers, f"{count}\n")
    assert stdout == HEADING + listing(names) + PROMPT
    assert outcome["result"] == repr({**record(count - 1), "name": names[-1]})
    assert outcome["queries"] == [
        "getuserkeys/dapp/true/username/alice/password/pw.json",
        "serversdetail/username/alice/password/pw.json",
    ]
    assert outcome["cwd"] == "/tmp"
    assert outcome["files"] == ["alice.crt", "alice.key", "ca.crt"]


def test_tenth_entry_is_numbered_10_and_numbers_outside_the_list_are_asked_again():
    names = [f"s{i}" for i in range(1, 11)]
    servers = {name: record(i) for i, name in enumerate(names)}
    stdout, outcome = select(servers, "0\n11\n10\n")
    assert stdout == HEADING + listing(names) + PROMPT + UNKNOWN + PROMPT + UNKNOWN + PROMPT
    assert b"\n10. s10\n" in stdout
    assert outcome["result"] == repr({**record(9), "name": "s10"})


def test_only_members_whose_value_is_an_object_are_listed():
    servers = {"status": "1", "Berlin": record(1), "note": "maintenance", "count": 2, "Paris": record(2), "x": None}
    stdout, outcome = select(servers, "2\n")
    assert stdout == HEADING + listing(["Berlin", "Paris"]) + PROMPT
    assert outcome["result"] == repr({**record(2), "name": "Paris"})


def test_name_sent_by_the_provider_is_replaced_by_the_entrys_key():
    servers = {"status": "1", "Oslo": {"name": "evil", **record(7), "extra": [1]}}
    _, outcome = select(servers, "1\n")
    assert outcome["result"] == repr({"name": "Oslo", **record(7), "extra": [1]})


def test_empty_list_says_so_and_fails_without_a_prompt():
    stdout, outcome = select({"status": "1"}, "1\n")
    assert stdout == HEADING + b"[-] No VPN servers are available for this account.\n"
    assert outcome["error"] == "ValueError"
    assert outcome["cwd"] == "/tmp"


@pytest.mark.parametrize("servers", [["A"], "A", 1, None], ids=["list", "text", "number", "null"])
def test_server_list_that_is_not_an_object_is_a_type_error_without_a_prompt(servers):
    # get_servers is looked up in the module, where anything may stand.
    stdout, outcome = run_api('m.get_server("alice", "pw")', [BUNDLE],
                              setup=f"m.get_servers = lambda username, password: {servers!r}",
                              inspect=INSPECT, stdin=b"1\n", isolate=True)
    assert stdout == HEADING
    assert outcome["error"] == "TypeError"
    assert outcome["message"] == f"The server list must be a dict, not {type(servers).__name__}"
    assert outcome["files"] == ["alice.crt", "alice.key", "ca.crt"]


def test_failed_key_download_lists_nothing_and_fetches_no_list():
    stdout, outcome = select({"status": "1", "A": record(1)}, "1\n", bundle=b"<html></html>")
    assert stdout == HEADING
    assert outcome["error"] == "ValueError"
    assert len(outcome["queries"]) == 1
    assert outcome["cwd"] == "/tmp"


USABLE = [
    {"address": "vpn-1.example.net", "port": "1", "proto": "tcp-client"},
    {"address": "2001:db8::1", "port": "65535", "proto": "UDP6"},
    {"address": "192.0.2.10", "port": "443", "proto": "udp"},
]


@pytest.mark.parametrize("settings", USABLE, ids=[s["address"] for s in USABLE])
def test_usable_settings_are_returned(settings):
    _, outcome = select({"status": "1", "A": dict(settings)}, "1\n")
    assert outcome["result"] == repr({**settings, "name": "A"})


UNUSABLE = {
    "line break in address": {"address": "10.0.0.1\nup /bin/sh", "port": "1194", "proto": "udp"},
    "ferm syntax in address": {"address": "10.0.0.1; ACCEPT", "port": "1194", "proto": "udp"},
    "address with a blank": {"address": "10.0.0.1 ", "port": "1194", "proto": "udp"},
    "address beginning with -": {"address": "-config", "port": "1194", "proto": "udp"},
    "empty address": {"address": "", "port": "1194", "proto": "udp"},
    "non-ASCII address": {"address": "b\u00fccher.example", "port": "1194", "proto": "udp"},
    "address not text": {"address": 167772161, "port": "1194", "proto": "udp"},
    "address missing": {"port": "1194", "proto": "udp"},
    "port 0": {"address": "10.0.0.1", "port": "0", "proto": "udp"},
    "port 65536": {"address": "10.0.0.1", "port": "65536", "proto": "udp"},
    "port with leading zero": {"address": "10.0.0.1", "port": "01", "proto": "udp"},
    "port with a sign": {"address": "10.0.0.1", "port": "+1194", "proto": "udp"},
    "port with a line break": {"address": "10.0.0.1", "port": "1194\n", "proto": "udp"},
    "port of other digits": {"address": "10.0.0.1", "port": "\u0661\u0662", "proto": "udp"},
    "very long port": {"address": "10.0.0.1", "port": "1" * 30, "proto": "udp"},
    "port as a number": {"address": "10.0.0.1", "port": 1194, "proto": "udp"},
    "empty port": {"address": "10.0.0.1", "port": "", "proto": "udp"},
    "ferm syntax in proto": {"address": "10.0.0.1", "port": "1194", "proto": "udp;"},
    "brace in proto": {"address": "10.0.0.1", "port": "1194", "proto": "tcp}"},
    "empty proto": {"address": "10.0.0.1", "port": "1194", "proto": ""},
    "proto null": {"address": "10.0.0.1", "port": "1194", "proto": None},
}


@pytest.mark.parametrize("settings", UNUSABLE.values(), ids=UNUSABLE.keys())
def test_unusable_settings_of_the_chosen_server_are_refused(settings):
    servers = {"status": "1", "Good": record(1), "Bad one": settings}
    stdout, outcome = select(servers, "2\n")
    assert stdout == (
        HEADING + listing(["Good", "Bad one"]) + PROMPT
        + b"[-] The provider sent unusable settings for server Bad one.\n"
    )
    assert outcome["error"] == "ValueError"
    assert outcome["message"] == "The provider sent unusable settings for server Bad one."


@pytest.mark.parametrize("name, shown", [
    ("Zürich 東京 😀", "Zürich 東京 😀"),
    ("\x1b]0;owned\x07Oslo", "\\x1b]0;owned\\x07Oslo"),  # the terminal's title, then a bell
    ("\x1b[2J\x1b[HBergen", "\\x1b[2J\\x1b[HBergen"),  # clear the screen, cursor home
    ("\x1b]52;c;aGk=\x07Riga", "\\x1b]52;c;aGk=\\x07Riga"),  # write to the clipboard
    ("\x9b31mRed", "\\x9b31mRed"),  # C1 CSI
    ("tab\there\rline\nend\x7f", "tab\\x09here\\x0dline\\x0aend\\x7f"),
], ids=["utf-8", "osc-title", "csi", "osc-clipboard", "c1-csi", "c0-and-del"])
def test_server_names_reach_the_terminal_with_control_characters_made_visible(name, shown):
    stdout, outcome = select({"status": "1", name: record(1)}, "1\n")
    assert stdout == HEADING + f"1. {shown}\n".encode() + PROMPT
    # The record keeps the name as the provider sent it.
    assert outcome["result"] == repr({**record(1), "name": name})
