"""get_input: insists on a number from 1 to `choices`."""

import pytest

from conftest import run_python

PROMPT = b"\n>> "
REJECTED = b"\n[-] Unknown option, please enter a number that corresponts to one of the options above.\n"


def get_input(lines, choices=4):
    code = f"""
        import sys, marnu_tails_client as m
        try:
            sys.stdout.write("RESULT " + repr(m.get_input({choices})))
        except BaseException as e:
            sys.stdout.write("RAISED " + type(e).__name__)
        """
    return run_python(code, stdin=lines)


@pytest.mark.parametrize(
    "line, value",
    [(b"1", 1), (b"2", 2), (b"3", 3), (b"4", 4), (b"04", 4), (b"0000000000000000000000001", 1)],
)
def test_accepted_line_returns_its_value_at_once(line, value):
    result = get_input(line + b"\n")
    assert result.stdout == PROMPT + f"RESULT {value}".encode()


@pytest.mark.parametrize(
    "line",
    [
        b"0", b"5", b"", b"a", b"-1", b"+2", b"2.0", b" 2", b"2 ", b"\t3", b"00",
        b"9" * 30, b"9" * 1000, b"18446744073709551617",  # past any 64-bit integer
        "\u0663".encode(), "\uff14".encode(), "\u00b2".encode(),  # non-ASCII digits
    ],
)
def test_rejected_line_gets_the_message_and_a_new_prompt(line):
    result = get_input(line + b"\n2\n")
    assert result.stdout == PROMPT + REJECTED + PROMPT + b"RESULT 2"


def test_rejections_repeat_without_limit():
    result = get_input(b"x\n" * 50 + b"1\n")
    assert result.stdout == (PROMPT + REJECTED) * 50 + PROMPT + b"RESULT 1"


@pytest.mark.parametrize("choices, line, accepted", [(1, b"1", True), (1, b"2", False), (12, b"12", True)])
def test_highest_choice_is_the_parameter(choices, line, accepted):
    result = get_input(line + b"\n1\n", choices=choices)
    expected = f"RESULT {int(line)}" if accepted else "RESULT 1"
    assert result.stdout.endswith(expected.encode())
    assert (REJECTED in result.stdout) is (not accepted)


def test_end_of_input_raises_eof_error_with_nothing_printed():
    result = get_input(b"7\n")
    assert result.stdout == PROMPT + REJECTED + PROMPT + b"RAISED EOFError"

