"""Login and server list: get_token and get_servers on top of a replaced
send_to_api, and the decoding of the provider's JSON answers."""

import codecs
import json

import pytest

from api_child import envelope, run_api

PROGRESS = b"\n[*] Authenticating, please wait... \n"
SUCCESS = b"[+] Authentication successful.\n"


@pytest.mark.parametrize("cookie_id", ["a1b2c3", 42, 2**70, None, 1.5, {"k": [1, "v"]}])
def test_accepted_login_prints_both_lines_and_returns_the_token_unchanged(cookie_id):
    answer = envelope({"status": "1", "cookie_id": cookie_id})
    stdout, outcome = run_api('m.get_token("alice", "secret")', [answer])
    assert stdout == PROGRESS + SUCCESS
    assert outcome["result"] == repr(cookie_id)
    assert outcome["queries"] == ["checksession/username/alice/password/secret.json"]


def test_refused_login_prints_only_the_progress_line_and_returns_0():
    stdout, outcome = run_api('m.get_token("alice", "wrong")', [0])
    assert stdout == PROGRESS
    assert outcome["result"] == "0"


@pytest.mark.parametrize(
    "answer, error",
    [
        (b"<html>Service unavailable</html>", "ValueError"),
        (b"", "ValueError"),
        (envelope({"status": "1"}), "KeyError"),
        (b'{"data": []}', "TypeError"),
    ],
    ids=["html", "empty", "no cookie_id", "data not an object"],
)
def test_login_answer_without_a_token_fails_after_the_success_line(answer, error):
    stdout, outcome = run_api('m.get_token("alice", "secret")', [answer])
    assert stdout == PROGRESS + SUCCESS
    assert outcome["error"] == error


def test_server_list_is_data_in_the_order_received_and_prints_nothing():
    answer = (
        b'{"data": {"status": "1", "zulu": {"address": "10.0.0.2", "port": "443", "proto": "tcp"},'
        b' "alpha": {"address": "10.0.0.1", "port": "1194", "proto": "udp"}}, "other": 1}'
    )
    stdout, outcome = run_api('m.get_servers("alice", "secret")', [answer])
    assert stdout == b""
    assert outcome["result"] == repr(json.loads(answer)["data"])
    assert outcome["queries"] == ["serversdetail/username/alice/password/secret.json"]


def test_server_list_of_status_only_is_that_one_member_object():
    _, outcome = run_api('m.get_servers("alice", "secret")', [envelope({"status": "1"})])
    assert outcome["result"] == "{'status': '1'}"


@pytest.mark.parametrize(
    "answer, error", [(0, "TypeError"), (b"PK\x05\x06" + bytes(18), "ValueError")], ids=["refused", "zip"]
)
def test_server_list_fails_when_the_answer_is_no_json_envelope(answer, error):
    stdout, outcome = run_api('m.get_servers("alice", "secret")', [answer])
    assert stdout == b""
    assert outcome["error"] == error


@pytest.mark.parametrize(
    "username, password, user_part, password_part",
    [
        ("alice", "s3cret!$&'()*+,;=:@~-._", "alice", "s3cret!$&'()*+,;=:@~-._"),
        ("Alice", "pa#ss", "Alice", "pa%23ss"),
        ("al/ice", "a?b", "al%2Fice", "a%3Fb"),
        ("bob", "100%", "bob", "100%25"),
        ("bob", "%41", "bob", "%2541"),
        ("b o b", "tab\there", "b%20o%20b", "tab%09here"),
        ("jürgen", "пароль", "j%C3%BCrgen", "%D0%BF%D0%B0%D1%80%D0%BE%D0%BB%D1%8C"),
        ("x", '"<>\\^`{|}\x7f', "x", "%22%3C%3E%5C%5E%60%7B%7C%7D%7F"),
        # Dot segments: URL resolution would drop them with the segment before.
        ("..", ".", "%2E%2E", "%2E"),
        (".", "..", "%2E", "%2E%2E"),
        ("...", "a.b", "...", "a.b"),
    ],
)
def test_credentials_cannot_change_the_structure_of_the_query(username, password, user_part, password_part):
    calls = f"(m.get_token({username!r}, {password!r}), m.get_servers({username!r}, {password!r}))"
    answer = envelope({"status": "1", "cookie_id": "t"})
    _, outcome = run_api(calls, [answer, answer])
    tail = f"/username/{user_part}/password/{password_part}.json"
    assert outcome["queries"] == ["checksession" + tail, "serversdetail" + tail]


# Bodies in every encoding json.loads recognises for bytes; each must decode
# to exactly what Python's own json module makes of it.
DOCUMENT = '{"data": {"status": "1", "caf\u00e9": "\U0001F600 \u00fc", "n": [1, -2.5, true, null]}}'
ENCODED = {
    "utf-8": DOCUMENT.encode("utf-8"),
    "utf-8 with BOM": codecs.BOM_UTF8 + DOCUMENT.encode("utf-8"),
    "utf-16-le": DOCUMENT.encode("utf-16-le"),
    "utf-16-be": DOCUMENT.encode("utf-16-be"),
    "utf-16-le with BOM": codecs.BOM_UTF16_LE + DOCUMENT.encode("utf-16-le"),
    "utf-16-be with BOM": codecs.BOM_UTF16_BE + DOCUMENT.encode("utf-16-be"),
    "utf-32-le": DOCUMENT.encode("utf-32-le"),
    "utf-32-be": DOCUMENT.encode("utf-32-be"),
    "utf-32-le with BOM": codecs.BOM_UTF32_LE + DOCUMENT.encode("utf-32-le"),
    "utf-32-be with BOM": codecs.BOM_UTF32_BE + DOCUMENT.encode("utf-32-be"),
}

VALUES = {
    "member order": b'{"data": {"zeta": 1, "alpha": 2, "mid": {"z": 0, "a": 1}, "status": "1"}}',
    "repeated key": b'{"data": {"status": "1", "b": 1, "a": 2, "b": 3}}',
    "repeated key with objects": b'{"data": {"s": {"x": 1}, "t": 0, "s": {"y": [2]}}}',
    "integers": b'{"data": [0, -0, 1, -1, 9223372036854775807, -9223372036854775808, 18446744073709551615]}',
    "integers beyond 64 bits": (
        b'{"data": [18446744073709551616, -9223372036854775809, 123456789012345678901234567890,'
        + b" 1" + b"0" * 400 + b", -7" + b"3" * 1000 + b"]}"
    ),
    "floats": b'{"data": [1.5, -0.0, 0.1, 1e-7, 1E+2, 2.5e3, 1.7976931348623157e308, 5e-324, 1e400, -1e400]}',
    "strings": b'{"data": ["\\u00e9\\ud83d\\ude00", "\\n\\t\\"\\\\\\/", "\\u0000", ""]}',
    "nesting and literals": b' \n{"data" : [[[]], {}, true, false, null, [{"a": [1, {"b": null}]}]]}\r\n\t',
    "same names in records of different order": b'{"data": {"a": {"x": 1, "y": [2]}, "b": {"y": 3, "x": {"x": 4}}}}',
    "escaped and plain spelling of one name": b'{"data": {"k\\u0041": 1, "b": 2, "kA": 3, "\\u006bA": 4}}',
    "escapes among raw utf-8": '{"data": ["\u00e9\\t\u20ac\\u20ac\U0001f600", "\\"\u00e9"]}'.encode(),
    "numbers near the ends of the ranges": b'{"data": [-0.0e0, 0e-99999, 1e4000, 123456789012345678, 1234567890123456789]}',
    "numbers beyond every float": b'{"data": [1e5000, -1e99999, 1e-99999]}',
}


@pytest.mark.parametrize("body", list(ENCODED.values()) + list(VALUES.values()), ids=list(ENCODED) + list(VALUES))
def test_answers_decode_as_pythons_json_module_decodes_them(body):
    _, outcome = run_api('m.get_servers("alice", "secret")', [body])
    assert outcome["result"] == repr(json.loads(body)["data"])


NOT_JSON = {
    "invalid utf-8 in a string": b'{"data": {"status": "1", "x": "\xff"}}',
    "overlong utf-8": b'{"data": {"x": "\xc0\xaf"}}',
    "truncated": b'{"data": {"status": "1"',
    "trailing text": b'{"data": {}} x',
    "trailing comma": b'{"data": {"a": 1,}}',
    "single quotes": b"{'data': {}}",
    "comment": b'{"data": {} /* c */}',
    "control character in a string": b'{"data": {"a": "x\ny"}}',
    "leading zero": b'{"data": 01}',
    "two byte order marks": codecs.BOM_UTF8 * 2 + b'{"data": {}}',
    "odd-length utf-16": b'{\x00"\x00d\x00a\x00t\x00a\x00"\x00:\x001\x00}\x00 ',
    "lone surrogate in utf-16": b'[\x00"\x00\x00\xd8"\x00]\x00',
    "NaN": b'{"data": NaN}',
    "Infinity": b'{"data": [1, Infinity]}',
    "-Infinity in utf-16": '{"data": -Infinity}'.encode("utf-16"),
    "escaped lone high surrogate": b'{"data": "\\ud83d"}',
    "escaped lone low surrogate": b'{"data": "\\ude00"}',
    "escaped high surrogate before a letter": b'{"data": "\\ud83d\\u0041"}',
    "escaped lone surrogate in a member name": b'{"data": {"ok": [{"\\uDC00x": 1}]}}',
    "escaped lone surrogate among wide characters": '{"data": ["\u20ac", "\\udc00"]}'.encode("utf-16"),
    "surrogate encoded in utf-8": b'{"data": "\xed\xa0\x80"}',
    "unknown escape": b'{"data": "\\x41"}',
    "short unicode escape": b'{"data": "\\u12"}',
    "nul byte after the document": b'{"data": {}}\x00{',
    "fraction without digits": b'{"data": 1.}',
    "exponent without digits": b'{"data": 1e+}',
    "unterminated string": b'{"data": "abc',
    "html": b"<!DOCTYPE html><html></html>",
    "NUL byte after the document": b'{"data": {"status": "1"}}\x00{"x": 1}',
    "NUL byte after the document in utf-16": '{"data": {}}\x00'.encode("utf-16-le"),
    "nested deeper than the recursion limit": b'{"data": ' + b"[" * 40000 + b"]" * 40000 + b"}",
}


@pytest.mark.parametrize("body", NOT_JSON.values(), ids=NOT_JSON.keys())
def test_answer_that_is_not_json_text_makes_the_server_list_fail(body):
    _, outcome = run_api('m.get_servers("alice", "secret")', [body])
    assert outcome["error"] == "ValueError"
