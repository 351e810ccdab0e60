"""The module's surface: silent loading, the six values, the fourteen operations."""

import pytest

from conftest import run_python

VALUES = ["BANNER", "API_KEY", "OVPN_CONFIG_FILE", "HEADERS", "CONNECTED", "DEBUG"]
OPERATIONS = [
    "execute_connection_command", "get_token", "download_keys", "get_servers", "send_to_api",
    "configure_ferm", "get_input", "configure_tails", "configure_ovpn", "connect",
    "disconnect", "reset_firewall", "get_server", "run",
]


def test_loading_prints_nothing_and_defines_exactly_the_values_then_the_operations():
    result = run_python(
        """
        import marnu_tails_client as m
        names = [n for n in vars(m) if not (n.startswith("__") and n.endswith("__"))]
        open(1, "w").write(repr(names))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == b""
    assert eval(result.stdout) == VALUES + OPERATIONS


# Python's json brings re, enum and more: milliseconds of start-up.
def test_libcurl_libzip_and_json_are_loaded_at_their_first_use_not_with_the_module():
    result = run_python(
        """
        import sys
        import marnu_tails_client as m

        def loaded():
            maps = open("/proc/self/maps").read()
            return [name for name in ("libcurl", "libzip") if name in maps] + ["json"] * ("json" in sys.modules)

        seen = [loaded()]
        m.send_to_api = lambda query: b"not a zip archive"
        try:
            m.download_keys("alice", "secret")
        except ValueError:
            pass
        seen.append(loaded())
        m.run()  # the start-up check asks libcurl; stdin chooses Quit
        seen.append(loaded())
        m.send_to_api = lambda query: b'{"data": {"status": "1"}}'
        m.get_servers("alice", "secret")
        seen.append(loaded())
        open(2, "w").write(repr(seen))
        """,
        stdin=b"4\n",
    )
    assert result.returncode == 0, result.stderr
    assert eval(result.stderr) == [[], ["libzip"], ["libcurl", "libzip"], ["libcurl", "libzip", "json"]]


def test_values_at_load():
    import marnu_tails_client as m

    assert m.API_KEY == "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"
    assert m.OVPN_CONFIG_FILE == "/tmp/config.ovpn"
    assert m.HEADERS == {
        "User-Agent": "Mozilla/5.0 (Windows NT 6.1; WOW64; rv:64.0) Gecko/20100101 Firefox/64.0"
    }
    assert m.CONNECTED is False and m.DEBUG is False


def test_banner_line_structure():
    import marnu_tails_client as m

    assert m.BANNER.endswith("V1.5\n\n")
    lines = m.BANNER.split("\n")
    assert len(lines) == 1 + 6 + 5 + 1 + 1 + 1  # the final "" follows the last newline
    assert lines[0] == " " * 16
    big, small = lines[1:7], lines[7:12]
    assert len({len(line) for line in big}) == 1 and big[0].strip()
    assert len({len(line) for line in small}) == 1 and small[0].strip()
    assert lines[12:] == ["V1.5", "", ""]


@pytest.mark.parametrize(
    "call, stdin, tail",
    [
        ("m.get_input(choices=3)", b"3\n", b"\n>> 3\n"),
        ("m.run(debug=False)", b"4\n", b"\n>> None\n"),
    ],
)
def test_operations_accept_keywords(call, stdin, tail):
    result = run_python(f"import marnu_tails_client as m\nprint(repr({call}))", stdin=stdin)
    assert result.returncode == 0, result.stderr
    assert result.stdout.endswith(tail)


def test_every_operation_names_its_parameters():
    import inspect
    import marnu_tails_client as m

    expected = {
        "execute_connection_command": "(command, server)",
        "get_token": "(username, password)",
        "download_keys": "(username, password)",
        "get_servers": "(username, password)",
        "send_to_api": "(query)",
        "configure_ferm": "(ip, protocol, port)",
        "get_input": "(choices)",
        "configure_tails": "(server, username)",
        "configure_ovpn": "(ip, protocol, port, username)",
        "connect": "(server, password)",
        "disconnect": "()",
        "reset_firewall": "()",
        "get_server": "(username, password)",
        "run": "(debug=False)",
    }
    for name, signature in expected.items():
        doc = getattr(m, name).__doc__.splitlines()[0]
        parameters = doc[len(name):].split(" -> ")[0]
        # pybind11 writes "name(a: object, b: object) -> object"; keep only names and defaults.
        plain = "(" + ", ".join(
            p.split(":")[0] + ("=False" if "= False" in p else "")
            for p in parameters.strip("()").split(", ") if p
        ) + ")"
        assert plain == signature, (name, doc)
