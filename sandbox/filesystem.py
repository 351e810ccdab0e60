"""The sandbox's private file system views, made inside its own mount namespace.

Nothing here writes to this machine's files: /run, /tmp and /home become
empty tmpfs mounts, /etc a private copy bound over the original, and a
Python installation that ordinary users cannot reach (under /root, say) is
bound into a tmpfs that they can."""

import os
import shutil
import stat
import subprocess
from pathlib import Path

SCRATCH = Path("/run/marnu-sandbox")


def run(*command):
    subprocess.run(command, check=True)


def mount_tmpfs(path, mode):
    run("mount", "-t", "tmpfs", "-o", f"mode={mode:o}", "tmpfs", str(path))


def bind(source, target, read_only=False):
    run("mount", "--bind", str(source), str(target))
    if read_only:
        run("mount", "-o", "remount,bind,ro", str(target))


def make_private_mounts(keep=()):
    """Private /run (keeps systemctl out of the init scripts), /tmp and /home.

    Directories in `keep` under /tmp or /home (a project or a Python in an
    ordinary user's home, say) reappear in the new tmpfs, bound from the originals."""
    # Nothing mounted here may propagate back to this machine.
    run("mount", "--make-rprivate", "/")
    mount_tmpfs("/run", 0o755)
    SCRATCH.mkdir(mode=0o755)
    for name in ("logs", "sbin", "stash"):
        (SCRATCH / name).mkdir(mode=0o755)
    keep = _outermost(keep)
    for number, (directory, mode) in enumerate(((Path("/tmp"), 0o1777), (Path("/home"), 0o755))):
        _cover(directory, mode, [path for path in keep if directory in path.parents], f"private-{number}")


def _unreadable(directory, names):
    """The entries of `directory` that this process may not read (None to copy)."""
    hidden = []
    for name in names:
        path = os.path.join(directory, name)
        wanted = os.R_OK | os.X_OK if os.path.isdir(path) else os.R_OK
        if not os.path.islink(path) and not os.access(path, wanted):
            hidden.append(name)
    return hidden


def make_private_etc():
    """A copy of /etc, bound over /etc: the sandbox edits only the copy.

    Root reads everything; in a user namespace of its own, what this
    machine's root keeps to itself (shadow, sudoers, ...) is left out."""
    copy = SCRATCH / "etc"
    shutil.copytree("/etc", copy, symlinks=True, ignore=_unreadable)
    bind(copy, "/etc")
    # The tools may read whatever they like; the sandbox's own files replace these.
    sudoers_d = Path("/etc/sudoers.d")
    for path in sudoers_d.iterdir() if sudoers_d.exists() else ():
        path.unlink()


def hide_openvpn(openvpn, package):
    """Makes `openvpn` vanish from the sandbox's view, keeping a copy for the
    apt-get stand-in: an overlay over its directory with the file deleted in
    the (private) upper layer."""
    package.parent.mkdir()
    shutil.copy2(openvpn, package)
    upper, work = SCRATCH / "overlay-upper", SCRATCH / "overlay-work"
    upper.mkdir()
    work.mkdir()
    directory = Path(openvpn).parent
    run("mount", "-t", "overlay", "overlay", "-o", f"lowerdir={directory},upperdir={upper},workdir={work}",
        str(directory))
    Path(openvpn).unlink()


def make_home(user, uid, gid, root=Path("/")):
    home = Path(root) / "home" / user
    home.mkdir(mode=0o700)
    os.chown(home, uid, gid)
    return home


def _traversable_by_others(path):
    mode = os.stat(path).st_mode
    return bool(mode & stat.S_IXOTH)


def first_blocked_ancestor(path):
    """The highest directory on the way to `path` that others may not enter, or None."""
    path = Path(path)
    for ancestor in reversed(path.parents):
        if ancestor != Path("/") and not _traversable_by_others(ancestor):
            return ancestor
    return None


def _outermost(paths):
    paths = sorted({Path(os.path.realpath(p)) for p in paths})
    # A path inside another needed one comes along with it.
    return [p for p in paths if not any(other in p.parents for other in paths)]


def _cover(ancestor, mode, needed, name, stash_dir=SCRATCH / "stash"):
    """Mounts a tmpfs over `ancestor` in which only the `needed` paths
    below it reappear (read-only), with the directories on the way open to all.

    The tmpfs is filled while it waits in `stash_dir`, then moved over the
    ancestor with what it holds: the stash may lie below the ancestor itself
    (the project in a private folder, its scratch space inside it)."""
    cover = stash_dir / name
    cover.mkdir()
    mount_tmpfs(cover, mode)
    for path in needed:
        inside = cover / path.relative_to(ancestor)
        inside.mkdir(parents=True)
        for directory in [inside, *inside.parents]:
            if directory == cover:
                break
            directory.chmod(0o755)
        bind(path, inside, read_only=True)
    run("mount", "--move", str(cover), str(ancestor))


def make_reachable(paths, stash_dir=SCRATCH / "stash"):
    """Makes each directory in `paths` reachable by ordinary users.

    A directory that others may not enter on the way (such as /root) is
    covered by a tmpfs in which only the needed paths reappear, bound from
    their originals; the originals themselves are not changed. The binds
    are made in `stash_dir` before the tmpfs goes on."""
    blocked = {}
    for path in _outermost(paths):
        ancestor = first_blocked_ancestor(path)
        if ancestor is not None:
            blocked.setdefault(ancestor, []).append(path)
    for number, (ancestor, needed) in enumerate(sorted(blocked.items())):
        _cover(ancestor, 0o755, needed, str(number), stash_dir)
