"""Tails-like systems for the sandbox (sandbox/run --tails 6|7): Debian roots
made with mmdebstrap and cached under build/tails/, with the client's
package installed in them offline, as a Tails user installs it.

Tails 6 is Debian 12 (bookworm), Tails 7 Debian 13 (trixie). A root holds
what Tails has that matters to the client (PACKAGES), and not what Tails
lacks: no compiler, pip, libzip or OpenVPN. What Tails would fetch through
Tor to install the package (libzip, OpenVPN and what they need) is in an
offline APT repository in the root's /srv, the only source its APT knows.

  build/tails/archives/RELEASE/       the .debs downloaded, shared by the roots of a release
  build/tails/RELEASE-KEY/root/       a root (KEY: a hash of the release, the mirror
                                      and the package lists; it does not depend on the
                                      package, so it can be made while make dist runs)
  build/tails/RELEASE-KEY/VARIANT-DEB/layer
                                      the package installed by apt-get, with or without
                                      its Recommends (VARIANT), as an overlay layer over
                                      root/ (DEB: a hash of the .deb)

Each sandbox mounts an overlay of these with a tmpfs on top
(sandbox/tails_view.py), so every host starts from the same installed
system. Roots and layers are made once, whole or not at all (made under a
temporary name, then renamed), under a lock."""

import argparse
import fcntl
import hashlib
import os
import shutil
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from pathlib import Path

PROJECT_ROOT = Path(__file__).resolve().parent.parent
CACHE = PROJECT_ROOT / "build" / "tails"
DIST = PROJECT_ROOT / "dist"
MIRROR = os.environ.get("MARNU_DEBIAN_MIRROR", "http://deb.debian.org/debian")
RELEASES = {"6": "bookworm", "7": "trixie"}
# On Tails and needed here: the client's Python, libcurl (through curl),
# sudo, killall, ferm with its init script and legacy iptables, Tor's user
# and its init script, the CA bundle; ip and pgrep for the tests' checks.
# And what a booted system runs as Tails does: systemd as PID 1 with
# journald and logind, D-Bus, NetworkManager with its dispatcher, and
# python3-stem for Tails' control-port helpers (sandbox/tails_boot.py).
PACKAGES = ("python3", "curl", "sudo", "psmisc", "iptables", "ferm", "tor", "ca-certificates", "iproute2",
            "procps", "systemd", "systemd-sysv", "libpam-systemd", "dbus", "network-manager", "python3-stem")
# What Tails would fetch through Tor for the package: its libzip, and
# OpenVPN, which it recommends; the repository holds them and what they need.
FETCHED = {"bookworm": ("libzip4", "openvpn"), "trixie": ("libzip5", "openvpn")}
# Inside the root: the offline repository and the only APT source.
REPOSITORY = Path("srv/tails-apt")
SOURCES_LIST = "deb [trusted=yes] file:/srv/tails-apt ./\n"
VARIANTS = {True: "recommends", False: "no-recommends"}
# Tails' documentation, manuals and translations are of no use here.
DPKG_OPTIONS = ("path-exclude=/usr/share/man/*", "path-exclude=/usr/share/locale/*",
                "path-exclude=/usr/share/doc/*", "path-include=/usr/share/doc/*/copyright")
# A package's maintainer scripts may start its service: each layer is
# installed in namespaces of its own, with no network and no systemd.
INSTALL_ENV = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "DEBIAN_FRONTEND": "noninteractive", "LC_ALL": "C.UTF-8",
               "HOME": "/root"}


def log(message):
    print(f"[tails root] {message}", file=sys.stderr, flush=True)


def default_package(major):
    """The newest package that `make dist` built for Tails `major`."""
    found = sorted((DIST / f"tails{major}").glob("marnu-tails-client_*_amd64.deb"), key=lambda p: p.stat().st_mtime)
    if not found:
        raise SystemExit(f"sandbox: no package in {DIST}/tails{major}: run make dist first")
    return found[-1]


def deb_field(deb, field):
    return subprocess.run(["dpkg-deb", "--field", str(deb), field], check=True, capture_output=True,
                          text=True).stdout.strip()


def relation_names(relations):
    """The package names of a Depends-like field: versions, architectures and alternatives' bars dropped."""
    names = set()
    for relation in relations.replace("|", ",").split(","):
        name = relation.split("(")[0].split(":")[0].strip()
        if name:
            names.add(name)
    return sorted(names)


def needed_by(deb):
    """What the package may pull in: its Depends and Recommends."""
    return relation_names(deb_field(deb, "Depends") + "," + deb_field(deb, "Recommends"))


def key(release):
    recipe = "\n".join([release, MIRROR, *PACKAGES, "--", *FETCHED[release], *DPKG_OPTIONS, SOURCES_LIST])
    return hashlib.sha256(recipe.encode()).hexdigest()[:16]


def file_hash(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()[:16]


@contextmanager
def locked(release):
    """One maker at a time for a release's roots and layers."""
    CACHE.mkdir(parents=True, exist_ok=True)
    with open(CACHE / f".{release}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def installed_packages(root):
    """The names of the packages dpkg has installed in `root`."""
    names, name = set(), None
    for line in (root / "var/lib/dpkg/status").read_text().splitlines():
        if line.startswith("Package: "):
            name = line.split()[1]
        elif line == "Status: install ok installed":
            names.add(name)
    return names


def make_root(release, fetched, target, archives):
    """mmdebstrap makes the root and downloads, without installing, what
    `fetched` needs; the downloads are kept in `archives`. Maintainer scripts
    run chrooted in this machine's network: mmdebstrap's policy-rc.d keeps
    every service down, and ferm is preseeded not to start besides."""
    archives.mkdir(parents=True, exist_ok=True)
    command = ["mmdebstrap", "--quiet", "--variant=minbase", "--include=" + ",".join(PACKAGES),
               "--format=directory", "--aptopt=Acquire::Retries \"3\"",
               *(f"--dpkgopt={option}" for option in DPKG_OPTIONS),
               "--skip=download/empty", "--skip=essential/unlink",
               "--setup-hook=mkdir -p \"$1\"/var/cache/apt/archives/",
               f"--setup-hook=sync-in {archives} /var/cache/apt/archives/",
               "--essential-hook=echo 'ferm ferm/enable boolean false' | chroot \"$1\" debconf-set-selections",
               "--customize-hook=chroot \"$1\" apt-get install --download-only --yes --quiet "
               "--no-install-recommends " + " ".join(fetched) + " >/dev/null",
               f"--customize-hook=sync-out /var/cache/apt/archives {archives}",
               "--customize-hook=rm -f \"$1\"/var/cache/apt/archives/*.deb",
               release, str(target), MIRROR]
    subprocess.run(command, check=True)


def _newest(debs):
    """The newest of several .debs of one package."""
    best = debs[0]
    for deb in debs[1:]:
        if subprocess.run(["dpkg", "--compare-versions", deb_field(deb, "Version"), "gt",
                           deb_field(best, "Version")]).returncode == 0:
            best = deb
    return best


def make_repository(root, archives):
    """The offline repository in root/srv/tails-apt: every downloaded .deb
    of a package that the root does not have (libzip, OpenVPN and theirs),
    and the root's APT pointed at it alone."""
    installed = installed_packages(root)
    by_name = {}
    for deb in sorted(archives.glob("*.deb")):
        by_name.setdefault(deb.name.split("_")[0], []).append(deb)
    repository = root / REPOSITORY
    repository.mkdir(parents=True)
    for name, debs in by_name.items():
        if name not in installed:
            shutil.copy(_newest(debs), repository)
    for index in ("packages", "release"):
        text = subprocess.run(["apt-ftparchive", index, "."], cwd=repository, check=True, capture_output=True,
                              text=True).stdout
        (repository / index.capitalize()).write_text(text)
    for path in [repository, *repository.iterdir()]:
        path.chmod(0o755 if path.is_dir() else 0o644)
    apt = root / "etc/apt"
    for listing in [*apt.glob("sources.list.d/*"), apt / "sources.list"]:
        listing.unlink(missing_ok=True)
    (apt / "sources.list").write_text(SOURCES_LIST)


def root_for(major):
    """The cached root for Tails `major`, made if missing."""
    release = RELEASES[major]
    fetched = FETCHED[release]
    directory = CACHE / f"{release}-{key(release)}"
    root = directory / "root"
    if not root.exists():
        with locked(release):
            if not root.exists():
                started = time.monotonic()
                log(f"making a {release} root with mmdebstrap from {MIRROR} (about a minute)")
                shutil.rmtree(directory / "root.new", ignore_errors=True)
                directory.mkdir(parents=True, exist_ok=True)
                make_root(release, fetched, directory / "root.new", CACHE / "archives" / release)
                make_repository(directory / "root.new", CACHE / "archives" / release)
                (directory / "root.new").rename(root)
                log(f"{root} made in {time.monotonic() - started:.0f} s")
    return root


def mount(*arguments):
    subprocess.run(["mount", *arguments], check=True)


def install_inside(root, layer, work, mountpoint, deb, recommends):
    """In private mount, network and PID namespaces: the overlay of `layer`
    over `root`, with private /proc, /dev, /run and /tmp, and the package
    installed into it with apt-get, timed."""
    mount("--make-rprivate", "/")
    mount("-t", "overlay", "overlay", "-o", f"lowerdir={root},upperdir={layer},workdir={work}", str(mountpoint))
    mount("-t", "proc", "proc", str(mountpoint / "proc"))
    for directory in ("dev", "run", "tmp"):
        mount("-t", "tmpfs", "-o", "mode=755" if directory != "tmp" else "mode=1777", "tmpfs",
              str(mountpoint / directory))
    for device in ("null", "zero", "full", "random", "urandom"):
        (mountpoint / "dev" / device).touch()
        mount("--bind", f"/dev/{device}", str(mountpoint / "dev" / device))
    shutil.copy(deb, mountpoint / "tmp" / deb.name)

    def chrooted(*command):
        subprocess.run(["chroot", str(mountpoint), *command], check=True, env=INSTALL_ENV,
                       stdout=subprocess.DEVNULL)

    chrooted("apt-get", "update", "-qq")
    started = time.monotonic()
    chrooted("apt-get", "install", "--yes", "-qq", *(() if recommends else ("--no-install-recommends",)),
             f"/tmp/{deb.name}")
    seconds = time.monotonic() - started
    chrooted("apt-get", "clean")
    print(f"{seconds:.2f}")


def install_layer(root, deb, recommends, directory):
    """Installs `deb` over `root` into the overlay layer directory/layer; returns apt-get's seconds."""
    parts = {name: directory / name for name in ("layer.new", "work", "mnt")}
    for path in parts.values():
        path.mkdir(parents=True)
    result = subprocess.run(
        ["unshare", "--mount", "--net", "--pid", "--fork", "--", sys.executable, "-m", "sandbox.tails_root",
         "--install-inside", str(root), str(parts["layer.new"]), str(parts["work"]), str(parts["mnt"]), str(deb),
         "yes" if recommends else "no"],
        cwd=PROJECT_ROOT, env={**os.environ, "PYTHONPATH": str(PROJECT_ROOT)}, capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"sandbox: installing {deb.name} in {root} failed:\n{result.stderr}")
    shutil.rmtree(parts["work"])
    parts["mnt"].rmdir()
    parts["layer.new"].rename(directory / "layer")
    return float(result.stdout)


def check_can_take(root, deb):
    """Fails with the names if the package needs something neither the root nor its repository has."""
    offered = installed_packages(root) | {path.name.split("_")[0] for path in (root / REPOSITORY).glob("*.deb")}
    missing = [name for name in needed_by(deb) if name not in offered]
    if missing:
        raise SystemExit(f"sandbox: {deb.name} needs {', '.join(missing)}, which a Tails-like root does not "
                         f"offer: add them to FETCHED in sandbox/tails_root.py")


def layer_for(major, deb, recommends):
    """The overlay layers (upper first) of Tails `major` with `deb` installed, made if missing."""
    deb = Path(deb).resolve()
    root = root_for(major)
    check_can_take(root, deb)
    directory = root.parent / f"{VARIANTS[recommends]}-{file_hash(deb)}"
    layer = directory / "layer"
    if not layer.exists():
        with locked(RELEASES[major]):
            if not layer.exists():
                _remove_other_layers(directory)
                shutil.rmtree(directory, ignore_errors=True)
                seconds = install_layer(root, deb, recommends, directory)
                (directory / "install-seconds").write_text(f"{seconds:.2f}\n")
                log(f"{deb.name} installed ({VARIANTS[recommends]}) in {seconds:.2f} s: {layer}")
    return [layer, root]


def _remove_other_layers(new):
    """Layers of older packages for the same root and variant go when a new one is made."""
    variant = new.name.rsplit("-", 1)[0]
    for other in new.parent.iterdir():
        if other != new and other.is_dir() and other.name.rsplit("-", 1)[0] == variant:
            shutil.rmtree(other)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m sandbox.tails_root",
                                     description="Make the cached Tails-like roots with the package installed.")
    parser.add_argument("--install-inside", nargs=6, help=argparse.SUPPRESS)
    parser.add_argument("--no-recommends", action="store_true", help="install without the package's Recommends")
    parser.add_argument("--roots-only", action="store_true", help="make the roots only (no package needed)")
    parser.add_argument("majors", nargs="*", help="Tails 6 and/or 7")
    options = parser.parse_args(argv)
    if not set(options.majors) <= set(RELEASES):
        parser.error("Tails majors are " + " and ".join(sorted(RELEASES)))
    if options.install_inside:
        root, layer, work, mountpoint, deb, recommends = options.install_inside
        install_inside(Path(root), Path(layer), Path(work), Path(mountpoint), Path(deb), recommends == "yes")
        return 0
    # The roots download in parallel: fetching is most of their time.
    with ThreadPoolExecutor() as pool:
        list(pool.map(root_for, options.majors))
    if options.roots_only:
        return 0
    packages = {major: default_package(major) for major in options.majors}
    for major, deb in packages.items():
        layers = layer_for(major, deb, not options.no_recommends)
        seconds = (layers[0].parent / "install-seconds").read_text().strip()
        print(f"Tails {major}: {layers[0]} (apt-get install took {seconds} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
