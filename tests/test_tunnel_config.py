"""configure_ovpn, configure_ferm and configure_tails: the OpenVPN profile and
the rewritten firewall configuration, written in a /tmp and /etc/ferm private
to each test (the isolated child's mount namespace)."""

import shutil
import subprocess
import textwrap

import pytest

from conftest import FIXTURES, needs_isolation, run_python
from host_fakes import PRELUDE, load_snapshot

pytestmark = needs_isolation

PROFILE = "/tmp/config.ovpn"
REWRITE = "/tmp/ferm.conf"
SAVED = "/tmp/ferm.conf.back"
LIVE = "/etc/ferm/ferm.conf"
WATCHED = [PROFILE, REWRITE, SAVED, LIVE, "/tmp/victim", "/tmp/planted"]

TAILS = (FIXTURES / "tails-ferm.conf").read_bytes()
TAILS_2021 = (FIXTURES / "tails-ferm-2021.conf").read_bytes()

SERVER = {"name": "Alpha", "address": "192.0.2.10", "port": "1194", "proto": "udp", "country": "NL"}
RULE = b"            daddr 192.0.2.10 proto udp dport 1194 {mod owner uid-owner root ACCEPT;} "
TOR = b"mod owner uid-owner debian-tor"
TOR_IN_TUNNEL = b"outerface tun0 mod owner uid-owner debian-tor"

VPN_MESSAGE = b"\n[+] Configuring VPN settings.\n"
FIREWALL_MESSAGE = b"[+] Configuring firewall.\n\n"


def prepare(tmp_path, body, live=TAILS, setup=""):
    """Runs `body` in an isolated child whose /etc/ferm/ferm.conf holds `live`;
    returns its console output (a failure shows as "<Kind: message>") and
    what then stands at the four paths."""
    out = tmp_path / "files.json"
    code = (
        PRELUDE
        + "ensure_isolated()\nimport marnu_tails_client as m\n"
        + (f"with open({LIVE!r}, 'wb') as f: f.write({live!r})\n" if live is not None else "")
        + textwrap.dedent(setup)
        + "\ntry:\n"
        + textwrap.indent(textwrap.dedent(body).strip() + "\n", "    ")
        + "except Exception as e:\n    print(f'<{type(e).__name__}: {e}>')\n"
        + f"snapshot({WATCHED!r}, {str(out)!r})\n"
    )
    result = run_python(code, isolate=True)
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout, load_snapshot(out)


def profile(ip, protocol, port, key_name):
    # No "persist-tun": a restart of the connection (a network that came
    # back) opens the tunnel anew and adds its routes again; and OpenVPN
    # waits at most 5 s between its attempts.
    lines = [
        "client", f"proto {protocol}", "dev tun", "ca ca.crt", f"cert {key_name}.crt", f"key {key_name}.key",
        f"remote {ip} {port}", "cipher AES-128-CBC", "verb 1", "mute 20",
        'pull-filter ignore "ifconfig-ipv6 "', 'pull-filter ignore "route-ipv6 "', "keepalive 10 120",
        "comp-lzo", "persist-key", "connect-retry 1 5", "float", "resolv-retry infinite", "nobind",
        "auth-nocache", "remote-cert-tls server",
    ]
    return ("\n".join(lines) + "\n").encode()


def tor_outside_tunnel(refusal=b"jump log_reject;"):
    """What opens the first OUTPUT chain: Tor's packets, established or not,
    leave outside tun0 only for this host and its local networks."""
    return (b"\n            mod owner uid-owner debian-tor outerface ! tun0 @subchain \"tor_outside_tunnel\" {\n"
            b"                daddr (127.0.0.0/8 10.0.0.0/8 172.16.0.0/12 192.168.0.0/16) RETURN;\n"
            b"                " + refusal + b"\n"
            b"            }")


def expected_rewrite(saved, comment, rule=RULE):
    """The saved text with `rule` on its own line after the line `comment`,
    every Tor match confined to tun0, and the first OUTPUT chain opened by
    the rule for Tor's packets outside the tunnel."""
    assert saved.count(comment + b"\n") == 1
    with_rule = saved.replace(comment + b"\n", comment + b"\n" + rule + b"\n")
    refusal = b"jump log_reject;" if b"chain log_reject" in saved else b"REJECT reject-with icmp-port-unreachable;"
    return with_rule.replace(TOR, TOR_IN_TUNNEL).replace(b"chain OUTPUT {", b"chain OUTPUT {" +
                                                           tor_outside_tunnel(refusal), 1)


# --- OpenVPN profile -------------------------------------------------------

@pytest.mark.parametrize(
    "username, key_name",
    [
        ("MiXeD", "mixed"),
        ("alice", "alice"),
        ("ÄÖÜ", "äöü"),
        ("ΟΔΥΣΣΕΥΣ", "οδυσσευς"),  # Python lowers a final sigma to ς
        ("İstanbul", "i̇stanbul"),  # and İ to i with a combining dot
        ("User_42.X", "user_42.x"),
        ("", ""),
    ],
)
def test_profile_names_key_files_by_the_user_name_lowered_as_python_lowers_it(tmp_path, username, key_name):
    stdout, files = prepare(tmp_path, f"m.configure_ovpn('192.0.2.10', 'udp', '1194', {username!r})")
    assert stdout == VPN_MESSAGE
    assert files[PROFILE] == profile("192.0.2.10", "udp", "1194", key_name)
    assert files[REWRITE] is None and files[SAVED] is None


@pytest.mark.parametrize(
    "ip, protocol, port",
    [
        ("vpn.Example.org", "TCP-Client", "443"),  # verbatim: no change of case
        ("192.0.2.10", "udp", ""),  # "remote 192.0.2.10 " with its trailing blank
        ("", "", ""),
    ],
)
def test_profile_takes_server_values_verbatim(tmp_path, ip, protocol, port):
    stdout, files = prepare(tmp_path, f"m.configure_ovpn({ip!r}, {protocol!r}, {port!r}, 'bob')")
    assert stdout == VPN_MESSAGE
    assert files[PROFILE] == profile(ip, protocol, port, "bob")


def test_profile_is_replaced_whole_by_each_call(tmp_path):
    body = """
    m.configure_ovpn('a-very-long-host-name.example.org', 'tcp-client', '65535', 'ALongUserName')
    m.configure_ovpn('192.0.2.1', 'udp', '1', 'b')
    """
    stdout, files = prepare(tmp_path, body)
    assert stdout == VPN_MESSAGE * 2
    assert files[PROFILE] == profile("192.0.2.1", "udp", "1", "b")


@pytest.mark.parametrize(
    "arguments, message",
    [
        ("'192.0.2.10', b'udp', '1194', 'bob'", "protocol must be text (str), not bytes"),
        ("'192.0.2.10', 'udp', '1194', None", "username must be text (str), not NoneType"),
        ("3221225994, 'udp', '1194', 'bob'", "ip must be text (str), not int"),
        ("'192.0.2.10', 'udp', 1194, 'bob'", "port must be text (str), not int"),
    ],
)
def test_profile_value_that_is_not_text_fails_before_the_file_is_opened(tmp_path, arguments, message):
    setup = f"with open({PROFILE!r}, 'w') as f: f.write('earlier profile\\n')\n"
    stdout, files = prepare(tmp_path, f"m.configure_ovpn({arguments})", setup=setup)
    assert stdout == VPN_MESSAGE + f"<TypeError: {message}>\n".encode()
    assert files[PROFILE] == b"earlier profile\n"


# --- tunnel preparation ------------------------------------------------------

def test_tails_writes_the_profile_then_the_firewall_file(tmp_path):
    stdout, files = prepare(tmp_path, f"m.configure_tails({SERVER!r}, 'Alice')")
    assert stdout == VPN_MESSAGE + FIREWALL_MESSAGE
    assert files[PROFILE] == profile("192.0.2.10", "udp", "1194", "alice")
    assert files[REWRITE] == expected_rewrite(TAILS, b"            # Local resources")
    assert files[SAVED] == TAILS
    assert files[LIVE] == TAILS


def test_tails_passes_address_proto_and_port_through_the_module_namespace(tmp_path):
    body = """
    m.configure_ovpn = lambda *args: print("ovpn", args)
    m.configure_ferm = lambda *args: print("ferm", args)
    server = {"proto": "tcp", "port": "443", "address": "198.51.100.7"}
    print(m.configure_tails(server, "Bob"))
    """
    stdout, _ = prepare(tmp_path, body)
    assert stdout == (
        b"ovpn ('198.51.100.7', 'tcp', '443', 'Bob')\n"
        b"ferm ('198.51.100.7', 'tcp', '443')\n"
        b"None\n"
    )


@pytest.mark.parametrize("missing", ["address", "port", "proto"])
def test_tails_record_without_a_key_fails_before_anything_is_written(tmp_path, missing):
    server = {key: value for key, value in SERVER.items() if key != missing}
    stdout, files = prepare(tmp_path, f"m.configure_tails({server!r}, 'alice')")
    assert stdout == f"<KeyError: '{missing}'>\n".encode()
    assert files[PROFILE] is None and files[REWRITE] is None and files[SAVED] is None


def test_tails_value_that_is_not_text_fails_after_the_first_message_without_writing(tmp_path):
    server = dict(SERVER, port=1194)
    stdout, files = prepare(tmp_path, f"m.configure_tails({server!r}, 'alice')")
    assert stdout == VPN_MESSAGE + b"<TypeError: port must be text (str), not int>\n"
    assert files[PROFILE] is None and files[REWRITE] is None and files[SAVED] is None


def test_tails_twice_leaves_only_the_second_server(tmp_path):
    second = {"address": "198.51.100.7", "port": "443", "proto": "tcp"}
    body = f"""
    m.configure_tails({SERVER!r}, 'alice')
    m.configure_tails({second!r}, 'Carol')
    """
    stdout, files = prepare(tmp_path, body)
    assert stdout == (VPN_MESSAGE + FIREWALL_MESSAGE) * 2
    assert files[PROFILE] == profile("198.51.100.7", "tcp", "443", "carol")
    rule = b"            daddr 198.51.100.7 proto tcp dport 443 {mod owner uid-owner root ACCEPT;} "
    assert files[REWRITE] == expected_rewrite(TAILS, b"            # Local resources", rule)
    assert b"192.0.2.10" not in files[REWRITE]


# --- firewall rewrite --------------------------------------------------------

@pytest.mark.parametrize(
    "live, comment",
    [
        (TAILS, b"            # Local resources"),
        # Tails up to 2021 has a lower-case "l": the rule must still be added.
        (TAILS_2021, b"            # White-list access to local resources"),
    ],
    ids=["tails", "tails-2021"],
)
def test_tails_configuration_gets_one_root_rule_after_the_comment_and_tor_confined(tmp_path, live, comment):
    stdout, files = prepare(tmp_path, "m.configure_ferm('192.0.2.10', 'udp', '1194')", live=live)
    assert stdout == FIREWALL_MESSAGE
    rewritten = files[REWRITE]
    lines = rewritten.split(b"\n")
    assert lines.count(RULE) == 1
    assert lines[lines.index(RULE) - 1] == comment
    tor_lines = [line for line in lines if b"debian-tor" in line and b"tor_outside_tunnel" not in line]
    assert tor_lines and all(TOR_IN_TUNNEL in line for line in tor_lines)
    assert rewritten == expected_rewrite(live, comment)
    assert files[SAVED] == live and files[LIVE] == live


REWRITES = [
    (
        "two search texts",
        b"# Local resources\nA;\n# More local resources\nB;\n",
        b"# Local resources\n" + RULE + b"\nA;\n# More local resources\n" + RULE + b"\nB;\n",
    ),
    ("neither search text", b"domain ip table filter chain OUTPUT ACCEPT;\n", None),
    (
        "letter case of the first search text",
        b"# LOCAL RESOURCES\n# Local Resources:\n#Local resources\n Local-resources\n",
        b"# LOCAL RESOURCES\n" + RULE + b"\n# Local Resources\n" + RULE + b":\n#Local resources\n Local-resources\n",
    ),
    (
        "every Tor match, comments too, in its exact case",
        b"mod owner uid-owner debian-tor {\n# mod owner uid-owner debian-tor\n"
        b"MOD OWNER UID-OWNER DEBIAN-TOR\nmod owner uid-owner debian-tor2;\n",
        b"outerface tun0 mod owner uid-owner debian-tor {\n# outerface tun0 mod owner uid-owner debian-tor\n"
        b"MOD OWNER UID-OWNER DEBIAN-TOR\nouterface tun0 mod owner uid-owner debian-tor2;\n",
    ),
    ("text that is not ASCII is carried over", "# Café Local resources ✓\n".encode(),
     "# Café Local resources\n".encode() + RULE + " ✓\n".encode()),
    ("an empty file", b"", None),
]


@pytest.mark.parametrize("saved, expected", [case[1:] for case in REWRITES], ids=[case[0] for case in REWRITES])
def test_rewrite_rules(tmp_path, saved, expected):
    _, files = prepare(tmp_path, "m.configure_ferm('192.0.2.10', 'udp', '1194')", live=saved)
    assert files[REWRITE] == (saved if expected is None else expected)


def test_saved_copy_that_is_already_rewritten_is_rewritten_again(tmp_path):
    once = b"    # Local resources\n" + RULE + b"\n    " + TOR_IN_TUNNEL + b" ACCEPT;\n"
    setup = f"with open({SAVED!r}, 'wb') as f: f.write({once!r})\n"
    _, files = prepare(tmp_path, "m.configure_ferm('192.0.2.10', 'udp', '1194')", setup=setup)
    assert files[REWRITE] == (
        b"    # Local resources\n" + RULE + b"\n" + RULE + b"\n"
        b"    outerface tun0 outerface tun0 mod owner uid-owner debian-tor ACCEPT;\n"
    )
    assert files[SAVED] == once and files[LIVE] == TAILS


def test_empty_values_leave_their_keywords_followed_by_two_blanks(tmp_path):
    _, files = prepare(tmp_path, "m.configure_ferm('', '', '')", live=b"# Local resources\n")
    assert files[REWRITE] == b"# Local resources\n            daddr  proto  dport  {mod owner uid-owner root ACCEPT;} \n"


def test_live_configuration_is_saved_once_and_again_after_the_copy_was_moved_back(tmp_path):
    body = f"""
    m.configure_ferm('192.0.2.10', 'udp', '1194')
    with open({REWRITE!r}, 'rb') as f: first = f.read()
    with open({LIVE!r}, 'wb') as f: f.write(b'# Local resources\\nchanged;\\n')
    m.configure_ferm('192.0.2.10', 'udp', '1194')
    with open({REWRITE!r}, 'rb') as f: print('same as the first', f.read() == first)
    shutil.move({SAVED!r}, {LIVE!r})  # what disconnect and reset do
    with open({LIVE!r}, 'wb') as f: f.write(b'# Local resources\\nnewer;\\n')
    m.configure_ferm('192.0.2.10', 'udp', '1194')
    """
    stdout, files = prepare(tmp_path, body)
    # The second call rewrote the saved copy, not the changed live file.
    assert stdout == FIREWALL_MESSAGE * 2 + b"same as the first True\n" + FIREWALL_MESSAGE
    assert files[SAVED] == b"# Local resources\nnewer;\n"
    assert files[REWRITE] == b"# Local resources\n" + RULE + b"\nnewer;\n"


@pytest.mark.parametrize(
    "arguments, message",
    [
        ("1, 'udp', '1194'", "ip must be text (str), not int"),
        ("'192.0.2.10', None, '1194'", "protocol must be text (str), not NoneType"),
        ("'192.0.2.10', 'udp', 1194", "port must be text (str), not int"),
    ],
)
def test_firewall_value_that_is_not_text_fails_before_any_file_is_opened(tmp_path, arguments, message):
    stdout, files = prepare(tmp_path, f"m.configure_ferm({arguments})")
    assert stdout == FIREWALL_MESSAGE + f"<TypeError: {message}>\n".encode()
    assert files[SAVED] is None and files[REWRITE] is None


def test_missing_live_configuration_fails_without_writing(tmp_path):
    stdout, files = prepare(tmp_path, "m.configure_ferm('192.0.2.10', 'udp', '1194')", live=None)
    assert stdout == FIREWALL_MESSAGE + (
        b"<FileNotFoundError: [Errno 2] Could not open: No such file or directory: '/etc/ferm/ferm.conf'>\n"
    )
    assert files[SAVED] is None and files[REWRITE] is None


# --- files that other users of /tmp put in the way --------------------------

LINK = b"<OSError: [Errno 40] Refusing to use a symbolic link: '%s'>\n"
FOREIGN = b"<PermissionError: [Errno 1] Refusing to use a file that belongs to another user: '%s'>\n"


def trap(path, kind):
    """Child code that puts a symbolic link, or a file of user nobody, at `path`."""
    if kind == "link":
        return f"with open('/tmp/victim', 'w') as f: f.write('victim\\n')\nos.symlink('/tmp/victim', {path!r})\n"
    if kind == "dangling link":
        return f"os.symlink('/tmp/planted', {path!r})\n"
    return f"with open({path!r}, 'w') as f: f.write('theirs\\n')\nos.chown({path!r}, 65534, 65534)\n"


@pytest.mark.parametrize("kind", ["link", "dangling link", "foreign"])
@pytest.mark.parametrize("path", [PROFILE, REWRITE, SAVED])
def test_links_and_files_of_other_users_are_refused(tmp_path, path, kind):
    stdout, files = prepare(tmp_path, f"m.configure_tails({SERVER!r}, 'alice')", setup=trap(path, kind))
    refusal = (FOREIGN if kind == "foreign" else LINK) % path.encode()
    before = VPN_MESSAGE if path == PROFILE else VPN_MESSAGE + FIREWALL_MESSAGE
    assert stdout == before + refusal
    # What stood in the way is as it was; nothing was written through a link.
    if kind == "foreign":
        assert files[path] == b"theirs\n"
    else:
        assert files[path] == {"link": "/tmp/victim" if kind == "link" else "/tmp/planted"}
    assert files["/tmp/victim"] == (b"victim\n" if kind == "link" else None)
    assert files["/tmp/planted"] is None
    assert files[LIVE] == TAILS
    if path == PROFILE:
        assert files[REWRITE] is None and files[SAVED] is None
    if path == SAVED:
        # Refused before it is read: no rewrite is made from it.
        assert files[REWRITE] is None
    if path == REWRITE:
        assert files[SAVED] == TAILS


# --- ferm's own reading of the rewrite ---------------------------------------

TEST_CONFIGURATION = b"""domain ip table filter {
    chain OUTPUT {
        policy DROP;
        mod state state (ESTABLISHED) ACCEPT;

        # Local resources
        outerface lo ACCEPT;

        # More local resources
        daddr 127.0.0.1 proto tcp ACCEPT;

        mod owner uid-owner debian-tor {
            proto tcp syn mod state state (NEW) ACCEPT;
        }
    }
}
"""

FERM_ROOT_RULE = "--destination 192.0.2.10 --protocol udp --dport 1194 --match owner --uid-owner root --jump ACCEPT"


def ferm_noexec(config_file):
    """ferm's dry run inside private network and mount namespaces."""
    command = [
        "unshare", "--net", "--mount", "--pid", "--fork", "--propagation", "private", "--",
        "sh", "-c", "mount -t tmpfs tmpfs /tmp && exec ferm --noexec --lines \"$1\"", "ferm-check", str(config_file),
    ]
    return subprocess.run(command, capture_output=True, timeout=60)


@pytest.mark.skipif(shutil.which("ferm") is None, reason="ferm is not installed")
@pytest.mark.parametrize(
    "live, root_rules",
    [(TAILS, 1), (TAILS_2021, 1), (TEST_CONFIGURATION, 2)],
    ids=["tails", "tails-2021", "two-search-texts"],
)
def test_ferm_accepts_the_rewrite(tmp_path, live, root_rules):
    _, files = prepare(tmp_path, "m.configure_ferm('192.0.2.10', 'udp', '1194')", live=live)
    config_file = tmp_path / "ferm.conf"
    config_file.write_bytes(files[REWRITE])
    result = ferm_noexec(config_file)
    assert result.returncode == 0, result.stderr.decode()
    rules = result.stdout.decode().splitlines()
    output_rules = [rule for rule in rules if rule.startswith("-A OUTPUT ")]
    assert [rule for rule in rules if FERM_ROOT_RULE in rule] == [f"-A OUTPUT {FERM_ROOT_RULE}"] * root_rules
    # Before anything else, established connections too: Tor's packets
    # outside tun0 go to this host and its local networks, or nowhere.
    assert output_rules[0] == ("-A OUTPUT --match owner --uid-owner debian-tor ! --out-interface tun0 "
                               "--jump tor_outside_tunnel")
    refusal = "--jump log_reject" if live == TAILS else "--jump REJECT --reject-with icmp-port-unreachable"
    assert [rule for rule in rules if rule.startswith("-A tor_outside_tunnel ")] == [
        f"-A tor_outside_tunnel --destination {network} --jump RETURN"
        for network in ("127.0.0.0/8", "10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16")] + [
        f"-A tor_outside_tunnel {refusal}"]
    # The comment follows the rule for established connections in each file.
    assert output_rules[1] == "-A OUTPUT --match state --state ESTABLISHED --jump ACCEPT"
    assert output_rules[2] == f"-A OUTPUT {FERM_ROOT_RULE}"
    tor_rules = [rule for rule in output_rules[1:] if "--uid-owner debian-tor" in rule]
    assert tor_rules and all(rule.startswith("-A OUTPUT --out-interface tun0 ") for rule in tor_rules)


# --- a full /tmp ---------------------------------------------------------------

# /tmp shrunk to a few 4 KiB pages: the profile takes one, the saved copy and
# the rewrite of the Tails configuration two each.
@pytest.mark.parametrize("pages, filler, failing", [
    (1, 4096, PROFILE),
    (1, 0, SAVED),
    (4, 0, REWRITE),
], ids=["profile", "saved copy", "rewrite"])
def test_full_tmp_fails_clearly_and_leaves_no_file_cut_short(tmp_path, pages, filler, failing):
    setup = f"""
subprocess.run(["mount", "-o", "remount,size={pages * 4}k", "/tmp"], check=True)
with open("/tmp/filler", "wb") as f: f.write(bytes({filler}))
"""
    stdout, files = prepare(tmp_path, f"m.configure_tails({SERVER!r}, 'alice')", setup=setup)
    before = VPN_MESSAGE if failing == PROFILE else VPN_MESSAGE + FIREWALL_MESSAGE
    assert stdout == before + b"<OSError: [Errno 28] Could not write: No space left on device: '%s'>\n" % (
        failing.encode())
    assert files[failing] is None
    written = {PROFILE: [], SAVED: [PROFILE], REWRITE: [PROFILE, SAVED]}[failing]
    assert all(isinstance(files[path], bytes) and files[path] for path in written)
    if SAVED in written:
        assert files[SAVED] == TAILS
    assert files[LIVE] == TAILS


@pytest.mark.parametrize("path", [PROFILE, REWRITE, SAVED])
def test_directory_in_the_place_of_a_file_is_refused(tmp_path, path):
    stdout, files = prepare(tmp_path, f"m.configure_tails({SERVER!r}, 'alice')", setup=f"os.mkdir({path!r})\n")
    before = VPN_MESSAGE if path == PROFILE else VPN_MESSAGE + FIREWALL_MESSAGE
    assert stdout == before + (
        b"<OSError: [Errno 22] Refusing to use something that is not a regular file: '%s'>\n" % path.encode())
    assert files[path] == {"directory": []}
    assert files[LIVE] == TAILS
