"""run(): start-up, the main menu, credentials and the single failure handling.

The operations of the other subsystems are replaced through the module
namespace by fakes that log their calls, so each transcript is exact."""

import re

import marnu_tails_client
import pytest

from conftest import needs_isolation, run_python

BANNER = marnu_tails_client.BANNER.encode()
START = BANNER + b"\n"
PROMPT = b"\n>> "
FAILED = b"[-] Something went wrong during execution. Did you lose internet access?\n"

FAKES = """
import sys, marnu_tails_client as m

def fake(name, results=(None,), connected=None, error=None):
    results = list(results)
    def operation(*args):
        sys.stdout.write(f"<{name}{args!r}>\\n")
        if error is not None:
            raise error
        if connected is not None:
            m.CONNECTED = connected
        return results.pop(0) if len(results) > 1 else results[0]
    setattr(m, name, operation)

for name in ("get_token", "get_server", "configure_tails", "connect", "reset_firewall"):
    fake(name)
fake("disconnect", connected=False)
"""


def menu(connected=False):
    return (
        b"\nWhat do you want to do?" + (b" [CONNECTED]" if connected else b"") + b"\n"
        b"1. Connect.\n" + (b"2. Disconnect.\n" if connected else b"") +
        b"3. Reset firewall settings.\n4. Quit.\n" + PROMPT
    )


def drive(setup, stdin, call="m.run()"):
    # Alone in its PID namespace, the client finds no OpenVPN of another
    # test or sandbox at start.
    code = FAKES + setup + f"\n{call}\nsys.stdout.write('RETURNED')\n"
    return run_python(code, stdin=stdin, own_processes=True)


def test_start_without_debug_shows_banner_and_menu_then_quits():
    result = drive("", b"4\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout == START + menu() + b"RETURNED"


def test_start_with_debug_prints_debug_line_first_and_sets_the_flag_for_good():
    setup = ""
    call = "m.run(debug=True)\nprint(m.DEBUG)\nm.run(debug=False)\nprint(m.DEBUG)"
    result = drive(setup, b"4\n4\n", call)
    assert result.stdout == (
        b"\nDEBUG\n" + START + menu() + b"True\n" + START + menu() + b"True\nRETURNED"
    )


def test_disconnect_choice_while_not_connected_does_nothing():
    result = drive("", b"2\n4\n")
    assert result.stdout == START + menu() + menu() + b"RETURNED"


@pytest.mark.parametrize(
    "connected, disconnected, expected",
    [
        (False, False, b""),
        (True, True, b"<disconnect()>\n"),
        # A Disconnect that changed nothing (sudo refused): no OpenVPN runs
        # here, so Tor stays blocked by the switched firewall.
        (True, False, b"<disconnect()>\n"
                      b"[*] Tor is blocked: start the client again and choose 3 to put Tails' firewall back.\n"),
    ],
    ids=["not connected", "connected", "disconnect changed nothing"],
)
def test_quit_disconnects_only_while_connected_and_says_when_that_failed(connected, disconnected, expected):
    setup = f"m.CONNECTED = {connected}\nfake('disconnect', connected={not disconnected})\n"
    result = drive(setup, b"4\n")
    assert result.stdout == START + menu(connected) + expected + b"RETURNED"


def test_disconnect_choice_while_connected_then_menu_without_it():
    setup = "m.CONNECTED = True\nfake('disconnect', connected=False)\n"
    result = drive(setup, b"2\n4\n")
    assert result.stdout == START + menu(True) + b"<disconnect()>\n" + menu(False) + b"RETURNED"


def test_reset_while_connected_calls_only_reset_and_keeps_the_flag():
    setup = "m.CONNECTED = True\n"
    result = drive(setup, b"3\n4\n")
    assert result.stdout == (
        START + menu(True) + b"<reset_firewall()>\n" + menu(True) + b"<disconnect()>\n" + b"RETURNED"
    )


def connect_calls(user, password):
    server = b"{'name': 'nl1'}"
    return (
        b"<get_server(" + repr((user, password))[1:-1].encode() + b")>\n"
        b"<configure_tails(" + server + b", " + repr(user).encode() + b")>\n"
        b"<connect(" + server + b", " + repr(password).encode() + b")>\n"
    )


def test_refused_login_returns_to_menu_and_next_connect_prompts_again():
    setup = "fake('get_token', results=[0, 'token'])\nfake('get_server', results=[{'name': 'nl1'}])\n"
    result = drive(setup, b"1\nbob\nwrong\n1\nbob\nright\n4\n")
    assert result.stdout == (
        START + menu()
        + b"\nUsername: Password: <get_token('bob', 'wrong')>\n" + menu()
        + b"\nUsername: Password: <get_token('bob', 'right')>\n" + connect_calls("bob", "right")
        + menu() + b"RETURNED"
    )


def test_accepted_login_is_kept_for_later_connects():
    setup = "fake('get_token', results=['token'])\nfake('get_server', results=[{'name': 'nl1'}])\n"
    result = drive(setup, b"1\nAlice\n p a s s \n1\n4\n")
    assert result.stdout == (
        START + menu()
        + b"\nUsername: Password: <get_token('Alice', ' p a s s ')>\n" + connect_calls("Alice", " p a s s ")
        + menu() + connect_calls("Alice", " p a s s ") + menu() + b"RETURNED"
    )


# Tails marks a Tor that has bootstrapped since its last restart in
# /run/tor-has-bootstrapped (here a private /run): Tor's mark comes DELAY
# seconds after the start, and the requests say whether it was there.
TOR_MARK = """
import os, subprocess, threading, time
subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run"], check=True)
os.mkdir("/run/tor-has-bootstrapped")
def bootstrapped():
    time.sleep({delay})
    open("/run/tor-has-bootstrapped/done", "w").close()
threading.Thread(target=bootstrapped, daemon=True).start()
for name in ("get_token", "get_server"):
    def marked(*args, request=getattr(m, name)):
        sys.stdout.write(f"<Tor ready: {{os.path.exists('/run/tor-has-bootstrapped/done')}}>\\n")
        return request(*args)
    setattr(m, name, marked)
"""
WAITING_FOR_TOR = b"[*] Waiting for Tor to be ready...\n"


@needs_isolation
@pytest.mark.parametrize("delay, waits", [(0, False), (1.5, True)], ids=["ready", "restarting"])
def test_a_connect_waits_for_a_restarting_tor_before_its_requests(delay, waits):
    setup = "fake('get_token', results=['token'])\nfake('get_server', results=[{'name': 'nl1'}])\n"
    code = FAKES + setup + TOR_MARK.format(delay=delay) + "\ntime.sleep(0.2)\nm.run()\n"
    result = run_python(code, stdin=b"1\nbob\npw\n1\n4\n", isolate=True, own_processes=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        START + menu() + b"\nUsername: Password: " + (WAITING_FOR_TOR if waits else b"")
        + b"<Tor ready: True>\n<get_token('bob', 'pw')>\n<Tor ready: True>\n" + connect_calls("bob", "pw")
        + menu() + b"<Tor ready: True>\n" + connect_calls("bob", "pw") + menu()
    )


@pytest.mark.parametrize("token", ["False", "0.0", "''", "None", "[]", "'0'"])
def test_only_the_integer_zero_refuses_a_login(token):
    setup = f"fake('get_token', results=[{token}])\nfake('get_server', results=[{{'name': 'nl1'}}])\n"
    result = drive(setup, b"1\nbob\npw\n4\n")
    assert connect_calls("bob", "pw") in result.stdout


def test_empty_user_name_is_passed_on_and_asked_for_again():
    setup = "fake('get_token', results=['token'])\nfake('get_server', results=[{'name': 'nl1'}])\n"
    result = drive(setup, b"1\n\npw\n1\n\npw2\n4\n")
    assert result.stdout.count(b"\nUsername: Password: ") == 2
    assert b"<get_token('', 'pw2')>" in result.stdout


@pytest.mark.parametrize("debug", [False, True])
def test_failure_in_an_operation_ends_the_process_with_status_zero(debug):
    setup = "fake('get_token', results=['t'])\nfake('get_server', error=ConnectionError('proxy refused'))\n"
    result = drive(setup, b"1\nbob\npw\n4\n", call=f"m.run(debug={debug})")
    assert result.returncode == 0
    head = START + menu() + b"\nUsername: Password: <get_token('bob', 'pw')>\n<get_server('bob', 'pw')>\n"
    if debug:
        head = b"\nDEBUG\n" + head
        assert result.stdout.startswith(head)
        rest = result.stdout[len(head):]
        assert re.fullmatch(
            rb"proxy refused\nError on line \d+ ConnectionError proxy refused\n" + re.escape(FAILED), rest
        ), rest
    else:
        assert result.stdout == head + FAILED


def test_failure_reports_the_line_of_the_failing_step():
    setup = (
        "fake('get_token', results=['t'])\n"
        "fake('configure_tails', error=KeyError('port'))\n"
        "fake('get_server', results=[{'name': 'nl1'}])\n"
    )
    first = drive(setup, b"1\nbob\npw\n4\n", call="m.run(debug=True)")
    setup2 = setup.replace("fake('configure_tails', error=KeyError('port'))", "fake('connect', error=KeyError('port'))")
    second = drive(setup2, b"1\nbob\npw\n4\n", call="m.run(debug=True)")
    lines = [re.search(rb"Error on line (\d+) KeyError 'port'", r.stdout) for r in (first, second)]
    assert all(lines) and lines[0].group(1) != lines[1].group(1)


@pytest.mark.parametrize(
    "stdin, prompt_seen",
    [(b"", PROMPT), (b"1\n", b"\nUsername: "), (b"1\nbob\n", b"Password: ")],
)
def test_end_of_input_is_a_failure(stdin, prompt_seen):
    result = drive("", stdin)
    assert result.returncode == 0
    assert result.stdout.endswith(prompt_seen + FAILED)


def test_keyboard_interrupt_is_not_handled_by_the_driver():
    setup = "fake('reset_firewall', error=KeyboardInterrupt())\n"
    result = drive(setup, b"3\n", call="try:\n    m.run()\nexcept KeyboardInterrupt:\n    print('INTERRUPTED')")
    assert result.stdout == START + menu() + b"<reset_firewall()>\nINTERRUPTED\nRETURNED"


def test_operations_are_looked_up_at_call_time():
    # Replacing get_input after start-up changes what the menu loop calls.
    setup = (
        "calls = iter([3, 4])\n"
        "def scripted(choices):\n"
        "    sys.stdout.write(f'[get_input {choices}]')\n"
        "    return next(calls)\n"
        "m.get_input = scripted\n"
    )
    result = drive(setup, b"")
    assert result.stdout == (
        START + menu()[: -len(PROMPT)] + b"[get_input 4]<reset_firewall()>\n"
        + menu()[: -len(PROMPT)] + b"[get_input 4]RETURNED"
    )
