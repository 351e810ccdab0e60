"""Running a command as one of the sandbox's users: identity and environment."""

import os
import pwd

from .host_config import root_path

USER_PATH = "/usr/local/bin:/usr/bin:/bin:/usr/local/games:/usr/games"


def identity(user):
    """Popen keyword arguments that make the child run as `user`."""
    entry = pwd.getpwnam(user)
    groups = sorted({entry.pw_gid} | set(os.getgrouplist(entry.pw_name, entry.pw_gid)))
    return {"user": entry.pw_uid, "group": entry.pw_gid, "extra_groups": groups}


def environment(user, outer=os.environ, stand_ins=True):
    """A login-like environment for `user`; the terminal's settings carry
    over. Root's PATH is sudo's secure_path: the package-tool stand-ins
    first, unless the real tools are to run."""
    entry = pwd.getpwnam(user)
    env = {
        "HOME": entry.pw_dir,
        "USER": user,
        "LOGNAME": user,
        "SHELL": "/bin/bash",
        "PATH": root_path(stand_ins) if entry.pw_uid == 0 else USER_PATH,
        "LANG": outer.get("LANG", "C.UTF-8"),
    }
    for name in ("TERM", "COLUMNS", "LINES", "LC_ALL"):
        if name in outer:
            env[name] = outer[name]
    return env
