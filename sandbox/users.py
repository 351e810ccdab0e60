"""Tails' users in the sandbox's private /etc/passwd, /etc/group and /etc/shadow.

ferm refuses rules that name users which do not exist, so every user that
ferm.conf matches on gets an account here; "amnesia" is uid 1000, as on Tails."""

import re
import subprocess
from pathlib import Path

from .accounts import ADMIN_PASSWORD

AMNESIA_UID = 1000
# System users get uids from here downwards, skipping those already taken.
FIRST_SYSTEM_UID = 990


def users_named(ferm_conf_text):
    """The user names that a ferm configuration matches with uid-owner, in order."""
    names = []
    for name in re.findall(r"uid-owner\s+([A-Za-z_][A-Za-z0-9_.-]*)", ferm_conf_text):
        if name not in names:
            names.append(name)
    return names


def _entries(text):
    return [line.split(":") for line in text.splitlines() if line and not line.startswith("#")]


def add_users(passwd, group, shadow, names, amnesia_hash="!"):
    """Returns the three files' texts with `names` and amnesia (uid 1000) added.

    amnesia's password is `amnesia_hash` (locked by default). An entry that
    holds uid or gid 1000 under another name gives way to amnesia."""
    passwd_entries = [e for e in _entries(passwd) if e[0] != "amnesia" and e[2] != str(AMNESIA_UID)]
    group_entries = [e for e in _entries(group) if e[0] != "amnesia" and e[2] != str(AMNESIA_UID)]
    shadow_entries = [e for e in _entries(shadow)
                      if e[0] in {p[0] for p in passwd_entries}]
    known = {e[0] for e in passwd_entries}
    taken = {int(e[2]) for e in passwd_entries} | {int(e[2]) for e in group_entries}

    def add(name, uid, home, shell):
        passwd_entries.append([name, "x", str(uid), str(uid), name, home, shell])
        group_entries.append([name, "x", str(uid), ""])
        shadow_entries.append([name, "*" if uid != AMNESIA_UID else amnesia_hash, "19000", "0", "99999", "7", "", "", ""])
        known.add(name)
        taken.add(uid)

    add("amnesia", AMNESIA_UID, "/home/amnesia", "/bin/bash")
    uid = FIRST_SYSTEM_UID
    for name in names:
        if name in known or name == "root":
            continue
        while uid in taken:
            uid -= 1
        add(name, uid, "/nonexistent", "/usr/sbin/nologin")

    def text(entries):
        return "".join(":".join(entry) + "\n" for entry in entries)

    return text(passwd_entries), text(group_entries), text(shadow_entries)


def entry(etc, name):
    """The uid, gid and home of user `name` in etc/passwd."""
    found = next(e for e in _entries((Path(etc) / "passwd").read_text()) if e[0] == name)
    return int(found[2]), int(found[3]), found[5]


def ids(etc, name):
    """The uid and gid of user `name` in etc/passwd."""
    return entry(etc, name)[:2]


def locked_shadow(passwd):
    """A shadow file in which every user of `passwd` has a locked password."""
    return "".join(f"{entry[0]}:*:19000:0:99999:7:::\n" for entry in _entries(passwd))


def password_hash(password):
    """A SHA-512 crypt hash of `password`, as pam_unix reads it from /etc/shadow."""
    return subprocess.run(["openssl", "passwd", "-6", "-stdin"], input=password, capture_output=True, text=True,
                          check=True).stdout.strip()


# amnesia's password for each sudo mode (sandbox/run --sudo). On Tails
# without an administration password amnesia has none at all: sudo lets it
# through without asking (pam_unix's nullok), then finds no rule for it.
AMNESIA_PASSWORDS = {"password": ADMIN_PASSWORD, "refuse": "", "nopasswd": None}


def install(etc, ferm_conf_text, amnesia_password=None):
    """Rewrites etc/passwd, etc/group and etc/shadow (a private copy of /etc).

    amnesia gets `amnesia_password` (sudo asks for it; "" is no password),
    else a locked one. Without a shadow file (this machine's was not
    readable), every other user's password is locked."""
    etc = Path(etc)
    files = [etc / "passwd", etc / "group", etc / "shadow"]
    if not files[2].exists():
        files[2].touch(mode=0o640)
        files[2].write_text(locked_shadow(files[0].read_text()))
    amnesia_hash = "!" if amnesia_password is None else password_hash(amnesia_password) if amnesia_password else ""
    texts = add_users(*(path.read_text() for path in files), users_named(ferm_conf_text), amnesia_hash)
    for path, text in zip(files, texts):
        path.write_text(text)
