"""The client on a real (pseudo-)terminal: the password prompt and Ctrl+C."""

import subprocess
import sys

import pytest

from dialogue import INTERRUPTED
from terminal import Terminal

# As the terminal shows it.
INTERRUPTED_LINE = INTERRUPTED.replace(b"\n", b"\r\n")

LAUNCH = """
import sys, marnu_tails_client as m, marnu_tails_launcher
def get_token(username, password):
    sys.stdout.write(f"<token for {username} with {len(password)} characters, {password == 's3cret'}>\\n")
    return 0
m.get_token = get_token
sys.exit(marnu_tails_launcher.main(sys.argv[1:]))
"""


@pytest.fixture
def terminal_code():
    """Starts Python code on a pseudo-terminal of its own."""
    opened = []

    def start(code, *args):
        opened.append(Terminal([sys.executable, "-c", code, *args]))
        return opened[-1]

    yield start
    for t in opened:
        t.close()


@pytest.fixture
def terminal(terminal_code):
    """Starts the client through the launcher, with the login replaced."""
    return lambda *args: terminal_code(LAUNCH, *args)


def test_password_is_not_echoed_and_echo_comes_back(terminal):
    t = terminal()
    t.read_until(b"\r\n>> ")
    t.type(b"1\n")
    t.read_until(b"Username: ")
    t.type(b"bob\n")
    t.read_until(b"Password: ")
    # Echo is off before the prompt shows, so a password typed at once is hidden.
    assert not t.echo_enabled()
    t.type(b"s3cret\n")
    t.read_until(b"characters, True>")
    t.read_until(b"\r\n>> ")
    assert t.echo_enabled()
    t.type(b"4\n")
    assert t.read_rest() == 0
    assert b"s3cret" not in t.output
    assert b"Password: \r\n<token for bob with 6 characters, True>" in t.output
    # Typed text is echoed again at the menu.
    assert t.output.endswith(b">> 4\r\n")


def test_ctrl_c_at_the_password_prompt_restores_echo_and_exits_130(terminal):
    t = terminal()
    t.read_until(b"\r\n>> ")
    t.type(b"1\nbob\n")
    t.read_until(b"Password: ")
    assert not t.echo_enabled()
    t.interrupt()
    assert t.read_rest() == 130
    assert t.echo_enabled()
    assert t.output.endswith(b"Password: \r\n" + INTERRUPTED_LINE)


def test_ctrl_c_at_the_menu_tells_the_user_in_one_line_and_exits_130(terminal):
    t = terminal("--debug")
    t.read_until(b"\r\n>> ")
    t.interrupt()
    assert t.read_rest() == 130
    assert t.output.startswith(b"\r\nDEBUG\r\n")
    assert t.output.endswith(b">> \r\n" + INTERRUPTED_LINE)


@pytest.mark.parametrize(
    "option, expected",
    [("--version", b"marnu-tails-client 1.5.0\n"), ("--help", b"usage: marnu-tails-client [-h] [--debug] [--version]\n")],
)
def test_launcher_options(option, expected):
    result = subprocess.run(["marnu-tails-client", option], capture_output=True, stdin=subprocess.DEVNULL,
                            env={"PATH": sys.prefix + "/bin"})
    assert result.returncode == 0
    assert result.stdout.startswith(expected)


def test_quit_through_the_launcher_exits_zero():
    result = subprocess.run(["marnu-tails-client"], input=b"4\n", capture_output=True,
                            env={"PATH": sys.prefix + "/bin"})
    assert result.returncode == 0
    assert result.stdout.endswith(b"4. Quit.\n\n>> ")


def test_ctrl_d_at_the_menu_of_a_terminal_ends_the_read_with_eof_error(terminal_code):
    t = terminal_code("import marnu_tails_client as m\n"
                      "try:\n    m.get_input(4)\nexcept EOFError:\n    print('EOF')\n")
    t.read_until(b"\r\n>> ")
    t.type(b"9\n")
    t.read_until(b"\r\n>> ")
    t.type(b"\x04")
    assert t.read_rest() == 0
    assert t.output.endswith(b">> EOF\r\n")


def test_a_tunnel_that_ends_is_told_at_the_prompt_and_the_line_typed_so_far_goes_on(terminal_code):
    t = terminal_code("import marnu_tails_client as m\n"
                      "m.DEBUG = True\n"
                      "m.execute_connection_command(\"echo 'Initialization Sequence Completed'; sleep 2; exit 3\","
                      " {'name': 'Alpha'})\n"
                      "print('chose', m.get_input(4))\n")
    t.read_until(b"Use option 2 to disconnect")
    t.read_until(b"\r\n>> ")
    t.type(b"4")
    t.read_until(b"4\r\n\r\n[-] The VPN connection has ended: Tor is blocked until you disconnect (2).\r\n"
                 b"[*] OpenVPN's exit status: 3.\r\n\r\n>> ", timeout=10)
    t.type(b"\n")
    assert t.read_rest() == 0
    assert t.output.endswith(b">> \r\nchose 4\r\n")
