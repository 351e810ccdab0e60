"""The portable bundle in the Tails-like systems, as a Tails user keeps it:
unpacked once by amnesia into the Persistent Folder, with no administration
password, no package and no libzip installed, then run in that session and
again in a later one (a fresh system, the same Persistent Folder) with no
install step. The first Connect of each session installs OpenVPN with the
system's real apt from its offline repository, as Tails would through Tor."""

import hashlib
import shutil

import pytest

from dialogue import BOOTED_RESTARTS, CONNECTED_MENU, FERM_RESTART, MENU, STAND_IN, UDP
from dialogue import dialogue_on  # noqa: F401
from host_state import assert_tunnel_up, live_ferm_conf, openvpn_clients, rules
from sandbox.host_config import TAILS_FERM_CONF
from sandbox.launch import tails_unavailable
from sandbox.users import AMNESIA_UID
from sandbox_support import fresh_sandbox, needs_sandbox, sandbox_pki  # noqa: F401
from test_package import RELEASES, VERSION
from test_release_files import FOLDER, bundle_path

pytestmark = [needs_sandbox,
              pytest.mark.skipif(tails_unavailable() is not None, reason=f"{tails_unavailable()}")]

PERSISTENT = "/home/amnesia/Persistent"
CLIENT = f"{PERSISTENT}/{FOLDER}/marnu-tails-client"
# What Disconnect restarts in a Tails-like system (no NetworkManager init
# script), booted (through systemctl) or chrooted (the Tor stand-in).
CHROOTED_RESTARTS = FERM_RESTART + STAND_IN % b"tor"
OTHER = {"tails6": "tails7", "tails7": "tails6"}


def contents(folder):
    """Every path under `folder` with its bytes' digest (None for a folder)."""
    return {str(path.relative_to(folder)): hashlib.sha256(path.read_bytes()).hexdigest() if path.is_file() else None
            for path in folder.rglob("*")}


def unpack(host, release, into):
    """amnesia downloads (here: is given) the release's bundle into the
    Persistent Folder and unpacks it `into` a folder of theirs."""
    downloaded = host.persistent / bundle_path(release).name
    shutil.copyfile(bundle_path(release), downloaded)
    shutil.chown(downloaded, AMNESIA_UID, AMNESIA_UID)
    result = host.run(["sh", "-c", f'mkdir -p "{into}" && tar -xzf "{PERSISTENT}/{downloaded.name}" -C "{into}"'])
    assert result.returncode == 0, result.stderr


def installed_packages(host):
    status = host.root("dpkg-query -W -f '${Package} ${db:Status-Abbrev}\\n'").decode()
    return {line.split()[0] for line in status.splitlines() if line.split()[1:2] == ["ii"]}


def connect_and_disconnect(host, dialogue_on):
    """The end-to-end dialogue with the client of the Persistent Folder: login,
    server list, Connect (OpenVPN installed first), Disconnect, Quit. The
    client loads libzip from the bundle: the system has none."""
    original = rules(host)
    host.client = CLIENT
    dialogue = dialogue_on(host)
    dialogue.log_in("alice", "wonderland")
    dialogue.expect(b"[+] Authentication successful.\n")
    dialogue.connect(UDP)
    assert dialogue.openvpn_installs == 1 and len(dialogue.sudo_prompts) == 2
    assert_tunnel_up(host, UDP, original)
    client = host.root(f"pgrep -o -f '^/usr/bin/python3 -IB {CLIENT}$'").decode().strip()
    libzip = {line.split()[-1] for line in host.root(f"cat /proc/{client}/maps").decode().splitlines()
              if "libzip" in line}
    assert len(libzip) == 1 and libzip.pop().startswith(f"{PERSISTENT}/{FOLDER}/lib/libzip.so.")
    dialogue.type(b"2")
    dialogue.expect((BOOTED_RESTARTS if host.booted else CHROOTED_RESTARTS) + MENU)
    assert openvpn_clients(host) == [] and rules(host) == original
    assert live_ferm_conf(host) == TAILS_FERM_CONF.read_bytes()
    assert dialogue.quit() == 0
    assert not [name for name in installed_packages(host) if name.startswith("libzip")]
    assert "openvpn" in installed_packages(host)


@pytest.mark.parametrize("release", sorted(RELEASES))
def test_bundle_in_the_persistent_folder_runs_in_this_session_and_the_next(fresh_sandbox, dialogue_on, tmp_path,
                                                                             release):
    if not bundle_path(release).exists() or not bundle_path(OTHER[release]).exists():
        pytest.skip("dist/ holds no bundles: run `make dist` first")
    major = release.removeprefix("tails")
    persistent = tmp_path / "Persistent"

    def start_tails():
        host = fresh_sandbox("--tails", major, "--no-package", "--persistent", str(persistent))
        host.persistent = persistent
        return host

    # The first session: unpack, as the README says, and run.
    host = start_tails()
    assert not [name for name in installed_packages(host) if name.startswith(("libzip", "marnu", "openvpn"))]
    unpack(host, release, PERSISTENT)
    unpacked = contents(persistent / FOLDER)
    connect_and_disconnect(host, dialogue_on)
    # The other Tails major's bundle says which one to take, in one line.
    unpack(host, OTHER[release], "/tmp/other")
    refused = host.run([f"/tmp/other/{FOLDER}/marnu-tails-client"])
    assert (refused.returncode, refused.stdout) == (1, b"")
    assert refused.stderr.decode() == (
        f"marnu-tails-client: this bundle is for Tails {OTHER[release].removeprefix('tails')} "
        "(Python %d.%d), and this system has Python %d.%d: " % (*RELEASES[OTHER[release]]["python"],
                                                                 *RELEASES[release]["python"])
        + f"take marnu-tails-client-{VERSION}-{release}.tar.gz instead.\n")
    host.stop()

    # The next session: a fresh system, the same Persistent Folder, no install step.
    host = start_tails()
    version = host.run([CLIENT, "--version"])
    assert version.stdout == f"marnu-tails-client {VERSION}\n".encode(), version.stderr
    connect_and_disconnect(host, dialogue_on)
    # The bundle was only read: no .pyc, nothing changed or added.
    assert contents(persistent / FOLDER) == unpacked

    # A read-only copy at a path with spaces, started from another folder.
    copy = "/opt/Portable apps/marnu-tails-client"
    host.root(f'mkdir -p "{copy}" && mount --bind "{PERSISTENT}/{FOLDER}" "{copy}" && mount -o remount,bind,ro "{copy}"')
    started = host.run(["sh", "-c", f'cd /tmp && "{copy}/marnu-tails-client"'], stdin=b"4\n")
    assert started.returncode == 0, started.stderr
    assert started.stdout.endswith(MENU) and CONNECTED_MENU not in started.stdout
