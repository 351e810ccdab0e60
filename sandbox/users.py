"""Tails' users in the sandbox's private /etc/passwd, /etc/group and /etc/shadow.

ferm refuses rules that name users which do not exist, so every user that
ferm.conf matches on gets an account here; "amnesia" is uid 1000, as on Tails."""

import re
from pathlib import Path

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


def add_users(passwd, group, shadow, names):
    """Returns the three files' texts with `names` and amnesia (uid 1000) added.

    An entry that holds uid or gid 1000 under another name gives way to amnesia."""
    passwd_entries = [e for e in _entries(passwd) if e[0] != "amnesia" and e[2] != str(AMNESIA_UID)]
    group_entries = [e for e in _entries(group) if e[0] != "amnesia" and e[2] != str(AMNESIA_UID)]
    shadow_entries = [e for e in _entries(shadow)
                      if e[0] in {p[0] for p in passwd_entries}]
    known = {e[0] for e in passwd_entries}
    taken = {int(e[2]) for e in passwd_entries} | {int(e[2]) for e in group_entries}

    def add(name, uid, home, shell):
        passwd_entries.append([name, "x", str(uid), str(uid), name, home, shell])
        group_entries.append([name, "x", str(uid), ""])
        shadow_entries.append([name, "*" if uid != AMNESIA_UID else "!", "19000", "0", "99999", "7", "", "", ""])
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


def install(etc, ferm_conf_text):
    """Rewrites etc/passwd, etc/group and etc/shadow (a private copy of /etc)."""
    etc = Path(etc)
    files = [etc / "passwd", etc / "group", etc / "shadow"]
    texts = add_users(*(path.read_text() for path in files), users_named(ferm_conf_text))
    for path, text in zip(files, texts):
        path.write_text(text)
