"""Runs a command as an ordinary user that exists only in a private mount
namespace, with subordinate ids, as on a machine set up for rootless
containers; this machine's own /etc, /root and /dev are not changed.

Started as root; `launcher(uid, scratch)` gives the argument list to put
before the command. In the private view:
  - /etc is a copy that adds the user "sandboxer" (uid = gid = UID) and
    its subordinate ids 100000-165535 in /etc/subuid and /etc/subgid, which
    newuidmap and newgidmap (setuid root) read;
  - this test run's Python and the project are reachable by others (a
    tmpfs over /root, say, in which only they reappear);
  - /dev/net/tun is read-writable by all, as Debian's udev rules make it,
    if this machine's is not.

usage (as root): unshare --mount --propagation private -- PY tests/ordinary_user.py UID SCRATCH -- CMD ..."""

import os
import shutil
import stat
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from sandbox.filesystem import bind, make_reachable, mount_tmpfs  # noqa: E402

USER = "sandboxer"
SUBORDINATE_IDS = "100000:65536"
TUN = Path("/dev/net/tun")


def launcher(uid, scratch):
    return ["unshare", "--mount", "--propagation", "private", "--", sys.executable, __file__,
            str(uid), str(scratch), "--"]


def private_etc(scratch, uid):
    etc = scratch / "etc"
    shutil.copytree("/etc", etc, symlinks=True)
    with open(etc / "passwd", "a") as passwd:
        passwd.write(f"{USER}:x:{uid}:{uid}::/nonexistent:/bin/sh\n")
    with open(etc / "group", "a") as group:
        group.write(f"{USER}:x:{uid}:\n")
    for name in ("subuid", "subgid"):
        (etc / name).write_text(f"{USER}:{SUBORDINATE_IDS}\n")
        (etc / name).chmod(0o644)
    bind(etc, "/etc")


def open_tun(scratch):
    if TUN.exists() and TUN.stat().st_mode & 0o006 != 0o006:
        node = scratch / "tun"
        os.mknod(node, 0o666 | stat.S_IFCHR, TUN.stat().st_rdev)
        node.chmod(0o666)
        bind(node, TUN)


def main():
    uid, scratch = int(sys.argv[1]), Path(sys.argv[2])
    command = sys.argv[4:] if sys.argv[3:4] == ["--"] else sys.argv[3:]
    mount_tmpfs(scratch, 0o700)
    private_etc(scratch, uid)
    open_tun(scratch)
    stash = scratch / "stash"
    stash.mkdir()
    python = os.path.dirname(os.path.realpath(sys.executable))
    make_reachable([python, sys.base_prefix, sys.prefix, ROOT], stash_dir=stash)
    os.chdir("/")
    os.execvp("setpriv", ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", "--", *command])


if __name__ == "__main__":
    main()
