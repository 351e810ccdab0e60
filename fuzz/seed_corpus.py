#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are committed; run this again after changing it. Each seed is a
small, named example of a case the target must handle."""

import io
import struct
import warnings
import zipfile
from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"
FIXTURES = Path(__file__).resolve().parent.parent / "tests" / "fixtures"


def menu_choice():
    def seed(choices, line):
        return struct.pack("<q", choices) + line

    return {
        "first": seed(4, b"1"),
        "last": seed(4, b"4"),
        "above": seed(4, b"5"),
        "zero": seed(4, b"0"),
        "leading-zero": seed(4, b"04"),
        "plus-sign": seed(3, b"+1"),
        "blank-around": seed(3, b" 1 "),
        "two-digits": seed(12, b"10"),
        "largest": seed(2**63 - 1, b"9223372036854775807"),
        "beyond-64-bits": seed(2**63 - 1, b"99999999999999999999"),
        "no-choices": seed(0, b"1"),
        "negative-choices": seed(-1, b"1"),
        "empty": seed(4, b""),
        "arabic-indic-digit": seed(4, "\u0661".encode()),
        "line-end": seed(4, b"1\n"),
    }


def credential_url():
    def seed(username, password):
        return struct.pack("<H", len(username)) + username + password

    return {
        "plain": seed(b"alice", b"s3cret"),
        "structure": seed(b"al/ice", b"a?b#c%d"),
        "dot-segments": seed(b"..", b"."),
        "unicode": seed("j\u00fcrgen".encode(), "\u043f\u0430\u0440\u043e\u043b\u044c".encode()),
        "blank-and-empty": seed(b"", b" \t"),
        "control-and-raw": seed(b"x\x00y", b"\x7f\x80\xff"),
        "reserved": seed(b"a@b:c", b"!$&'()*+,;=~"),
    }


def zip_bytes(members, compression=zipfile.ZIP_STORED):
    buffer = io.BytesIO()
    with warnings.catch_warnings(), zipfile.ZipFile(buffer, "w", compression) as archive:
        warnings.simplefilter("ignore")  # a repeated name is one of the cases
        for name, data in members:
            # A fixed time stamp keeps the seeds the same from run to run.
            archive.writestr(zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0)), data, compression)
    return buffer.getvalue()


def zip_extract():
    keys = [("ca.crt", b"CA\n"), ("user.crt", b"CERT\n"), ("user.key", b"KEY\n")]
    plain = zip_bytes(keys)
    damaged = bytearray(plain)
    damaged[plain.index(b"CA\n")] ^= 0xFF  # the data no longer matches its CRC-32
    return {
        "key-files": plain,
        "deflated-in-folder": zip_bytes([("keys/", b""), ("keys/user.key", b"KEY\n" * 20)], zipfile.ZIP_DEFLATED),
        "escaping-names": zip_bytes([("../evil", b"x"), ("/abs/file", b"y"), ("a/./b/../c", b"z"), ("./", b"")]),
        "through-links": zip_bytes([("link-to-directory/x", b"1"), ("link-to-file", b"2"), ("absolute-link/y", b"3"),
                                    ("dangling-link", b"4")]),
        "file-then-folder": zip_bytes([("a", b"1"), ("a/b", b"2")]),
        "repeated-name": zip_bytes([("k", b"first"), ("k", b"second, longer")]),
        "empty-archive": zip_bytes([]),
        "damaged-crc": bytes(damaged),
        "truncated": plain[: len(plain) // 2],
        "not-a-zip": b"<html>Not found</html>",
    }


def ferm_rewrite():
    def seed(address, protocol, port, config):
        fields = b"".join(bytes([len(value)]) + value for value in (address, protocol, port))
        return fields + config

    seeds = {
        "minimal": seed(b"10.0.0.1", b"udp", b"1194",
                        b"# Local resources\nmod owner uid-owner debian-tor ACCEPT;\n"),
        "lower-case-and-twice": seed(b"vpn.example", b"tcp", b"443",
                                     b"# local resources\n# LOCAL RESOURCES\n# Local resource\n"),
        "unusable-settings": seed(b"-x\n", b"u p", b"0", b"# Local resources mod owner uid-owner debian-tor"),
        "near-misses": seed(b"::1", b"udp", b"65535",
                            b"#Local resources\nmod  owner uid-owner debian-tor\nmod owner uid-owner debian-torrc\n"),
    }
    for fixture in sorted(FIXTURES.glob("*.conf")):
        text = fixture.read_bytes()
        # The OUTPUT chain: the comment and the Tor owner rule, not the whole file.
        start = text.lower().index(b"local resources") - 200
        seeds["excerpt-" + fixture.stem] = seed(b"10.8.0.1", b"udp", b"1194", text[max(start, 0):][:2500])
    return seeds


def password_command():
    none, install, stop = b"\x00", b"\x01", b"\x02"
    return {
        "plain": none + b"s3cret",
        "plain-punctuation": install + b"a_b.c,d+e@f%g=h:i/j-k",
        "leading-dash": stop + b"-n",
        "quotes": none + b"it's a \"pass\"",
        "shell-syntax": install + b"$(id) `id` ${x} ;|&<>*?~#!",
        "backslashes": stop + b"\\n\\c\\\\",
        "printf-format": none + b"%s%d%%",
        "blanks-and-line-ends": none + b" a\tb\nc\r ",
        "non-ascii": none + "p\u00e4ss\u20ac".encode() + b"\xff\xfe",
        "nul": none + b"a\x00b",
        "empty": stop,
        "longest": none + b"x" * 4096,
    }


def visible_text():
    escape, keep = b"\x00", b"\x01"
    return {
        "plain": escape + b"Sandbox-UDP",
        "utf-8": keep + "Z\u00fcrich \u6771\u4eac \U0001f600".encode(),
        "terminal-title": escape + b"\x1b]0;owned\x07name",
        "csi": keep + b"\x1b[2J\x1b[H line\n",
        "c1-csi": escape + "\u009b31m".encode(),
        "clipboard": escape + b"\x1b]52;c;aGk=\x07",
        "invalid-utf-8": keep + b"\x9b\xff\xc2\n",
        "line-ends": keep + b"a\r\nb\rc\n",
    }


def main():
    for target, seeds in {
        "menu_choice_fuzz": menu_choice(),
        "credential_url_fuzz": credential_url(),
        "zip_extract_fuzz": zip_extract(),
        "ferm_rewrite_fuzz": ferm_rewrite(),
        "password_command_fuzz": password_command(),
        "visible_text_fuzz": visible_text(),
    }.items():
        directory = CORPUS / target
        directory.mkdir(parents=True, exist_ok=True)
        for old in directory.iterdir():
            old.unlink()
        for name, data in seeds.items():
            (directory / name).write_bytes(data)


if __name__ == "__main__":
    main()
